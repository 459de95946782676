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
  static std::string U8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    return out;
  }
  static std::string U8(const WCHAR* text) { return text ? U8(std::u16string(text)) : "(null)"; }
};
