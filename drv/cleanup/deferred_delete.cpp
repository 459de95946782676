// Files still to delete, and Windows' own pending file operations.
#include "cleanup/deferred_delete.h"

#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"

namespace svd {

namespace {

const CHAR kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const WCHAR* const kPendingRenamesValue = TEXT("PendingFileRenameOperations");

void* ZeroedBlock(size_t bytes) {
  return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes);
}

// A zero-filled global-heap copy of length units of text with a terminator
// added; the units need not be terminated themselves.
LPWSTR CopyUnits(const WCHAR* text, size_t length) {
  LPWSTR copy = static_cast<LPWSTR>(ZeroedBlock((length + 1) * sizeof(WCHAR)));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i < length; ++i) copy[i] = text[i];
  copy[length] = 0;
  return copy;
}

bool StartsWith(LPCWSTR text, LPCWSTR prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

bool IsAsciiLetterNoCase(WCHAR unit, char upper) {
  return unit == static_cast<WCHAR>(upper) || unit == static_cast<WCHAR>(upper + ('a' - 'A'));
}

// The Win32 path of a name stored in the native name space: a leading "\??\"
// is removed, and "\??\UNC\server\share..." becomes "\\server\share...", a
// network path (removing the prefix alone would leave the relative path
// "UNC\server..."). Any other name is used unchanged. Only the UNC form needs
// a new text; it is returned in *owned (global heap, the caller frees it).
// Null when memory runs out.
LPCWSTR Win32PathOf(LPCWSTR name, LPWSTR* owned) {
  *owned = nullptr;
  if (!StartsWith(name, TEXT("\\??\\"))) return name;
  LPCWSTR rest = name + 4;
  if (!(IsAsciiLetterNoCase(rest[0], 'U') && IsAsciiLetterNoCase(rest[1], 'N') &&
        IsAsciiLetterNoCase(rest[2], 'C') && rest[3] == TEXT('\\'))) {
    return rest;
  }
  // Keep the backslash after "UNC" and put one more before it.
  LPCWSTR share = rest + 3;
  size_t length = TextLength(share);
  LPWSTR path = static_cast<LPWSTR>(ZeroedBlock((length + 2) * sizeof(WCHAR)));
  if (path == nullptr) return nullptr;
  path[0] = TEXT('\\');
  for (size_t i = 0; i < length; ++i) path[i + 1] = share[i];
  path[length + 1] = 0;
  *owned = path;
  return path;
}

// 1 when name (in the native or the Win32 form) is an existing file that is
// not a directory.
LONG ExistingFileFlag(LPCWSTR name) {
  LPWSTR owned = nullptr;
  LPCWSTR path = Win32PathOf(name, &owned);
  if (path == nullptr) return 0;
  DWORD attributes = GetFileAttributesW(path);
  if (owned != nullptr) GlobalFree(owned);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : 1;
}

bool DeleteNativeName(LPCWSTR name) {
  LPWSTR owned = nullptr;
  LPCWSTR path = Win32PathOf(name, &owned);
  if (path == nullptr) return false;
  BOOL deleted = DeleteFileW(path);
  if (owned != nullptr) GlobalFree(owned);
  return deleted != 0;
}

// The value's data as the registry holds it, in a zero-filled global-heap
// block; *size gets its size in bytes. Null with size 0 when the key or the
// value is missing, empty or unreadable.
BYTE* ReadPendingRenameData(DWORD* size) {
  *size = 0;
  RegistryKey key = OpenRegistryKey(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_READ);
  if (!key) return nullptr;
  BYTE* data = nullptr;
  DWORD needed = 0;
  if (RegQueryValueExW(key.Get(), kPendingRenamesValue, nullptr, nullptr, nullptr, &needed) == ERROR_SUCCESS &&
      needed != 0) {
    data = static_cast<BYTE*>(ZeroedBlock(needed));
    DWORD got = needed;
    if (data != nullptr &&
        RegQueryValueExW(key.Get(), kPendingRenamesValue, nullptr, nullptr, data, &got) == ERROR_SUCCESS &&
        got <= needed) {
      *size = got;
    } else if (data != nullptr) {
      GlobalFree(data);
      data = nullptr;
    }
  }
  return data;
}

// Walks the strings of a REG_MULTI_SZ value. The walk covers the units
// before the value's final terminator; a string is read up to its NUL but
// never past the data, so a value without terminators is still safe.
struct StringWalk {
  const WCHAR* units;
  size_t available;  // whole UTF-16 units in the data
  size_t limit;      // walk while the position is below this
  size_t position;

  StringWalk(const BYTE* data, DWORD size)
      : units(reinterpret_cast<const WCHAR*>(data)),
        available(size / sizeof(WCHAR)),
        limit(size > 2 ? (size - 2) / 2 : 0),
        position(0) {}

  // The next string's start and length; false at the end of the walk.
  bool Next(const WCHAR** start, size_t* length) {
    if (position >= limit) return false;
    size_t end = position;
    while (end < available && units[end] != 0) ++end;
    *start = units + position;
    *length = end - position;
    position = end + 1;
    return true;
  }
};

}  // namespace

void AddPendingDelete(PendingDelete** list, LPCWSTR path) {
  if (list == nullptr || path == nullptr || path[0] == 0) return;
  for (PendingDelete* entry = *list; entry != nullptr; entry = entry->next) {
    if (TextEquals(entry->path, path)) return;
  }
  PendingDelete* entry = static_cast<PendingDelete*>(ZeroedBlock(sizeof(PendingDelete)));
  if (entry == nullptr) return;
  entry->path = DuplicateText(path);
  if (entry->path == nullptr) {
    GlobalFree(entry);
    return;
  }
  entry->next = *list;
  *list = entry;
}

void RetryPendingDeletes(InstallJob* job) {
  LogLine(job, TEXT("DeleteFile-try"));
  PendingDelete** link = &job->PendingDeleteList;
  while (*link != nullptr) {
    PendingDelete* entry = *link;
    if (DeleteFileW(entry->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      *link = entry->next;
      GlobalFree(entry->path);
      GlobalFree(entry);
    } else {
      link = &entry->next;
    }
  }
}

void ReleasePendingDeletes(PendingDelete** list) {
  PendingDelete* entry = *list;
  while (entry != nullptr) {
    PendingDelete* next = entry->next;
    if (entry->path != nullptr) GlobalFree(entry->path);
    GlobalFree(entry);
    entry = next;
  }
  *list = nullptr;
}

PendingRenameTable ReadPendingRenames() {
  PendingRenameTable table = {nullptr, nullptr, 0};
  DWORD size = 0;
  BYTE* data = ReadPendingRenameData(&size);
  if (data == nullptr) return table;

  size_t strings = 0;
  const WCHAR* start = nullptr;
  size_t length = 0;
  for (StringWalk walk(data, size); walk.Next(&start, &length);) ++strings;
  size_t pairs = strings / 2;  // a last unpaired string is ignored
  if (pairs == 0) {
    GlobalFree(data);
    return table;
  }

  table.names = static_cast<LPWSTR*>(ZeroedBlock(2 * pairs * sizeof(LPWSTR)));
  table.flags = static_cast<LONG*>(ZeroedBlock(2 * pairs * sizeof(LONG)));
  if (table.names == nullptr || table.flags == nullptr) {
    ReleasePendingRenames(&table);
    GlobalFree(data);
    return table;
  }
  table.count = static_cast<LONG>(pairs);

  size_t index = 0;
  for (StringWalk walk(data, size); index < 2 * pairs && walk.Next(&start, &length); ++index) {
    if (length == 0) continue;  // stays absent, flag 0
    table.names[index] = CopyUnits(start, length);
    if (table.names[index] != nullptr) table.flags[index] = ExistingFileFlag(table.names[index]);
  }
  GlobalFree(data);
  return table;
}

void PurgePendingRenames(PendingRenameTable* table) {
  for (LONG pair = 0; pair < table->count; ++pair) {
    LONG source = 2 * pair;
    if (table->flags[source] != 1 || table->names[source] == nullptr) continue;
    if (table->names[source + 1] != nullptr) continue;  // a rename, not a deletion
    if (DeleteNativeName(table->names[source])) table->flags[source] = 0;
  }
}

void ReleasePendingRenames(PendingRenameTable* table) {
  if (table->names != nullptr) {
    for (LONG i = 0; i < 2 * table->count; ++i) {
      if (table->names[i] != nullptr) GlobalFree(table->names[i]);
    }
    GlobalFree(table->names);
  }
  if (table->flags != nullptr) GlobalFree(table->flags);
  table->names = nullptr;
  table->flags = nullptr;
  table->count = 0;
}

}  // namespace svd
