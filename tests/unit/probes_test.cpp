// The status probes: making a product queue the default printer, the
// installed driver's build, the default printer's driver, and the product
// DLLs still waiting for the next reboot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/probes.h"
#include "winsim/control.h"
#include "winsim/spooler_control.h"

namespace svd {
namespace {

const char16_t kProduct[] = u"Solvendale printer";

class ProbesTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::ResetMachine(); }
  void TearDown() override {
    // A probe keeps nothing beyond its call.
    EXPECT_EQ(winsim::LiveBlocks(), 0u);
    EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
    EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  }

  static std::u16string DriverFilePath() {
    return winsim::DriverDirectory() + u"\\3\\qrldrv64.dll";
  }

  // The product's driver with its driver file of the given build, or a file
  // without any version resource for a negative build.
  static void PutProductDriver(int build) {
    winsim::PutFile(DriverFilePath(),
                    build < 0 ? winsim::MakeUnversionedImage()
                              : winsim::MakeVersionedImage(1, 0, 0, static_cast<WORD>(build)));
    winsim::DriverSetup driver;
    driver.name = kProduct;
    driver.driverPath = DriverFilePath();
    driver.dataFile = DriverFilePath();
    driver.configFile = winsim::DriverDirectory() + u"\\3\\qrlui64.dll";
    winsim::PutDriver(driver);
  }

  static void PutQueue(const std::u16string& name, const std::u16string& driver,
                       bool connection = false, DWORD openError = 0) {
    winsim::PrinterSetup printer;
    printer.name = name;
    printer.ports = connection ? u"" : u"LPT1:";
    printer.driverName = driver;
    printer.connection = connection;
    printer.openError = openError;
    winsim::PutPrinter(printer);
  }
};

// ----------------------------------------------------------- def.set ---

TEST_F(ProbesTest, FirstProductQueueOfTheEnumerationBecomesTheDefault) {
  PutProductDriver(2093);
  PutQueue(u"Elsewhere", u"solvendale printer");  // another case: not the driver
  PutQueue(u"Solvendale", kProduct);
  PutQueue(u"Solvendale (Copy 1)", kProduct);

  MakeProductPrinterDefault();

  EXPECT_EQ(winsim::DefaultPrinterName(), u"Solvendale");
  EXPECT_EQ(winsim::CallCount("SetDefaultPrinterByOrdinal"), 1u);
}

TEST_F(ProbesTest, WithoutAProductQueueTheDefaultStaysAsItWas) {
  MakeProductPrinterDefault();
  EXPECT_EQ(winsim::DefaultPrinterName(), u"Microsoft Print to PDF");
  EXPECT_EQ(winsim::CallCount("SetDefaultPrinterByOrdinal"), 0u);

  winsim::FailCall("EnumPrintersW", ERROR_ACCESS_DENIED);
  PutQueue(u"Solvendale", kProduct);
  MakeProductPrinterDefault();
  EXPECT_EQ(winsim::DefaultPrinterName(), u"Microsoft Print to PDF");
}

// ----------------------------------------------------------- onChkDrv ---

TEST_F(ProbesTest, InstalledDriverPassesFromBuild2073) {
  struct Case {
    int build;
    bool recent;
  };
  const Case cases[] = {{2072, false}, {2073, true}, {2093, true}, {-1, false}};
  for (const Case& c : cases) {
    winsim::ResetMachine();
    PutProductDriver(c.build);
    PutQueue(u"Solvendale", kProduct);
    EXPECT_EQ(CheckInstalledDriver(), c.recent) << "build " << c.build;
  }
}

TEST_F(ProbesTest, InstalledDriverWithoutAUsableQueueFails) {
  PutProductDriver(2093);
  EXPECT_FALSE(CheckInstalledDriver());  // no queue uses the driver
  EXPECT_EQ(winsim::CallCount("OpenPrinterW"), 0u);

  // Only the first queue of the driver is tried.
  PutQueue(u"Solvendale", kProduct, false, ERROR_ACCESS_DENIED);
  PutQueue(u"Solvendale (Copy 1)", kProduct);
  EXPECT_FALSE(CheckInstalledDriver());
  EXPECT_EQ(winsim::CallDetails("OpenPrinterW"), std::vector<std::string>{"\"Solvendale\""});
}

TEST_F(ProbesTest, InstalledDriverWhoseRecordCannotBeReadFails) {
  PutProductDriver(2093);
  PutQueue(u"Solvendale", kProduct);
  winsim::FailCall("GetPrinterDriverW", ERROR_UNKNOWN_PRINTER_DRIVER);
  EXPECT_FALSE(CheckInstalledDriver());

  winsim::RemoveFile(DriverFilePath());
  EXPECT_FALSE(CheckInstalledDriver());
}

// ------------------------------------------------------ default printer ---

TEST_F(ProbesTest, DefaultPrinterOfTheProductAnswersFalse) {
  PutProductDriver(2093);
  PutQueue(u"Solvendale", kProduct);
  winsim::SetDefaultPrinterName(u"Solvendale");

  EXPECT_FALSE(CheckDefaultPrinter());
  EXPECT_EQ(winsim::CallDetails("GetDefaultPrinterByOrdinal"),
            std::vector<std::string>{"260 characters"});
  EXPECT_EQ(winsim::CallDetails("OpenPrinterW"), std::vector<std::string>{"\"Solvendale\""});
}

TEST_F(ProbesTest, DefaultPrinterThatIsNotTheProductsOrUnreadableAnswersTrue) {
  EXPECT_TRUE(CheckDefaultPrinter());  // Microsoft Print to PDF

  winsim::SetDefaultPrinterName(u"");
  EXPECT_TRUE(CheckDefaultPrinter());

  // A connection to a server that cannot be reached.
  PutProductDriver(2093);
  PutQueue(u"\\\\server\\Solvendale", kProduct, true, RPC_S_SERVER_UNAVAILABLE);
  winsim::SetDefaultPrinterName(u"\\\\server\\Solvendale");
  EXPECT_TRUE(CheckDefaultPrinter());

  PutQueue(u"Solvendale", kProduct);
  winsim::SetDefaultPrinterName(u"Solvendale");
  winsim::FailCall("GetPrinterW", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckDefaultPrinter());
}

// ------------------------------------------------- pending components ---

class PendingComponentsTest : public ProbesTest {
 protected:
  static std::u16string Pending(const std::u16string& path) { return u"\\??\\" + path; }
};

TEST_F(PendingComponentsTest, NothingPendingLeavesTheSpoolerAlone) {
  EXPECT_FALSE(CheckPendingComponents());
  EXPECT_EQ(winsim::CallCount("OpenSCManagerW"), 0u);
  EXPECT_EQ(winsim::SpoolerStopCount(), 0);
}

TEST_F(PendingComponentsTest, DeletablePendingDeletionGoesWithoutARestart) {
  const std::u16string path = u"C:\\Windows\\System32\\qrlmon64.dll";
  winsim::PutFile(path, winsim::MakeVersionedImage(1, 0, 0, 2093));
  winsim::SetPendingFileRenameOperations({Pending(path), u""});

  EXPECT_FALSE(CheckPendingComponents());

  EXPECT_FALSE(winsim::FileExists(path));
  EXPECT_EQ(winsim::SpoolerStopCount(), 0);
  // The system's own list is read only.
  EXPECT_EQ(winsim::PendingFileRenameOperations().size(), 2u);
}

TEST_F(PendingComponentsTest, ProductDllThatStaysLockedRestartsTheSpoolerTwice) {
  const std::u16string path = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3\\QRLUI64.DLL";
  winsim::PutFile(path, {1, 2, 3});
  winsim::HoldFile(path, "viewer");
  winsim::SetPendingFileRenameOperations({Pending(path), u""});

  EXPECT_TRUE(CheckPendingComponents());

  EXPECT_TRUE(winsim::FileExists(path));
  EXPECT_EQ(winsim::SpoolerStopCount(), 2);
  EXPECT_EQ(winsim::SpoolerStartCount(), 2);
  EXPECT_EQ(winsim::CallCount("FormatMessageW"), 0u);
}

TEST_F(PendingComponentsTest, PendingRenameOfAProductDllCountsAndIsNeverDeleted) {
  const std::u16string path = u"C:\\Windows\\Temp\\qrldrv64.dll";
  winsim::PutFile(path, {1, 2, 3});
  winsim::SetPendingFileRenameOperations(
      {Pending(u"C:\\Windows\\Temp\\other.dll"), u"", Pending(path),
       u"\\??\\C:\\Windows\\System32\\spool\\drivers\\x64\\3\\qrldrv64.dll"});

  EXPECT_TRUE(CheckPendingComponents());

  EXPECT_TRUE(winsim::FileExists(path));
  EXPECT_EQ(winsim::SpoolerStopCount(), 2);
}

TEST_F(PendingComponentsTest, OnlyTheWholeFileNameOfAnExistingSourceCounts) {
  const std::vector<std::u16string> paths = {
      u"C:\\Temp\\qrlui64.dll.old",  // merely begins with the name
      u"C:\\Temp\\xqrlmon64.dll",
      u"C:\\Temp\\qrldrv64.dll\\readme.txt",  // the name as a directory
  };
  std::vector<std::u16string> operations;
  for (const std::u16string& path : paths) {
    winsim::PutFile(path, {1});
    winsim::HoldFile(path, "viewer");
    operations.push_back(Pending(path));
    operations.push_back(u"");
  }
  // A product DLL that no longer exists is not waiting for anything.
  operations.push_back(Pending(u"C:\\Temp\\qrlmon64.dll"));
  operations.push_back(u"");
  winsim::SetPendingFileRenameOperations(operations);

  EXPECT_FALSE(CheckPendingComponents());
  EXPECT_EQ(winsim::SpoolerStopCount(), 0);
}

TEST_F(PendingComponentsTest, DllThatTheRestartFreesIsDeletedInTheSecondPass) {
  // The monitor DLL is held by the running spooler. The restart stops it
  // and lets go of the file; the spooler then takes longer than the polling
  // to come back, so the second purge finds the file free and deletes it:
  // false after one restart, and nothing reported about the slow start.
  const std::u16string path = winsim::SystemDirectory() + u"\\qrlmon64.dll";
  winsim::PutFile(path, winsim::MakeMonitorImage(1, 0, 0, 2093));
  winsim::PutMonitor({u"Solvendale:", u"Windows x64", u"qrlmon64.dll", {u"Solvendale:"}});
  ASSERT_TRUE(winsim::FileHeld(path));
  winsim::ServiceBehaviour slow;
  slow.startDelayMs = 20000;
  winsim::SetServiceBehaviour(slow);
  winsim::SetPendingFileRenameOperations({Pending(path), u""});

  EXPECT_FALSE(CheckPendingComponents());

  EXPECT_FALSE(winsim::FileExists(path));
  EXPECT_EQ(winsim::SpoolerStopCount(), 1);
  winsim::AdvanceMs(20000);  // the start completes
  EXPECT_EQ(winsim::SpoolerStartCount(), 1);
}

}  // namespace
}  // namespace svd
