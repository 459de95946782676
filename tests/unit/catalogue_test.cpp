// Reads of the spooler's catalogue: the two-call sizing, the monitor
// enumeration's log lines, the searches for the product's monitor and
// driver, the printer list and its default mark, and the thin wrappers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/install_job.h"
#include "spooler/catalogue.h"
#include "winsim/control.h"
#include "winsim/spooler_control.h"
#include "workflows/job_setup.h"

namespace svd {
namespace {

using winsim::Memory;

std::u16string Log(const InstallJob& job) {
  return std::u16string(Text(job.OperationLog), Length(job.OperationLog));
}

// The system's English text for a code as FormatMessageW gives it, line
// break included.
std::u16string SystemText(DWORD code) {
  LPWSTR text = nullptr;
  FormatMessageW(0x1300, nullptr, code, 0x0409, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::u16string result = text != nullptr ? text : u"";
  LocalFree(text);
  return result;
}

std::u16string Name(LPCWSTR text) { return text != nullptr ? text : u"(null)"; }

const char16_t kProduct[] = u"Solvendale printer";
const char16_t kMonitor[] = u"Solvendale:";

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    job_ = InstallJob{};
  }
  void TearDown() override {
    DestroyInstallJob(&job_);
    EXPECT_EQ(winsim::LiveBlocks(Memory::Global), 0u) << "a record block was not freed";
    EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
  }

  void PutProductMonitor() {
    winsim::PutFile(winsim::SystemDirectory() + u"\\qrlmon64.dll",
                    winsim::MakeMonitorImage(1, 0, 0, 2093));
    winsim::PutMonitor({kMonitor, u"Windows x64", u"qrlmon64.dll", {kMonitor}});
  }

  HANDLE OpenAdministered(const std::u16string& name) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE handle = nullptr;
    EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &handle, &defaults));
    return handle;
  }

  InstallJob job_;
};

// ------------------------------------------------------------- monitors --

TEST_F(CatalogueTest, MonitorsAreReadAtLevelTwoWithoutALogLine) {
  PutProductMonitor();
  MonitorList list;
  EnumerateMonitors(&list, &job_);

  ASSERT_NE(list.Records, nullptr);
  EXPECT_EQ(list.Level, 2u);
  EXPECT_EQ(list.Count, 3u);
  EXPECT_EQ(FindProductMonitor(&list), 2);
  EXPECT_EQ(Log(job_), u"");
  std::vector<std::string> calls = winsim::CallDetails("EnumMonitorsW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "level 2, 0 bytes");
  // One zero-filled fixed block of exactly the size asked for.
  std::vector<std::string> allocations = winsim::CallDetails("GlobalAlloc");
  ASSERT_EQ(allocations.size(), 1u);
  EXPECT_EQ(calls[1], "level 2, " + allocations[0].substr(0, allocations[0].find(' ')) + " bytes");
  EXPECT_EQ(allocations[0].substr(allocations[0].find(' ')), " flags 0x40");
  GlobalFree(list.Records);
}

TEST_F(CatalogueTest, NoMonitorAtAllIsASuccessfulSizingCall) {
  winsim::RemoveMonitor(u"Local Port");
  winsim::RemoveMonitor(u"Standard TCP/IP Port");
  MonitorList list;
  EnumerateMonitors(&list, &job_);

  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(list.Level, 2u);
  EXPECT_EQ(Log(job_), u"1. EnumMonitors returns true\r\n");
  EXPECT_EQ(FindProductMonitor(&list), -1);
}

TEST_F(CatalogueTest, FailedMonitorCallsLogTheSystemTextWithItsLineBreak) {
  std::u16string denied = SystemText(ERROR_ACCESS_DENIED);
  ASSERT_GE(denied.size(), 2u);
  ASSERT_EQ(denied.substr(denied.size() - 2), u"\r\n");

  MonitorList list;
  winsim::FailCall("EnumMonitorsW", ERROR_ACCESS_DENIED);
  EnumerateMonitors(&list, &job_);
  EXPECT_EQ(list.Records, nullptr);

  // The fetching call fails after the sizing call went through.
  winsim::FailCall("EnumMonitorsW", ERROR_INVALID_PARAMETER, 1, 1);
  EnumerateMonitors(&list, &job_);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);

  EXPECT_EQ(Log(job_), u"2. EnumMonitors  failed with code: " + denied + u"\r\n" +
                           u"3. EnumMonitors  failed with code: " +
                           SystemText(ERROR_INVALID_PARAMETER) + u"\r\n");
  EXPECT_EQ(job_.ErrorCount, 0);  // plain lines, not error lines
}

TEST_F(CatalogueTest, MonitorFailureWithoutSystemTextSaysSo) {
  winsim::MessageBehaviour noTexts;
  noTexts.englishTexts = false;
  winsim::SetMessageBehaviour(noTexts);
  winsim::FailCall("EnumMonitorsW", ERROR_ACCESS_DENIED);
  MonitorList list;
  EnumerateMonitors(&list, &job_);

  EXPECT_EQ(Log(job_), u"2. EnumMonitors  failed with code: No Error or no description\r\n");
  EXPECT_EQ(winsim::LiveBlocks(Memory::Local), 0u);
}

TEST_F(CatalogueTest, MonitorBlockThatCannotBeAllocatedLeavesOutOfMemory) {
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  MonitorList list;
  EnumerateMonitors(&list, &job_);

  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(Log(job_), u"3. EnumMonitors - can't allocate memory for buffer\r\n");
  EXPECT_EQ(winsim::CallCount("EnumMonitorsW"), 1u);
}

TEST_F(CatalogueTest, ProductMonitorIsFoundByItsExactNameAtLevelsOneAndTwo) {
  MONITOR_INFO_2W level2[] = {
      {const_cast<LPWSTR>(u"solvendale:"), nullptr, nullptr},
      {const_cast<LPWSTR>(u"Solvendale: "), nullptr, nullptr},
      {const_cast<LPWSTR>(u"Solvendale"), nullptr, nullptr},
      {nullptr, nullptr, nullptr},
      {const_cast<LPWSTR>(kMonitor), nullptr, nullptr},
      {const_cast<LPWSTR>(kMonitor), nullptr, nullptr},
  };
  MonitorList list = {reinterpret_cast<BYTE*>(level2), 2, 6};
  EXPECT_EQ(FindProductMonitor(&list), 4);
  list.Count = 4;
  EXPECT_EQ(FindProductMonitor(&list), -1);
  list.Count = 6;
  list.Level = 3;  // no record type names a monitor at this level
  EXPECT_EQ(FindProductMonitor(&list), -1);
  list.Level = 0;
  EXPECT_EQ(FindProductMonitor(&list), -1);

  MONITOR_INFO_1W level1[] = {{const_cast<LPWSTR>(u"Local Port")},
                              {const_cast<LPWSTR>(kMonitor)}};
  MonitorList short_list = {reinterpret_cast<BYTE*>(level1), 1, 2};
  EXPECT_EQ(FindProductMonitor(&short_list), 1);
}

TEST_F(CatalogueTest, MonitorListIsLoggedWithPositionsAndEmptyNames) {
  MONITOR_INFO_2W records[] = {
      {const_cast<LPWSTR>(u"Local Port"), nullptr, nullptr},
      {nullptr, nullptr, nullptr},
      {const_cast<LPWSTR>(kMonitor), nullptr, nullptr},
  };
  MonitorList list = {reinterpret_cast<BYTE*>(records), 2, 3};
  job_.LogDepth = 1;
  LogMonitorList(&job_, &list);

  EXPECT_EQ(Log(job_),
            u"  ------- 3 existing monitors ----------\r\n"
            u"  1. Local Port\r\n"
            u"  2. ***EMPTY***\r\n"
            u"  3. Solvendale:\r\n"
            u"  ---------------------------------------\r\n");
}

TEST_F(CatalogueTest, LevelOneMonitorListIsLoggedAtItsOwnRecordSize) {
  // Read as level-2 records, the second name would lie beyond the array.
  MONITOR_INFO_1W records[] = {{const_cast<LPWSTR>(u"Local Port")},
                               {const_cast<LPWSTR>(kMonitor)}};
  MonitorList list = {reinterpret_cast<BYTE*>(records), 1, 2};
  LogMonitorList(&job_, &list);

  EXPECT_EQ(Log(job_),
            u"------- 2 existing monitors ----------\r\n"
            u"1. Local Port\r\n"
            u"2. Solvendale:\r\n"
            u"---------------------------------------\r\n");
}

// -------------------------------------------------------------- drivers --

template <typename Record>
int FindInListOf(DWORD level, LPCWSTR first, LPCWSTR second) {
  Record records[2] = {};
  records[0].pName = const_cast<LPWSTR>(first);
  records[1].pName = const_cast<LPWSTR>(second);
  DriverList list = {reinterpret_cast<BYTE*>(records), level, 2};
  return FindProductDriver(&list);
}

TEST_F(CatalogueTest, ProductDriverIsFoundAtEveryDriverLevelByItsExactName) {
  // The second record is only found when the search steps by the record
  // size of the list's level.
  EXPECT_EQ(FindInListOf<DRIVER_INFO_1W>(1, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_2W>(2, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_3W>(3, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_4W>(4, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_5W>(5, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(6, u"Other", kProduct), 1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(6, kProduct, kProduct), 0);

  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(6, u"solvendale printer", u"Solvendale Printer"), -1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(6, u"Solvendale printer ", u"Solvendale"), -1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(6, nullptr, u""), -1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(0, kProduct, kProduct), -1);
  EXPECT_EQ(FindInListOf<DRIVER_INFO_6W>(7, kProduct, kProduct), -1);

  DriverList empty = {nullptr, 6, 0};
  EXPECT_EQ(FindProductDriver(&empty), -1);
}

TEST_F(CatalogueTest, DriversAreReadAtLevelSixForTheGivenEnvironment) {
  winsim::DriverSetup driver;
  driver.name = kProduct;
  driver.driverPath = winsim::DriverDirectory() + u"\\3\\qrldrv64.dll";
  driver.configFile = winsim::DriverDirectory() + u"\\3\\qrlui64.dll";
  driver.dataFile = winsim::DriverDirectory() + u"\\3\\qrldrv64.dll";
  winsim::PutDriver(driver);

  DriverList list;
  EnumerateDrivers(&list, u"Windows x64");

  ASSERT_NE(list.Records, nullptr);
  EXPECT_EQ(list.Level, 6u);
  EXPECT_EQ(list.Count, 3u);
  int index = FindProductDriver(&list);
  ASSERT_EQ(index, 2);
  DRIVER_INFO_6W* found = reinterpret_cast<DRIVER_INFO_6W*>(list.Records) + index;
  EXPECT_EQ(Name(found->pDriverPath), *driver.driverPath);
  EXPECT_EQ(winsim::CallDetails("EnumPrinterDriversW")[0], "\"Windows x64\", level 6, 0 bytes");
  GlobalFree(list.Records);

  // Any failure leaves the list empty, without a word.
  winsim::FailCall("EnumPrinterDriversW", ERROR_INVALID_ENVIRONMENT);
  EnumerateDrivers(&list, u"Windows x64");
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EnumerateDrivers(&list, u"Windows x64");
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  winsim::FailCall("EnumPrinterDriversW", ERROR_INVALID_PARAMETER, 1, 1);
  EnumerateDrivers(&list, u"Windows x64");
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(Log(job_), u"");
}

// ------------------------------------------------------------- printers --

TEST_F(CatalogueTest, PrinterListHoldsLocalPrintersAndConnections) {
  winsim::PrinterSetup connection;
  connection.name = u"\\\\server\\Office";
  connection.connection = true;
  connection.driverName = u"Microsoft Print To PDF";
  winsim::PutPrinter(connection);

  PrinterList list = {};
  LoadPrinterList(&list);

  ASSERT_EQ(list.Count, 3u);
  EXPECT_EQ(Name(list.Records[0].pPrinterName), u"Microsoft Print to PDF");
  EXPECT_EQ(Name(list.Records[2].pPrinterName), u"\\\\server\\Office");
  std::vector<std::string> calls = winsim::CallDetails("EnumPrintersW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "flags 0x6, (null), level 2, 0 bytes");
  // The block has 32 bytes to spare, but the spooler is told the size it
  // asked for.
  std::string told = calls[1].substr(calls[1].rfind(", ") + 2);
  DWORD needed = static_cast<DWORD>(std::stoul(told));
  EXPECT_EQ(winsim::CallDetails("GlobalAlloc"),
            std::vector<std::string>{std::to_string(needed + 32) + " flags 0x40"});

  ReleasePrinterList(&list);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  winsim::ClearCalls();
  ReleasePrinterList(&list);
  EXPECT_EQ(winsim::CallCount("GlobalFree"), 0u);
}

TEST_F(CatalogueTest, FailedReloadLeavesThePrinterListEmptyNotStale) {
  PrinterList list = {};
  LoadPrinterList(&list);
  ASSERT_EQ(list.Count, 2u);

  winsim::FailCall("EnumPrintersW", ERROR_ACCESS_DENIED);
  LoadPrinterList(&list);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(winsim::LiveBlocks(Memory::Global), 0u);

  LoadPrinterList(&list);
  ASSERT_EQ(list.Count, 2u);
  winsim::FailCall("EnumPrintersW", ERROR_INVALID_PARAMETER, 1, 1);
  LoadPrinterList(&list);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(winsim::LiveBlocks(Memory::Global), 0u);

  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  LoadPrinterList(&list);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));

  winsim::RemoveAllPrinters();
  winsim::ClearCalls();
  LoadPrinterList(&list);
  EXPECT_EQ(list.Records, nullptr);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(winsim::CallCount("GlobalAlloc"), 0u);
}

TEST_F(CatalogueTest, DefaultPrinterIsMarkedByItsExactName) {
  MarkDefaultPrinter(&job_);

  ASSERT_EQ(job_.PrinterList.Count, 2u);
  EXPECT_EQ(Name(job_.PrinterList.Records[0].pPrinterName), u"Microsoft Print to PDF");
  EXPECT_NE(job_.PrinterList.Records[0].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
  EXPECT_EQ(job_.PrinterList.Records[1].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);
  EXPECT_EQ(winsim::CallDetails("GetDefaultPrinterByOrdinal"),
            std::vector<std::string>{"255 characters"});
  EXPECT_EQ(Log(job_), u"");
}

TEST_F(CatalogueTest, DefaultNameInAnotherCaseMarksNothing) {
  winsim::SetDefaultPrinterName(u"microsoft print to pdf");
  MarkDefaultPrinter(&job_);

  ASSERT_EQ(job_.PrinterList.Count, 2u);
  for (DWORD i = 0; i < job_.PrinterList.Count; ++i) {
    EXPECT_EQ(job_.PrinterList.Records[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u) << i;
  }
}

TEST_F(CatalogueTest, NoDefaultMarksNothingAndALongNameIsReadAtItsSize) {
  // 254 characters and the terminator fit the 255-character buffer; a longer
  // name is read again into a block of the size the spooler reports.
  const std::u16string fits(254, u'F');
  const std::u16string tooLong(255, u'L');
  for (const std::u16string& name : {fits, tooLong}) {
    winsim::PrinterSetup printer;
    printer.name = name;
    printer.ports = u"LPT1:";
    printer.driverName = u"Microsoft Print To PDF";
    winsim::PutPrinter(printer);
  }

  winsim::SetDefaultPrinterName(u"");
  MarkDefaultPrinter(&job_);
  ASSERT_EQ(job_.PrinterList.Count, 4u);
  for (DWORD i = 0; i < job_.PrinterList.Count; ++i) {
    EXPECT_EQ(job_.PrinterList.Records[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u) << i;
  }
  EXPECT_FALSE(job_.DefaultPrinterUnread) << "no default printer is known to be none";

  for (const std::u16string& name : {fits, tooLong}) {
    DestroyInstallJob(&job_);
    job_ = InstallJob{};
    winsim::SetDefaultPrinterName(name);
    MarkDefaultPrinter(&job_);
    ASSERT_EQ(job_.PrinterList.Count, 4u);
    int marked = 0;
    for (DWORD i = 0; i < job_.PrinterList.Count; ++i) {
      if (job_.PrinterList.Records[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT) {
        EXPECT_EQ(Name(job_.PrinterList.Records[i].pPrinterName), name);
        ++marked;
      }
    }
    EXPECT_EQ(marked, 1);
    EXPECT_FALSE(job_.DefaultPrinterUnread);
  }

  // Any other failure leaves the default unknown; a buffer too small whose
  // size the spooler does not report as larger is such a failure too.
  for (DWORD error : {static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
                      static_cast<DWORD>(ERROR_FILE_NOT_FOUND)}) {
    DestroyInstallJob(&job_);
    job_ = InstallJob{};
    winsim::FailCall("GetDefaultPrinterByOrdinal", error, -1);
    MarkDefaultPrinter(&job_);
    winsim::ClearFaults();
    EXPECT_EQ(job_.DefaultPrinterUnread, error != ERROR_FILE_NOT_FOUND) << error;
    EXPECT_EQ(job_.DefaultPrinterError, error);
  }
}

TEST_F(CatalogueTest, PrinterRecordIsFetchedWithItsSize) {
  HANDLE printer = OpenAdministered(u"Microsoft XPS Document Writer");
  PrinterInfoBlock block;
  FetchPrinterInfo(&block, printer);

  ASSERT_NE(block.Record, nullptr);
  EXPECT_EQ(Name(block.Record->pPrinterName), u"Microsoft XPS Document Writer");
  std::vector<std::string> calls = winsim::CallDetails("GetPrinterW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], "level 2, " + std::to_string(block.Size) + " bytes");
  GlobalFree(block.Record);

  winsim::FailCall("GetPrinterW", ERROR_ACCESS_DENIED);
  FetchPrinterInfo(&block, printer);
  EXPECT_EQ(block.Record, nullptr);
  EXPECT_EQ(block.Size, 0u);

  winsim::FailCall("GetPrinterW", ERROR_INVALID_PARAMETER, 1, 1);
  FetchPrinterInfo(&block, printer);
  EXPECT_EQ(block.Record, nullptr);

  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  FetchPrinterInfo(&block, printer);
  EXPECT_EQ(block.Record, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  ClosePrinter(printer);
}

TEST_F(CatalogueTest, DriverRecordIsSizedForX64AndFetchedForTheOwnEnvironment) {
  HANDLE printer = OpenAdministered(u"Microsoft Print to PDF");
  DRIVER_INFO_2W* driver = FetchDriverInfo(printer);

  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(Name(driver->pName), u"Microsoft Print To PDF");
  EXPECT_NE(driver->pDriverPath, nullptr);
  std::vector<std::string> calls = winsim::CallDetails("GetPrinterDriverW");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "\"Windows x64\", level 2, 0 bytes");
  EXPECT_EQ(calls[1].substr(0, 16), "(null), level 2,");
  GlobalFree(driver);

  winsim::FailCall("GetPrinterDriverW", ERROR_UNKNOWN_PRINTER_DRIVER);
  EXPECT_EQ(FetchDriverInfo(printer), nullptr);
  winsim::FailCall("GetPrinterDriverW", ERROR_INVALID_PARAMETER, 1, 1);
  EXPECT_EQ(FetchDriverInfo(printer), nullptr);
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(FetchDriverInfo(printer), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
  ClosePrinter(printer);
}

// ------------------------------------------------------------- wrappers --

TEST_F(CatalogueTest, PrinterWithQueuedJobsIsPurgedAndDeleted) {
  winsim::SetPrinterJobs(u"Microsoft Print to PDF", 3);
  HANDLE printer = OpenAdministered(u"Microsoft Print to PDF");

  EXPECT_TRUE(SpoolDeletePrinter(printer));
  EXPECT_EQ(winsim::CallDetails("SetPrinterW"), std::vector<std::string>{"level 0, command 3"});
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_FALSE(winsim::HasPrinter(u"Microsoft Print to PDF"));
}

TEST_F(CatalogueTest, PrinterIsDeletedAlsoWhenThePurgeFails) {
  winsim::SetPrinterJobs(u"Microsoft Print to PDF", 3);
  HANDLE printer = OpenAdministered(u"Microsoft Print to PDF");
  winsim::FailCall("SetPrinterW", ERROR_ACCESS_DENIED);

  EXPECT_TRUE(SpoolDeletePrinter(printer));
  EXPECT_EQ(winsim::CallCount("DeletePrinter"), 1u);
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Microsoft Print to PDF", &state));
  EXPECT_TRUE(state.pendingDeletion);  // goes with its last job
  ClosePrinter(printer);

  winsim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED);
  printer = OpenAdministered(u"Microsoft XPS Document Writer");
  EXPECT_FALSE(SpoolDeletePrinter(printer));
  ClosePrinter(printer);
}

TEST_F(CatalogueTest, WrappersPassTheirRecordsToTheLocalSpooler) {
  PRINTER_INFO_2W printer = {};
  printer.pPrinterName = const_cast<LPWSTR>(u"Solvendale");
  printer.pPortName = const_cast<LPWSTR>(u"LPT1:");
  printer.pDriverName = const_cast<LPWSTR>(u"Microsoft Print To PDF");
  printer.pPrintProcessor = const_cast<LPWSTR>(u"WinPrint");
  HANDLE added = SpoolAddPrinter(&printer);
  ASSERT_NE(added, nullptr);
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
  ClosePrinter(added);
  winsim::FailCall("AddPrinterW", ERROR_PRINTER_ALREADY_EXISTS);
  EXPECT_EQ(SpoolAddPrinter(&printer), nullptr);

  DRIVER_INFO_6W driver = {};
  driver.cVersion = 3;
  driver.pName = const_cast<LPWSTR>(kProduct);
  driver.pEnvironment = const_cast<LPWSTR>(u"Windows x64");
  winsim::FailCall("AddPrinterDriverExW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SpoolAddPrinterDriver(&driver));
  std::vector<std::string> calls = winsim::CallDetails("AddPrinterDriverExW");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("level 6, flags 0x4, \"Solvendale printer\", \"Windows x64\"", 0), 0u)
      << calls[0];

  PutProductMonitor();
  ASSERT_TRUE(winsim::HasMonitor(kMonitor));
  EXPECT_TRUE(SpoolDeleteMonitor(u"Windows x64"));
  EXPECT_FALSE(winsim::HasMonitor(kMonitor));
  EXPECT_FALSE(SpoolDeleteMonitor(u"Windows x64"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  EXPECT_EQ(winsim::CallDetails("DeleteMonitorW")[0], "\"Windows x64\", \"Solvendale:\"");
}

}  // namespace
}  // namespace svd
