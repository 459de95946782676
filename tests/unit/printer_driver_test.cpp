// The printer driver "Solvendale printer": staging, installing and removing.
#include "components/printer_driver.h"

#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/spooler_control.h>

#include <string>
#include <vector>

#include "job/install_job.h"
#include "job/product.h"
#include "job_test.h"
#include "spooler/catalogue.h"

namespace {

using svd::DriverList;
using svd::InstallJob;

const std::u16string kDriverName = u"Solvendale printer";

class PrinterDriverTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    job_ = InstallJob{};
    job_.Environment = svd::kEnvironment;
    job_.DriverFile = svd::kDriverFileName;
    job_.UiFile = svd::kUiFileName;
    job_.HelpFile = svd::kHelpFileName;
    svd::Assign(job_.SourceDir, (winsim::InstallerDirectory() + u"\\").c_str());
    svd::Assign(job_.DriverDir, (winsim::DriverDirectory() + u"\\").c_str());
  }
  void TearDown() override {
    if (drivers_.Records != nullptr) GlobalFree(drivers_.Records);
    drivers_ = {nullptr, 6, 0};
    JobTest::TearDown();
  }

  std::u16string Staged(const std::u16string& name) { return winsim::DriverDirectory() + u"\\" + name; }
  std::u16string Installed(const std::u16string& name) {
    return winsim::DriverDirectory() + u"\\3\\" + name;
  }
  void InstallProductDriver() {
    winsim::DriverSetup driver;
    driver.name = kDriverName;
    driver.driverPath = Installed(u"qrldrv64.dll");
    driver.dataFile = Installed(u"qrldrv64.dll");
    driver.configFile = Installed(u"qrlui64.dll");
    winsim::PutDriver(driver);
  }
  void Enumerate() { svd::EnumerateDrivers(&drivers_, job_.Environment); }

  DriverList drivers_ = {nullptr, 6, 0};
};

// ----------------------------------------------------------- AddPrinterDriver

TEST_F(PrinterDriverTest, StagesInstallsAndRemovesTheStagedCopies) {
  svd::AddPrinterDriver(&job_);
  std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ(u">Add Printer Driver", lines[0]);
  EXPECT_EQ(u"  >CopyFile qrldrv64.dll to " + winsim::DriverDirectory() + u"\\ [1])", lines[1]);
  EXPECT_EQ(u"  >CopyFile qrlui64.dll to " + winsim::DriverDirectory() + u"\\ [1])", lines[3]);
  EXPECT_EQ(u"  >CopyFile qrlhelp.chm to " + winsim::DriverDirectory() + u"\\ [1])", lines[5]);
  EXPECT_EQ(u"  OK :)", lines[7]);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0, job_.LogDepth);

  winsim::DriverState driver;
  ASSERT_TRUE(winsim::FindDriver(kDriverName, u"Windows x64", &driver));
  EXPECT_EQ(3u, driver.version);
  EXPECT_EQ(Installed(u"qrldrv64.dll"), driver.driverPath.value_or(u""));
  EXPECT_EQ(Installed(u"qrldrv64.dll"), driver.dataFile.value_or(u""));
  EXPECT_EQ(Installed(u"qrlui64.dll"), driver.configFile.value_or(u""));
  EXPECT_EQ(Installed(u"qrlhelp.chm"), driver.helpFile.value_or(u""));
  EXPECT_FALSE(driver.dependentFiles.has_value());
  EXPECT_FALSE(driver.monitorName.has_value());
  EXPECT_FALSE(driver.defaultDataType.has_value());
  EXPECT_FALSE(driver.previousNames.has_value());
  EXPECT_FALSE(driver.hardwareId.has_value());
  EXPECT_EQ(0u, driver.driverVersion);
  EXPECT_EQ(u"Quarlen Software Kft.", driver.manufacturer.value_or(u""));
  EXPECT_EQ(u"Quarlen Software Kft.", driver.provider.value_or(u""));
  EXPECT_EQ(u"https://www.quarlen.example/", driver.oemUrl.value_or(u""));
  EXPECT_EQ(winsim::FileBytes(winsim::InstallerDirectory() + u"\\qrldrv64.dll"),
            winsim::FileBytes(Installed(u"qrldrv64.dll")));

  std::vector<std::string> added = winsim::CallDetails("AddPrinterDriverExW");
  ASSERT_EQ(1u, added.size());
  EXPECT_EQ(0u, added[0].find("level 6, flags 0x4,"));
  for (const char16_t* name : {u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"}) {
    EXPECT_FALSE(winsim::FileExists(Staged(name))) << SimTest::U8(name);
  }
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
}

TEST_F(PrinterDriverTest, HelpFileThatCannotBeStagedIsLeftOutAndItsCopyRemoved) {
  struct Case {
    const char* name;
    void (*fault)();
    const char16_t* error;
  };
  const std::u16string staged = winsim::DriverDirectory() + u"\\qrlhelp.chm";
  for (const Case& c : {
           Case{"missing", [] { winsim::RemoveFile(winsim::InstallerDirectory() + u"\\qrlhelp.chm"); },
                u"  Error(10): Cant't open source file: qrlhelp.chm - ("},
           Case{"read fails part-way",
                [] {
                  winsim::PutFile(winsim::InstallerDirectory() + u"\\qrlhelp.chm", std::vector<uint8_t>(20000, 7));
                  winsim::FailReadAt(winsim::InstallerDirectory() + u"\\qrlhelp.chm", 8192, ERROR_READ_FAULT);
                },
                u"    Error(8): CopyFile(..,"},
           Case{"disk full", [] { winsim::FailWriteAt(winsim::DriverDirectory() + u"\\qrlhelp.chm", 2, ERROR_DISK_FULL); },
                u"    Error(8): CopyFile(..,"},
       }) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.fault();
    svd::AddPrinterDriver(&job_);
    EXPECT_EQ(1, job_.ErrorCount);
    EXPECT_TRUE(LogContains(c.error));
    EXPECT_TRUE(LogHas(u"  OK :)"));
    winsim::DriverState driver;
    ASSERT_TRUE(winsim::FindDriver(kDriverName, u"Windows x64", &driver));
    EXPECT_EQ(u"", driver.helpFile.value_or(u""));
    EXPECT_FALSE(winsim::FileExists(staged));
    EXPECT_EQ(nullptr, job_.PendingDeleteList);
    for (const std::string& deleted : winsim::CallDetails("DeleteFileW")) EXPECT_NE("", deleted);
  }
}

TEST_F(PrinterDriverTest, MissingDriverOrUiFileInstallsNothing) {
  winsim::RemoveFile(winsim::InstallerDirectory() + u"\\qrldrv64.dll");
  svd::AddPrinterDriver(&job_);
  EXPECT_TRUE(LogContains(u"  Error(10): Cant't open source file: qrldrv64.dll"));
  EXPECT_EQ(1u, winsim::CallCount("CreateFileW"));
  EXPECT_EQ(0u, winsim::CallCount("AddPrinterDriverExW"));
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_EQ(u"    Copy Failed :(", LogLines().back());
  EXPECT_EQ(0, job_.LogDepth);

  TearDown();
  SetUp();
  winsim::RemoveFile(winsim::InstallerDirectory() + u"\\qrlui64.dll");
  svd::AddPrinterDriver(&job_);
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::CallCount("AddPrinterDriverExW"));
  EXPECT_FALSE(winsim::HasDriver(kDriverName));
  // The staged driver DLL stays where it was put.
  EXPECT_TRUE(winsim::FileExists(Staged(u"qrldrv64.dll")));
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
}

TEST_F(PrinterDriverTest, StagedCopiesGoEvenWhenTheInstallFails) {
  winsim::FailCall("AddPrinterDriverExW", ERROR_ACCESS_DENIED);
  svd::AddPrinterDriver(&job_);
  EXPECT_EQ(u"  Error(13): Can`t install a printer driver 'Solvendale printer' - (Access is denied.)",
            LogLines().back());
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_FALSE(winsim::HasDriver(kDriverName));
  for (const char16_t* name : {u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"}) {
    EXPECT_FALSE(winsim::FileExists(Staged(name))) << SimTest::U8(name);
  }
}

TEST_F(PrinterDriverTest, StagedCopyThatCannotBeDeletedIsLeftForLater) {
  winsim::FailCall("DeleteFileW", ERROR_SHARING_VIOLATION, 1, 1);  // the UI DLL
  svd::AddPrinterDriver(&job_);
  EXPECT_EQ(0, job_.ErrorCount);
  ASSERT_NE(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(Staged(u"qrlui64.dll"), std::u16string(job_.PendingDeleteList->path));
  EXPECT_EQ(nullptr, job_.PendingDeleteList->next);
  EXPECT_FALSE(winsim::FileExists(Staged(u"qrldrv64.dll")));
  EXPECT_FALSE(winsim::FileExists(Staged(u"qrlhelp.chm")));
}

// -------------------------------------------------------- DeletePrinterDriver

TEST_F(PrinterDriverTest, NoDriversMeansNoDeletionRequest) {
  winsim::RemoveDriver(u"Microsoft Print To PDF");
  winsim::RemoveDriver(u"Microsoft XPS Document Writer v4");
  Enumerate();
  ASSERT_EQ(0u, drivers_.Count);
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_EQ((std::vector<std::u16string>{
                u">DeletePrinterDriver for Windows x64",
                u"  BTW, there is no printer drivers on this system.",
                u"  No Solvendale driver was found",
            }),
            LogLines());
  EXPECT_EQ(0u, winsim::CallCount("DeletePrinterDriverExW"));
  EXPECT_EQ(0, job_.LogDepth);
}

TEST_F(PrinterDriverTest, ListsTheDriversAndDeletesTheProductDriver) {
  InstallProductDriver();
  Enumerate();
  ASSERT_EQ(3u, drivers_.Count);
  winsim::ClearCalls();
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_EQ((std::vector<std::u16string>{
                u">DeletePrinterDriver for Windows x64",
                u"  ------------ 3 existing drivers-----------",
                u"  1. Microsoft Print To PDF",
                u"  2. Microsoft XPS Document Writer v4",
                u"  3. Solvendale printer",
                u"  -------------------------------------------",
                u"  Driver is found. Index=3",
                u"  OK :)",
            }),
            LogLines());
  EXPECT_EQ((std::vector<std::string>{"\"Windows x64\", \"Solvendale printer\", flags 0x4, version 0"}),
            winsim::CallDetails("DeletePrinterDriverExW"));
  EXPECT_FALSE(winsim::HasDriver(kDriverName));
  EXPECT_FALSE(winsim::FileExists(Installed(u"qrldrv64.dll")));
  EXPECT_EQ(0, job_.ErrorCount);
}

TEST_F(PrinterDriverTest, OtherDriversOnlyAreListedButNotDeleted) {
  Enumerate();
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_TRUE(LogHas(u"  ------------ 2 existing drivers-----------"));
  EXPECT_EQ(u"  No Solvendale driver was found", LogLines().back());
  EXPECT_EQ(0u, winsim::CallCount("DeletePrinterDriverExW"));
}

TEST_F(PrinterDriverTest, RecordWithoutNameIsListedAsEmpty) {
  drivers_.Records = static_cast<BYTE*>(GlobalAlloc(GPTR, 2 * sizeof(DRIVER_INFO_6W)));
  drivers_.Count = 2;
  auto* records = reinterpret_cast<DRIVER_INFO_6W*>(drivers_.Records);
  WCHAR name[] = u"Solvendale printer";
  records[1].pName = name;
  winsim::FailCall("DeletePrinterDriverExW", ERROR_UNKNOWN_PRINTER_DRIVER, -1);
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_TRUE(LogHas(u"  1. ***EMPTY***"));
  EXPECT_TRUE(LogHas(u"  2. Solvendale printer"));
  EXPECT_TRUE(LogHas(u"  Driver is found. Index=2"));
}

TEST_F(PrinterDriverTest, SecondRequestAfterASpoolerRestart) {
  InstallProductDriver();
  Enumerate();
  winsim::FailCall("DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1);
  svd::DeletePrinterDriver(&job_, &drivers_);
  std::vector<std::u16string> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(u"  Can't delete driver. Trying to restart spooler", lines[lines.size() - 3]);
  EXPECT_EQ(u"  >Restart Spooler", lines[lines.size() - 2]);
  EXPECT_EQ(u"  OK :)", lines.back());
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(2u, winsim::CallCount("DeletePrinterDriverExW"));
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), winsim::SpoolerServiceState());
  EXPECT_FALSE(winsim::HasDriver(kDriverName));
}

TEST_F(PrinterDriverTest, DriverInUseEndsWithErrorFourteen) {
  InstallProductDriver();
  winsim::PrinterSetup queue;
  queue.name = u"Solvendale";
  queue.ports = u"LPT1:";
  queue.driverName = kDriverName;
  winsim::PutPrinter(queue);
  Enumerate();
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_EQ(2u, winsim::CallCount("DeletePrinterDriverExW"));
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(0u, LogLines().back().find(u"  Error(14): Can`t remove the printer-driver 'Solvendale printer' - ("));
  EXPECT_FALSE(LogHas(u"  OK :)"));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(winsim::HasDriver(kDriverName));
  EXPECT_EQ(0, job_.LogDepth);
}

TEST_F(PrinterDriverTest, SpoolerThatDoesNotComeBackStillGetsTheSecondRequest) {
  InstallProductDriver();
  Enumerate();
  winsim::FailCall("DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1);
  winsim::ServiceBehaviour stuck;
  stuck.startDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(stuck);
  svd::DeletePrinterDriver(&job_, &drivers_);
  EXPECT_EQ(2u, winsim::CallCount("DeletePrinterDriverExW"));
  EXPECT_TRUE(LogContains(u"Error(4): Can't start the spooler"));
  EXPECT_EQ(0u, LogLines().back().find(u"  Error(14): Can`t remove the printer-driver 'Solvendale printer'"));
  EXPECT_EQ(2, job_.ErrorCount);
  EXPECT_EQ(0, job_.LogDepth);
}

}  // namespace
