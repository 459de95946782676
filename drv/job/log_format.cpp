// The program's own bounded formatter for log texts. It knows only the
// conversions the log uses (%d, %x, %s, %%), writes UTF-16 units into the
// caller's buffer and stops at its end, so no build depends on the C
// library's wide printf and no text can run past the buffer.
#include "job/log_format.h"

namespace svd {

namespace {

// Output cursor over the caller's buffer; one unit is always kept for the
// terminator.
struct Output {
  LPWSTR buffer;
  size_t capacity;
  size_t used;

  void Put(WCHAR unit) {
    if (used + 1 < capacity) buffer[used++] = unit;
  }
  void PutText(LPCWSTR text) {
    for (; *text != 0; ++text) Put(*text);
  }
  void PutDecimal(int value) {
    // Widen first: the magnitude of INT_MIN does not fit an int.
    long long wide = value;
    unsigned long long magnitude = wide < 0 ? static_cast<unsigned long long>(-wide)
                                            : static_cast<unsigned long long>(wide);
    if (wide < 0) Put('-');
    PutDigits(magnitude, 10);
  }
  void PutDigits(unsigned long long value, unsigned base) {
    WCHAR digits[24];
    size_t count = 0;
    do {
      unsigned digit = static_cast<unsigned>(value % base);
      digits[count++] = static_cast<WCHAR>(digit < 10 ? '0' + digit : 'a' + digit - 10);
      value /= base;
    } while (value != 0);
    while (count > 0) Put(digits[--count]);
  }
};

const WCHAR kNullText[] = {'(', 'n', 'u', 'l', 'l', ')', 0};

}  // namespace

size_t FormatLogTextV(LPWSTR buffer, size_t capacity, LPCWSTR format, va_list args) {
  if (buffer == nullptr || capacity == 0) return 0;
  Output out{buffer, capacity, 0};
  if (format != nullptr) {
    for (LPCWSTR p = format; *p != 0; ++p) {
      if (*p != '%') {
        out.Put(*p);
        continue;
      }
      WCHAR conversion = p[1];
      switch (conversion) {
        case 'd':
          out.PutDecimal(va_arg(args, int));
          ++p;
          break;
        case 'x':
          out.PutDigits(va_arg(args, unsigned int), 16);
          ++p;
          break;
        case 's': {
          LPCWSTR text = va_arg(args, LPCWSTR);
          out.PutText(text != nullptr ? text : kNullText);
          ++p;
          break;
        }
        case '%':
          out.Put('%');
          ++p;
          break;
        case 0:
          // A lone "%" at the end is written as it stands.
          out.Put('%');
          break;
        default:
          // Not a conversion of the log: written as it stands, nothing consumed.
          out.Put('%');
          break;
      }
    }
  }
  buffer[out.used] = 0;
  return out.used;
}

size_t FormatLogText(LPWSTR buffer, size_t capacity, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  size_t written = FormatLogTextV(buffer, capacity, format, args);
  va_end(args);
  return written;
}

}  // namespace svd
