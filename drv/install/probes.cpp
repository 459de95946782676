// The status probes. They build no job, write no log and show nothing: a
// failure inside a probe only shapes its answer.
#include "install/probes.h"

#include "cleanup/deferred_delete.h"
#include "components/file_staging.h"
#include "job/product.h"
#include "job/text.h"
#include "spooler/catalogue.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

// Builds up to this one are too old; 2073 and later pass.
const int kOldestRejectedBuild = 2072;
const DWORD kDefaultNameCapacity = MAX_PATH;
const int kMaxPendingPasses = 2;

// The first record of the list, in the order of the enumeration, whose
// driver is the product's driver; null when there is none.
PRINTER_INFO_2W* FindFirstProductPrinter(const PrinterList* list) {
  for (DWORD index = 0; index < list->Count; ++index) {
    PRINTER_INFO_2W* record = &list->Records[index];
    if (record->pDriverName != nullptr && TextEquals(record->pDriverName, kDriverName)) {
      return record;
    }
  }
  return nullptr;
}

bool IsPathSeparator(WCHAR unit) {
  return unit == TEXT('\\') || unit == TEXT('/') || unit == TEXT(':');
}

// The text after the last "\", "/" or ":" of a path, or the whole path.
LPCWSTR FileNamePart(LPCWSTR path) {
  LPCWSTR name = path;
  for (LPCWSTR unit = path; *unit != 0; ++unit) {
    if (IsPathSeparator(*unit)) {
      name = unit + 1;
    }
  }
  return name;
}

bool IsProductComponentName(LPCWSTR fileName) {
  return TextEqualsAsciiNoCase(fileName, kMonitorFileName) ||
         TextEqualsAsciiNoCase(fileName, kDriverFileName) ||
         TextEqualsAsciiNoCase(fileName, kUiFileName);
}

// True when a source of the table that still exists is one of the product's
// DLLs. Pending renames count as well as pending deletions.
bool HasPendingProductComponent(const PendingRenameTable* table) {
  for (LONG pair = 0; pair < table->count; ++pair) {
    LPCWSTR source = table->names[2 * pair];
    if (table->flags[2 * pair] == 1 && source != nullptr &&
        IsProductComponentName(FileNamePart(source))) {
      return true;
    }
  }
  return false;
}

// One pass: read the pending operations, delete what can go now, and look
// for a product DLL that is still waiting.
bool ProductComponentStillPending() {
  PendingRenameTable table = ReadPendingRenames();
  PurgePendingRenames(&table);
  bool found = HasPendingProductComponent(&table);
  ReleasePendingRenames(&table);
  return found;
}

// Whether the driver that the named queue uses is a build above the oldest
// rejected one.
bool UsesRecentDriver(LPCWSTR printerName) {
  PrinterHandle printer = OpenPrinterHandle(printerName, nullptr);
  if (!printer) {
    return false;
  }
  bool recent = false;
  DRIVER_INFO_2W* driver = FetchDriverInfo(printer.Get());
  if (driver != nullptr && driver->pDriverPath != nullptr) {
    recent = GetFileBuildNumber(driver->pDriverPath) > kOldestRejectedBuild;
  }
  printer.Reset();
  if (driver != nullptr) {
    GlobalFree(driver);
  }
  return recent;
}

}  // namespace

void MakeProductPrinterDefault() {
  PrinterList list = {};
  LoadPrinterList(&list);
  PRINTER_INFO_2W* printer = FindFirstProductPrinter(&list);
  if (printer != nullptr) {
    SetDefaultPrinterByOrdinal(printer->pPrinterName);
  }
  ReleasePrinterList(&list);
}

bool CheckInstalledDriver() {
  PrinterList list = {};
  LoadPrinterList(&list);
  // Only the first printer of the driver is tried.
  PRINTER_INFO_2W* printer = FindFirstProductPrinter(&list);
  bool recent = printer != nullptr && UsesRecentDriver(printer->pPrinterName);
  ReleasePrinterList(&list);
  return recent;
}

bool CheckDefaultPrinter() {
  WCHAR name[kDefaultNameCapacity] = {};
  DWORD capacity = kDefaultNameCapacity;
  // Only the buffer tells: it stays empty when there is no default printer.
  GetDefaultPrinterByOrdinal(name, &capacity);
  name[kDefaultNameCapacity - 1] = 0;
  if (name[0] == 0) {
    return true;
  }

  PrinterHandle printer = OpenPrinterHandle(name, nullptr);
  if (!printer) {
    return true;
  }

  PrinterInfoBlock info = {};
  FetchPrinterInfo(&info, printer.Get());
  bool notProduct = true;
  if (info.Record != nullptr && info.Record->pDriverName != nullptr &&
      TextEquals(info.Record->pDriverName, kDriverName)) {
    notProduct = false;
  }

  printer.Reset();
  if (info.Record != nullptr) {
    GlobalFree(info.Record);
  }
  return notProduct;
}

bool CheckPendingComponents() {
  for (int pass = 0; pass < kMaxPendingPasses; ++pass) {
    if (!ProductComponentStillPending()) {
      return false;
    }
    // Stop the spooler and start it again at once, so that it lets go of the
    // DLLs; no job, so nothing is logged or counted.
    SpoolerRestart restart(nullptr);
  }
  return true;
}

}  // namespace svd
