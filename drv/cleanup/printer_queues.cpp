// Removing and re-creating the printer queues of the product's driver.
//
// Queues of the driver "Solvendale printer" are deleted on uninstall; those
// that carry the printer data "SubKey" (the name of the queue's settings key
// of the product) are remembered first, and a reinstall creates them again
// with their name, comment, location, SubKey and default status.
// Connections of the driver to queues of print servers are removed as
// connections (the server's queue, its jobs and data stay untouched) and a
// reinstall connects them again.
#include "cleanup/printer_queues.h"

#include "cleanup/queue_journal.h"
#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"
#include "spooler/catalogue.h"

namespace svd {

namespace {

// The SubKey is first read into a buffer of this many bytes, which holds the
// texts the product writes; a longer value is read again into a block of the
// size the spooler reports.
constexpr DWORD kSubKeyBytes = 64;
// A value that keeps growing between two reads is given up after this many.
constexpr int kSubKeyReads = 3;

// The spooler's 8-bit printer data calls take non-const names.
CHAR kSubKeyValueName[] = "SubKey";
const CHAR kDsUserKeyName[] = "DsUser";
const CHAR kSettingsKey[] = "Software\\Quarlen Software KFT\\Solvendale";
const CHAR kSettingsSubPath[] = "Solvendales\\";
const CHAR kDeletedValueName[] = "deleted";
// SetPrinterDataA and SetPrinterDataExA take the data as non-const bytes.
CHAR kEmptyAnsi[] = "";

const WCHAR* const kMissingName = TEXT("*");
const WCHAR* const kEmptyText = TEXT("");

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

// A zero-filled global-heap block of size bytes, or null with the last error
// ERROR_NOT_ENOUGH_MEMORY.
LPSTR AllocateBytes(SIZE_T size) {
  LPSTR block = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

DWORD GetSubKeyData(HANDLE printer, bool dsUser, DWORD* type, LPBYTE data, DWORD size,
                    DWORD* needed) {
  if (dsUser) {
    return GetPrinterDataExA(printer, kDsUserKeyName, kSubKeyValueName, type, data, size, needed);
  }
  return GetPrinterDataA(printer, kSubKeyValueName, type, data, size, needed);
}

// Reads one copy of the SubKey. The spooler hands back the bytes as stored:
// a REG_SZ value may lack its terminator, so the text ends at its first NUL
// or behind its last byte. *status is the spooler's answer.
SubKeyRead ReadSubKeyCopy(HANDLE printer, bool dsUser, LPSTR* text, DWORD* status) {
  CHAR first[kSubKeyBytes] = {};
  LPSTR data = first;
  LPSTR block = nullptr;
  DWORD capacity = kSubKeyBytes;
  DWORD type = 0;
  DWORD size = 0;
  *status = GetSubKeyData(printer, dsUser, &type, reinterpret_cast<LPBYTE>(data), capacity, &size);
  for (int read = 1; *status == ERROR_MORE_DATA && read < kSubKeyReads; ++read) {
    if (block != nullptr) GlobalFree(block);
    block = AllocateBytes(static_cast<SIZE_T>(size) + 1);
    if (block == nullptr) {
      *status = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    data = block;
    capacity = size;
    *status = GetSubKeyData(printer, dsUser, &type, reinterpret_cast<LPBYTE>(data), capacity, &size);
  }
  SubKeyRead result = SubKeyRead::Unreadable;
  if (*status == ERROR_FILE_NOT_FOUND || (*status == ERROR_SUCCESS && type != REG_SZ)) {
    result = SubKeyRead::Missing;
  } else if (*status == ERROR_SUCCESS) {
    DWORD length = 0;
    while (length < size && length < capacity && data[length] != 0) ++length;
    *text = AllocateBytes(static_cast<SIZE_T>(length) + 1);
    if (*text != nullptr) {
      AnsiCopy(*text, data, length);
      result = SubKeyRead::Found;
    } else {
      *status = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (block != nullptr) GlobalFree(block);
  return result;
}

// "Solvendales\" and the SubKey: the settings key's path below the product's
// key, in a new block, or null.
LPSTR SettingsPathOf(LPCSTR subkey) {
  DWORD prefix = AnsiLength(kSettingsSubPath);
  DWORD length = AnsiLength(subkey);
  LPSTR path = AllocateBytes(static_cast<SIZE_T>(prefix) + length + 1);
  if (path == nullptr) return nullptr;
  AnsiCopy(path, kSettingsSubPath, prefix);
  AnsiCopy(path + prefix, subkey, length);
  return path;
}

// Clears the value "deleted" of the settings key that the queue's SubKey
// names, as the queue holds it now. A queue without a SubKey names no key,
// and a key or value that is not there is already clear; any other failure
// is one error line naming the queue. Returns whether nothing is left.
bool ClearSettingsOfQueue(InstallJob* job, HANDLE printer, LPCWSTR name) {
  LPSTR subkey = nullptr;
  SubKeyRead read = ReadSubKey(printer, &subkey);
  LSTATUS status = ERROR_SUCCESS;
  if (read == SubKeyRead::Unreadable) {
    status = GetLastError();
  } else if (read == SubKeyRead::Found && subkey[0] != 0) {
    LPSTR path = SettingsPathOf(subkey);
    status = path != nullptr ? ClearDeletedValue(path) : ERROR_NOT_ENOUGH_MEMORY;
    if (path != nullptr) GlobalFree(path);
  }
  if (subkey != nullptr) GlobalFree(subkey);
  if (status == ERROR_SUCCESS) return true;
  SetLastError(static_cast<DWORD>(status));
  ErrorLine(job, ErrorId::CantClearSettingsKey, name);
  return false;
}

// Bytes of a UTF-16 text with its terminator; 0 for none.
SIZE_T TextBytes(LPCWSTR text) { return text != nullptr ? (TextLength(text) + 1) * sizeof(WCHAR) : 0; }

// Copies a text to at and moves at behind it; none stays none.
LPCWSTR PlaceText(BYTE** at, LPCWSTR text) {
  if (text == nullptr) return nullptr;
  SIZE_T bytes = TextBytes(text);
  LPWSTR copy = reinterpret_cast<LPWSTR>(*at);
  for (SIZE_T i = 0; i < bytes / sizeof(WCHAR); ++i) copy[i] = text[i];
  *at += bytes;
  return copy;
}

bool PushSavedPrinter(InstallJob* job, const PRINTER_INFO_2W* record, LPCSTR subkey) {
  SavedPrinter* entry = NewSavedPrinter(record->pPrinterName, record->pComment, record->pLocation,
                                        subkey, (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0,
                                        IsConnection(record));
  if (entry == nullptr) return false;
  entry->next = job->SavedPrinterList;
  job->SavedPrinterList = entry;
  return true;
}

// A reinstall leaves the queue in place; the caller wrote the error line.
bool KeepQueue(InstallJob* job) {
  ++job->KeptQueues;
  return false;
}

// A reinstall writes the queue it just saved into the journal before it may
// delete it; one that cannot be written is taken off the list again and
// kept, with one error line.
bool JournalNewest(InstallJob* job, LPCWSTR shown) {
  if (!job->Reinstalling) return true;
  SavedPrinter* newest = job->SavedPrinterList;
  if (WriteJournalEntry(job, newest)) return true;
  KeepLastError keep;
  job->SavedPrinterList = newest->next;
  GlobalFree(newest);
  ErrorLine(job, ErrorId::CantSaveQueue, shown);
  return KeepQueue(job);
}

// Whether the journal of an earlier run already holds the queue: it is
// deleted and created again from that entry, which knows it as the user
// had it.
bool SavedByJournal(const InstallJob* job, LPCWSTR name) {
  for (const SavedPrinter* saved = job->SavedPrinterList; saved != nullptr; saved = saved->next) {
    if (saved->journalEntry != 0 && TextEqualsAsciiNoCase(saved->name, name)) return true;
  }
  return false;
}

bool IsProductDriver(LPCWSTR driverName) {
  return driverName != nullptr && TextEquals(driverName, kDriverName);
}

// Whether the printer list holds a queue or connection of the driver.
bool HasQueueOfTheDriver(const InstallJob* job) {
  for (DWORD i = 0; i < job->PrinterList.Count; ++i) {
    if (IsProductDriver(job->PrinterList.Records[i].pDriverName)) return true;
  }
  return false;
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

// A connection needs no reading: its name is all it takes to connect again.
// Returns whether it may be removed.
bool RememberConnection(InstallJob* job, const PRINTER_INFO_2W* record) {
  if (PushSavedPrinter(job, record, kEmptyAnsi)) return JournalNewest(job, record->pPrinterName);
  if (!job->Reinstalling) return true;
  ErrorLine(job, ErrorId::CantOpenPrinter, record->pPrinterName);
  return KeepQueue(job);
}

// Removes this user's connection; the server's queue is not touched.
void DeleteConnection(InstallJob* job, LPCWSTR name) {
  TraceScope trace(job, TEXT(">DeletePrinter(%s)"), name);
  if (DeletePrinterConnectionW(const_cast<LPWSTR>(name))) {
    LogLine(job, TEXT("OK"));
  } else {
    ErrorLine(job, ErrorId::CantDeletePrinter, name);
  }
}

// Writes the SubKey into the new queue, then clears the value "deleted" of
// the settings key that the queue now names.
bool RestoreSubKey(InstallJob* job, HANDLE printer, const SavedPrinter* saved) {
  DWORD status = WriteSubKey(printer, saved->subkey);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    ErrorLine(job, ErrorId::CantRestoreSubKey, saved->name);
  }
  bool cleared = ClearSettingsOfQueue(job, printer, saved->name);
  return status == ERROR_SUCCESS && cleared;
}

// Makes the printer the default printer again; error line 27 when it cannot.
bool RestoreDefault(InstallJob* job, LPCWSTR name, LPCWSTR shown) {
  if (SetDefaultPrinterByOrdinal(name)) return true;
  ErrorLine(job, ErrorId::CantRestoreDefaultPrinter, shown);
  return false;
}

// Gives the new queue the comment and location of the removed one, and makes
// it the default printer when the removed one was. Returns whether all of
// it was done; an error line names each part that was not.
bool RestoreQueueSettings(InstallJob* job, HANDLE printer, const SavedPrinter* saved) {
  PrinterInfoBlock block = {};
  FetchPrinterInfo(&block, printer);
  bool done = block.Record != nullptr;
  if (done) {
    block.Record->pComment = const_cast<LPWSTR>(saved->comment);
    block.Record->pLocation = const_cast<LPWSTR>(saved->location);
    done = SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(block.Record), 0) != FALSE;
  }
  if (!done) ErrorLine(job, ErrorId::CantRestoreQueueSettings, saved->name);
  if (saved->wasDefault) {
    // The queue was created under the saved name; its record names it so too.
    LPCWSTR name = block.Record != nullptr ? block.Record->pPrinterName : saved->name;
    done = RestoreDefault(job, name, saved->name) && done;
  }
  if (block.Record != nullptr) GlobalFree(block.Record);
  return done;
}

// The journal's entry goes once the queue is back with its SubKey and
// settings; otherwise the next install makes it again from the entry.
bool RecreateSavedPrinter(InstallJob* job, const SavedPrinter* saved) {
  PrinterHandle printer(AddPrinter(job, saved->name));
  if (!printer) return false;
  bool subkeyBack = RestoreSubKey(job, printer.Get(), saved);
  bool settingsBack = RestoreQueueSettings(job, printer.Get(), saved);
  if (subkeyBack && settingsBack) DropJournalEntry(saved);
  return true;
}

// Connects again to the server's queue. Its comment, location and SubKey are
// the server's and stay as they are; the user's settings key and default
// printer are this machine's and are restored.
void RestoreConnection(InstallJob* job, const SavedPrinter* saved) {
  {
    TraceScope trace(job, TEXT(">AddPrinter(%s)"), saved->name);
    if (!AddPrinterConnectionW(const_cast<LPWSTR>(saved->name))) {
      ErrorLine(job, ErrorId::CantAddPrinter, saved->name);
      return;
    }
    LogLine(job, TEXT("OK :)"));
  }
  // The connection is opened to read the SubKey that names the settings key.
  PrinterHandle printer = OpenPrinterHandle(saved->name, nullptr);
  bool cleared = false;
  if (printer) {
    cleared = ClearSettingsOfQueue(job, printer.Get(), saved->name);
  } else {
    ErrorLine(job, ErrorId::CantClearSettingsKey, saved->name);
  }
  bool defaultBack = !saved->wasDefault || RestoreDefault(job, saved->name, saved->name);
  if (cleared && defaultBack) DropJournalEntry(saved);
}

}  // namespace

void DeleteAllPrinters(InstallJob* job) {
  TraceScope trace(job, TEXT(">DeleteAllPrinters"));
  PRINTER_INFO_2W* records = job->PrinterList.Records;
  if (records == nullptr) return;
  // Without the default printer's name a reinstall does not know whether it
  // deletes the default printer: the queue would come back without that
  // status.
  if (job->Reinstalling && job->DefaultPrinterUnread && HasQueueOfTheDriver(job)) {
    SetLastError(job->DefaultPrinterError);
    ErrorLine(job, ErrorId::CantReadDefaultPrinter);
  }
  for (DWORD i = 0; i < job->PrinterList.Count; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    if (!IsProductDriver(record->pDriverName)) continue;
    // A connection without a name is no connection that could be removed.
    bool journaled = record->pPrinterName != nullptr && SavedByJournal(job, record->pPrinterName);
    if (journaled && IsConnection(record)) {
      DeleteConnection(job, record->pPrinterName);
    } else if (journaled) {
      DeletePrinter(job, record->pPrinterName);
    } else if (record->pPrinterName != nullptr && IsConnection(record)) {
      if (RememberConnection(job, record)) DeleteConnection(job, record->pPrinterName);
    } else if (RememberPrinter(job, record)) {
      DeletePrinter(job, record->pPrinterName);
    }
  }
}

bool RememberPrinter(InstallJob* job, PRINTER_INFO_2W* record) {
  // OpenPrinterW without a name would open the print server itself.
  if (record->pPrinterName == nullptr) return true;
  // A reinstall deletes the queue next and creates again only the queues
  // remembered here: one whose SubKey is not known is left in place, and the
  // log says so (an uninstall loses nothing by deleting it).
  LPCWSTR shown = record->pPrinterName;
  PrinterHandle printer = OpenPrinterHandle(record->pPrinterName, nullptr);
  if (!printer) {
    if (!job->Reinstalling) return true;
    ErrorLine(job, ErrorId::CantOpenPrinter, shown);
    return KeepQueue(job);
  }
  LPSTR subkey = nullptr;
  SubKeyRead read = ReadSubKey(printer.Get(), &subkey);
  if (read == SubKeyRead::Unreadable) {
    if (!job->Reinstalling) return true;
    ErrorLine(job, ErrorId::CantReadSubKey, shown);
    return KeepQueue(job);
  }
  bool remembered = read == SubKeyRead::Found && subkey[0] != 0;
  bool saved = !remembered || PushSavedPrinter(job, record, subkey);
  if (subkey != nullptr) {
    KeepLastError keep;
    GlobalFree(subkey);
  }
  if (remembered && saved) return JournalNewest(job, shown);
  if (saved || !job->Reinstalling) return true;
  ErrorLine(job, ErrorId::CantOpenPrinter, shown);
  return KeepQueue(job);
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
  record.pComment = const_cast<LPWSTR>(kEmptyText);
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
    if (saved->connection) {
      RestoreConnection(job, saved);
    } else if (RecreateSavedPrinter(job, saved)) {
      ++recreated;
    }
  }
  // A queue of the driver is there already when one was kept.
  if (recreated > 0 || job->KeptQueues > 0) return;
  // The queue is only created here: its handle goes at once.
  PrinterHandle printer(AddPrinter(job, kDefaultQueueName));
}

DWORD WriteSubKey(HANDLE printer, LPCSTR text) {
  LPSTR data = text != nullptr ? const_cast<LPSTR>(text) : kEmptyAnsi;
  DWORD size = AnsiLength(data) + 1;
  DWORD plain = SetPrinterDataA(printer, kSubKeyValueName, REG_SZ, reinterpret_cast<LPBYTE>(data), size);
  DWORD dsUser = SetPrinterDataExA(printer, kDsUserKeyName, kSubKeyValueName, REG_SZ,
                                   reinterpret_cast<LPBYTE>(data), size);
  return plain != ERROR_SUCCESS ? plain : dsUser;
}

SubKeyRead ReadSubKey(HANDLE printer, LPSTR* text) {
  *text = nullptr;
  DWORD plainStatus = ERROR_SUCCESS;
  DWORD dsUserStatus = ERROR_SUCCESS;
  SubKeyRead plain = ReadSubKeyCopy(printer, false, text, &plainStatus);
  if (plain == SubKeyRead::Found) return plain;
  SubKeyRead dsUser = ReadSubKeyCopy(printer, true, text, &dsUserStatus);
  if (dsUser == SubKeyRead::Found) return dsUser;
  // Either copy may hold the SubKey: it is missing only when neither has one.
  if (plain == SubKeyRead::Unreadable) {
    SetLastError(plainStatus);
    return plain;
  }
  if (dsUser == SubKeyRead::Unreadable) SetLastError(dsUserStatus);
  return dsUser;
}

LSTATUS ClearDeletedValue(LPCSTR relativePath) {
  DWORD keyLength = AnsiLength(kSettingsKey);
  DWORD relativeLength = AnsiLength(relativePath);
  DWORD size = keyLength + 1 + relativeLength + 1;
  LPSTR path = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (path == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  AnsiCopy(path, kSettingsKey, keyLength);
  path[keyLength] = '\\';
  AnsiCopy(path + keyLength + 1, relativePath != nullptr ? relativePath : kEmptyAnsi, relativeLength);

  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &raw);
  GlobalFree(path);
  if (status == ERROR_SUCCESS) {
    RegistryKey key(raw);
    status = RegDeleteValueA(key.Get(), kDeletedValueName);
  }
  // No key, or no value in it: nothing is marked deleted.
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

SavedPrinter* NewSavedPrinter(LPCWSTR name, LPCWSTR comment, LPCWSTR location, LPCSTR subkey,
                              bool wasDefault, bool connection) {
  if (name == nullptr) name = kEmptyText;
  DWORD subkeyLength = AnsiLength(subkey);
  SIZE_T size = sizeof(SavedPrinter) + TextBytes(name) + TextBytes(comment) + TextBytes(location) +
                subkeyLength + 1;
  BYTE* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
  if (block == nullptr) return nullptr;
  SavedPrinter* entry = reinterpret_cast<SavedPrinter*>(block);
  BYTE* at = block + sizeof(SavedPrinter);
  entry->name = PlaceText(&at, name);
  entry->comment = PlaceText(&at, comment);
  entry->location = PlaceText(&at, location);
  LPSTR text = reinterpret_cast<LPSTR>(at);
  AnsiCopy(text, subkey != nullptr ? subkey : kEmptyAnsi, subkeyLength);
  entry->subkey = text;
  entry->wasDefault = wasDefault;
  entry->connection = connection;
  entry->next = nullptr;
  return entry;
}

void ReleaseSavedPrinters(SavedPrinter** list) {
  SavedPrinter* entry = *list;
  while (entry != nullptr) {
    SavedPrinter* next = entry->next;
    GlobalFree(entry);
    entry = next;
  }
  *list = nullptr;
}

}  // namespace svd
