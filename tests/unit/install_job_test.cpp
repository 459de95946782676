// The install job's operation log: lines, indentation, error lines and the
// system's descriptions; resolving the driver directory; releasing a job.
#include <gtest/gtest.h>

#include "sim_test.h"

#include <string>
#include <utility>
#include <vector>

#include "job/handles.h"
#include "job/install_job.h"
#include "job/log.h"
#include "job/text.h"
#include "winsim/control.h"
#include "workflows/job_setup.h"

namespace svd {
namespace {

using winsim::Memory;

std::u16string Log(const InstallJob& job) {
  return std::u16string(Text(job.OperationLog), Length(job.OperationLog));
}

// The log split at its CR LF line ends; every line must have one.
std::vector<std::u16string> Lines(const InstallJob& job) {
  std::u16string log = Log(job);
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find(u"\r\n", start);
    EXPECT_NE(end, std::u16string::npos) << "last line without CR LF";
    if (end == std::u16string::npos) break;
    lines.push_back(log.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

class InstallJobTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    job_ = InstallJob{};
  }
  void TearDown() override {
    DestroyInstallJob(&job_);
    SimTest::TearDown();
  }

  InstallJob job_;
};

TEST_F(InstallJobTest, IndentationIsTwoSpacesPerLevelUpToTen) {
  const LONG depths[] = {0, 1, 3, 10, 11, 40, -1, -5};
  for (LONG depth : depths) {
    job_.LogDepth = depth;
    AppendLogText(&job_, u"x");
  }
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], u"x");
  EXPECT_EQ(lines[1], u"  x");
  EXPECT_EQ(lines[2], u"      x");
  EXPECT_EQ(lines[3], std::u16string(20, u' ') + u"x");
  EXPECT_EQ(lines[4], std::u16string(20, u' ') + u"x");
  EXPECT_EQ(lines[5], std::u16string(20, u' ') + u"x");
  EXPECT_EQ(lines[6], u"x");
  EXPECT_EQ(lines[7], u"x");
}

TEST_F(InstallJobTest, EmptyTextStillMakesALine) {
  job_.LogDepth = 2;
  AppendLogText(&job_, u"");
  LogLine(&job_, u"");
  EXPECT_EQ(Log(job_), u"    \r\n    \r\n");
}

TEST_F(InstallJobTest, LogLineFormatsItsArguments) {
  LogLine(&job_, u"Solvendale %d", BUILD_NUMBER);
  job_.LogDepth = 1;
  LogLine(&job_, u"%s=%x", u"flags", 0x1300u);
  EXPECT_EQ(Log(job_), u"Solvendale 2093\r\n  flags=1300\r\n");
  EXPECT_EQ(job_.ErrorCount, 0);
}

TEST_F(InstallJobTest, TraceScopeWritesItsBannerAndIndentsWhatFollows) {
  {
    TraceScope outer(&job_, u">DeletePrinter(%s)", u"Solvendale");
    EXPECT_EQ(job_.LogDepth, 1);
    {
      TraceScope inner(&job_, u">Check Spooler");
      LogLine(&job_, u"inside");
    }
    LogLine(&job_, u"after");
  }
  EXPECT_EQ(job_.LogDepth, 0);
  EXPECT_EQ(Log(job_),
            u">DeletePrinter(Solvendale)\r\n  >Check Spooler\r\n    inside\r\n  after\r\n");
}

TEST_F(InstallJobTest, ErrorLineWithoutALastErrorHasNoSuffix) {
  job_.LogDepth = 2;
  SetLastError(0);
  ErrorLine(&job_, ErrorId::CantRetrieveSystemDirectory);
  EXPECT_EQ(Log(job_), u"    Error(7): Can`t retrieve system directory.\r\n");
  EXPECT_EQ(job_.ErrorCount, 1);
}

TEST_F(InstallJobTest, ErrorLineCarriesTheSystemTextWithoutItsLineBreak) {
  // The system's own text ends with CR LF, as Windows' texts do.
  LPWSTR raw = nullptr;
  ASSERT_NE(FormatMessageW(0x1300, nullptr, ERROR_ACCESS_DENIED, 0x0409,
                           reinterpret_cast<LPWSTR>(&raw), 0, nullptr),
            0u);
  std::u16string rawText(raw);
  LocalFree(raw);
  ASSERT_GE(rawText.size(), 2u);
  ASSERT_EQ(rawText.substr(rawText.size() - 2), u"\r\n");
  std::u16string description = rawText.substr(0, rawText.size() - 2);

  SetLastError(ERROR_ACCESS_DENIED);
  ErrorLine(&job_, ErrorId::CantOpenPrinter, u"Solvendale");
  EXPECT_EQ(Log(job_), u"Error(16): Can`t open printer 'Solvendale' - (" + description + u")\r\n");

  LPWSTR stripped = SystemMessage(ERROR_ACCESS_DENIED);
  ASSERT_NE(stripped, nullptr);
  EXPECT_EQ(std::u16string(stripped), description);
  LocalFree(stripped);
}

TEST_F(InstallJobTest, ErrorLineWithoutASystemText) {
  winsim::MessageBehaviour noTexts;
  noTexts.englishTexts = false;
  winsim::SetMessageBehaviour(noTexts);
  SetLastError(ERROR_ACCESS_DENIED);
  ErrorLine(&job_, ErrorId::CantStopSpooler);
  EXPECT_EQ(Log(job_), u"Error(3): Can't stop the spooler - ( No Description )\r\n");
  EXPECT_EQ(SystemMessage(ERROR_ACCESS_DENIED), nullptr);
}

TEST_F(InstallJobTest, ErrorLineFormatsTheMessageArguments) {
  SetLastError(0);
  ErrorLine(&job_, ErrorId::ControlServiceFailed, 1056, 1056u);
  ErrorLine(&job_, ErrorId::CantOpenDestination, u"C:\\x.dll");
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"Error(5): ControlService failed with code 1056 (0x420)");
  EXPECT_EQ(lines[1], u"Error(9): Cant't open destination file: C:\\x.dll");
  EXPECT_EQ(job_.ErrorCount, 2);
}

TEST_F(InstallJobTest, ErrorTextsCharacterForCharacter) {
  const char16_t* const expected[] = {
      u"Can't open service manager.",
      u"Can't open the spooler",
      u"Can't stop the spooler",
      u"Can't start the spooler",
      u"ControlService failed with code %d (0x%x)",
      u"Can`t retrieve printer driver directory.",
      u"Can`t retrieve system directory.",
      u"CopyFile(..,%s)",
      u"Cant't open destination file: %s",
      u"Cant't open source file: %s",
      u"Can`t install a local port monitor'Solvendale:'",
      u"Can`t remove the port monitor 'Solvendale:'",
      u"Can`t install a printer driver 'Solvendale printer'",
      u"Can`t remove the printer-driver 'Solvendale printer'",
      u"Can`t add printer '%s'",
      u"Can`t open printer '%s'",
      u"Can`t delete printer '%s'",
  };
  for (size_t i = 0; i < 17; ++i) {
    EXPECT_EQ(std::u16string(ErrorText(static_cast<ErrorId>(i + 1))), expected[i]) << i + 1;
  }
}

TEST_F(InstallJobTest, OverlongLinesAreCutAtTheBuffer) {
  std::u16string longText(3000, u'p');
  LogLine(&job_, u"%s", longText.c_str());
  SetLastError(ERROR_ACCESS_DENIED);
  ErrorLine(&job_, ErrorId::CopyFailed, longText.c_str());
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::u16string(1023, u'p'));
  EXPECT_EQ(lines[1].size(), 1023u);
  EXPECT_EQ(lines[1].substr(0, 22), u"Error(8): CopyFile(..,");
  EXPECT_EQ(job_.ErrorCount, 1);
}

TEST_F(InstallJobTest, AnOwnedHandleIsReleasedOnceAndKeepsTheLastError) {
  {
    RegistryKey first = OpenRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_READ);
    ASSERT_TRUE(first);
    RegistryKey second = std::move(first);
    EXPECT_FALSE(first);
    SetLastError(ERROR_ACCESS_DENIED);
    winsim::FailCall("RegCloseKey", ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(winsim::CallCount("RegCloseKey"), 1u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(OpenRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", KEY_READ));
}

TEST_F(InstallJobTest, ResolveDriverDirectory) {
  ResolveDriverDirectory(&job_);
  EXPECT_EQ(std::u16string(Text(job_.DriverDir)), winsim::DriverDirectory() + u"\\");
  EXPECT_EQ(std::u16string(job_.Environment), u"Windows x64");
  EXPECT_EQ(std::u16string(job_.MonitorFile), u"qrlmon64.dll");
  EXPECT_EQ(std::u16string(job_.DriverFile), u"qrldrv64.dll");
  EXPECT_EQ(std::u16string(job_.UiFile), u"qrlui64.dll");
  EXPECT_EQ(std::u16string(job_.HelpFile), u"qrlhelp.chm");
  EXPECT_EQ(job_.ErrorCount, 0);
  EXPECT_EQ(winsim::CallCount("GetPrinterDriverDirectoryW"), 2u);
}

TEST_F(InstallJobTest, DriverDirectoryFailures) {
  // The size query fails with something other than "buffer too small".
  winsim::FailCall("GetPrinterDriverDirectoryW", ERROR_INVALID_ENVIRONMENT);
  ResolveDriverDirectory(&job_);
  // The second call fails.
  winsim::FailCall("GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE, 1, 1);
  ResolveDriverDirectory(&job_);
  EXPECT_EQ(job_.DriverDir, nullptr);
  EXPECT_EQ(std::u16string(job_.HelpFile), u"qrlhelp.chm");
  EXPECT_EQ(job_.ErrorCount, 2);
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::u16string& line : lines) {
    EXPECT_EQ(line.substr(0, 50), u"Error(6): Can`t retrieve printer driver directory.");
    EXPECT_NE(line.find(u" - ("), std::u16string::npos);
  }
}

TEST_F(InstallJobTest, DestroyingAnEmptyJobMakesNoHeapCall) {
  winsim::ClearMemoryCalls();
  DestroyInstallJob(&job_);
  EXPECT_EQ(winsim::MemoryCalls(), 0u);
}

TEST_F(InstallJobTest, DestroyReleasesWhatTheJobOwns) {
  size_t blocks = winsim::LiveBlocks();
  Assign(job_.SourceDir, u"C:\\a\\");
  Assign(job_.SystemDir, u"C:\\b\\");
  Assign(job_.DriverDir, u"C:\\c\\");
  LogLine(&job_, u"line");
  job_.PrinterList.Records =
      static_cast<PRINTER_INFO_2W*>(GlobalAlloc(GMEM_FIXED, 2 * sizeof(PRINTER_INFO_2W)));
  job_.PrinterList.Count = 2;
  job_.RedirectedPrinters =
      static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GMEM_FIXED, 2 * sizeof(PRINTER_INFO_2W*)));
  DestroyInstallJob(&job_);
  EXPECT_EQ(winsim::LiveBlocks(), blocks);
  EXPECT_EQ(job_.SourceDir, nullptr);
  EXPECT_EQ(job_.SystemDir, nullptr);
  EXPECT_EQ(job_.DriverDir, nullptr);
  EXPECT_EQ(job_.OperationLog, nullptr);
  EXPECT_EQ(job_.PrinterList.Records, nullptr);
  EXPECT_EQ(job_.PrinterList.Count, 0u);
  EXPECT_EQ(job_.RedirectedPrinters, nullptr);
}

TEST_F(InstallJobTest, NewJobStartsWithItsHeaderAndTheSpoolerCheck) {
  InstanceHandle = winsim::ProgramInstance();
  CreateInstallJob(&job_);
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"Solvendale 2093");
  EXPECT_EQ(lines[1], u">Check Spooler");
  EXPECT_EQ(job_.ErrorCount, 0);
  EXPECT_EQ(job_.LogDepth, 0);
  EXPECT_FALSE(job_.CheckMonitorVersion);
  EXPECT_TRUE(job_.InstallMonitor);
  EXPECT_TRUE(job_.CopyMonitor);
  EXPECT_EQ(std::u16string(Text(job_.SourceDir)), winsim::InstallerDirectory() + u"\\");
  EXPECT_EQ(std::u16string(Text(job_.SystemDir)), winsim::SystemDirectory() + u"\\");
  EXPECT_EQ(std::u16string(Text(job_.DriverDir)), winsim::DriverDirectory() + u"\\");
  EXPECT_EQ(job_.PendingDeleteList, nullptr);
  EXPECT_EQ(job_.SavedPrinterList, nullptr);
  EXPECT_EQ(job_.RedirectedPrinters, nullptr);
}

TEST_F(InstallJobTest, SourceDirectoryKeepsItsLastSeparator) {
  InstanceHandle = winsim::ProgramInstance();
  struct Case {
    std::u16string program;
    std::u16string directory;  // empty: none, error line 18
  };
  // 259 units fill the buffer with the terminator; one more is cut.
  const std::u16string deep = u"C:\\" + std::u16string(MAX_PATH - 24, u'd');
  const Case cases[] = {
      {u"C:\\Setup\\SolvendaleSetup.exe", u"C:\\Setup\\"},
      {u"C:SolvendaleSetup.exe", u"C:"},
      {u"C:\\a/b/SolvendaleSetup.exe", u"C:\\a/b/"},
      {u"SolvendaleSetup.exe", u""},
      {deep + u"\\SolvendaleSetup.exe", deep + u"\\"},
      {deep + u"d\\SolvendaleSetup.exe", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.program));
    winsim::SystemBehaviour system;
    system.programPath = c.program;
    winsim::SetSystemBehaviour(system);
    CreateInstallJob(&job_);
    EXPECT_EQ(std::u16string(Text(job_.SourceDir)), c.directory);
    EXPECT_EQ(job_.ErrorCount, c.directory.empty() ? 1 : 0);
    if (c.directory.empty()) {
      EXPECT_NE(Log(job_).find(u"\r\nError(18): Can`t retrieve installer directory."), std::u16string::npos);
    }
    DestroyInstallJob(&job_);
  }
}

TEST_F(InstallJobTest, MissingSystemDirectoryIsError7) {
  InstanceHandle = winsim::ProgramInstance();
  winsim::SystemBehaviour system;
  system.systemDirectory = u"";
  winsim::SetSystemBehaviour(system);
  CreateInstallJob(&job_);
  EXPECT_EQ(job_.SystemDir, nullptr);
  EXPECT_EQ(job_.ErrorCount, 1);
  EXPECT_NE(Log(job_).find(u"\r\nError(7): Can`t retrieve system directory."), std::u16string::npos);
}

}  // namespace
}  // namespace svd
