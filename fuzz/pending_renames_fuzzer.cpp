// The session manager's "PendingFileRenameOperations", read by
// svd::ReadPendingRenames: the fuzzer's bytes are the value's data as the
// registry holds it (REG_MULTI_SZ, any length, terminated or not). The table
// is compared with an independent reading of the same bytes; the purge may
// delete only existing files named by delete operations; release leaves no
// block behind.
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

std::u16string Win32Form(const std::u16string& name) {
  if (name.compare(0, 4, u"\\??\\") != 0) return name;
  std::u16string rest = name.substr(4);
  if (rest.size() >= 4 && (rest[0] | 0x20) == u'u' && (rest[1] | 0x20) == u'n' &&
      (rest[2] | 0x20) == u'c' && rest[3] == u'\\')
    return u"\\" + rest.substr(3);
  return rest;
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
    bool existing = winsim::FileExists(Win32Form(expected));
    FUZZ_CHECK(table.flags[i] == (existing ? 1 : 0));
  }

  // The purge deletes the source of each delete operation whose source
  // exists, and nothing else; a deletion clears the source's flag.
  std::vector<LONG> flags(table.flags, table.flags + 2 * pairs);
  size_t expectedDeletions = 0;
  for (size_t k = 0; k < pairs; ++k) {
    if (flags[2 * k] == 1 && strings[2 * k + 1].empty()) ++expectedDeletions;
  }
  winsim::ClearCalls();
  svd::PurgePendingRenames(&table);
  FUZZ_CHECK(winsim::CallCount("DeleteFileW") == expectedDeletions);
  for (size_t i = 0; i < 2 * pairs; ++i) {
    bool purgedSource = i % 2 == 0 && flags[i] == 1 && strings[i + 1].empty();
    if (purgedSource) {
      FUZZ_CHECK(table.flags[i] == 0 || table.flags[i] == 1);
    } else {
      FUZZ_CHECK(table.flags[i] == flags[i]);
    }
  }
  FUZZ_CHECK(winsim::DirectoryExists(kDirectory));

  svd::ReleasePendingRenames(&table);
  FUZZ_CHECK(table.count == 0 && table.names == nullptr && table.flags == nullptr);
  FUZZ_CHECK(winsim::LiveBlocks() == blocksBefore);
  return 0;
}
