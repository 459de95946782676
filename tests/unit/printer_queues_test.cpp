// Removing and re-creating the printer queues of the product's driver.
#include "cleanup/printer_queues.h"

#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/spooler_control.h>

#include <map>
#include <string>
#include <vector>

#include "job/install_job.h"
#include "job_test.h"

namespace {

using jobtest::LogHas;
using jobtest::LogLines;
using jobtest::LogPosition;

const std::u16string kDriver = u"Solvendale printer";
const std::u16string kSettings = u"HKCU\\Software\\Quarlen Software KFT\\Solvendale\\Solvendales\\";

std::vector<uint8_t> Bytes(const std::string& text, bool terminator = true) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  if (terminator) bytes.push_back(0);
  return bytes;
}

void PutProductMonitor() {
  winsim::PutFile(winsim::SystemDirectory() + u"\\qrlmon64.dll", winsim::MakeMonitorImage(1, 0, 0, 2093));
  winsim::MonitorSetup monitor;
  monitor.name = u"Solvendale:";
  monitor.dll = u"qrlmon64.dll";
  monitor.ports = {u"Solvendale:"};
  winsim::PutMonitor(monitor);
}

void PutProductDriver() {
  std::u16string dir = winsim::DriverDirectory() + u"\\3\\";
  winsim::DriverSetup driver;
  driver.name = kDriver;
  driver.driverPath = dir + u"qrldrv64.dll";
  driver.dataFile = dir + u"qrldrv64.dll";
  driver.configFile = dir + u"qrlui64.dll";
  driver.helpFile = dir + u"qrlhelp.chm";
  winsim::PutDriver(driver);
}

void PutQueue(const std::u16string& name, const std::u16string& driver = kDriver,
              const std::u16string& comment = u"", const std::u16string& location = u"") {
  winsim::PrinterSetup printer;
  printer.name = name;
  printer.ports = u"Solvendale:";
  printer.driverName = driver;
  printer.comment = comment;
  printer.location = location;
  winsim::PutPrinter(printer);
}

void PutPlainSubKey(const std::u16string& queue, DWORD type, const std::vector<uint8_t>& bytes) {
  winsim::PutPrinterData(queue, "PrinterDriverData", "SubKey", type, bytes);
}

void PutDsUserSubKey(const std::u16string& queue, DWORD type, const std::vector<uint8_t>& bytes) {
  winsim::PutPrinterData(queue, "DsUser", "SubKey", type, bytes);
}

std::map<std::u16string, std::string> Saved(const svd::InstallJob& job) {
  std::map<std::u16string, std::string> saved;
  for (const svd::SavedPrinter* s = job.SavedPrinterList; s != nullptr; s = s->next) {
    saved[s->name] = s->subkey;
  }
  return saved;
}

std::vector<std::u16string> SavedOrder(const svd::InstallJob& job) {
  std::vector<std::u16string> names;
  for (const svd::SavedPrinter* s = job.SavedPrinterList; s != nullptr; s = s->next) {
    names.push_back(s->name);
  }
  return names;
}

class PrinterQueuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    PutProductMonitor();
    PutProductDriver();
  }
  void TearDown() override {
    if (built_) svd::DestroyInstallJob(&job_);
  }
  // Builds the job on the machine as it is now (its PrinterList included).
  void Build() {
    svd::CreateInstallJob(&job_);
    built_ = true;
    blocks_ = winsim::LiveBlocks(winsim::Memory::Global);
  }

  svd::InstallJob job_{};
  bool built_ = false;
  size_t blocks_ = 0;
};

TEST_F(PrinterQueuesTest, DeletesOnlyQueuesOfTheExactDriverName) {
  {
    winsim::DriverSetup other;
    other.name = u"solvendale printer";
    winsim::PutDriver(other);
    other.name = u"Solvendale printer ";
    winsim::PutDriver(other);
  }
  PutQueue(u"Ours");
  PutQueue(u"Lower", u"solvendale printer");
  PutQueue(u"Blank", u"Solvendale printer ");
  PutPlainSubKey(u"Lower", REG_SZ, Bytes("lower"));
  PutPlainSubKey(u"Blank", REG_SZ, Bytes("blank"));
  Build();

  svd::DeleteAllPrinters(&job_);

  EXPECT_FALSE(winsim::HasPrinter(u"Ours"));
  EXPECT_TRUE(winsim::HasPrinter(u"Lower"));
  EXPECT_TRUE(winsim::HasPrinter(u"Blank"));
  EXPECT_TRUE(winsim::HasPrinter(u"Microsoft Print to PDF"));
  EXPECT_EQ(nullptr, job_.SavedPrinterList);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_TRUE(LogHas(job_, u">DeleteAllPrinters"));
  EXPECT_TRUE(LogHas(job_, u"  >DeletePrinter(Ours)"));
  EXPECT_TRUE(LogHas(job_, u"    OK"));
  EXPECT_EQ(SIZE_MAX, LogPosition(job_, u"  >DeletePrinter(Lower)"));
  EXPECT_EQ(SIZE_MAX, LogPosition(job_, u"  >DeletePrinter(Blank)"));
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
  EXPECT_EQ(0, job_.LogDepth);
}

// Every queue below is deleted; which ones are remembered, and with which
// text, depends on where and how their SubKey is stored, not on its length.
TEST_F(PrinterQueuesTest, SubKeyIsTakenFromPlainDataThenDsUserWhateverItsLength) {
  const std::string chars63(63, 'k');
  const std::string chars64(64, 'm');
  const std::string chars299(299, 'n');
  PutQueue(u"PlainOnly");
  PutPlainSubKey(u"PlainOnly", REG_SZ, Bytes("plain"));
  PutQueue(u"DsUserOnly");
  PutDsUserSubKey(u"DsUserOnly", REG_SZ, Bytes("dsuser"));
  PutQueue(u"Both");
  PutPlainSubKey(u"Both", REG_SZ, Bytes("first"));
  PutDsUserSubKey(u"Both", REG_SZ, Bytes("second"));
  PutQueue(u"EmptyPlain");  // a successful empty read is final
  PutPlainSubKey(u"EmptyPlain", REG_SZ, Bytes(""));
  PutDsUserSubKey(u"EmptyPlain", REG_SZ, Bytes("ignored"));
  PutQueue(u"DwordPlain");
  PutPlainSubKey(u"DwordPlain", REG_DWORD, {1, 0, 0, 0});
  PutDsUserSubKey(u"DwordPlain", REG_SZ, Bytes("fromds"));
  PutQueue(u"ExpandOnly");
  PutPlainSubKey(u"ExpandOnly", REG_EXPAND_SZ, Bytes("expand"));
  PutDsUserSubKey(u"ExpandOnly", REG_EXPAND_SZ, Bytes("expand"));
  PutQueue(u"Fits63");
  PutPlainSubKey(u"Fits63", REG_SZ, Bytes(chars63));
  PutQueue(u"Long64");
  PutPlainSubKey(u"Long64", REG_SZ, Bytes(chars64));
  PutQueue(u"Long300");
  PutPlainSubKey(u"Long300", REG_SZ, Bytes(chars299));
  PutDsUserSubKey(u"Long300", REG_SZ, Bytes("short"));
  PutQueue(u"FullNoTerminator");  // 64 bytes without a NUL
  PutPlainSubKey(u"FullNoTerminator", REG_SZ, Bytes(chars64, false));
  PutQueue(u"ShortNoTerminator");
  PutPlainSubKey(u"ShortNoTerminator", REG_SZ, Bytes("abc", false));
  PutDsUserSubKey(u"ShortNoTerminator", REG_SZ, Bytes("abcdefgh", false));
  PutQueue(u"DsUserNoTerminator");
  PutDsUserSubKey(u"DsUserNoTerminator", REG_SZ, Bytes(chars299, false));
  PutQueue(u"NoSubKey");
  Build();

  svd::DeleteAllPrinters(&job_);

  std::map<std::u16string, std::string> expected = {
      {u"PlainOnly", "plain"},   {u"DsUserOnly", "dsuser"},        {u"Both", "first"},
      {u"DwordPlain", "fromds"}, {u"Fits63", chars63},             {u"Long64", chars64},
      {u"Long300", chars299},    {u"FullNoTerminator", chars64},   {u"ShortNoTerminator", "abc"},
      {u"DsUserNoTerminator", chars299}};
  EXPECT_EQ(expected, Saved(job_));
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    EXPECT_NE(kDriver, printer.driverName.value_or(u"")) << "left: " << std::string(printer.name.begin(), printer.name.end());
  }
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
}

// A reinstall deletes a queue only when it knows whether the queue carries a
// SubKey, and remembered it when it does; any other queue stays, named by
// one error line. An uninstall deletes them all.
TEST_F(PrinterQueuesTest, AReinstallKeepsEveryQueueItCannotRemember) {
  struct Case {
    const char* what;
    DWORD openError;        // the queue cannot be opened at all
    const char* api;        // a call that fails once, after skip calls
    int skip;
    DWORD error;
    bool dsUser;            // the SubKey is stored under "DsUser" too
    const char16_t* line;   // the one error line, or none: the queue goes
  };
  const Case cases[] = {
      {"never opens", ERROR_ACCESS_DENIED, nullptr, 0, 0, false,
       u"Error(16): Can`t open printer 'Q' - (Access is denied.)"},
      {"plain copy refused", 0, "GetPrinterDataA", 0, ERROR_ACCESS_DENIED, false,
       u"Error(19): Can`t read the SubKey of printer 'Q' - (Access is denied.)"},
      {"plain copy refused, DsUser copy read", 0, "GetPrinterDataA", 0, ERROR_ACCESS_DENIED, true, nullptr},
      {"long value's second read refused", 0, "GetPrinterDataA", 1, ERROR_ACCESS_DENIED, false,
       u"Error(19): Can`t read the SubKey of printer 'Q' - (Access is denied.)"},
      {"no memory for the long value", 0, "GlobalAlloc", 0, ERROR_NOT_ENOUGH_MEMORY, false,
       u"Error(19): Can`t read the SubKey of printer 'Q' - (Not enough memory"},
      {"no memory for the text", 0, "GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, false,
       u"Error(19): Can`t read the SubKey of printer 'Q' - (Not enough memory"},
      {"no memory for the entry", 0, "GlobalAlloc", 2, ERROR_NOT_ENOUGH_MEMORY, false,
       u"Error(16): Can`t open printer 'Q' - (Not enough memory"},
  };
  for (const Case& c : cases) {
    for (bool reinstall : {true, false}) {
      winsim::ResetMachine();
      PutProductMonitor();
      PutProductDriver();
      winsim::PrinterSetup queue;
      queue.name = u"Q";
      queue.ports = u"Solvendale:";
      queue.driverName = kDriver;
      queue.openError = c.openError;
      winsim::PutPrinter(queue);
      PutPlainSubKey(u"Q", REG_SZ, Bytes(std::string(100, 'q')));
      if (c.dsUser) PutDsUserSubKey(u"Q", REG_SZ, Bytes("from ds"));
      svd::InstallJob job;
      svd::CreateInstallJob(&job);
      job.Reinstalling = reinstall;
      if (c.api != nullptr) winsim::FailCall(c.api, c.error, 1, c.skip);
      svd::DeleteAllPrinters(&job);
      winsim::ClearFaults();

      bool kept = reinstall && c.line != nullptr;
      std::u16string log = svd::Text(job.OperationLog);
      SCOPED_TRACE(std::string(c.what) + (reinstall ? ", reinstall" : ", uninstall") + "\n" +
                   std::string(log.begin(), log.end()));
      EXPECT_EQ(kept || c.openError != 0, winsim::HasPrinter(u"Q"));
      EXPECT_EQ(kept ? 1 : 0, job.KeptQueues);
      EXPECT_EQ(kept || c.openError != 0 ? 1 : 0, job.ErrorCount) << "one error line per queue";
      if (kept) {
        EXPECT_NE(std::u16string::npos, log.find(std::u16string(u"  ") + c.line));
      }
      EXPECT_EQ(kept, log.find(u">DeletePrinter(Q)") == std::u16string::npos);
      EXPECT_EQ(0u, winsim::OpenPrinterHandles());
      svd::DestroyInstallJob(&job);
    }
  }
}

TEST_F(PrinterQueuesTest, RememberedQueuesAreListedNewestFirstAndReleasedWithTheJob) {
  PutQueue(u"A");
  PutPlainSubKey(u"A", REG_SZ, Bytes("a"));
  PutQueue(u"B");
  PutPlainSubKey(u"B", REG_SZ, Bytes("b"));
  PutQueue(u"C");
  PutPlainSubKey(u"C", REG_SZ, Bytes("c"));
  Build();
  svd::DeleteAllPrinters(&job_);
  EXPECT_EQ((std::vector<std::u16string>{u"C", u"B", u"A"}), SavedOrder(job_));
  EXPECT_EQ(blocks_ + 3, winsim::LiveBlocks(winsim::Memory::Global));
  svd::ReleaseSavedPrinters(&job_.SavedPrinterList);
  EXPECT_EQ(nullptr, job_.SavedPrinterList);
  EXPECT_EQ(blocks_, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(PrinterQueuesTest, QueuesThatCannotBeOpenedOrDeletedAreReportedAndTheRestGoOn) {
  winsim::PrinterSetup locked;
  locked.name = u"Locked";
  locked.ports = u"Solvendale:";
  locked.driverName = kDriver;
  locked.openError = ERROR_ACCESS_DENIED;
  winsim::PutPrinter(locked);
  PutPlainSubKey(u"Locked", REG_SZ, Bytes("locked"));
  PutQueue(u"Stuck");
  PutQueue(u"Free");
  Build();
  winsim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED, 1);

  svd::DeleteAllPrinters(&job_);

  EXPECT_EQ(2, job_.ErrorCount);
  std::vector<std::u16string> lines = LogLines(job_);
  size_t open = LogPosition(job_, u"  >DeletePrinter(Locked)");
  ASSERT_NE(SIZE_MAX, open);
  EXPECT_EQ(0u, lines[open + 1].find(u"    Error(16): Can`t open printer 'Locked' - ("));
  size_t stuck = LogPosition(job_, u"  >DeletePrinter(Stuck)");
  ASSERT_NE(SIZE_MAX, stuck);
  EXPECT_EQ(0u, lines[stuck + 1].find(u"    Error(17): Can`t delete printer 'Stuck' - ("));
  size_t free = LogPosition(job_, u"  >DeletePrinter(Free)");
  ASSERT_NE(SIZE_MAX, free);
  EXPECT_EQ(u"    OK", lines[free + 1]);
  EXPECT_TRUE(winsim::HasPrinter(u"Locked"));
  EXPECT_TRUE(winsim::HasPrinter(u"Stuck"));
  EXPECT_FALSE(winsim::HasPrinter(u"Free"));
  EXPECT_EQ(nullptr, job_.SavedPrinterList);
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
}

TEST_F(PrinterQueuesTest, AddPrinterCreatesTheFixedQueueRecord) {
  Build();
  HANDLE printer = svd::AddPrinter(&job_, u"Queue");
  ASSERT_NE(nullptr, printer);
  ClosePrinter(printer);

  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Queue", &state));
  EXPECT_EQ(u"Solvendale:", state.ports);
  EXPECT_EQ(kDriver, state.driverName.value_or(u"<none>"));
  EXPECT_EQ(u"", state.comment.value_or(u"<none>"));
  EXPECT_EQ(u"WinPrint", state.printProcessor.value_or(u"<none>"));
  EXPECT_FALSE(state.location.has_value() && !state.location->empty());
  EXPECT_FALSE(state.shareName.has_value() && !state.shareName->empty());
  EXPECT_EQ(0u, state.startTime);
  EXPECT_EQ(0u, state.untilTime);
  std::vector<std::u16string> lines = LogLines(job_);
  ASSERT_LE(4u, lines.size());
  EXPECT_EQ((std::vector<std::u16string>{u">AddPrinter(Queue)", u"  Let's check our port monitors",
                                         u"  Port monitor is found", u"  OK :)"}),
            std::vector<std::u16string>(lines.end() - 4, lines.end()));
  EXPECT_EQ(0, job_.ErrorCount);
}

TEST_F(PrinterQueuesTest, AddPrinterListsTheMonitorsWhenOursIsMissingAndStillTries) {
  winsim::RemoveMonitor(u"Solvendale:");
  Build();
  size_t before = LogLines(job_).size();
  HANDLE printer = svd::AddPrinter(&job_, u"Queue");
  EXPECT_EQ(nullptr, printer);
  std::vector<std::u16string> lines = LogLines(job_);
  std::vector<std::u16string> added(lines.begin() + before, lines.end());
  ASSERT_EQ(8u, added.size());
  EXPECT_EQ(u">AddPrinter(Queue)", added[0]);
  EXPECT_EQ(u"  Let's check our port monitors", added[1]);
  EXPECT_EQ(u"  No Solvendale port monitor was found.", added[2]);
  EXPECT_EQ(u"  ------- 2 existing monitors ----------", added[3]);
  EXPECT_EQ(u"  1. Local Port", added[4]);
  EXPECT_EQ(u"  2. Standard TCP/IP Port", added[5]);
  EXPECT_EQ(u"  ---------------------------------------", added[6]);
  EXPECT_EQ(0u, added[7].find(u"  Error(15): Can`t add printer 'Queue'"));
  EXPECT_EQ(1u, winsim::CallCount("AddPrinterW"));
  EXPECT_EQ(1, job_.ErrorCount);
}

TEST_F(PrinterQueuesTest, AddPrinterOnASystemWithoutMonitors) {
  winsim::RemoveMonitor(u"Solvendale:");
  winsim::RemoveMonitor(u"Local Port");
  winsim::RemoveMonitor(u"Standard TCP/IP Port");
  Build();
  HANDLE printer = svd::AddPrinter(&job_, nullptr);
  EXPECT_EQ(nullptr, printer);
  EXPECT_TRUE(LogHas(job_, u">AddPrinter(*)"));
  EXPECT_TRUE(LogHas(job_, u"  BTW, there is no port monitors on this system."));
  EXPECT_EQ(1u, winsim::CallCount("AddPrinterW"));
  EXPECT_EQ(1, job_.ErrorCount);
}

class RecreateTest : public PrinterQueuesTest {
 protected:
  void PutSaved(const std::u16string& name, const std::string& subkey, const std::u16string& comment,
                const std::u16string& location) {
    PutQueue(name, kDriver, comment, location);
    PutPlainSubKey(name, REG_SZ, Bytes(subkey));
    std::u16string key = kSettings + std::u16string(subkey.begin(), subkey.end());
    winsim::SetRegDword(key, u"deleted", 1);
    winsim::SetRegDword(key, u"kept", 7);
  }
  void RemoveAndRecreate() {
    Build();
    svd::DeleteAllPrinters(&job_);
    svd::RecreatePrinters(&job_);
  }
};

TEST_F(RecreateTest, SavedQueuesComeBackInReverseOrderWithTheirSettings) {
  // A SubKey of 300 bytes with its terminator, naming a settings key two deep.
  const std::string longSubKey = std::string(150, 't') + "\\" + std::string(148, 'w');
  PutSaved(u"First", "one", u"first comment", u"first room");
  PutSaved(u"Second", longSubKey, u"second comment", u"second room");
  winsim::SetDefaultPrinterName(u"First");
  RemoveAndRecreate();

  EXPECT_LT(LogPosition(job_, u">AddPrinter(Second)"), LogPosition(job_, u">AddPrinter(First)"));
  EXPECT_EQ(SIZE_MAX, LogPosition(job_, u">AddPrinter(Solvendale)"));
  EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
  struct Expect {
    std::u16string name, comment, location;
    std::string subkey;
  };
  for (const Expect& e : {Expect{u"First", u"first comment", u"first room", "one"},
                          Expect{u"Second", u"second comment", u"second room", longSubKey}}) {
    winsim::PrinterState state;
    ASSERT_TRUE(winsim::FindPrinter(e.name, &state));
    EXPECT_EQ(e.comment, state.comment.value_or(u""));
    EXPECT_EQ(e.location, state.location.value_or(u""));
    EXPECT_EQ(u"Solvendale:", state.ports);
    winsim::PrinterDataEntry entry;
    ASSERT_TRUE(winsim::GetPrinterDataEntry(e.name, "PrinterDriverData", "SubKey", &entry));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), entry.type);
    EXPECT_EQ(Bytes(e.subkey), entry.bytes);
    ASSERT_TRUE(winsim::GetPrinterDataEntry(e.name, "DsUser", "SubKey", &entry));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), entry.type);
    EXPECT_EQ(Bytes(e.subkey), entry.bytes);
    std::u16string key = kSettings + std::u16string(e.subkey.begin(), e.subkey.end());
    EXPECT_FALSE(winsim::RegValueExists(key, u"deleted"));
    EXPECT_TRUE(winsim::RegValueExists(key, u"kept"));
  }
  EXPECT_EQ(u"First", winsim::DefaultPrinterName());
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
}

// A SubKey that cannot be written back would let the next reinstall delete
// the queue for good: the log names the queue. The copy that was stored
// still names the settings key that is cleared.
TEST_F(RecreateTest, ASubKeyThatCannotBeWrittenBackIsAnErrorLine) {
  for (const char* api : {"SetPrinterDataA", "SetPrinterDataExA", "both"}) {
    winsim::ResetMachine();
    PutProductMonitor();
    PutProductDriver();
    PutSaved(u"First", "one", u"", u"");
    svd::InstallJob job;
    svd::CreateInstallJob(&job);
    svd::DeleteAllPrinters(&job);
    bool both = std::string(api) == "both";
    if (both || std::string(api) == "SetPrinterDataA") winsim::FailCall("SetPrinterDataA", ERROR_ACCESS_DENIED);
    if (both || std::string(api) == "SetPrinterDataExA") winsim::FailCall("SetPrinterDataExA", ERROR_DISK_FULL);
    svd::RecreatePrinters(&job);
    winsim::ClearFaults();
    SCOPED_TRACE(api);
    EXPECT_EQ(1, job.ErrorCount);
    EXPECT_TRUE(jobtest::LogContains(job, both || std::string(api) == "SetPrinterDataA"
                                              ? u"Error(20): Can`t restore the SubKey of printer 'First' - (Access is denied.)"
                                              : u"Error(20): Can`t restore the SubKey of printer 'First' - (There is not enough space"));
    EXPECT_TRUE(winsim::HasPrinter(u"First"));
    EXPECT_EQ(both, winsim::RegValueExists(kSettings + u"one", u"deleted"));
    svd::DestroyInstallJob(&job);
  }
}

TEST_F(RecreateTest, OnlyTheFormerDefaultBecomesTheDefaultAgain) {
  PutSaved(u"First", "one", u"", u"");
  PutSaved(u"Second", "two", u"", u"");
  winsim::SetDefaultPrinterName(u"Microsoft Print to PDF");
  RemoveAndRecreate();
  EXPECT_TRUE(winsim::HasPrinter(u"First"));
  EXPECT_TRUE(winsim::HasPrinter(u"Second"));
  EXPECT_EQ(u"Microsoft Print to PDF", winsim::DefaultPrinterName());
  EXPECT_EQ(0u, winsim::CallCount("SetDefaultPrinterByOrdinal"));
}

TEST_F(RecreateTest, QueuesWithoutSubKeyAreNotRecreatedAndOneDefaultQueueIsMade) {
  PutQueue(u"Plain", kDriver, u"a comment", u"");
  RemoveAndRecreate();
  EXPECT_FALSE(winsim::HasPrinter(u"Plain"));
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Solvendale", &state));
  EXPECT_EQ(u"", state.comment.value_or(u"<none>"));
  EXPECT_EQ(u"Solvendale:", state.ports);
  EXPECT_EQ(kDriver, state.driverName.value_or(u""));
  EXPECT_EQ(u"WinPrint", state.printProcessor.value_or(u""));
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
}

TEST_F(RecreateTest, WhenEverySavedQueueFailsTheDefaultQueueIsAttemptedToo) {
  PutSaved(u"First", "one", u"", u"");
  PutSaved(u"Second", "two", u"", u"");
  Build();
  svd::DeleteAllPrinters(&job_);
  winsim::FailCall("AddPrinterW", ERROR_INVALID_PARAMETER, 2);
  svd::RecreatePrinters(&job_);
  EXPECT_EQ(3u, winsim::CallCount("AddPrinterW"));
  EXPECT_EQ(2, job_.ErrorCount);
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u">AddPrinter(Solvendale)"));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_FALSE(winsim::HasPrinter(u"First"));
}

TEST_F(RecreateTest, OneRecreatedQueueIsEnoughAndAMissingSettingsKeyIsNoError) {
  PutSaved(u"First", "one", u"", u"");
  PutSaved(u"Second", "two", u"", u"");
  winsim::DeleteRegKey(kSettings + u"one");
  Build();
  svd::DeleteAllPrinters(&job_);
  winsim::FailCall("AddPrinterW", ERROR_INVALID_PARAMETER, 1);  // "Second" comes first
  svd::RecreatePrinters(&job_);
  EXPECT_EQ(2u, winsim::CallCount("AddPrinterW"));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(winsim::HasPrinter(u"First"));
  EXPECT_FALSE(winsim::HasPrinter(u"Second"));
  EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_FALSE(winsim::RegKeyExists(kSettings + u"one"));
}

TEST_F(PrinterQueuesTest, WriteAndReadSubKey) {
  PutQueue(u"Q");
  Build();
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Q"), &printer, &defaults));
  auto read = [&](svd::SubKeyRead expected) {
    LPSTR text = nullptr;
    EXPECT_EQ(expected, svd::ReadSubKey(printer, &text));
    std::string result = text != nullptr ? text : "<none>";
    if (text != nullptr) GlobalFree(text);
    return result;
  };
  EXPECT_EQ("<none>", read(svd::SubKeyRead::Missing));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), svd::WriteSubKey(printer, "name"));
  EXPECT_EQ("name", read(svd::SubKeyRead::Found));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), svd::WriteSubKey(printer, nullptr));
  winsim::PrinterDataEntry entry;
  ASSERT_TRUE(winsim::GetPrinterDataEntry(u"Q", "DsUser", "SubKey", &entry));
  EXPECT_EQ(Bytes(""), entry.bytes);
  winsim::FailCall("SetPrinterDataExA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), svd::WriteSubKey(printer, "other"));
  const std::string longText(1000, 'L');
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), svd::WriteSubKey(printer, longText.c_str()));
  EXPECT_EQ(longText, read(svd::SubKeyRead::Found));

  // Stored without its terminator: the text ends right behind its bytes.
  PutPlainSubKey(u"Q", REG_SZ, Bytes("abc", false));
  EXPECT_EQ("abc", read(svd::SubKeyRead::Found));
  PutPlainSubKey(u"Q", REG_SZ, Bytes(std::string(64, 'z'), false));
  EXPECT_EQ(std::string(64, 'z'), read(svd::SubKeyRead::Found));
  // Neither copy is a text: no SubKey. One that cannot be read is no answer.
  PutPlainSubKey(u"Q", REG_BINARY, Bytes("bin"));
  PutDsUserSubKey(u"Q", REG_BINARY, Bytes("bin"));
  EXPECT_EQ("<none>", read(svd::SubKeyRead::Missing));
  winsim::FailCall("GetPrinterDataExA", RPC_S_SERVER_UNAVAILABLE, 1);
  EXPECT_EQ("<none>", read(svd::SubKeyRead::Unreadable));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  // A value that keeps growing between the reads is given up.
  PutPlainSubKey(u"Q", REG_SZ, Bytes(std::string(100, 'g')));
  winsim::FailCall("GetPrinterDataA", ERROR_MORE_DATA, -1);
  winsim::ClearCalls();
  EXPECT_EQ("<none>", read(svd::SubKeyRead::Unreadable));
  EXPECT_EQ(3u, winsim::CallCount("GetPrinterDataA"));
  winsim::ClearFaults();
  ClosePrinter(printer);
}

TEST_F(PrinterQueuesTest, ClearDeletedValueComposesTheWholePath) {
  // Longer than MAX_PATH as a whole; each key name stays within 255.
  std::string longName = std::string(200, 'n') + "\\" + std::string(200, 'm');
  std::u16string key = kSettings + std::u16string(longName.begin(), longName.end());
  winsim::SetRegDword(key, u"deleted", 1);
  EXPECT_EQ(ERROR_SUCCESS, svd::ClearDeletedValue(("Solvendales\\" + longName).c_str()));
  EXPECT_FALSE(winsim::RegValueExists(key, u"deleted"));
  // A value or key that is not there is already clear; a failure is not.
  EXPECT_EQ(ERROR_SUCCESS, svd::ClearDeletedValue(("Solvendales\\" + longName).c_str()));
  EXPECT_EQ(ERROR_SUCCESS, svd::ClearDeletedValue("Solvendales\\missing"));
  winsim::SetRegDword(key, u"deleted", 1);
  for (const char* api : {"RegOpenKeyExA", "RegDeleteValueA"}) {
    winsim::FailCall(api, ERROR_ACCESS_DENIED, -1);
    EXPECT_EQ(ERROR_ACCESS_DENIED, svd::ClearDeletedValue(("Solvendales\\" + longName).c_str())) << api;
    winsim::ClearFaults();
  }
  EXPECT_TRUE(winsim::RegValueExists(key, u"deleted"));
}

}  // namespace
