// Files still to delete, and Windows' own pending file operations.
#include "cleanup/deferred_delete.h"

#include <gtest/gtest.h>
#include <winsim/control.h>

#include "job_test.h"

#include <string>
#include <vector>

#include "job/install_job.h"

namespace {

using svd::InstallJob;
using svd::PendingDelete;
using svd::PendingRenameTable;

const std::u16string kSessionManager =
    u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const std::u16string kPendingValue = u"PendingFileRenameOperations";

std::vector<std::u16string> Paths(const PendingDelete* list) {
  std::vector<std::u16string> paths;
  for (; list != nullptr; list = list->next) paths.push_back(list->path);
  return paths;
}

// Raw REG_MULTI_SZ bytes from UTF-16 units, for values in any shape.
std::vector<uint8_t> Bytes(const std::u16string& units) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

std::u16string NameAt(const PendingRenameTable& table, int index) {
  return table.names[index] != nullptr ? std::u16string(table.names[index]) : u"<absent>";
}

class DeferredDeleteTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    blocks_ = winsim::LiveBlocks(winsim::Memory::Global);
  }

  void Add(const std::u16string& path) { svd::AddPendingDelete(&job_.PendingDeleteList, path.c_str()); }

  PendingRenameTable ReadRaw(const std::u16string& units) {
    winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ, Bytes(units));
    return svd::ReadPendingRenames();
  }

  size_t blocks_ = 0;
};

TEST_F(DeferredDeleteTest, KeepsEachExactPathOnceNewestFirst) {
  Add(u"C:\\a.dll");
  Add(u"C:\\b.dll");
  Add(u"C:\\a.dll");
  Add(u"C:\\A.DLL");  // another text, another entry
  Add(u"");
  EXPECT_EQ((std::vector<std::u16string>{u"C:\\A.DLL", u"C:\\b.dll", u"C:\\a.dll"}),
            Paths(job_.PendingDeleteList));
  svd::ReleasePendingDeletes(&job_.PendingDeleteList);
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, RetryDropsDeletedAndMissingFilesAndKeepsTheRestInOrder) {
  for (const char16_t* name : {u"C:\\d\\1.dll", u"C:\\d\\2.dll", u"C:\\d\\3.dll", u"C:\\d\\4.dll"}) {
    winsim::PutFile(name, {1, 2, 3});
  }
  winsim::HoldFile(u"C:\\d\\2.dll", "spooler", ERROR_SHARING_VIOLATION);
  winsim::HoldFile(u"C:\\d\\4.dll", "spooler", ERROR_ACCESS_DENIED);
  Add(u"C:\\gone\\x.dll");  // its directory is missing: ERROR_PATH_NOT_FOUND
  Add(u"C:\\d\\missing.dll");
  Add(u"C:\\d\\4.dll");
  Add(u"C:\\d\\3.dll");
  Add(u"C:\\d\\2.dll");
  Add(u"C:\\d\\1.dll");
  job_.LogDepth = 2;
  svd::RetryPendingDeletes(&job_);

  EXPECT_EQ((std::vector<std::u16string>{u"C:\\d\\2.dll", u"C:\\d\\4.dll", u"C:\\gone\\x.dll"}),
            Paths(job_.PendingDeleteList));
  EXPECT_FALSE(winsim::FileExists(u"C:\\d\\1.dll"));
  EXPECT_FALSE(winsim::FileExists(u"C:\\d\\3.dll"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\d\\2.dll"));
  EXPECT_EQ(u"    DeleteFile-try\r\n", std::u16string(svd::Text(job_.OperationLog)));
  EXPECT_EQ(2, job_.LogDepth);
  EXPECT_EQ(0, job_.ErrorCount);

  winsim::ReleaseHolder("spooler");
  svd::RetryPendingDeletes(&job_);
  EXPECT_EQ((std::vector<std::u16string>{u"C:\\gone\\x.dll"}), Paths(job_.PendingDeleteList));
}

TEST_F(DeferredDeleteTest, RetryOfThreeKeepsOnlyTheMiddleOne) {
  for (const char16_t* name : {u"C:\\1.dll", u"C:\\2.dll", u"C:\\3.dll"}) winsim::PutFile(name, {1});
  winsim::HoldFile(u"C:\\2.dll", "spooler");
  Add(u"C:\\3.dll");
  Add(u"C:\\2.dll");
  Add(u"C:\\1.dll");
  svd::RetryPendingDeletes(&job_);
  EXPECT_EQ((std::vector<std::u16string>{u"C:\\2.dll"}), Paths(job_.PendingDeleteList));
}

TEST_F(DeferredDeleteTest, CaseVariantEntryIsDroppedOnceTheFileIsGone) {
  winsim::PutFile(u"C:\\m.dll", {1});
  Add(u"C:\\m.dll");
  Add(u"C:\\M.DLL");
  svd::RetryPendingDeletes(&job_);
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
  EXPECT_FALSE(winsim::FileExists(u"C:\\m.dll"));
}

TEST_F(DeferredDeleteTest, PurgeDeletesExistingFilesScheduledForDeletionOnly) {
  winsim::PutFile(u"C:\\Windows\\System32\\a.dll", {1});
  winsim::PutFile(u"C:\\Windows\\System32\\b.dll", {1});
  winsim::PutFile(u"C:\\c.dll", {1});
  winsim::PutFile(u"C:\\renamed.dll", {1});
  winsim::MakeDirectory(u"C:\\folder");
  const std::vector<std::u16string> operations = {
      u"\\??\\C:\\Windows\\System32\\a.dll", u"",
      u"\\??\\C:\\Windows\\System32\\b.dll", u"",
      u"C:\\c.dll", u"",
      u"\\??\\C:\\renamed.dll", u"\\??\\C:\\target.dll",
      u"\\??\\C:\\folder", u"",
      u"\\??\\C:\\absent.dll", u""};
  winsim::SetPendingFileRenameOperations(operations);

  PendingRenameTable table = svd::ReadPendingRenames();
  ASSERT_EQ(6, table.count);
  EXPECT_EQ(u"\\??\\C:\\Windows\\System32\\a.dll", NameAt(table, 0));  // stored unstripped
  EXPECT_EQ(u"<absent>", NameAt(table, 1));
  EXPECT_EQ(u"C:\\c.dll", NameAt(table, 4));
  EXPECT_EQ(u"\\??\\C:\\target.dll", NameAt(table, 7));
  std::vector<LONG> flags(table.flags, table.flags + 12);
  EXPECT_EQ((std::vector<LONG>{1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0}), flags);

  svd::PurgePendingRenames(&table);
  EXPECT_FALSE(winsim::FileExists(u"C:\\Windows\\System32\\a.dll"));
  EXPECT_FALSE(winsim::FileExists(u"C:\\Windows\\System32\\b.dll"));
  EXPECT_FALSE(winsim::FileExists(u"C:\\c.dll"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\renamed.dll"));
  EXPECT_TRUE(winsim::DirectoryExists(u"C:\\folder"));
  flags.assign(table.flags, table.flags + 12);
  EXPECT_EQ((std::vector<LONG>{0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}), flags);
  // Deleted under the Win32 path, never with the native prefix.
  for (const std::string& detail : winsim::CallDetails("DeleteFileW")) {
    EXPECT_EQ(std::string::npos, detail.find("\\??\\")) << detail;
  }
  EXPECT_EQ(operations, winsim::PendingFileRenameOperations());

  svd::ReleasePendingRenames(&table);
  EXPECT_EQ(0, table.count);
  EXPECT_EQ(nullptr, table.names);
  EXPECT_EQ(nullptr, table.flags);
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, HeldFileStaysFlaggedAfterPurge) {
  winsim::PutFile(u"C:\\held.dll", {1});
  winsim::HoldFile(u"C:\\held.dll", "spooler");
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\held.dll", u""});
  PendingRenameTable table = svd::ReadPendingRenames();
  ASSERT_EQ(1, table.count);
  svd::PurgePendingRenames(&table);
  EXPECT_EQ(1, table.flags[0]);
  EXPECT_TRUE(winsim::FileExists(u"C:\\held.dll"));
  svd::ReleasePendingRenames(&table);
}

// Windows carries out no delayed operation on a network path, and names
// such as "\??\Volume{...}\" or "\Device\..." are no Win32 paths: entries
// that are not drive paths are neither tested nor purged, whatever reading
// them as relative paths would find.
TEST_F(DeferredDeleteTest, OnlyDrivePathsAreTestedOrPurged) {
  winsim::PutFile(u"C:\\Windows\\System32\\UNC\\server\\share\\q.dll", {1});
  winsim::PutFile(u"C:\\Windows\\System32\\Volume{5e1a}\\q.dll", {1});
  winsim::PutFile(u"C:\\Device\\HarddiskVolume2\\q.dll", {1});
  winsim::PutFile(u"C:\\Windows\\System32\\q.dll", {1});
  winsim::SetPendingFileRenameOperations({u"\\??\\UNC\\server\\share\\q.dll", u"",
                                          u"\\??\\Volume{5e1a}\\q.dll", u"",
                                          u"\\Device\\HarddiskVolume2\\q.dll", u"",
                                          u"q.dll", u""});
  winsim::ClearCalls();
  PendingRenameTable table = svd::ReadPendingRenames();
  ASSERT_EQ(4, table.count);
  EXPECT_EQ(u"\\??\\Volume{5e1a}\\q.dll", NameAt(table, 2));
  EXPECT_EQ((std::vector<LONG>(8, 0)), std::vector<LONG>(table.flags, table.flags + 8));
  for (int i = 0; i < 8; i += 2) table.flags[i] = 1;  // even when flagged
  svd::PurgePendingRenames(&table);
  EXPECT_EQ(0u, winsim::CallCount("GetFileAttributesW"));
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\System32\\Volume{5e1a}\\q.dll"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\Device\\HarddiskVolume2\\q.dll"));
  svd::ReleasePendingRenames(&table);
}

// Another program replaces a file at reboot: a delete of it and a rename of
// its new version onto it ("!" asks to replace an existing file). The file
// stays until then, and the file the caller keeps stays as well.
TEST_F(DeferredDeleteTest, FilesReplacedAtRebootOrKeptAreNotPurged) {
  for (const char16_t* name : {u"C:\\App\\x.dll", u"C:\\App\\x.new", u"C:\\App\\y.dll", u"C:\\App\\y.new",
                               u"C:\\App\\kept.exe", u"C:\\App\\gone.tmp"}) {
    winsim::PutFile(name, {1});
  }
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\App\\x.dll", u"",
                                          u"\\??\\C:\\App\\x.new", u"!\\??\\C:\\App\\x.dll",
                                          u"\\??\\c:\\app\\Y.DLL", u"",
                                          u"\\??\\C:\\App\\y.new", u"\\??\\C:\\App\\y.dll",
                                          u"\\??\\C:\\App\\kept.exe", u"",
                                          u"\\??\\C:\\App\\gone.tmp", u""});
  PendingRenameTable table = svd::ReadPendingRenames();
  ASSERT_EQ(6, table.count);
  svd::PurgePendingRenames(&table, u"C:\\APP\\KEPT.EXE");
  EXPECT_EQ((std::vector<std::string>{"C:\\App\\gone.tmp"}), winsim::CallDetails("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\App\\x.dll"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\App\\y.dll"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\App\\kept.exe"));
  EXPECT_EQ(1, table.flags[0]);
  svd::ReleasePendingRenames(&table);

  // A rename whose target cannot be copied is not taken for a deletion of
  // its source: the whole table is empty then.
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\App\\x.new", u"!\\??\\C:\\App\\x.dll"});
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 4);  // data, names, flags, source, target
  table = svd::ReadPendingRenames();
  EXPECT_EQ(0, table.count);
  svd::PurgePendingRenames(&table);
  EXPECT_TRUE(winsim::FileExists(u"C:\\App\\x.new"));
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

// Cancelling the deletion of files at reboot takes out exactly their delete
// entries, whatever the letter case and with or without "\??\", and keeps
// every other entry byte for byte; a value left without entries goes; a
// value that cannot be written keeps them all and says which.
TEST_F(DeferredDeleteTest, CancelTakesOutOnlyTheDeletesOfTheGivenFiles) {
  const std::u16string z(1, u'\0');
  const std::u16string foreign = u"\\??\\C:\\Temp\\stale.tmp" + z + z;
  const std::u16string ours = u"\\??\\C:\\WINDOWS\\System32\\QRLMON64.DLL" + z + z;
  const std::u16string renameOnto = u"\\??\\C:\\App\\x.new" + z + u"!\\??\\C:\\Windows\\System32\\qrlmon64.dll" + z;
  const std::u16string unprefixed = u"C:\\Windows\\System32\\qrlmon64.dll" + z + z;
  const std::u16string network = u"\\??\\UNC\\s\\h\\qrlmon64.dll" + z + z;
  LPCWSTR paths[] = {u"C:\\Windows\\System32\\qrlmon64.dll", nullptr, u"C:\\Program Files\\Solvendale\\soltray.exe"};
  bool pending[3] = {true, true, true};

  winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ,
                      Bytes(foreign + ours + renameOnto + unprefixed + network + z + u"\xFFFF" + z));
  EXPECT_TRUE(svd::CancelPendingDeletes(paths, 3, pending));
  EXPECT_EQ((std::vector<bool>{false, false, false}), std::vector<bool>(pending, pending + 3));
  DWORD type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(winsim::GetRegValue(kSessionManager, kPendingValue, &type, &data));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(Bytes(foreign + renameOnto + network + z + u"\xFFFF" + z), data);

  winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ, Bytes(ours + z));
  EXPECT_TRUE(svd::CancelPendingDeletes(paths, 3, pending));
  EXPECT_FALSE(winsim::RegValueExists(kSessionManager, kPendingValue));

  winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ, Bytes(foreign + ours + z));
  winsim::DenyRegistryWrite(winsim::SessionManagerKey(), true);
  EXPECT_FALSE(svd::CancelPendingDeletes(paths, 3, pending));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((std::vector<bool>{true, false, false}), std::vector<bool>(pending, pending + 3));
  ASSERT_TRUE(winsim::GetRegValue(kSessionManager, kPendingValue, &type, &data));
  EXPECT_EQ(Bytes(foreign + ours + z), data);
  EXPECT_TRUE(svd::IsPendingDelete(u"c:\\windows\\system32\\qrlmon64.dll"));
  EXPECT_FALSE(svd::IsPendingDelete(u"C:\\App\\x.new"));

  // A missing value deletes nothing; one that cannot be read may delete
  // any of them.
  winsim::DeleteRegValue(kSessionManager, kPendingValue);
  EXPECT_FALSE(svd::HasPendingDeletes());
  EXPECT_TRUE(svd::CancelPendingDeletes(paths, 3, pending));
  winsim::FailCall("RegQueryValueExW", ERROR_ACCESS_DENIED, 2);
  EXPECT_TRUE(svd::HasPendingDeletes());
  EXPECT_FALSE(svd::CancelPendingDeletes(paths, 3, pending));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ((std::vector<bool>{true, false, true}), std::vector<bool>(pending, pending + 3));
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, OddStringCountIgnoresTheLastString) {
  winsim::PutFile(u"C:\\a.dll", {1});
  winsim::SetPendingFileRenameOperations({u"C:\\a.dll", u"", u"C:\\b.dll"});
  PendingRenameTable table = svd::ReadPendingRenames();
  EXPECT_EQ(1, table.count);
  svd::ReleasePendingRenames(&table);

  winsim::SetPendingFileRenameOperations({u"C:\\a.dll"});
  table = svd::ReadPendingRenames();
  EXPECT_EQ(0, table.count);
  EXPECT_EQ(nullptr, table.names);
  EXPECT_EQ(nullptr, table.flags);
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, MissingOrEmptyValueGivesAnEmptyTable) {
  winsim::DeleteRegValue(kSessionManager, kPendingValue);
  PendingRenameTable table = svd::ReadPendingRenames();
  EXPECT_EQ(0, table.count);
  winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ, {});
  table = svd::ReadPendingRenames();
  EXPECT_EQ(0, table.count);
  winsim::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED);
  winsim::SetPendingFileRenameOperations({u"C:\\a.dll", u""});
  table = svd::ReadPendingRenames();
  EXPECT_EQ(0, table.count);
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, MalformedValuesAreReadWithinTheirData) {
  winsim::PutFile(u"C:\\a.dll", {1});
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    LONG count;
  };
  std::vector<uint8_t> odd = Bytes(std::u16string(u"C:\\a.dll\0\0\0", 11));
  odd.push_back(0x41);
  std::vector<uint8_t> cut = Bytes(std::u16string(u"C:\\a.dll\0\0", 10));
  cut.pop_back();  // odd size, the last unit's high byte missing
  const Case cases[] = {
      {"one unit", Bytes(std::u16string(u"\0", 1)), 0},
      {"one byte", {0x41}, 0},
      {"three bytes", {0x41, 0, 0x42}, 0},
      {"no terminator at all", Bytes(u"C:\\a.dllC:\\b.dll"), 0},
      {"second string unterminated", Bytes(std::u16string(u"C:\\a.dll\0xy", 11)), 1},
      {"final terminator missing", Bytes(std::u16string(u"C:\\a.dll\0C:\\b.dll\0", 18)), 1},
      {"empty target taken for the final terminator", Bytes(std::u16string(u"C:\\a.dll\0\0", 10)), 0},
      {"odd size", odd, 1},
      {"cut unit", cut, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    winsim::SetRegValue(kSessionManager, kPendingValue, REG_MULTI_SZ, c.bytes);
    PendingRenameTable table = svd::ReadPendingRenames();
    EXPECT_EQ(c.count, table.count);
    if (table.count == 1) {
      EXPECT_EQ(u"C:\\a.dll", NameAt(table, 0));
      EXPECT_EQ(1, table.flags[0]);
    }
    svd::ReleasePendingRenames(&table);
  }
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(DeferredDeleteTest, UnterminatedTargetIsCopiedWhole) {
  PendingRenameTable table = ReadRaw(std::u16string(u"C:\\a.dll\0C:\\b", 13));
  ASSERT_EQ(1, table.count);
  EXPECT_EQ(u"C:\\b", NameAt(table, 1));
  svd::ReleasePendingRenames(&table);
}

}  // namespace
