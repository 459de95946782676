// The "SubKey" printer data of a queue, as svd::ReadSubKey and
// svd::RememberPrinter read it: the fuzzer chooses whether the value is
// present in the plain printer data and under "DsUser", its type and its
// bytes. The text read is compared with the rule (REG_SZ, any length, ending
// at its first NUL or its last byte, the plain data first), the remembered
// queue with that text, and a text written with svd::WriteSubKey with what
// reading it back gives.
//
// Input: byte 0 flags (1: plain value present, 2: "DsUser" value present,
// 4: plain value not REG_SZ, 8: "DsUser" value not REG_SZ), byte 1 the plain
// value's type and byte 2 the "DsUser" value's type when not REG_SZ, byte 3
// the plain value's length; then the plain value's bytes, then the "DsUser"
// value's bytes.
#include "fuzz_common.h"

#include <winsim/spooler_control.h>
#include <winspool.h>

#include <cstring>
#include <vector>

#include "cleanup/printer_queues.h"

namespace {

const char16_t kQueue[] = u"Solvendale";

struct Value {
  bool present = false;
  DWORD type = REG_SZ;
  std::vector<uint8_t> bytes;
};

// The text a read of value gives, or false when the value is no SubKey.
bool AcceptedText(const Value& value, std::string* text) {
  if (!value.present || value.type != REG_SZ) return false;
  size_t length = 0;
  while (length < value.bytes.size() && value.bytes[length] != 0) ++length;
  text->assign(value.bytes.begin(), value.bytes.begin() + length);
  return true;
}

std::string ExpectedSubKey(const Value& plain, const Value& dsUser) {
  std::string text;
  if (AcceptedText(plain, &text)) return text;
  if (AcceptedText(dsUser, &text)) return text;
  return std::string();
}

// ReadSubKey's text (a read past its block's end is the sanitizer's to find).
std::string ReadText(HANDLE printer) {
  LPSTR text = nullptr;
  svd::SubKeyRead read = svd::ReadSubKey(printer, &text);
  FUZZ_CHECK(read != svd::SubKeyRead::Unreadable);
  FUZZ_CHECK((read == svd::SubKeyRead::Found) == (text != nullptr));
  if (text == nullptr) return std::string();
  std::string result(text);
  GlobalFree(text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Value plain, dsUser;
  plain.present = (data[0] & 1) != 0;
  dsUser.present = (data[0] & 2) != 0;
  if (data[0] & 4) plain.type = data[1];
  if (data[0] & 8) dsUser.type = data[2];
  size_t plainLength = data[3] < size - 4 ? data[3] : size - 4;
  plain.bytes.assign(data + 4, data + 4 + plainLength);
  dsUser.bytes.assign(data + 4 + plainLength, data + size);

  fuzz::ReuseMachine();
  winsim::PrinterSetup setup;
  setup.name = kQueue;
  setup.ports = u"Solvendale:";
  setup.driverName = u"Solvendale printer";
  winsim::PutPrinter(setup);
  if (plain.present)
    winsim::PutPrinterData(kQueue, "PrinterDriverData", "SubKey", plain.type, plain.bytes);
  if (dsUser.present) winsim::PutPrinterData(kQueue, "DsUser", "SubKey", dsUser.type, dsUser.bytes);
  const std::string expected = ExpectedSubKey(plain, dsUser);

  size_t blocksBefore = winsim::LiveBlocks();
  size_t handlesBefore = winsim::OpenPrinterHandles();
  std::u16string name = kQueue;
  HANDLE printer = nullptr;
  FUZZ_CHECK(OpenPrinterW(&name[0], &printer, nullptr));
  FUZZ_CHECK(ReadText(printer) == expected);
  ClosePrinter(printer);

  // RememberPrinter keeps the queue exactly when the text is not empty.
  svd::InstallJob job;
  std::memset(&job, 0, sizeof(job));
  PRINTER_INFO_2W record;
  std::memset(&record, 0, sizeof(record));
  record.pPrinterName = &name[0];
  FUZZ_CHECK(svd::RememberPrinter(&job, &record));
  if (expected.empty()) {
    FUZZ_CHECK(job.SavedPrinterList == nullptr);
  } else {
    FUZZ_CHECK(job.SavedPrinterList != nullptr);
    FUZZ_CHECK(job.SavedPrinterList->next == nullptr);
    FUZZ_CHECK(std::u16string(job.SavedPrinterList->name) == name);
    FUZZ_CHECK(std::string(job.SavedPrinterList->subkey) == expected);
  }
  svd::ReleaseSavedPrinters(&job.SavedPrinterList);
  FUZZ_CHECK(job.SavedPrinterList == nullptr);

  // A text written by WriteSubKey reads back unchanged, whatever its length.
  std::string written(dsUser.bytes.begin(), dsUser.bytes.end());
  written = written.c_str();
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  FUZZ_CHECK(OpenPrinterW(&name[0], &printer, &all));
  FUZZ_CHECK(svd::WriteSubKey(printer, written.c_str()) == ERROR_SUCCESS);
  FUZZ_CHECK(ReadText(printer) == written);
  ClosePrinter(printer);

  FUZZ_CHECK(winsim::OpenPrinterHandles() == handlesBefore);
  FUZZ_CHECK(winsim::LiveBlocks() == blocksBefore);
  return 0;
}
