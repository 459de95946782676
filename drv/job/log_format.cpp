// Not built yet: every operation here fails loudly until it is written.
#include "job/log_format.h"
#include "job/not_built.h"

namespace svd {

size_t FormatLogTextV(LPWSTR buffer, size_t capacity, LPCWSTR format, va_list args) {
  NotBuiltYet("FormatLogTextV");
}

size_t FormatLogText(LPWSTR buffer, size_t capacity, LPCWSTR format, ...) {
  NotBuiltYet("FormatLogText");
}

}  // namespace svd
