// Reads of the spooler's catalogue and the thin wrappers around the calls
// that change it.
//
// Every read asks the spooler twice: first with no buffer, to learn the size
// in bytes, and, only when that fails with ERROR_INSUFFICIENT_BUFFER, again
// with a zero-filled GMEM_FIXED block of that size. A failed allocation
// leaves E_OUTOFMEMORY as the last error; a failed second call frees the
// block. Either way the result stays empty.
#include "spooler/catalogue.h"

#include "job/log.h"
#include "job/product.h"
#include "job/text.h"

namespace svd {

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
// FORMAT_MESSAGE_FROM_SYSTEM, English (United States).
const DWORD kMessageFlags = 0x1300;
const DWORD kMessageLanguage = 0x0409;

// Room added to the printer list's block beyond the size the spooler asked for.
const DWORD kPrinterListSlack = 32;

const DWORD kDefaultNameCapacity = 255;

const WCHAR* const kMonitorsSucceeded = TEXT("1. EnumMonitors returns true");
const WCHAR* const kMonitorsSizingFailed = TEXT("2. EnumMonitors  failed with code: %s");
const WCHAR* const kMonitorsNoMemory = TEXT("3. EnumMonitors - can't allocate memory for buffer");
const WCHAR* const kMonitorsFetchFailed = TEXT("3. EnumMonitors  failed with code: %s");
const WCHAR* const kNoDescription = TEXT("No Error or no description");
const WCHAR* const kMonitorListHead = TEXT("------- %d existing monitors ----------");
const WCHAR* const kMonitorListEntry = TEXT("%d. %s");
const WCHAR* const kMonitorListNoName = TEXT("***EMPTY***");
const WCHAR* const kMonitorListFoot = TEXT("---------------------------------------");

BYTE* AllocateRecordBlock(DWORD size) {
  BYTE* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (block == nullptr) {
    SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
  }
  return block;
}

// Writes one failure line of the monitor enumeration with the system's text
// for the code, trailing line break included, as FormatMessageW gives it.
void LogMonitorFailure(InstallJob* job, LPCWSTR format, DWORD code) {
  LPWSTR text = nullptr;
  FormatMessageW(kMessageFlags, nullptr, code, kMessageLanguage,
                 reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  LogLine(job, format, text != nullptr ? text : kNoDescription);
  if (text != nullptr) {
    LocalFree(text);
  }
}

// Frees a list's record block and leaves the list empty.
template <typename List>
void ReleaseRecords(List* list) {
  if (list->Records != nullptr) {
    GlobalFree(list->Records);
  }
  list->Records = nullptr;
  list->Count = 0;
}

// The name of record `index` of a monitor list at its own level, or null
// when the level is not one that names monitors.
LPCWSTR MonitorName(const MonitorList* list, DWORD index) {
  switch (list->Level) {
    case 1:
      return reinterpret_cast<const MONITOR_INFO_1W*>(list->Records)[index].pName;
    case 2:
      return reinterpret_cast<const MONITOR_INFO_2W*>(list->Records)[index].pName;
    default:
      return nullptr;
  }
}

template <typename Record>
LPCWSTR DriverNameAt(const BYTE* records, DWORD index) {
  return reinterpret_cast<const Record*>(records)[index].pName;
}

LPCWSTR DriverName(const DriverList* list, DWORD index) {
  switch (list->Level) {
    case 1: return DriverNameAt<DRIVER_INFO_1W>(list->Records, index);
    case 2: return DriverNameAt<DRIVER_INFO_2W>(list->Records, index);
    case 3: return DriverNameAt<DRIVER_INFO_3W>(list->Records, index);
    case 4: return DriverNameAt<DRIVER_INFO_4W>(list->Records, index);
    case 5: return DriverNameAt<DRIVER_INFO_5W>(list->Records, index);
    case 6: return DriverNameAt<DRIVER_INFO_6W>(list->Records, index);
    default: return nullptr;
  }
}

bool LevelNamesMonitors(DWORD level) { return level == 1 || level == 2; }
bool LevelNamesDrivers(DWORD level) { return level >= 1 && level <= 6; }

// An exact, case-sensitive match of the whole name; no name never matches.
bool IsName(LPCWSTR name, LPCWSTR wanted) {
  return name != nullptr && TextEquals(name, wanted);
}

}  // namespace

bool EnumerateMonitors(MonitorList* list, InstallJob* job) {
  list->Level = 2;
  list->Records = nullptr;
  list->Count = 0;

  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned)) {
    // Nothing to fetch: there is no port monitor at all.
    LogLine(job, kMonitorsSucceeded);
    return true;
  }
  DWORD code = GetLastError();
  if (code != ERROR_INSUFFICIENT_BUFFER) {
    LogMonitorFailure(job, kMonitorsSizingFailed, code);
    SetLastError(code);
    return false;
  }

  BYTE* block = AllocateRecordBlock(needed);
  if (block == nullptr) {
    LogLine(job, kMonitorsNoMemory);
    SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    return false;
  }
  if (!EnumMonitorsW(nullptr, 2, block, needed, &needed, &returned)) {
    code = GetLastError();
    GlobalFree(block);
    LogMonitorFailure(job, kMonitorsFetchFailed, code);
    SetLastError(code);
    return false;
  }
  list->Records = block;
  list->Count = returned;
  return true;
}

int FindProductMonitor(const MonitorList* list) {
  if (list->Records == nullptr || !LevelNamesMonitors(list->Level)) {
    return -1;
  }
  for (DWORD index = 0; index < list->Count; ++index) {
    if (IsName(MonitorName(list, index), kPortMonitorName)) {
      return static_cast<int>(index);
    }
  }
  return -1;
}

void LogMonitorList(InstallJob* job, const MonitorList* list) {
  LogLine(job, kMonitorListHead, static_cast<int>(list->Count));
  if (list->Records != nullptr) {
    for (DWORD index = 0; index < list->Count; ++index) {
      // The records are MONITOR_INFO_2W; a level-1 list is read at its own
      // record size so that no read runs past the end of its block.
      LPCWSTR name =
          list->Level == 1
              ? reinterpret_cast<const MONITOR_INFO_1W*>(list->Records)[index].pName
              : reinterpret_cast<const MONITOR_INFO_2W*>(list->Records)[index].pName;
      bool hasName = name != nullptr && name[0] != 0;
      LogLine(job, kMonitorListEntry, static_cast<int>(index + 1),
              hasName ? name : kMonitorListNoName);
    }
  }
  LogLine(job, kMonitorListFoot);
}

void ReleaseMonitorList(MonitorList* list) {
  ReleaseRecords(list);
}

bool EnumerateDrivers(DriverList* list, LPCWSTR environment) {
  list->Level = 6;
  list->Records = nullptr;
  list->Count = 0;

  LPWSTR environmentName = const_cast<LPWSTR>(environment);
  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumPrinterDriversW(nullptr, environmentName, 6, nullptr, 0, &needed, &returned)) {
    return true;  // no drivers
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  BYTE* block = AllocateRecordBlock(needed);
  if (block == nullptr) {
    return false;
  }
  if (!EnumPrinterDriversW(nullptr, environmentName, 6, block, needed, &needed, &returned)) {
    KeepLastError keep;
    GlobalFree(block);
    return false;
  }
  list->Records = block;
  list->Count = returned;
  return true;
}

int FindProductDriver(const DriverList* list) {
  if (list->Records == nullptr || !LevelNamesDrivers(list->Level)) {
    return -1;
  }
  for (DWORD index = 0; index < list->Count; ++index) {
    if (IsName(DriverName(list, index), kDriverName)) {
      return static_cast<int>(index);
    }
  }
  return -1;
}

void ReleaseDriverList(DriverList* list) {
  ReleaseRecords(list);
}

void LoadPrinterList(PrinterList* list) {
  // The old block goes first, so that a failed reload leaves the list
  // empty rather than stale.
  ReleasePrinterList(list);

  const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &returned)) {
    return;  // no printers
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;
  }
  BYTE* block = AllocateRecordBlock(needed + kPrinterListSlack);
  if (block == nullptr) {
    return;
  }
  if (!EnumPrintersW(flags, nullptr, 2, block, needed, &needed, &returned)) {
    GlobalFree(block);
    ReleasePrinterList(list);
    return;
  }
  list->Records = reinterpret_cast<PRINTER_INFO_2W*>(block);
  list->Count = returned;
}

void ReleasePrinterList(PrinterList* list) {
  ReleaseRecords(list);
}

void MarkDefaultPrinter(InstallJob* job) {
  LoadPrinterList(&job->PrinterList);
  job->DefaultPrinterUnread = false;
  job->DefaultPrinterError = ERROR_SUCCESS;

  WCHAR name[kDefaultNameCapacity] = {};
  DWORD capacity = kDefaultNameCapacity;
  LPWSTR found = name;
  LPWSTR block = nullptr;
  BOOL read = GetDefaultPrinterByOrdinal(name, &capacity);
  // A longer name is read again into a block of the size the spooler asks for.
  if (!read && GetLastError() == ERROR_INSUFFICIENT_BUFFER && capacity > kDefaultNameCapacity) {
    block = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, capacity * sizeof(WCHAR)));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
      found = block;
      read = GetDefaultPrinterByOrdinal(block, &capacity);
    }
  }
  if (!read) {
    // ERROR_FILE_NOT_FOUND: there is no default printer. Any other failure
    // leaves unknown whether one of the listed printers is the default.
    DWORD error = GetLastError();
    job->DefaultPrinterUnread = error != ERROR_FILE_NOT_FOUND;
    job->DefaultPrinterError = error;
  } else if (found[0] != 0) {
    // Every record of that name is marked, not only the first.
    PrinterList* list = &job->PrinterList;
    for (DWORD index = 0; index < list->Count; ++index) {
      PRINTER_INFO_2W* record = &list->Records[index];
      if (IsName(record->pPrinterName, found)) {
        record->Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
      }
    }
  }
  if (block != nullptr) GlobalFree(block);
}

void FetchPrinterInfo(PrinterInfoBlock* block, HANDLE printer) {
  block->Record = nullptr;
  block->Size = 0;

  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;
  }
  BYTE* data = AllocateRecordBlock(needed);
  if (data == nullptr) {
    return;
  }
  if (!GetPrinterW(printer, 2, data, needed, &needed)) {
    GlobalFree(data);
    return;
  }
  block->Record = reinterpret_cast<PRINTER_INFO_2W*>(data);
  block->Size = needed;
}

DRIVER_INFO_2W* FetchDriverInfo(HANDLE printer) {
  // The size is asked for the x64 environment; the record itself is fetched
  // for the program's own environment (no name).
  DWORD needed = 0;
  GetPrinterDriverW(printer, const_cast<LPWSTR>(kEnvironment), 2, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return nullptr;
  }
  BYTE* data = AllocateRecordBlock(needed);
  if (data == nullptr) {
    return nullptr;
  }
  if (!GetPrinterDriverW(printer, nullptr, 2, data, needed, &needed)) {
    GlobalFree(data);
    return nullptr;
  }
  return reinterpret_cast<DRIVER_INFO_2W*>(data);
}

bool IsConnection(const PRINTER_INFO_2W* record) {
  DWORD kind = record->Attributes & (PRINTER_ATTRIBUTE_NETWORK | PRINTER_ATTRIBUTE_LOCAL);
  LPCWSTR name = record->pPrinterName;
  return kind == PRINTER_ATTRIBUTE_NETWORK ||
         (name != nullptr && name[0] == TEXT('\\') && name[1] == TEXT('\\'));
}

PrinterHandle OpenPrinterHandle(LPCWSTR name, PRINTER_DEFAULTSW* defaults) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<LPWSTR>(name), &printer, defaults)) return PrinterHandle();
  return PrinterHandle(printer);
}

HANDLE SpoolAddPrinter(PRINTER_INFO_2W* record) {
  return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(record));
}

BOOL SpoolDeletePrinter(HANDLE printer) {
  // Queued jobs would keep the printer alive: purge them first. Whether the
  // purge succeeded does not matter; the deletion is tried all the same.
  SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return DeletePrinter(printer);
}

BOOL SpoolAddPrinterDriver(DRIVER_INFO_6W* record) {
  return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(record), APD_COPY_ALL_FILES);
}

BOOL SpoolDeleteMonitor(LPCWSTR environment) {
  return DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment),
                        const_cast<LPWSTR>(kPortMonitorName));
}

}  // namespace svd
