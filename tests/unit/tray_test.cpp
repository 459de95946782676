// The tray companion: the exit handshake, its registration and its start.
#include "cleanup/tray.h"

#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>

#include <string>
#include <vector>

#include "cleanup/deferred_delete.h"
#include "job/install_job.h"

namespace {

const std::u16string kRunKey = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::u16string kRunValue = u"SolvendaleTray";
const std::string kMutexName = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const std::u16string kWindowClass = u"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}";

std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool terminator) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::string Narrow(const std::u16string& text) {
  return std::string(text.begin(), text.end());
}

size_t SleepCalls(const std::string& ms) {
  size_t count = 0;
  for (const std::string& detail : winsim::CallDetails("Sleep")) {
    if (detail == ms) ++count;
  }
  return count;
}

class TrayCompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    winsim::CreateRegKey(kRunKey);
    winsim::PutFile(winsim::TrayPath(), {'M', 'Z'});
  }
  void TearDown() override {
    svd::Release(job_.SourceDir);
    svd::Release(job_.OperationLog);
    svd::ReleasePendingDeletes(&leftovers_);
  }

  void Register(const std::u16string& path) { winsim::SetRegString(kRunKey, kRunValue, path); }
  void StartCompanion(const winsim::TrayBehaviour& behaviour) {
    winsim::SetTrayBehaviour(behaviour);
    ASSERT_TRUE(winsim::StartTrayCompanion(winsim::TrayPath()));
    winsim::ClearCalls();
  }
  // Runs StopTray and returns the virtual time it took.
  uint64_t Stop(LPCWSTR keepFile = nullptr) {
    uint64_t start = winsim::NowMs();
    svd::StopTray(&leftovers_, keepFile);
    return winsim::NowMs() - start;
  }
  std::u16string Leftovers() {
    std::u16string paths;
    for (svd::PendingDelete* entry = leftovers_; entry != nullptr; entry = entry->next) paths += entry->path;
    return paths;
  }
  void SetSourceDir(const std::u16string& dir) { svd::Assign(job_.SourceDir, dir.c_str()); }

  svd::InstallJob job_{};
  svd::PendingDelete* leftovers_ = nullptr;
};

TEST_F(TrayCompanionTest, WithoutCompanionNoWindowIsSoughtButFileAndValueGo) {
  Register(winsim::TrayPath());
  EXPECT_EQ(0u, Stop());
  EXPECT_EQ(0u, winsim::CallCount("FindWindowW"));
  EXPECT_TRUE(winsim::PostedMessages().empty());
  EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_FALSE(winsim::Mutex(kMutexName).exists);
  EXPECT_EQ(0u, winsim::LiveHandles("mutex"));
}

TEST_F(TrayCompanionTest, CompanionThatExitsOnTheFirstMessageEndsTheHandshake) {
  StartCompanion({});
  Register(winsim::TrayPath());
  EXPECT_EQ(0u, Stop());
  std::vector<winsim::PostedMessage> posted = winsim::PostedMessages();
  ASSERT_EQ(1u, posted.size());
  EXPECT_EQ(0x402u, posted[0].message);
  EXPECT_EQ(0u, posted[0].wParam);
  EXPECT_EQ(0, posted[0].lParam);
  EXPECT_EQ(kWindowClass, posted[0].className);
  EXPECT_EQ(1u, winsim::CallCount("FindWindowW"));
  EXPECT_EQ((std::vector<std::string>{"not owned, " + kMutexName}), winsim::CallDetails("CreateMutexA"));
  EXPECT_FALSE(winsim::TrayCompanion().running);
  EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_EQ(0u, winsim::LiveHandles("mutex"));
}

TEST_F(TrayCompanionTest, WindowNeverFoundCostsTwentyShortSleeps) {
  winsim::TrayBehaviour behaviour;
  behaviour.hasWindow = false;
  StartCompanion(behaviour);
  Register(winsim::TrayPath());
  // 20 x 250 ms, then the executable in use: 10 attempts x 100 ms.
  EXPECT_EQ(6000u, Stop());
  EXPECT_EQ(20u, winsim::CallCount("FindWindowW"));
  EXPECT_EQ(20u, SleepCalls("250"));
  EXPECT_EQ(0u, winsim::CallCount("WaitForSingleObject"));
  EXPECT_EQ(10u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
}

TEST_F(TrayCompanionTest, CompanionThatIgnoresTheMessageGetsTwentyPassesAndOneLastWait) {
  winsim::TrayBehaviour behaviour;
  behaviour.exit = winsim::TrayExit::Never;
  StartCompanion(behaviour);
  Register(winsim::TrayPath());
  EXPECT_EQ(21u * 5000u + 10u * 100u, Stop());
  EXPECT_EQ(20u, winsim::PostedMessages().size());
  EXPECT_EQ(21u, winsim::CallCount("WaitForSingleObject"));
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
}

TEST_F(TrayCompanionTest, WindowGoneAfterItWasSeenLeadsToOneMoreWait) {
  winsim::TrayBehaviour behaviour;
  behaviour.exit = winsim::TrayExit::AfterDelay;
  behaviour.exitDelayMs = 3000;
  behaviour.abandonsMutex = true;  // the first wait reports WAIT_ABANDONED
  StartCompanion(behaviour);
  Register(winsim::TrayPath());
  Stop();
  EXPECT_EQ(1u, winsim::PostedMessages().size());
  EXPECT_EQ(2u, winsim::CallCount("FindWindowW"));
  EXPECT_EQ(2u, winsim::CallCount("WaitForSingleObject"));
  EXPECT_EQ(0u, winsim::CallCount("Sleep"));
  EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
}

TEST_F(TrayCompanionTest, RegisteredFileGoneOrLocked) {
  Register(u"C:\\Program Files\\Solvendale\\Setup\\soltray.exe");
  EXPECT_EQ(0u, Stop());
  EXPECT_EQ(1u, winsim::CallCount("DeleteFileW"));

  winsim::ClearCalls();
  Register(winsim::TrayPath());
  winsim::HoldFile(winsim::TrayPath(), "scanner", ERROR_ACCESS_DENIED);
  EXPECT_EQ(1000u, Stop());
  EXPECT_EQ(10u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  // Left for deletion at reboot, once however often it stays.
  EXPECT_EQ(winsim::TrayPath(), Leftovers());

  winsim::ClearCalls();
  winsim::ReleaseHolder("scanner");
  Register(winsim::TrayPath());
  winsim::HoldFile(winsim::TrayPath(), "indexer", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(100u, Stop());
  EXPECT_EQ(10u, winsim::CallCount("DeleteFileW"));
  EXPECT_EQ(winsim::TrayPath(), Leftovers());
}

// The Run value may name any program: only a file named "soltray.exe"
// (ignoring case) is deleted; the value goes in any case.
TEST_F(TrayCompanionTest, OnlyTheTrayProgramIsDeletedWhateverTheRunValueNames) {
  struct Row {
    const char16_t* path;
    bool deleted;
  } rows[] = {
      {u"C:\\Tools\\helper.exe", false},
      {u"C:\\Tools\\soltray.exe.bak", false},
      {u"C:\\Tools\\SolTray.EXE", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path, row.path + std::u16string(row.path).size()));
    winsim::PutFile(row.path, {'M', 'Z'});
    Register(row.path);
    Stop();
    EXPECT_EQ(!row.deleted, winsim::FileExists(row.path));
    EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  }
}

TEST_F(TrayCompanionTest, EmptyOrMissingValue) {
  Register(u"");
  EXPECT_EQ(0u, Stop());
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));

  EXPECT_EQ(1000u, Stop());  // the query fails: one long sleep
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
}

TEST_F(TrayCompanionTest, NothingIsTouchedWhenTheRunKeyCannotBeOpened) {
  Register(winsim::TrayPath());
  winsim::DenyRegistryWrite(kRunKey, true);
  Stop();
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_TRUE(winsim::RegValueExists(kRunKey, kRunValue));
}

TEST_F(TrayCompanionTest, WithoutMutexTheValueGoesButTheFileStays) {
  Register(winsim::TrayPath());
  winsim::FailCall("CreateMutexA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(0u, Stop());
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
}

TEST_F(TrayCompanionTest, ValuesStoredWithoutTerminatorAreNeverReadPastTheBuffer) {
  std::u16string path = winsim::TrayPath();
  winsim::SetRegValue(kRunKey, kRunValue, REG_SZ, Utf16Bytes(path, false));
  Stop();
  EXPECT_FALSE(winsim::FileExists(path));

  // 264 units without a terminator fill the whole buffer: no text fits.
  winsim::ClearCalls();
  winsim::SetRegValue(kRunKey, kRunValue, REG_SZ, Utf16Bytes(std::u16string(264, u'x'), false));
  EXPECT_EQ(1000u, Stop());
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
}

TEST_F(TrayCompanionTest, InstallKeepsItsOwnExecutableButStillStopsTheCompanion) {
  StartCompanion({});
  std::u16string upper = u"C:\\PROGRAM FILES\\solvendale\\SOLTRAY.EXE";
  Register(upper);
  Stop(winsim::TrayPath().c_str());
  EXPECT_EQ(1u, winsim::TrayCompanion().exitRequests);
  EXPECT_FALSE(winsim::TrayCompanion().running);
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));

  // Another registered file is deleted as before.
  winsim::PutFile(u"C:\\Old\\soltray.exe", {'M', 'Z'});
  Register(u"C:\\Old\\soltray.exe");
  Stop(winsim::TrayPath().c_str());
  EXPECT_FALSE(winsim::FileExists(u"C:\\Old\\soltray.exe"));

  // And the install then registers and starts the kept executable.
  SetSourceDir(winsim::InstallerDirectory() + u"\\");
  svd::StartTray(&job_);
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(2u, winsim::TrayCompanion().starts);
}

TEST_F(TrayCompanionTest, StartTrayRegistersAndStartsTheCompanion) {
  SetSourceDir(winsim::InstallerDirectory() + u"\\");
  svd::StartTray(&job_);
  std::u16string path = winsim::TrayPath();
  DWORD type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(winsim::GetRegValue(kRunKey, kRunValue, &type, &data));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(Utf16Bytes(path, true), data);
  std::vector<winsim::ProcessRecord> processes = winsim::Processes();
  ASSERT_EQ(1u, processes.size());
  EXPECT_EQ(u"\"" + path + u"\"", processes[0].commandLine);
  EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), processes[0].creationFlags);
  EXPECT_EQ(static_cast<DWORD>(STARTF_USESHOWWINDOW), processes[0].startupFlags);
  EXPECT_EQ(SW_SHOW, processes[0].showWindow);
  EXPECT_FALSE(processes[0].inheritHandles);
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(0u, winsim::LiveHandles("process"));
  EXPECT_EQ(0u, winsim::LiveHandles("thread"));
}

TEST_F(TrayCompanionTest, StartTrayOnlyOnNt6OrLater) {
  SetSourceDir(winsim::InstallerDirectory() + u"\\");
  winsim::SystemBehaviour system;
  system.majorVersion = 5;
  system.minorVersion = 1;
  system.buildNumber = 0;
  winsim::SetSystemBehaviour(system);
  svd::StartTray(&job_);
  system.majorVersion = 6;
  system.minorVersion = 0;
  system.platformId = VER_PLATFORM_WIN32_WINDOWS;
  winsim::SetSystemBehaviour(system);
  svd::StartTray(&job_);
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_EQ(0u, winsim::CallCount("CreateProcessW"));

  system.platformId = VER_PLATFORM_WIN32_NT;
  winsim::SetSystemBehaviour(system);
  svd::StartTray(&job_);
  EXPECT_TRUE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_EQ(1u, winsim::CallCount("CreateProcessW"));
}

TEST_F(TrayCompanionTest, StartTrayNeedsItsFileAndStartsOnlyOnAVisibleWindowStation) {
  SetSourceDir(winsim::InstallerDirectory() + u"\\");
  winsim::RemoveFile(winsim::TrayPath());
  svd::StartTray(&job_);
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_EQ(0u, winsim::CallCount("CreateProcessW"));
  EXPECT_EQ(u"The tray program " + winsim::TrayPath() + u" was not found; it is not registered\r\n",
            std::u16string(svd::Text(job_.OperationLog)));

  winsim::PutFile(winsim::TrayPath(), {'M', 'Z'});
  winsim::DesktopBehaviour service;
  service.interactiveSession = false;
  winsim::SetDesktopBehaviour(service);
  svd::StartTray(&job_);
  EXPECT_TRUE(winsim::RegValueExists(kRunKey, kRunValue));
  EXPECT_EQ(0u, winsim::CallCount("CreateProcessW"));
  EXPECT_FALSE(winsim::TrayCompanion().running);
}

TEST_F(TrayCompanionTest, LongTrayPathIsRegisteredWholeAndQuotedCut) {
  std::u16string parent = u"C:\\" + std::u16string(290, u'd');
  winsim::PutFile(parent + u"\\soltray.exe", {'M', 'Z'});
  SetSourceDir(parent + u"\\Setup\\");
  svd::StartTray(&job_);
  std::u16string path = parent + u"\\soltray.exe";
  std::u16string registered;
  ASSERT_TRUE(winsim::GetRegString(kRunKey, kRunValue, &registered));
  EXPECT_EQ(path, registered);
  std::vector<std::string> details = winsim::CallDetails("CreateProcessW");
  ASSERT_EQ(1u, details.size());
  std::string quoted = "\"" + Narrow(path.substr(0, 259)) + "\"";
  ASSERT_GE(details[0].size(), quoted.size());
  EXPECT_EQ(quoted, details[0].substr(details[0].size() - quoted.size()));
  EXPECT_EQ(0u, winsim::LiveHandles("process"));
}

TEST_F(TrayCompanionTest, TrayPathThatCannotBeBuiltIsNeitherRegisteredNorStarted) {
  // Each allocation of the start failing in turn: the whole path or nothing.
  for (int skip = 0; skip < 4; ++skip) {
    SCOPED_TRACE(skip);
    winsim::DeleteRegValue(kRunKey, kRunValue);
    SetSourceDir(winsim::InstallerDirectory() + u"\\");
    winsim::ClearCalls();
    winsim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, skip);
    winsim::FailCall("HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, skip);
    svd::StartTray(&job_);
    winsim::ClearFaults();
    std::u16string registered;
    if (winsim::GetRegString(kRunKey, kRunValue, &registered)) {
      EXPECT_EQ(winsim::TrayPath(), registered);
      EXPECT_EQ(1u, winsim::CallCount("CreateProcessW"));
    } else {
      EXPECT_EQ(0u, winsim::CallCount("CreateProcessW"));
    }
  }
}

TEST_F(TrayCompanionTest, TrayPathIsTheParentOfTheInstallerDirectory) {
  struct Case {
    const char16_t* source;
    const char16_t* tray;
  };
  for (const Case& c : {Case{u"C:\\A\\B\\", u"C:\\A\\soltray.exe"}, Case{u"C:\\A\\B", u"C:\\A\\soltray.exe"},
                        Case{u"C:/A/B/", u"C:/A\\soltray.exe"}, Case{u"C:\\", u"soltray.exe"},
                        Case{u"B\\", u"soltray.exe"}, Case{u"\\B\\", u"soltray.exe"},
                        Case{u"", u"soltray.exe"}}) {
    SetSourceDir(c.source);
    svd::CountedString tray = svd::TrayPath(&job_);
    EXPECT_EQ(std::u16string(c.tray), std::u16string(svd::Text(tray))) << Narrow(c.source);
    svd::Release(tray);
  }
}

}  // namespace
