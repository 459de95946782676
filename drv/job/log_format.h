// The program's own bounded printf for log texts: %d (signed 32-bit),
// %x (unsigned 32-bit, lower-case hex), %s (UTF-16 text, null as "(null)")
// and %%. It never writes past the buffer: text that does not fit is cut at
// the limit and the buffer is always terminated. Returns the units written.
#pragma once
#include <cstdarg>
#include "win.h"

namespace svd {

size_t FormatLogTextV(LPWSTR buffer, size_t capacity, LPCWSTR format, va_list args);
size_t FormatLogText(LPWSTR buffer, size_t capacity, LPCWSTR format, ...);

}  // namespace svd
