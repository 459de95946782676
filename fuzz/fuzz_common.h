// Helpers shared by the fuzz targets: turning fuzzer bytes into UTF-16 text
// and stopping with a readable message when a property does not hold.
#pragma once

#include <windows.h>
#include <winsim/control.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Stops the run (libFuzzer records the input as a crash) when a property of
// the code under test does not hold.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition);                    \
  } while (0)

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "\n*** fuzz: %s:%d: property does not hold: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

// Fuzzer bytes as UTF-16 text: every byte is one unit (Latin-1), so that
// ASCII words are easy to reach; the byte 0x01 followed by two bytes gives
// the unit they spell (little-endian), for units outside Latin-1. A unit 0
// ends the text, as a terminator would.
inline std::u16string DecodeText(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i < size; ++i) {
    char16_t unit = data[i];
    if (data[i] == 0x01 && i + 2 < size) {
      unit = static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8));
      i += 2;
    }
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// A machine for one input of a target that changes only what it sets up
// itself: reset in full every 256 inputs (a reset costs far more than an
// input), with the call log cleared for each input so that it stays small.
inline void ReuseMachine() {
  static unsigned inputs = 0;
  if (inputs++ % 256 == 0) winsim::ResetMachine();
  winsim::ClearCalls();
  winsim::ClearFaults();
}

// ASCII of a text for messages; other units as '?'.
inline std::string Ascii(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

}  // namespace fuzz
