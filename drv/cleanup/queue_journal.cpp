// The journal of saved queues (see queue_journal.h). Its data may have been
// written by anyone with administrator rights, so every value is checked for
// its type, size and sense before a queue is made of it.
#include "cleanup/queue_journal.h"

#include "cleanup/printer_queues.h"
#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"

namespace svd {

namespace {

const WCHAR kJournalPath[] = TEXT("Software\\Quarlen Software KFT\\Solvendale\\Setup\\SavedQueues");
const WCHAR kSetupPath[] = TEXT("Software\\Quarlen Software KFT\\Solvendale\\Setup");
const WCHAR kNameValue[] = TEXT("Name");
const WCHAR kSubKeyValue[] = TEXT("SubKey");
const WCHAR kCommentValue[] = TEXT("Comment");
const WCHAR kLocationValue[] = TEXT("Location");
const WCHAR kDefaultValue[] = TEXT("Default");
const WCHAR kConnectionValue[] = TEXT("Connection");

constexpr DWORD kEntryDigits = 8;
constexpr DWORD kLastEntry = 99999999;
// Path of the journal, "\" and the entry's digits.
constexpr DWORD kEntryPathUnits = sizeof(kJournalPath) / sizeof(WCHAR) + 1 + kEntryDigits;
// A key name is at most 255 units.
constexpr DWORD kKeyNameUnits = 256;
// Numbers already taken by entries that a read skipped are passed over this
// many times before a write gives up.
constexpr int kWriteAttempts = 16;
// Longest texts an entry may hold. A connection's name is "\\server\queue"
// with a DNS name of up to 255 units and a queue name of up to 220
// (MAX_PRINTER_NAME).
constexpr DWORD kMaxNameUnits = 2 + 255 + 1 + 220;
constexpr DWORD kMaxTextUnits = 32767;
constexpr DWORD kMaxSubKeyBytes = 32767;

enum class Field { Found, Missing, Bad };

// The entry's path below HKEY_LOCAL_MACHINE into path (kEntryPathUnits).
void EntryPath(LPWSTR path, DWORD number) {
  DWORD at = 0;
  for (const WCHAR* c = kJournalPath; *c != 0; ++c) path[at++] = *c;
  path[at++] = '\\';
  for (DWORD i = 0; i < kEntryDigits; ++i) {
    path[at + kEntryDigits - 1 - i] = static_cast<WCHAR>('0' + number % 10);
    number /= 10;
  }
  path[at + kEntryDigits] = 0;
}

// The number of an entry's key name of eight digits, or 0.
DWORD EntryNumber(LPCWSTR name) {
  if (TextLength(name) != kEntryDigits) return 0;
  DWORD number = 0;
  for (DWORD i = 0; i < kEntryDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + static_cast<DWORD>(name[i] - '0');
  }
  return number;
}

LSTATUS SetText(HKEY entry, LPCWSTR value, LPCWSTR text) {
  DWORD bytes = static_cast<DWORD>((TextLength(text) + 1) * sizeof(WCHAR));
  return RegSetValueExW(entry, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LSTATUS SetFlag(HKEY entry, LPCWSTR value, bool flag) {
  DWORD data = flag ? 1 : 0;
  return RegSetValueExW(entry, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

// Bytes of the saved 8-bit SubKey, without its terminator.
DWORD SubKeyBytes(const SavedPrinter* saved) {
  DWORD bytes = 0;
  while (saved->subkey[bytes] != 0) ++bytes;
  return bytes;
}

LSTATUS WriteEntryValues(HKEY entry, const SavedPrinter* saved) {
  DWORD subkeyBytes = SubKeyBytes(saved);
  LSTATUS status = SetText(entry, kNameValue, saved->name);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(entry, kSubKeyValue, 0, REG_BINARY,
                            reinterpret_cast<const BYTE*>(saved->subkey), subkeyBytes);
  }
  if (status == ERROR_SUCCESS && saved->comment != nullptr) status = SetText(entry, kCommentValue, saved->comment);
  if (status == ERROR_SUCCESS && saved->location != nullptr) {
    status = SetText(entry, kLocationValue, saved->location);
  }
  if (status == ERROR_SUCCESS) status = SetFlag(entry, kDefaultValue, saved->wasDefault);
  if (status == ERROR_SUCCESS) status = SetFlag(entry, kConnectionValue, saved->connection);
  return status;
}

// Reads a REG_SZ value of at most maxUnits units into a new GMEM_FIXED
// block. The text may lack its terminator; it may not hold a NUL inside.
Field ReadText(HKEY entry, LPCWSTR value, DWORD maxUnits, LPWSTR* text) {
  *text = nullptr;
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(entry, value, nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return Field::Missing;
  if (status != ERROR_SUCCESS || type != REG_SZ || size % sizeof(WCHAR) != 0 ||
      size > (maxUnits + 1) * sizeof(WCHAR)) {
    return Field::Bad;
  }
  LPWSTR block = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size + sizeof(WCHAR)));
  if (block == nullptr) return Field::Bad;
  DWORD read = size;
  status = RegQueryValueExW(entry, value, nullptr, &type, reinterpret_cast<LPBYTE>(block), &read);
  bool sound = status == ERROR_SUCCESS && type == REG_SZ && read <= size && read % sizeof(WCHAR) == 0;
  DWORD units = read / sizeof(WCHAR);
  DWORD length = 0;
  while (sound && length < units && block[length] != 0) ++length;
  for (DWORD i = length; sound && i < units; ++i) sound = block[i] == 0;
  if (!sound) {
    GlobalFree(block);
    return Field::Bad;
  }
  block[length] = 0;
  *text = block;
  return Field::Found;
}

// Reads the 8-bit SubKey, stored without a terminator and without a NUL
// inside, into a new terminated GMEM_FIXED block.
Field ReadSubKeyBytes(HKEY entry, LPSTR* text) {
  *text = nullptr;
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(entry, kSubKeyValue, nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return Field::Missing;
  if (status != ERROR_SUCCESS || type != REG_BINARY || size > kMaxSubKeyBytes) return Field::Bad;
  LPSTR block = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size + 1));
  if (block == nullptr) return Field::Bad;
  DWORD read = size;
  status = RegQueryValueExW(entry, kSubKeyValue, nullptr, &type, reinterpret_cast<LPBYTE>(block), &read);
  bool sound = status == ERROR_SUCCESS && type == REG_BINARY && read == size;
  for (DWORD i = 0; sound && i < read; ++i) sound = block[i] != 0;
  if (!sound) {
    GlobalFree(block);
    return Field::Bad;
  }
  *text = block;
  return Field::Found;
}

// A REG_DWORD of 0 or 1.
Field ReadFlag(HKEY entry, LPCWSTR value, bool* flag) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LSTATUS status = RegQueryValueExW(entry, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
  if (status == ERROR_FILE_NOT_FOUND) return Field::Missing;
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data) || data > 1) return Field::Bad;
  *flag = data == 1;
  return Field::Found;
}

// A local queue's name has no "\" or ","; a connection's is "\\server\queue".
bool SoundQueueName(LPCWSTR name, bool connection) {
  size_t length = TextLength(name);
  if (length == 0 || length > kMaxNameUnits) return false;
  size_t backslashes = 0;
  size_t last = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] < 0x20 || name[i] == ',') return false;
    if (name[i] == '\\') {
      ++backslashes;
      last = i;
    }
  }
  if (!connection) return backslashes == 0;
  return backslashes == 3 && name[0] == '\\' && name[1] == '\\' && last > 2 && last + 1 < length;
}

// Whether the read below takes the entry of a saved queue: one it would
// skip is never written, or its queue would be lost with it.
bool FitsTheJournal(const SavedPrinter* saved) {
  if (!SoundQueueName(saved->name, saved->connection)) return false;
  DWORD subkeyBytes = SubKeyBytes(saved);
  if (subkeyBytes > kMaxSubKeyBytes || (!saved->connection && subkeyBytes == 0)) return false;
  auto fits = [](LPCWSTR text) { return text == nullptr || TextLength(text) <= kMaxTextUnits; };
  return fits(saved->comment) && fits(saved->location);
}

struct EntryTexts {
  LPWSTR name = nullptr;
  LPWSTR comment = nullptr;
  LPWSTR location = nullptr;
  LPSTR subkey = nullptr;
  ~EntryTexts() {
    if (name != nullptr) GlobalFree(name);
    if (comment != nullptr) GlobalFree(comment);
    if (location != nullptr) GlobalFree(location);
    if (subkey != nullptr) GlobalFree(subkey);
  }
};

// Reads one entry into a new SavedPrinter; returns why it cannot be used,
// or null.
LPCWSTR ReadEntry(HKEY journal, LPCWSTR keyName, SavedPrinter** out) {
  *out = nullptr;
  DWORD number = EntryNumber(keyName);
  if (number == 0) return TEXT("not an entry's name");
  HKEY raw = nullptr;
  if (RegOpenKeyExW(journal, keyName, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return TEXT("cannot be opened");
  RegistryKey entry(raw);
  EntryTexts texts;
  bool wasDefault = false;
  bool connection = false;
  if (ReadFlag(entry.Get(), kConnectionValue, &connection) != Field::Found) return TEXT("no sound Connection");
  if (ReadFlag(entry.Get(), kDefaultValue, &wasDefault) != Field::Found) return TEXT("no sound Default");
  if (ReadText(entry.Get(), kNameValue, kMaxNameUnits, &texts.name) != Field::Found ||
      !SoundQueueName(texts.name, connection)) {
    return TEXT("no sound Name");
  }
  if (ReadSubKeyBytes(entry.Get(), &texts.subkey) != Field::Found || (!connection && texts.subkey[0] == 0)) {
    return TEXT("no sound SubKey");
  }
  if (ReadText(entry.Get(), kCommentValue, kMaxTextUnits, &texts.comment) == Field::Bad) {
    return TEXT("no sound Comment");
  }
  if (ReadText(entry.Get(), kLocationValue, kMaxTextUnits, &texts.location) == Field::Bad) {
    return TEXT("no sound Location");
  }
  *out = NewSavedPrinter(texts.name, texts.comment, texts.location, texts.subkey, wasDefault, connection);
  if (*out == nullptr) return TEXT("no memory");
  (*out)->journalEntry = number;
  return nullptr;
}

// Why an entry cannot join the saved queues that the job has, or null.
LPCWSTR CheckAgainstJob(const InstallJob* job, const SavedPrinter* saved) {
  for (const SavedPrinter* other = job->SavedPrinterList; other != nullptr; other = other->next) {
    if (TextEqualsAsciiNoCase(other->name, saved->name)) return TEXT("saved twice");
  }
  for (DWORD i = 0; job->PrinterList.Records != nullptr && i < job->PrinterList.Count; ++i) {
    const PRINTER_INFO_2W* record = &job->PrinterList.Records[i];
    if (record->pPrinterName == nullptr || !TextEqualsAsciiNoCase(record->pPrinterName, saved->name)) continue;
    if (record->pDriverName == nullptr || !TextEquals(record->pDriverName, kDriverName)) {
      return TEXT("a printer of another driver has its name");
    }
  }
  return nullptr;
}

}  // namespace

bool WriteJournalEntry(InstallJob* job, SavedPrinter* saved) {
  if (!FitsTheJournal(saved)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  for (int attempt = 0; attempt < kWriteAttempts && job->NextJournalEntry <= kLastEntry; ++attempt) {
    DWORD number = job->NextJournalEntry++;
    WCHAR path[kEntryPathUnits] = {};
    EntryPath(path, number);
    HKEY raw = nullptr;
    DWORD disposition = 0;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, &raw, &disposition);
    if (status != ERROR_SUCCESS) {
      SetLastError(static_cast<DWORD>(status));
      return false;
    }
    RegistryKey entry(raw);
    // An entry that the read skipped is not written over.
    if (disposition == REG_OPENED_EXISTING_KEY) continue;
    status = WriteEntryValues(entry.Get(), saved);
    if (status == ERROR_SUCCESS) status = RegFlushKey(entry.Get());
    if (status == ERROR_SUCCESS) {
      saved->journalEntry = number;
      return true;
    }
    entry.Reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  SetLastError(ERROR_ALREADY_EXISTS);
  return false;
}

void DropJournalEntry(const SavedPrinter* saved) {
  if (saved->journalEntry == 0) return;
  WCHAR path[kEntryPathUnits] = {};
  EntryPath(path, saved->journalEntry);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
}

int ReadJournal(InstallJob* job) {
  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalPath, 0, KEY_READ | DELETE, &raw);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status != ERROR_SUCCESS) {
    LogLine(job, TEXT("The saved printers can't be read (%d): none restored"), static_cast<int>(status));
    return 0;
  }
  RegistryKey journal(raw);
  SavedPrinter** tail = &job->SavedPrinterList;
  while (*tail != nullptr) tail = &(*tail)->next;
  int joined = 0;
  DWORD index = 0;
  for (DWORD seen = 0;; ++seen) {
    WCHAR keyName[kKeyNameUnits] = {};
    DWORD units = kKeyNameUnits;
    status = RegEnumKeyExW(journal.Get(), index, keyName, &units, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      LogLine(job, TEXT("The saved printers can't be listed (%d): the rest is skipped"), static_cast<int>(status));
      break;
    }
    if (seen == kMaxJournalEntries) {
      LogLine(job, TEXT("More than %d saved printers: the rest is skipped"), static_cast<int>(kMaxJournalEntries));
      break;
    }
    SavedPrinter* saved = nullptr;
    LPCWSTR fault = ReadEntry(journal.Get(), keyName, &saved);
    if (fault == nullptr) fault = CheckAgainstJob(job, saved);
    if (fault != nullptr) {
      if (saved != nullptr) GlobalFree(saved);
      LogLine(job, TEXT("Saved printer %s skipped: %s"), keyName, fault);
      // The entry behind it takes its place in the list.
      if (RegDeleteTreeW(journal.Get(), keyName) != ERROR_SUCCESS) ++index;
      continue;
    }
    *tail = saved;
    tail = &saved->next;
    ++joined;
    if (saved->journalEntry >= job->NextJournalEntry) job->NextJournalEntry = saved->journalEntry + 1;
    ++index;
  }
  if (joined > 0) {
    LogLine(job, TEXT("%d printers restored from an earlier setup that did not finish"), joined);
  }
  return joined;
}

void ClearJournal(InstallJob* job) {
  LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kJournalPath);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    LogLine(job, TEXT("The saved printers can't be removed (%d)"), static_cast<int>(status));
    return;
  }
  // On disk at once: a power loss must not bring back queues meant to go.
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetupPath, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return;
  RegistryKey setup(raw);
  RegFlushKey(setup.Get());
}

}  // namespace svd
