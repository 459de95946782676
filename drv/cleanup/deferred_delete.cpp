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

// A run of UTF-16 units, not necessarily terminated.
struct Units {
  const WCHAR* text;  // null: none
  size_t length;
};

Units WholeText(LPCWSTR text) { return Units{text, TextLength(text)}; }

bool IsAsciiLetter(WCHAR unit) {
  return (unit >= TEXT('A') && unit <= TEXT('Z')) || (unit >= TEXT('a') && unit <= TEXT('z'));
}

// The drive path that a name of the value stands for: the name with a
// leading "\??\" removed, when that is an absolute drive path ("X:\...").
// Any other name (a network path, on which Windows carries out no delayed
// operation, "\??\Volume{...}\", "\Device\..." or a relative path) stands for
// no file here: its text is null.
Units DrivePathOf(Units name) {
  Units path = name;
  if (path.length >= 4 && path.text[0] == TEXT('\\') && path.text[1] == TEXT('?') &&
      path.text[2] == TEXT('?') && path.text[3] == TEXT('\\')) {
    path.text += 4;
    path.length -= 4;
  }
  if (path.length >= 3 && IsAsciiLetter(path.text[0]) && path.text[1] == TEXT(':') &&
      path.text[2] == TEXT('\\')) {
    return path;
  }
  return Units{nullptr, 0};
}

// The drive path of a rename's target, which may begin with "!" (replace an
// existing file) before its "\??\".
Units TargetPathOf(Units name) {
  if (name.length > 0 && name.text[0] == TEXT('!')) {
    ++name.text;
    --name.length;
  }
  return DrivePathOf(name);
}

// ASCII letters compared without case, every other unit exactly.
bool EqualsAsciiNoCase(Units a, LPCWSTR b) {
  size_t i = 0;
  for (; i < a.length && b[i] != 0; ++i) {
    WCHAR x = a.text[i];
    WCHAR y = b[i];
    if (x >= TEXT('a') && x <= TEXT('z')) x = static_cast<WCHAR>(x - TEXT('a') + TEXT('A'));
    if (y >= TEXT('a') && y <= TEXT('z')) y = static_cast<WCHAR>(y - TEXT('a') + TEXT('A'));
    if (x != y) return false;
  }
  return i == a.length && b[i] == 0;
}

// Whether a names the same file as path, compared as Windows compares file
// names (ordinal, ignoring case).
bool SamePathUnits(Units a, LPCWSTR path) {
  if (a.text == nullptr || path == nullptr || a.length > 0x7FFFFFFF) return false;
  int result = CompareStringOrdinal(a.text, static_cast<int>(a.length), path, -1, TRUE);
  if (result != 0) return result == CSTR_EQUAL;
  return EqualsAsciiNoCase(a, path);  // the comparison itself failed
}

// 1 when name stands for a drive path that is an existing file, not a
// directory. Names of other forms are not looked at.
LONG ExistingFileFlag(LPCWSTR name) {
  Units path = DrivePathOf(WholeText(name));
  if (path.text == nullptr) return 0;
  DWORD attributes = GetFileAttributesW(path.text);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : 1;
}

// Whether path is the target of a rename in the table: the file that
// another program replaces at reboot.
bool IsRenameTarget(const PendingRenameTable* table, Units path) {
  for (LONG pair = 0; pair < table->count; ++pair) {
    LPCWSTR target = table->names[2 * pair + 1];
    if (target == nullptr) continue;
    Units targetPath = TargetPathOf(WholeText(target));
    if (targetPath.text != nullptr && SamePathUnits(path, targetPath.text)) return true;
  }
  return false;
}

// The value's data as the registry holds it, in a zero-filled global-heap
// block; *size gets its size in bytes. Null with size 0 when the key or the
// value is missing, empty or unreadable; *status (when given) then tells
// which: ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_SUCCESS for
// an empty one, the failure's code otherwise.
BYTE* ReadPendingRenameData(DWORD* size, LONG* status = nullptr) {
  LONG ignored = ERROR_SUCCESS;
  if (status == nullptr) status = &ignored;
  *size = 0;
  HKEY opened = nullptr;
  *status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &opened);
  if (*status != ERROR_SUCCESS) return nullptr;
  RegistryKey key(opened);
  DWORD needed = 0;
  *status = RegQueryValueExW(key.Get(), kPendingRenamesValue, nullptr, nullptr, nullptr, &needed);
  if (*status != ERROR_SUCCESS || needed == 0) return nullptr;
  BYTE* data = static_cast<BYTE*>(ZeroedBlock(needed));
  if (data == nullptr) {
    *status = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  DWORD got = needed;
  *status = RegQueryValueExW(key.Get(), kPendingRenamesValue, nullptr, nullptr, data, &got);
  if (*status == ERROR_SUCCESS && got > needed) *status = ERROR_MORE_DATA;
  if (*status != ERROR_SUCCESS) {
    GlobalFree(data);
    return nullptr;
  }
  *size = got;
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

// Walks the pairs of the value: each pair's strings and the units of the
// data it takes, its terminators included. A last unpaired string ends the
// walk.
struct PendingPair {
  Units source;
  Units target;
  size_t begin;  // first unit of the pair
  size_t end;    // the unit after its target's terminator (at most the data's end)
};

class PairWalk {
 public:
  PairWalk(const BYTE* data, DWORD size) : strings_(data, size) {}

  bool Next(PendingPair* pair) {
    pair->begin = strings_.position;
    if (!strings_.Next(&pair->source.text, &pair->source.length)) return false;
    if (!strings_.Next(&pair->target.text, &pair->target.length)) return false;
    pair->end = strings_.position < strings_.available ? strings_.position : strings_.available;
    return true;
  }

 private:
  StringWalk strings_;
};

// A delete-at-reboot entry whose source is path.
bool DeletesPath(const PendingPair& pair, LPCWSTR path) {
  return pair.target.length == 0 && SamePathUnits(DrivePathOf(pair.source), path);
}

// The value's data without the pairs that delete one of the paths, in a
// new zero-filled block of the same size (*size becomes the data's new size;
// RegSetValueExW looks at the unit after a string value's data, which is
// then inside the block); flags the paths found. Null when nothing is to go, or when memory runs out (last
// error set, *found still true).
BYTE* DataWithoutDeletes(const BYTE* data, DWORD* size, LPCWSTR const* paths, size_t count,
                         bool* found) {
  bool any = false;
  PendingPair pair;
  for (PairWalk walk(data, *size); walk.Next(&pair);) {
    for (size_t i = 0; i < count; ++i) {
      if (paths[i] != nullptr && DeletesPath(pair, paths[i])) found[i] = any = true;
    }
  }
  if (!any) return nullptr;
  BYTE* kept = static_cast<BYTE*>(ZeroedBlock(*size));
  if (kept == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  size_t from = 0;  // bytes
  size_t used = 0;
  for (PairWalk walk(data, *size); walk.Next(&pair);) {
    bool drop = false;
    for (size_t i = 0; i < count && !drop; ++i) drop = paths[i] != nullptr && DeletesPath(pair, paths[i]);
    if (!drop) continue;
    for (; from < pair.begin * sizeof(WCHAR); ++from) kept[used++] = data[from];
    from = pair.end * sizeof(WCHAR);
  }
  for (; from < *size; ++from) kept[used++] = data[from];
  *size = static_cast<DWORD>(used);
  return kept;
}

// Whether the data holds any unit that is not a terminator.
bool HoldsText(const BYTE* data, DWORD size) {
  for (DWORD i = 0; i < size; ++i) {
    if (data[i] != 0) return true;
  }
  return false;
}

// Writes the value's new data, or removes the value when nothing of it is
// left. A registry status.
LONG WritePendingRenameData(const BYTE* data, DWORD size) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  if (HoldsText(data, size)) {
    status = RegSetValueExW(key, kPendingRenamesValue, 0, REG_MULTI_SZ, data, size);
  } else {
    status = RegDeleteValueW(key, kPendingRenamesValue);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return status;
}

}  // namespace

bool SameFilePath(LPCWSTR a, LPCWSTR b) {
  return a != nullptr && SamePathUnits(WholeText(a), b);
}

bool IsPendingDelete(LPCWSTR path) {
  DWORD size = 0;
  BYTE* data = ReadPendingRenameData(&size);
  if (data == nullptr) return false;
  bool found = false;
  PendingPair pair;
  for (PairWalk walk(data, size); !found && walk.Next(&pair);) found = DeletesPath(pair, path);
  GlobalFree(data);
  return found;
}

bool HasPendingDeletes() {
  DWORD size = 0;
  LONG status = ERROR_SUCCESS;
  BYTE* data = ReadPendingRenameData(&size, &status);
  if (data == nullptr) return status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND;
  bool found = false;
  PendingPair pair;
  for (PairWalk walk(data, size); !found && walk.Next(&pair);) {
    found = pair.target.length == 0 && DrivePathOf(pair.source).text != nullptr;
  }
  GlobalFree(data);
  return found;
}

bool CancelPendingDeletes(LPCWSTR const* paths, size_t count, bool* pending) {
  DWORD size = 0;
  LONG status = ERROR_SUCCESS;
  BYTE* data = ReadPendingRenameData(&size, &status);
  // A value that cannot be read may still delete any of them.
  bool unread = data == nullptr && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND;
  for (size_t i = 0; i < count; ++i) pending[i] = unread && paths[i] != nullptr;
  if (unread) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  if (data == nullptr) return true;
  BYTE* kept = DataWithoutDeletes(data, &size, paths, count, pending);
  GlobalFree(data);
  bool anyPending = false;
  for (size_t i = 0; i < count; ++i) anyPending = anyPending || pending[i];
  if (!anyPending) return true;
  if (kept == nullptr) return false;  // no memory for the new data
  status = WritePendingRenameData(kept, size);
  GlobalFree(kept);
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  for (size_t i = 0; i < count; ++i) pending[i] = false;
  return true;
}

void MakeWritable(LPCWSTR path) {
  // The caller's next call reports its own failure: this one keeps the
  // last error as it was.
  KeepLastError keep;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return;
  }
  SetFileAttributesW(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

bool AddPendingDelete(PendingDelete** list, LPCWSTR path) {
  if (list == nullptr || path == nullptr || path[0] == 0) return true;
  for (PendingDelete* entry = *list; entry != nullptr; entry = entry->next) {
    if (TextEquals(entry->path, path)) return true;
  }
  PendingDelete* entry = static_cast<PendingDelete*>(ZeroedBlock(sizeof(PendingDelete)));
  if (entry != nullptr) entry->path = DuplicateText(path);
  if (entry == nullptr || entry->path == nullptr) {
    if (entry != nullptr) GlobalFree(entry);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  entry->next = *list;
  *list = entry;
  return true;
}

void RetryPendingDeletes(InstallJob* job) {
  LogLine(job, TEXT("DeleteFile-try"));
  PendingDelete** link = &job->PendingDeleteList;
  while (*link != nullptr) {
    PendingDelete* entry = *link;
    MakeWritable(entry->path);
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

  // A name that cannot be copied would turn a rename into a deletion, or
  // hide the rename that replaces a file: the table is then empty.
  size_t index = 0;
  bool whole = true;
  for (StringWalk walk(data, size); whole && index < 2 * pairs && walk.Next(&start, &length); ++index) {
    if (length == 0) continue;  // stays absent, flag 0
    table.names[index] = CopyUnits(start, length);
    whole = table.names[index] != nullptr;
  }
  GlobalFree(data);
  if (!whole) {
    ReleasePendingRenames(&table);
    return table;
  }
  for (index = 0; index < 2 * pairs; ++index) {
    if (table.names[index] != nullptr) table.flags[index] = ExistingFileFlag(table.names[index]);
  }
  return table;
}

void PurgePendingRenames(PendingRenameTable* table, LPCWSTR keep) {
  for (LONG pair = 0; pair < table->count; ++pair) {
    LONG source = 2 * pair;
    if (table->flags[source] != 1 || table->names[source] == nullptr) continue;
    if (table->names[source + 1] != nullptr) continue;  // a rename, not a deletion
    Units path = DrivePathOf(WholeText(table->names[source]));
    // A file that another program replaces at reboot stays until then; so
    // does the file the caller keeps.
    if (path.text == nullptr || IsRenameTarget(table, path)) continue;
    if (keep != nullptr && SamePathUnits(path, keep)) continue;
    if (DeleteFileW(path.text)) table->flags[source] = 0;
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
