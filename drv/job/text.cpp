// Small UTF-16 text helpers that behave the same on every build.
#include "job/text.h"

namespace svd {

namespace {

WCHAR AsciiLower(WCHAR unit) {
  if (unit >= 'A' && unit <= 'Z') return static_cast<WCHAR>(unit - 'A' + 'a');
  return unit;
}

}  // namespace

size_t TextLength(LPCWSTR text) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

bool TextEquals(LPCWSTR a, LPCWSTR b) {
  if (a == nullptr || b == nullptr) return TextLength(a) == 0 && TextLength(b) == 0;
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[i] == b[i];
}

bool TextEqualsAsciiNoCase(LPCWSTR a, LPCWSTR b) {
  if (a == nullptr || b == nullptr) return TextLength(a) == 0 && TextLength(b) == 0;
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return a[i] == b[i];
}

void TextCopy(LPWSTR destination, size_t capacity, LPCWSTR source) {
  if (destination == nullptr || capacity == 0) return;
  size_t i = 0;
  if (source != nullptr) {
    for (; i + 1 < capacity && source[i] != 0; ++i) destination[i] = source[i];
  }
  destination[i] = 0;
}

}  // namespace svd
