// Port lists through svd::ReplacePortName, in both directions and in
// buffers sized exactly as the printer list holds them: the text and its
// terminator, nothing more. "Solvendale:" becomes "file:" in the list's own
// buffer; the way back runs in a buffer of the original length, as it does
// when a queue is pointed back at the monitor later in the same run. Each
// step is compared with a plain model of the replacement.
#include "fuzz_common.h"

#include <cstring>
#include <vector>

#include "components/port_monitor.h"

namespace {

const char16_t kMonitorPort[] = u"Solvendale:";
const char16_t kFilePort[] = u"file:";

// The first exact occurrence of find replaced; false when there is none.
bool ModelReplace(std::u16string* text, const std::u16string& find, const std::u16string& with) {
  size_t at = text->find(find);
  if (at == std::u16string::npos) return false;
  text->replace(at, find.size(), with);
  return true;
}

// A heap block of exactly units WCHARs holding text and its terminator.
WCHAR* ExactBuffer(const std::u16string& text, size_t units) {
  WCHAR* buffer = new WCHAR[units];
  std::memset(buffer, 0xAB, units * sizeof(WCHAR));
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string original = fuzz::DecodeText(data, size);
  const size_t units = original.size() + 1;

  // A list without the monitor's port is left alone.
  std::u16string model = original;
  WCHAR* list = ExactBuffer(original, units);
  bool found = svd::ReplacePortName(list, kMonitorPort, kFilePort);
  FUZZ_CHECK(found == ModelReplace(&model, kMonitorPort, kFilePort));
  FUZZ_CHECK(std::u16string(list) == model);
  if (found) {
    // Pointed back at the monitor, in the record's buffer of the original size.
    WCHAR* back = ExactBuffer(model, units);
    bool foundBack = svd::ReplacePortName(back, kFilePort, kMonitorPort);
    FUZZ_CHECK(foundBack);
    FUZZ_CHECK(ModelReplace(&model, kFilePort, kMonitorPort));
    FUZZ_CHECK(std::u16string(back) == model);
    FUZZ_CHECK(model.size() == original.size());
    delete[] back;
  } else {
    // Asking for "file:" on a list that was never shortened is a caller's
    // slip; the text must then be long enough for the longer name, so this
    // direction is only tried on a buffer with that room.
    WCHAR* roomy = ExactBuffer(original, units + 6);
    bool foundFile = svd::ReplacePortName(roomy, kFilePort, kMonitorPort);
    FUZZ_CHECK(foundFile == ModelReplace(&model, kFilePort, kMonitorPort));
    FUZZ_CHECK(std::u16string(roomy) == model);
    delete[] roomy;
  }
  delete[] list;
  // A record without a port list is no match.
  FUZZ_CHECK(!svd::ReplacePortName(nullptr, kMonitorPort, kFilePort));
  return 0;
}
