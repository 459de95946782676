// Not built yet: every operation here fails loudly until it is written.
#include "job/counted_string.h"
#include "job/not_built.h"

namespace svd {

bool Resize(CountedString& handle, size_t n) {
  NotBuiltYet("Resize");
}

CountedString FromAnsi(LPCSTR text) {
  NotBuiltYet("FromAnsi");
}

CountedString& Assign(CountedString& handle, LPCWSTR text) {
  NotBuiltYet("Assign");
}

CountedString& Append(CountedString& handle, LPCWSTR text) {
  NotBuiltYet("Append");
}

CountedString Copy(CountedString string) {
  NotBuiltYet("Copy");
}

CountedString DirectoryPart(CountedString string) {
  NotBuiltYet("DirectoryPart");
}

void Release(CountedString& handle) {
  NotBuiltYet("Release");
}

size_t Length(CountedString string) {
  NotBuiltYet("Length");
}

LPCWSTR Text(CountedString string) {
  NotBuiltYet("Text");
}

LPWSTR DuplicateText(LPCWSTR text) {
  NotBuiltYet("DuplicateText");
}

}  // namespace svd
