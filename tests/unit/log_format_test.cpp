// The bounded log formatter: its conversions and that it never runs past
// the buffer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "job/log_format.h"

namespace svd {
namespace {

std::u16string Format(const char16_t* format, ...) {
  WCHAR buffer[256];
  va_list args;
  va_start(args, format);
  size_t written = FormatLogTextV(buffer, 256, format, args);
  va_end(args);
  EXPECT_EQ(std::u16string(buffer).size(), written);
  return buffer;
}

TEST(LogFormatTest, Conversions) {
  EXPECT_EQ(Format(u"Solvendale %d", 2093), u"Solvendale 2093");
  EXPECT_EQ(Format(u"%d|%d|%d", 0, -17, INT_MIN), u"0|-17|-2147483648");
  EXPECT_EQ(Format(u"%d", INT_MAX), u"2147483647");
  EXPECT_EQ(Format(u"ControlService failed with code %d (0x%x)", 1062, 1062u),
            u"ControlService failed with code 1062 (0x426)");
  EXPECT_EQ(Format(u"%x", 0xDEADBEEFu), u"deadbeef");
  EXPECT_EQ(Format(u"%x", 0u), u"0");
  EXPECT_EQ(Format(u"Can`t add printer '%s'", u"Solvendale"), u"Can`t add printer 'Solvendale'");
  EXPECT_EQ(Format(u"[%s]", static_cast<const char16_t*>(nullptr)), u"[(null)]");
  EXPECT_EQ(Format(u"100%% %q%"), u"100% %q%");
  EXPECT_EQ(Format(u""), u"");
}

TEST(LogFormatTest, CutsAtTheBufferAndAlwaysTerminates) {
  WCHAR buffer[12];
  for (WCHAR& unit : buffer) unit = '#';
  // Capacity 8 of the 12 units: 7 units of text and the terminator.
  size_t written = FormatLogText(buffer, 8, u"%s-%d", u"abcdef", 12345);
  EXPECT_EQ(written, 7u);
  EXPECT_EQ(std::u16string(buffer), u"abcdef-");
  for (int i = 8; i < 12; ++i) EXPECT_EQ(buffer[i], '#');

  buffer[1] = '#';
  written = FormatLogText(buffer, 1, u"abc");
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], '#');
}

}  // namespace
}  // namespace svd
