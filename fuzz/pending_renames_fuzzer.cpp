// The session manager's "PendingFileRenameOperations", read by
// svd::ReadPendingRenames: the fuzzer's bytes are the value's data as the
// registry holds it (REG_MULTI_SZ, any length, terminated or not). The table
// is compared with an independent reading of the same bytes; the purge may
// delete only existing files named by delete operations on drive paths that
// no rename of the value replaces; cancelling the deletion of a file leaves
// none of it scheduled; release leaves no block behind.
#include "fuzz_common.h"

#include <vector>

#include "cleanup/deferred_delete.h"

namespace {

const char16_t kSessionManager[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Files and a directory that inputs can name (the seeds do).
const char16_t* const kFiles[] = {u"C:\\a", u"C:\\b.txt", u"C:\\d\\f.dll", u"C:\\Windows\\x.dll"};
const char16_t kDirectory[] = u"C:\\d";

// The strings of the value: everything before its final terminator, split at
// each NUL; a string may be empty, and the last one may run to the data's end.
std::vector<std::u16string> ReferenceStrings(const uint8_t* data, size_t size) {
  std::vector<std::u16string> strings;
  size_t units = size / 2;
  size_t limit = size > 2 ? (size - 2) / 2 : 0;
  size_t position = 0;
  while (position < limit) {
    std::u16string text;
    while (position < units) {
      char16_t unit = static_cast<char16_t>(data[2 * position] | (data[2 * position + 1] << 8));
      ++position;
      if (unit == 0) break;
      text.push_back(unit);
    }
    strings.push_back(text);
    if (position >= units) break;
  }
  return strings;
}

// The drive path ("X:\...") that a name stands for once a leading "\??\"
// is removed; empty for names of any other form.
std::u16string DrivePath(const std::u16string& name) {
  std::u16string path = name.compare(0, 4, u"\\??\\") == 0 ? name.substr(4) : name;
  bool letter = !path.empty() && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  return letter && path.size() >= 3 && path[1] == u':' && path[2] == u'\\' ? path : std::u16string();
}

bool SameFile(const std::u16string& a, const std::u16string& b) {
  return !a.empty() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                            static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether a rename of the value replaces the file at path at reboot (its
// target may begin with "!").
bool Replaced(const std::vector<std::u16string>& strings, size_t pairs, const std::u16string& path) {
  for (size_t k = 0; k < pairs; ++k) {
    std::u16string target = strings[2 * k + 1];
    if (!target.empty() && target[0] == u'!') target = target.substr(1);
    if (!target.empty() && SameFile(DrivePath(target), path)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ReuseMachine();
  winsim::MakeDirectory(kDirectory);
  for (const char16_t* file : kFiles) winsim::PutFile(file, {'x'});
  winsim::SetRegValue(kSessionManager, u"PendingFileRenameOperations", REG_MULTI_SZ,
                      std::vector<uint8_t>(data, data + size));

  std::vector<std::u16string> strings = ReferenceStrings(data, size);
  size_t pairs = strings.size() / 2;
  size_t blocksBefore = winsim::LiveBlocks();
  size_t keysBefore = winsim::OpenRegistryKeys();

  svd::PendingRenameTable table = svd::ReadPendingRenames();
  FUZZ_CHECK(winsim::OpenRegistryKeys() == keysBefore);
  FUZZ_CHECK(table.count >= 0);
  FUZZ_CHECK(static_cast<size_t>(table.count) == pairs);
  FUZZ_CHECK((table.count == 0) == (table.names == nullptr));
  FUZZ_CHECK((table.count == 0) == (table.flags == nullptr));
  for (size_t i = 0; i < 2 * pairs; ++i) {
    const std::u16string& expected = strings[i];
    if (expected.empty()) {
      FUZZ_CHECK(table.names[i] == nullptr);
      FUZZ_CHECK(table.flags[i] == 0);
      continue;
    }
    FUZZ_CHECK(table.names[i] != nullptr);
    FUZZ_CHECK(std::u16string(table.names[i]) == expected);
    std::u16string path = DrivePath(expected);
    bool existing = !path.empty() && winsim::FileExists(path);
    FUZZ_CHECK(table.flags[i] == (existing ? 1 : 0));
  }

  // The purge deletes the source of each delete operation whose source
  // exists and is not replaced at reboot, and nothing else; a deletion
  // clears the source's flag.
  std::vector<LONG> flags(table.flags, table.flags + 2 * pairs);
  std::vector<bool> purged(2 * pairs, false);
  size_t expectedDeletions = 0;
  for (size_t k = 0; k < pairs; ++k) {
    purged[2 * k] = flags[2 * k] == 1 && strings[2 * k + 1].empty() &&
                    !Replaced(strings, pairs, DrivePath(strings[2 * k]));
    if (purged[2 * k]) ++expectedDeletions;
  }
  winsim::ClearCalls();
  svd::PurgePendingRenames(&table);
  FUZZ_CHECK(winsim::CallCount("DeleteFileW") == expectedDeletions);
  for (size_t i = 0; i < 2 * pairs; ++i) {
    bool purgedSource = purged[i];
    if (purgedSource) {
      FUZZ_CHECK(table.flags[i] == 0 || table.flags[i] == 1);
    } else {
      FUZZ_CHECK(table.flags[i] == flags[i]);
    }
  }
  FUZZ_CHECK(winsim::DirectoryExists(kDirectory));

  svd::ReleasePendingRenames(&table);
  FUZZ_CHECK(table.count == 0 && table.names == nullptr && table.flags == nullptr);

  // Cancelling the deletion of a file takes out all of its delete entries.
  LPCWSTR cancelled[] = {kFiles[0]};
  bool pending[1] = {true};
  FUZZ_CHECK(svd::CancelPendingDeletes(cancelled, 1, pending));
  FUZZ_CHECK(!pending[0] && !svd::IsPendingDelete(kFiles[0]));
  FUZZ_CHECK(winsim::OpenRegistryKeys() == keysBefore);
  FUZZ_CHECK(winsim::LiveBlocks() == blocksBefore);
  return 0;
}
