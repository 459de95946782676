// Not built yet: every operation here fails loudly until it is written.
#include "job/text.h"
#include "job/not_built.h"

namespace svd {

size_t TextLength(LPCWSTR text) {
  NotBuiltYet("TextLength");
}

bool TextEquals(LPCWSTR a, LPCWSTR b) {
  NotBuiltYet("TextEquals");
}

bool TextEqualsAsciiNoCase(LPCWSTR a, LPCWSTR b) {
  NotBuiltYet("TextEqualsAsciiNoCase");
}

void TextCopy(LPWSTR destination, size_t capacity, LPCWSTR source) {
  NotBuiltYet("TextCopy");
}

}  // namespace svd
