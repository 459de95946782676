// Shared fixture for tests on the simulated machine: every test starts on a
// fresh default machine.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/control.h>

#include <string>
#include <vector>

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::ResetMachine(); }
  void TearDown() override { winsim::ResetMachine(); }

  // UTF-16 text as UTF-8, for readable assertion messages.
  static std::string U8(const std::u16string& text) { return winsim::Narrow(text); }
  static std::string U8(const WCHAR* text) { return text ? U8(std::u16string(text)) : "(null)"; }
};
