// Small UTF-16 text helpers of the program. They never use the C library's
// wide functions, so they behave the same whatever the size of wchar_t.
#pragma once
#include "win.h"

namespace svd {

// Number of UTF-16 units before the terminator; 0 for null.
size_t TextLength(LPCWSTR text);
// Exact comparison of two whole texts, unit by unit; null equals only null or "".
bool TextEquals(LPCWSTR a, LPCWSTR b);
// Whole texts equal when the letters A to Z count as their lower-case forms;
// every other unit must be equal.
bool TextEqualsAsciiNoCase(LPCWSTR a, LPCWSTR b);
// Copies at most capacity - 1 units and always terminates (capacity > 0).
void TextCopy(LPWSTR destination, size_t capacity, LPCWSTR source);

}  // namespace svd
