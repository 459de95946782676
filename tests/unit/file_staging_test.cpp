// Copying component files into place and reading their build numbers.
#include "components/file_staging.h"

#include <gtest/gtest.h>
#include <winsim/control.h>

#include "job_test.h"

#include <string>
#include <vector>

#include "job/install_job.h"
#include "job/product.h"
// The machine's clock events stand in for attempts that take long.
#include "../../winsim/src/core.h"

namespace {

using svd::InstallJob;

const std::u16string kTarget = u"C:\\Staging";

// GetTickCount reports base + the machine's time from now on.
void SetTickBase(DWORD base) {
  winsim::ClockBehaviour clock = winsim::GetClockBehaviour();
  clock.tickBase = base;
  winsim::SetClockBehaviour(clock);
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

class FileStagingTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    winsim::MakeDirectory(kTarget);
    svd::Assign(job_.SourceDir, (winsim::InstallerDirectory() + u"\\").c_str());
  }

  std::u16string Source(const std::u16string& name) {
    return winsim::InstallerDirectory() + u"\\" + name;
  }
  std::u16string Target(const std::u16string& name) { return kTarget + u"\\" + name; }

  HRESULT Copy(const std::u16string& directory, const std::u16string& name, bool reportErrors,
               WCHAR* out = nullptr) {
    return svd::CopyFile(&job_, directory.c_str(), name.c_str(), out, reportErrors);
  }
};

TEST_F(FileStagingTest, CopiesEmptyChunkSizedAndLargerFiles) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{20000}}) {
    SCOPED_TRACE(size);
    winsim::PutFile(Source(u"qrldrv64.dll"), Pattern(size));
    winsim::ClearCalls();
    EXPECT_EQ(S_OK, Copy(kTarget, u"qrldrv64.dll", true));
    EXPECT_EQ(Pattern(size), winsim::FileBytes(Target(u"qrldrv64.dll")));
    EXPECT_TRUE(winsim::FileExists(Target(u"qrldrv64.dll")));
    // A full chunk is followed by one more read, which returns nothing.
    EXPECT_EQ(size / 8192 + 1, winsim::CallCount("ReadFile"));
  }
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::LiveHandles("file"));
  EXPECT_EQ(0, job_.LogDepth);
}

TEST_F(FileStagingTest, LogsBannerAndOutcomeOneLevelDeeper) {
  winsim::PutFile(Source(u"qrlui64.dll"), Pattern(10));
  job_.LogDepth = 1;
  ASSERT_EQ(S_OK, Copy(kTarget, u"qrlui64.dll", false));
  std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(u"  >CopyFile qrlui64.dll to C:\\Staging [0])", lines[0]);
  EXPECT_EQ(u"    Copy Succeeded :)", lines[1]);
  EXPECT_EQ(1, job_.LogDepth);
}

TEST_F(FileStagingTest, DestinationPathHasOneSeparatorAndIsReturned) {
  winsim::PutFile(Source(u"qrlhelp.chm"), Pattern(3));
  WCHAR withSlash[MAX_PATH];
  WCHAR withoutSlash[MAX_PATH];
  ASSERT_EQ(S_OK, Copy(kTarget + u"\\", u"qrlhelp.chm", true, withSlash));
  ASSERT_EQ(S_OK, Copy(kTarget, u"qrlhelp.chm", true, withoutSlash));
  EXPECT_EQ(Target(u"qrlhelp.chm"), std::u16string(withSlash));
  EXPECT_EQ(Target(u"qrlhelp.chm"), std::u16string(withoutSlash));
}

TEST_F(FileStagingTest, MissingSourceFailsQuietlyUnlessReported) {
  winsim::RemoveFile(Source(u"qrlmon64.dll"));
  WCHAR path[MAX_PATH];
  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrlmon64.dll", false, path));
  EXPECT_EQ(Target(u"qrlmon64.dll"), std::u16string(path));
  EXPECT_EQ(0, job_.ErrorCount);
  std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(u"  Copy Failed :(", lines[1]);
  EXPECT_FALSE(winsim::FileExists(Target(u"qrlmon64.dll")));

  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrlmon64.dll", true, path));
  EXPECT_EQ(1, job_.ErrorCount);
  // The bare file name, and the system's text for the open's error.
  EXPECT_TRUE(LogContains(u"  Error(10): Cant't open source file: qrlmon64.dll - ("));
  EXPECT_FALSE(winsim::FileExists(Target(u"qrlmon64.dll")));
  EXPECT_EQ(0u, winsim::LiveHandles("file"));
}

TEST_F(FileStagingTest, LockedDestinationIsTriedHundredTimesThenReported) {
  winsim::PutFile(Source(u"qrlmon64.dll"), Pattern(100));
  winsim::PutFile(Target(u"qrlmon64.dll"), Pattern(5));
  winsim::HoldFile(Target(u"qrlmon64.dll"), "spooler");
  winsim::ClearCalls();
  uint64_t start = winsim::NowMs();
  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrlmon64.dll", true));
  // One open of the source, 100 of the destination, a sleep after each.
  EXPECT_EQ(101u, winsim::CallCount("CreateFileW"));
  std::vector<std::string> sleeps = winsim::CallDetails("Sleep");
  EXPECT_EQ(std::vector<std::string>(100, "50"), sleeps);
  EXPECT_EQ(5000u, winsim::NowMs() - start);
  // The attempts were quick: the 10-second limit never ended them.
  EXPECT_FALSE(LogContains(u"CreateFile - timeout"));
  EXPECT_TRUE(LogContains(u"  Error(9): Cant't open destination file: C:\\Staging\\qrlmon64.dll - ("));
  EXPECT_TRUE(LogHas(u"  Copy Failed :("));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_EQ(Pattern(5), winsim::FileBytes(Target(u"qrlmon64.dll")));
  EXPECT_EQ(0u, winsim::LiveHandles("file"));
}

TEST_F(FileStagingTest, WrappingTickCounterDoesNotEndTheRetriesEarly) {
  winsim::PutFile(Target(u"x.dll"), Pattern(5));
  winsim::HoldFile(Target(u"x.dll"), "spooler");
  SetTickBase(0xFFFFFFFFu - 1000);  // wraps after the 20th sleep
  winsim::ClearCalls();
  EXPECT_EQ(INVALID_HANDLE_VALUE, svd::CreateDestinationFile(&job_, Target(u"x.dll").c_str()));
  EXPECT_EQ(100u, winsim::CallCount("CreateFileW"));
  EXPECT_FALSE(LogContains(u"CreateFile - timeout"));
}

TEST_F(FileStagingTest, SlowAttemptsEndAfterTenSeconds) {
  winsim::PutFile(Target(u"x.dll"), Pattern(5));
  winsim::HoldFile(Target(u"x.dll"), "spooler");
  const DWORD base = 5000000;
  SetTickBase(base);
  // After the 10th sleep the tick counter stands 10,001 ms further on, as
  // if each attempt had taken a second.
  winsim::clock::After(500, [] { SetTickBase(base + 10001 - 500); }, "slow disk");
  winsim::ClearCalls();
  EXPECT_EQ(INVALID_HANDLE_VALUE, svd::CreateDestinationFile(&job_, Target(u"x.dll").c_str()));
  EXPECT_EQ(11u, winsim::CallCount("CreateFileW"));
  EXPECT_EQ(10u, winsim::CallCount("Sleep"));
  EXPECT_EQ((std::vector<std::u16string>{u"CreateFile - timeout"}), LogLines());
  // The error of the last attempt is still there for the caller's error line.
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
}

TEST_F(FileStagingTest, ExactlyTenSecondsIsNotYetATimeout) {
  winsim::PutFile(Target(u"x.dll"), Pattern(5));
  winsim::HoldFile(Target(u"x.dll"), "spooler");
  const DWORD base = 5000000;
  SetTickBase(base);
  winsim::clock::After(500, [] { SetTickBase(base + 10000 - 500); }, "slow disk");
  winsim::ClearCalls();
  EXPECT_EQ(INVALID_HANDLE_VALUE, svd::CreateDestinationFile(&job_, Target(u"x.dll").c_str()));
  // The 11th attempt fails exactly 10,000 ms after the start, the 12th 10,050 ms.
  EXPECT_EQ((std::vector<std::u16string>{u"CreateFile - timeout"}), LogLines());
  EXPECT_EQ(11u, winsim::CallCount("Sleep"));
}

TEST_F(FileStagingTest, DestinationFreedDuringRetriesIsCreated) {
  winsim::PutFile(Target(u"x.dll"), Pattern(5));
  winsim::FailCall("CreateFileW", ERROR_SHARING_VIOLATION, 3);
  winsim::ClearCalls();
  HANDLE file = svd::CreateDestinationFile(&job_, Target(u"x.dll").c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(4u, winsim::CallCount("CreateFileW"));
  EXPECT_EQ(3u, winsim::CallCount("Sleep"));
  CloseHandle(file);
  EXPECT_TRUE(winsim::FileBytes(Target(u"x.dll")).empty());
}

TEST_F(FileStagingTest, FailedReadFailsTheCopy) {
  winsim::PutFile(Source(u"qrldrv64.dll"), Pattern(20000));
  winsim::FailReadAt(Source(u"qrldrv64.dll"), 8192, ERROR_READ_FAULT);
  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrldrv64.dll", false));
  // Written whatever reportErrors says: the destination is incomplete.
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(LogContains(u"  Error(8): CopyFile(..,C:\\Staging\\qrldrv64.dll) - ("));
  EXPECT_TRUE(LogHas(u"  Copy Failed :("));
  EXPECT_FALSE(LogContains(u"Copy Succeeded"));
  EXPECT_EQ(0u, winsim::LiveHandles("file"));
}

TEST_F(FileStagingTest, ShortOrFailedWriteFailsTheCopy) {
  winsim::PutFile(Source(u"qrldrv64.dll"), Pattern(20000));
  winsim::FailWriteAt(Target(u"qrldrv64.dll"), 10000, 0);  // reports a short count
  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrldrv64.dll", true));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(LogContains(u"  Error(8): CopyFile(..,C:\\Staging\\qrldrv64.dll)"));
  EXPECT_TRUE(LogHas(u"  Copy Failed :("));

  winsim::FailWriteAt(Target(u"qrlui64.dll"), 0, ERROR_DISK_FULL);
  winsim::PutFile(Source(u"qrlui64.dll"), Pattern(100));
  EXPECT_EQ(E_FAIL, Copy(kTarget, u"qrlui64.dll", true));
  EXPECT_EQ(2, job_.ErrorCount);
  EXPECT_TRUE(LogContains(u"  Error(8): CopyFile(..,C:\\Staging\\qrlui64.dll) - ("));
  EXPECT_EQ(0u, winsim::LiveHandles("file"));
}

TEST_F(FileStagingTest, DestinationPathLongerThanTheCallersBufferIsRefused) {
  std::u16string deep = u"C:\\" + std::u16string(250, u'd');
  winsim::MakeDirectory(deep);
  winsim::PutFile(Source(u"qrldrv64.dll"), Pattern(10));
  WCHAR buffer[MAX_PATH + 40];
  for (WCHAR& unit : buffer) unit = u'#';
  EXPECT_EQ(E_FAIL, Copy(deep, u"qrldrv64.dll", true, buffer));
  EXPECT_EQ(u'\0', buffer[0]);
  for (size_t i = MAX_PATH; i < MAX_PATH + 40; ++i) EXPECT_EQ(u'#', buffer[i]);
  EXPECT_FALSE(winsim::FileExists(deep + u"\\qrldrv64.dll"));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(LogContains(u"Error(9): Cant't open destination file: C:\\ddd"));

  // Without a buffer to fill the same path is copied.
  EXPECT_EQ(S_OK, Copy(deep, u"qrldrv64.dll", true));
  EXPECT_EQ(Pattern(10), winsim::FileBytes(deep + u"\\qrldrv64.dll"));
}

using FileBuildNumberTest = SimTest;

TEST_F(FileBuildNumberTest, ReadsTheFourthProductVersionNumber) {
  const std::u16string path = u"C:\\Windows\\System32\\probe.dll";
  size_t blocks = winsim::LiveBlocks(winsim::Memory::Global);
  struct Case {
    WORD a, b, c, d;
    int build;
  } cases[] = {{1, 2, 3, 2093, 2093}, {2093, 0, 0, 0, 0}, {5, 0, 0, 2072, 2072},
               {0, 0, 0, 65535, 65535}};
  for (const Case& c : cases) {
    winsim::PutFile(path, winsim::MakeVersionedImage(c.a, c.b, c.c, c.d));
    EXPECT_EQ(c.build, svd::GetFileBuildNumber(path.c_str()));
  }
  winsim::PutFile(path, winsim::MakeUnversionedImage());
  EXPECT_EQ(-1, svd::GetFileBuildNumber(path.c_str()));
  winsim::PutTextFile(path, "not an image");
  EXPECT_EQ(-1, svd::GetFileBuildNumber(path.c_str()));
  winsim::RemoveFile(path);
  EXPECT_EQ(-1, svd::GetFileBuildNumber(path.c_str()));
  winsim::PutFile(path, winsim::MakeVersionedImage(1, 0, 0, 7));
  winsim::FailCall("GetFileVersionInfoW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, svd::GetFileBuildNumber(path.c_str()));
  EXPECT_EQ(blocks, winsim::LiveBlocks(winsim::Memory::Global));
}

}  // namespace
