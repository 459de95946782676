// Removing and re-creating the printer queues of the product's driver.
//
// Queues of the driver "Solvendale printer" are deleted on uninstall; those
// that carry the printer data "SubKey" (the name of the queue's settings key
// of the product) are remembered first, and a reinstall creates them again
// with their name, comment, location, SubKey and default status.
#include "cleanup/printer_queues.h"

#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"
#include "spooler/catalogue.h"

namespace svd {

namespace {

// The SubKey printer data is read into buffers of this many bytes.
constexpr DWORD kSubKeyBytes = 64;
// 8-bit key paths below the product's settings key.
constexpr DWORD kSettingsPathBytes = 260;

// The spooler's 8-bit printer data calls take non-const names.
CHAR kSubKeyValueName[] = "SubKey";
const CHAR kDsUserKeyName[] = "DsUser";
const CHAR kSettingsKey[] = "Software\\Quarlen Software KFT\\Solvendale";
const CHAR kSettingsSubPath[] = "Solvendales\\";
const CHAR kDeletedValueName[] = "deleted";
// SetPrinterDataA and SetPrinterDataExA take the data as non-const bytes.
CHAR kEmptyAnsi[] = "";

const WCHAR* const kMissingName = TEXT("*");
const WCHAR* const kEmptyComment = TEXT("");

DWORD AnsiLength(LPCSTR text) {
  DWORD length = 0;
  if (text == nullptr) return 0;
  while (text[length] != 0) ++length;
  return length;
}

// Copies length bytes of source behind destination and terminates it.
void AnsiCopy(LPSTR destination, LPCSTR source, DWORD length) {
  for (DWORD i = 0; i < length; ++i) destination[i] = source[i];
  destination[length] = 0;
}

// Judges one read of the SubKey into buffer (kSubKeyBytes). The spooler
// returns the bytes as stored: a REG_SZ value may lack its terminator, and a
// value of exactly 64 bytes fills the buffer. The text is terminated right
// behind the bytes read; a read whose 64 bytes hold no terminator is a text
// of 64 or more characters, which does not fit, like ERROR_MORE_DATA.
bool AcceptSubKeyRead(DWORD status, DWORD type, LPSTR buffer, DWORD size) {
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  if (size < kSubKeyBytes) buffer[size] = 0;
  for (DWORD i = 0; i < kSubKeyBytes; ++i) {
    if (buffer[i] == 0) return true;
  }
  return false;
}

bool ReadPlainSubKey(HANDLE printer, LPSTR buffer) {
  DWORD type = 0;
  DWORD size = 0;
  DWORD status = GetPrinterDataA(printer, kSubKeyValueName, &type, reinterpret_cast<LPBYTE>(buffer),
                                 kSubKeyBytes, &size);
  return AcceptSubKeyRead(status, type, buffer, size);
}

bool ReadDsUserSubKey(HANDLE printer, LPSTR buffer) {
  DWORD type = 0;
  DWORD size = 0;
  DWORD status = GetPrinterDataExA(printer, kDsUserKeyName, kSubKeyValueName, &type,
                                   reinterpret_cast<LPBYTE>(buffer), kSubKeyBytes, &size);
  return AcceptSubKeyRead(status, type, buffer, size);
}

// A zero-filled global-heap copy of an 8-bit text, or null.
LPSTR DuplicateAnsi(LPCSTR text) {
  DWORD length = AnsiLength(text);
  LPSTR copy = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, length + 1));
  if (copy != nullptr) AnsiCopy(copy, text, length);
  return copy;
}

bool PushSavedPrinter(InstallJob* job, LPCSTR subkey, PRINTER_INFO_2W* record) {
  SavedPrinter* entry =
      static_cast<SavedPrinter*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(SavedPrinter)));
  if (entry == nullptr) return false;
  entry->subkey = DuplicateAnsi(subkey);
  if (entry->subkey == nullptr) {
    KeepLastError keep;
    GlobalFree(entry);
    return false;
  }
  entry->printer = record;
  entry->next = job->SavedPrinterList;
  job->SavedPrinterList = entry;
  return true;
}

bool IsProductDriver(LPCWSTR driverName) {
  return driverName != nullptr && TextEquals(driverName, kDriverName);
}

void LogMonitorCheck(InstallJob* job) {
  LogLine(job, TEXT("Let's check our port monitors"));
  MonitorList monitors = {};
  EnumerateMonitors(&monitors, job);
  if (FindProductMonitor(&monitors) >= 0) {
    LogLine(job, TEXT("Port monitor is found"));
  } else {
    LogLine(job, TEXT("No Solvendale port monitor was found."));
    if (monitors.Count > 0) {
      LogMonitorList(job, &monitors);
    } else {
      LogLine(job, TEXT("BTW, there is no port monitors on this system."));
    }
  }
  ReleaseMonitorList(&monitors);
}

// Writes the SubKey into the new queue, reads it back and clears the value
// "deleted" of the settings key that it names.
void RestoreSubKey(HANDLE printer, LPCSTR subkey) {
  if (!WriteSubKey(printer, subkey)) return;
  CHAR path[kSettingsPathBytes] = {};
  DWORD prefix = AnsiLength(kSettingsSubPath);
  AnsiCopy(path, kSettingsSubPath, prefix);
  ReadSubKey(printer, path + prefix);
  if (path[prefix] != 0) ClearDeletedValue(path);
}

// Gives the new queue the comment and location of the removed one, and makes
// it the default printer when the removed one was.
void RestoreQueueSettings(HANDLE printer, const PRINTER_INFO_2W* saved) {
  PrinterInfoBlock block = {};
  FetchPrinterInfo(&block, printer);
  if (block.Record == nullptr) return;
  block.Record->pComment = saved->pComment;
  block.Record->pLocation = saved->pLocation;
  SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(block.Record), 0);
  if ((saved->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0 && IsProductDriver(saved->pDriverName)) {
    SetDefaultPrinterByOrdinal(block.Record->pPrinterName);
  }
  GlobalFree(block.Record);
}

bool RecreateSavedPrinter(InstallJob* job, const SavedPrinter* saved) {
  PrinterHandle printer(AddPrinter(job, saved->printer->pPrinterName));
  if (!printer) return false;
  RestoreSubKey(printer.Get(), saved->subkey);
  RestoreQueueSettings(printer.Get(), saved->printer);
  return true;
}

}  // namespace

void DeleteAllPrinters(InstallJob* job) {
  TraceScope trace(job, TEXT(">DeleteAllPrinters"));
  PRINTER_INFO_2W* records = job->PrinterList.Records;
  if (records == nullptr) return;
  for (DWORD i = 0; i < job->PrinterList.Count; ++i) {
    if (!IsProductDriver(records[i].pDriverName)) continue;
    RememberPrinter(job, &records[i]);
    DeletePrinter(job, records[i].pPrinterName);
  }
}

void RememberPrinter(InstallJob* job, PRINTER_INFO_2W* record) {
  // OpenPrinterW without a name would open the print server itself.
  if (record->pPrinterName == nullptr) return;
  // A reinstall deletes the queue next and creates again only the queues
  // remembered here: one that cannot be remembered is lost, which the log
  // must say (an uninstall loses nothing by it).
  LPCWSTR shown = record->pPrinterName;
  PrinterHandle printer = OpenPrinterHandle(record->pPrinterName, nullptr);
  if (!printer) {
    if (job->Reinstalling) ErrorLine(job, ErrorId::CantOpenPrinter, shown);
    return;
  }
  CHAR subkey[kSubKeyBytes] = {};
  ReadSubKey(printer.Get(), subkey);
  if (subkey[0] != 0 && !PushSavedPrinter(job, subkey, record) && job->Reinstalling) {
    ErrorLine(job, ErrorId::CantOpenPrinter, shown);
  }
}

void DeletePrinter(InstallJob* job, LPCWSTR name) {
  LPCWSTR shown = name != nullptr ? name : kMissingName;
  TraceScope trace(job, TEXT(">DeletePrinter(%s)"), shown);
  PRINTER_DEFAULTSW defaults = {};
  defaults.pDatatype = nullptr;
  defaults.pDevMode = nullptr;
  defaults.DesiredAccess = DELETE | PRINTER_ACCESS_ADMINISTER;
  // Without a name OpenPrinterW would open the print server, not a queue.
  if (name == nullptr) SetLastError(ERROR_INVALID_PRINTER_NAME);
  PrinterHandle printer = name != nullptr ? OpenPrinterHandle(name, &defaults) : PrinterHandle();
  if (!printer) {
    ErrorLine(job, ErrorId::CantOpenPrinter, shown);
    return;
  }
  if (SpoolDeletePrinter(printer.Get())) {
    LogLine(job, TEXT("OK"));
  } else {
    ErrorLine(job, ErrorId::CantDeletePrinter, shown);
  }
}

HANDLE AddPrinter(InstallJob* job, LPCWSTR name) {
  LPCWSTR shown = name != nullptr ? name : kMissingName;
  TraceScope trace(job, TEXT(">AddPrinter(%s)"), shown);
  LogMonitorCheck(job);

  PRINTER_INFO_2W record = {};
  record.pPrinterName = const_cast<LPWSTR>(name);
  record.pPortName = const_cast<LPWSTR>(kPortMonitorName);
  record.pDriverName = const_cast<LPWSTR>(kDriverName);
  record.pComment = const_cast<LPWSTR>(kEmptyComment);
  record.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
  HANDLE printer = SpoolAddPrinter(&record);
  if (printer != nullptr) {
    LogLine(job, TEXT("OK :)"));
  } else {
    ErrorLine(job, ErrorId::CantAddPrinter, shown);
  }
  return printer;
}

void RecreatePrinters(InstallJob* job) {
  int recreated = 0;
  for (const SavedPrinter* saved = job->SavedPrinterList; saved != nullptr; saved = saved->next) {
    if (RecreateSavedPrinter(job, saved)) ++recreated;
  }
  if (recreated > 0) return;
  // The queue is only created here: its handle goes at once.
  PrinterHandle printer(AddPrinter(job, kDefaultQueueName));
}

bool WriteSubKey(HANDLE printer, LPCSTR text) {
  LPSTR data = text != nullptr ? const_cast<LPSTR>(text) : kEmptyAnsi;
  DWORD size = AnsiLength(data) + 1;
  SetPrinterDataA(printer, kSubKeyValueName, REG_SZ, reinterpret_cast<LPBYTE>(data), size);
  DWORD status = SetPrinterDataExA(printer, kDsUserKeyName, kSubKeyValueName, REG_SZ,
                                   reinterpret_cast<LPBYTE>(data), size);
  return status == ERROR_SUCCESS;
}

void ReadSubKey(HANDLE printer, LPSTR buffer) {
  if (ReadPlainSubKey(printer, buffer)) return;
  if (ReadDsUserSubKey(printer, buffer)) return;
  buffer[0] = 0;
}

bool ClearDeletedValue(LPCSTR relativePath) {
  DWORD keyLength = AnsiLength(kSettingsKey);
  DWORD relativeLength = AnsiLength(relativePath);
  DWORD size = keyLength + 1 + relativeLength + 1;
  LPSTR path = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (path == nullptr) return false;
  AnsiCopy(path, kSettingsKey, keyLength);
  path[keyLength] = '\\';
  AnsiCopy(path + keyLength + 1, relativePath != nullptr ? relativePath : kEmptyAnsi, relativeLength);

  RegistryKey key = OpenRegistryKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS);
  GlobalFree(path);
  if (!key) return false;
  return RegDeleteValueA(key.Get(), kDeletedValueName) == ERROR_SUCCESS;
}

void ReleaseSavedPrinters(SavedPrinter** list) {
  SavedPrinter* entry = *list;
  while (entry != nullptr) {
    SavedPrinter* next = entry->next;
    if (entry->subkey != nullptr) GlobalFree(entry->subkey);
    GlobalFree(entry);
    entry = next;
  }
  *list = nullptr;
}

}  // namespace svd
