// Whole runs of the program on the stand-in machine, through its entry with a
// command line, as a setup package would start it.
#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fault_sweep.h"
#include "install/entry.h"
#include "install/setup_lock.h"
#include "installed_product.h"

namespace {

using product::Drv;
using product::Drv3;
using product::kDriver;
using product::kRunKey;
using product::kSettings;
using product::PutComponentFiles;
using product::Sys;
using product::Sz;

bool Contains(const std::u16string& text, const std::u16string& part) {
  return text.find(part) != std::u16string::npos;
}

// The sources of the delete-at-reboot requests, without the "\??\" prefix.
std::vector<std::u16string> ScheduledForReboot() {
  std::vector<std::u16string> strings = winsim::PendingFileRenameOperations();
  std::vector<std::u16string> sources;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::u16string source = strings[i];
    if (source.rfind(u"\\??\\", 0) == 0) source = source.substr(4);
    if (strings[i + 1].empty()) sources.push_back(source);
  }
  std::sort(sources.begin(), sources.end());
  return sources;
}

// A report file: its UTF-8 text after the byte-order mark, which must open
// the file once and only there.
std::string ReportText(const std::u16string& path) {
  std::vector<uint8_t> bytes = winsim::FileBytes(path);
  std::string text(bytes.begin(), bytes.end());
  if (text.rfind("\xEF\xBB\xBF", 0) != 0) return "(no byte-order mark) " + text;
  text = text.substr(3);
  if (text.find("\xEF\xBB\xBF") != std::string::npos) return "(a second byte-order mark) " + text;
  return text;
}

std::string LockName() { return winsim::Narrow(svd::kSetupLockName); }

class ScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    winsim::CreateRegKey(kRunKey);
    PutComponentFiles(2093);
  }

  // Runs the program with the arguments; with log set, Shift is held so
  // that the log is shown and can be read back.
  int Run(const std::u16string& arguments, std::u16string* log = nullptr) {
    winsim::DesktopBehaviour user = winsim::GetDesktopBehaviour();
    user.shiftDown = log != nullptr;
    winsim::SetDesktopBehaviour(user);
    winsim::SetCommandLine(u"\"" + winsim::InstallerPath() + u"\" " + arguments);
    size_t shown = winsim::DialogsShown().size();
    int code = svd::InstallerMain(winsim::ProgramInstance());
    user.shiftDown = false;
    winsim::SetDesktopBehaviour(user);
    std::vector<winsim::ShownDialog> dialogs = winsim::DialogsShown();
    if (log != nullptr) *log = dialogs.size() > shown ? dialogs.back().text : u"";
    return code;
  }

  static void PutQueue(const std::u16string& name, const std::u16string& comment, const std::u16string& location,
                       const std::string& subkey) {
    product::PutQueue(name, u"Solvendale:", kDriver, comment, location, subkey);
  }

  static void ExpectNothingOfTheProduct() {
    EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
    EXPECT_FALSE(winsim::HasDriver(kDriver));
    for (const winsim::PrinterState& printer : winsim::Printers()) {
      EXPECT_NE(kDriver, printer.driverName.value_or(u""));
    }
    EXPECT_FALSE(winsim::RegValueExists(kRunKey, u"SolvendaleTray"));
    for (const char16_t* name : {u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"}) {
      EXPECT_FALSE(winsim::FileExists(Drv(name)));
      EXPECT_FALSE(winsim::FileExists(Drv3(name)));
    }
    EXPECT_FALSE(winsim::FileExists(Sys(u"qrlmon64.dll")));
    EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
    EXPECT_FALSE(winsim::TrayCompanion().running);
  }
};

TEST_F(ScenarioTest, CleanMachineInstallProbesAndUninstall) {
  ASSERT_EQ(1, Run(u"install"));

  std::vector<winsim::PrinterState> ours;
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    if (printer.driverName.value_or(u"") == kDriver) ours.push_back(printer);
  }
  ASSERT_EQ(1u, ours.size());
  EXPECT_EQ(u"Solvendale", ours[0].name);
  EXPECT_EQ(u"Solvendale:", ours[0].ports);
  EXPECT_EQ(u"WinPrint", ours[0].printProcessor.value_or(u""));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_TRUE(winsim::FileExists(Sys(u"qrlmon64.dll")));
  winsim::DriverState driver;
  ASSERT_TRUE(winsim::FindDriver(kDriver, u"Windows x64", &driver));
  EXPECT_EQ(3u, driver.version);
  for (const char16_t* name : {u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"}) {
    EXPECT_TRUE(winsim::FileExists(Drv3(name))) << "installed";
    EXPECT_FALSE(winsim::FileExists(Drv(name))) << "staged copy left";
  }
  std::u16string registered;
  ASSERT_TRUE(winsim::GetRegString(kRunKey, u"SolvendaleTray", &registered));
  EXPECT_EQ(winsim::TrayPath(), registered);
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_TRUE(ScheduledForReboot().empty());
  EXPECT_TRUE(winsim::DialogsShown().empty());

  EXPECT_EQ(103, Run(u"onChkDrv"));
  EXPECT_EQ(102, Run(u"onInit"));  // the default is still Microsoft's
  EXPECT_EQ(4, Run(u"def.set"));
  EXPECT_EQ(u"Solvendale", winsim::DefaultPrinterName());
  EXPECT_EQ(3, Run(u"onInit"));
  winsim::SetDefaultPrinterName(u"Microsoft Print to PDF");
  EXPECT_EQ(102, Run(u"onInit"));

  EXPECT_EQ(2, Run(u"uninstall"));
  ExpectNothingOfTheProduct();
  EXPECT_TRUE(ScheduledForReboot().empty());
  EXPECT_TRUE(winsim::HasPrinter(u"Microsoft Print to PDF"));
}

TEST_F(ScenarioTest, ReinstallOverACompatibleInstallationKeepsMonitorAndQueues) {
  ASSERT_EQ(1, Run(u"install"));
  winsim::RemovePrinter(u"Solvendale");
  PutQueue(u"Office", u"second floor", u"room 12", "office");
  PutQueue(u"Home", u"at home", u"desk", "home");
  winsim::SetDefaultPrinterName(u"Home");
  std::vector<std::u16string> order;
  for (const winsim::PrinterState& printer : winsim::Printers()) order.push_back(printer.name);
  bool officeFirst = std::find(order.begin(), order.end(), u"Office") < std::find(order.begin(), order.end(), u"Home");
  winsim::ClearCalls();

  std::u16string log;
  ASSERT_EQ(1, Run(u"install", &log));

  EXPECT_TRUE(Contains(log, u"InstallMonitor == 0, CopyMonitor == 1")) << std::string(log.begin(), log.end());
  EXPECT_EQ(0u, winsim::CallCount("AddMonitorW"));
  EXPECT_EQ(0u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  size_t office = log.find(u">AddPrinter(Office)");
  size_t home = log.find(u">AddPrinter(Home)");
  ASSERT_NE(std::u16string::npos, office);
  ASSERT_NE(std::u16string::npos, home);
  EXPECT_EQ(officeFirst, home < office);  // re-created in reverse order
  EXPECT_FALSE(Contains(log, u">AddPrinter(Solvendale)"));
  EXPECT_FALSE(Contains(log, u"Error("));

  struct Expect {
    std::u16string name, comment, location;
    std::string subkey;
  };
  for (const Expect& e : {Expect{u"Office", u"second floor", u"room 12", "office"},
                          Expect{u"Home", u"at home", u"desk", "home"}}) {
    winsim::PrinterState state;
    ASSERT_TRUE(winsim::FindPrinter(e.name, &state));
    EXPECT_EQ(e.comment, state.comment.value_or(u""));
    EXPECT_EQ(e.location, state.location.value_or(u""));
    EXPECT_EQ(u"Solvendale:", state.ports);
    EXPECT_EQ(kDriver, state.driverName.value_or(u""));
    winsim::PrinterDataEntry entry;
    ASSERT_TRUE(winsim::GetPrinterDataEntry(e.name, "PrinterDriverData", "SubKey", &entry));
    EXPECT_EQ(Sz(e.subkey), entry.bytes);
    ASSERT_TRUE(winsim::GetPrinterDataEntry(e.name, "DsUser", "SubKey", &entry));
    EXPECT_EQ(Sz(e.subkey), entry.bytes);
    EXPECT_FALSE(winsim::RegValueExists(kSettings + std::u16string(e.subkey.begin(), e.subkey.end()), u"deleted"));
  }
  EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_EQ(u"Home", winsim::DefaultPrinterName());
  // The companion was stopped and started again from its kept executable.
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(2u, winsim::TrayCompanion().starts);
}

// A connection to a print server's queue of the product's driver goes and
// comes back with the user's default and settings key; the server's queue,
// its jobs, its data and its port are never touched, also while a queue of
// another driver keeps the monitor in use, so that the local queues on its
// port are moved to "file:" and back.
TEST_F(ScenarioTest, AConnectionOfTheDriverIsRemovedAndRestoredButItsServerQueueIsLeftAlone) {
  ASSERT_EQ(1, Run(u"install"));
  product::PutQueue(u"Labels", u"LPT1:,Solvendale:", u"Microsoft Print To PDF", u"", u"", "");
  const std::u16string shared = u"\\\\print-01\\Solvendale Shared";
  winsim::PrinterSetup remote;
  remote.name = shared;
  remote.ports = u"Solvendale:";
  remote.driverName = kDriver;
  remote.comment = u"for everyone";
  remote.connection = true;
  remote.jobs = 5;
  winsim::PutPrinter(remote);
  winsim::PutPrinterString(shared, "PrinterDriverData", "SubKey", "shared");
  winsim::SetRegDword(kSettings + u"shared", u"deleted", 1);
  winsim::SetDefaultPrinterName(shared);
  auto expectServerQueueUntouched = [&](bool connected) {
    winsim::PrinterState state;
    ASSERT_TRUE(winsim::FindPrinter(shared, &state));
    EXPECT_EQ(connected, state.connected);
    EXPECT_FALSE(state.pendingDeletion);
    EXPECT_EQ(5u, state.jobs);
    EXPECT_EQ(u"for everyone", state.comment.value_or(u""));
    EXPECT_EQ(u"Solvendale:", state.ports);
    ASSERT_EQ(1u, state.data.size());
    EXPECT_EQ(Sz("shared"), state.data[0].bytes);
  };

  std::u16string log;
  EXPECT_EQ(1, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u">DeletePrinter(" + shared + u")\r\n          OK")) << std::string(log.begin(), log.end());
  EXPECT_TRUE(Contains(log, u">AddPrinter(" + shared + u")\r\n      OK :)"));
  EXPECT_FALSE(Contains(log, u"Error("));
  expectServerQueueUntouched(true);
  EXPECT_EQ(shared, winsim::DefaultPrinterName());
  EXPECT_FALSE(winsim::RegValueExists(kSettings + u"shared", u"deleted"));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale")) << "a connection is no local queue of the product";
  for (const std::string& call : winsim::CallDetails("AddPrinterW")) EXPECT_EQ(std::string::npos, call.find("print-01"));

  EXPECT_EQ(2, Run(u"uninstall"));
  expectServerQueueUntouched(false);
  winsim::PrinterState labels;
  ASSERT_TRUE(winsim::FindPrinter(u"Labels", &labels));
  EXPECT_EQ(u"LPT1:,FILE:", labels.ports) << "the local queue was moved";
  ExpectNothingOfTheProduct();
}

// Queues that a reinstall used to lose without a word: each comes back, or
// the log names it once.
TEST_F(ScenarioTest, AReinstallLosesNoQueueWithoutNamingIt) {
  struct Case {
    const char* what;
    std::string subkey;
    DWORD openError;
    std::vector<std::string> apis;  // fail on every call for the queue "Office"
    int exitCode;
    const char16_t* line;  // the error line that names the queue, or none
    bool subkeyKept;       // "Office" is there with its SubKey in its plain data
  };
  const std::string longSubKey = std::string(99, 'o');  // 100 bytes with the terminator
  const Case cases[] = {
      {"a long SubKey", longSubKey, 0, {}, 1, nullptr, true},
      {"a SubKey that cannot be written back", "office", 0, {"SetPrinterDataA"}, 100,
       u"Error(20): Can`t restore the SubKey of printer 'Office'", false},
      // Queues kept in place keep the driver in use too (error line 14).
      {"a queue that cannot be opened", "office", ERROR_ACCESS_DENIED, {}, 100,
       u"Error(16): Can`t open printer 'Office'", true},
      {"a SubKey that cannot be read", longSubKey, 0, {"GetPrinterDataA", "GetPrinterDataExA"}, 100,
       u"Error(19): Can`t read the SubKey of printer 'Office'", true},
      // Back, but not whole.
      {"a comment that cannot be restored", "office", 0, {"SetPrinterW"}, 100,
       u"Error(26): Can`t restore the comment and location of printer 'Office' - (Access is denied.)", true},
      {"a default that cannot be restored", "office", 0, {"SetDefaultPrinterByOrdinal"}, 100,
       u"Error(27): Can`t make printer 'Office' the default printer again - (Access is denied.)", true},
      {"a settings key that cannot be cleared", "Office", 0, {"RegDeleteValueA"}, 100,
       u"Error(28): Can`t clear the value 'deleted' of the settings key of printer 'Office' - (Access is denied.)",
       true},
  };
  for (const Case& c : cases) {
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    PutQueue(u"Office", u"second floor", u"room 12", c.subkey);
    winsim::SetDefaultPrinterName(u"Office");
    winsim::SetRegDword(kSettings + std::u16string(c.subkey.begin(), c.subkey.end()), u"deleted", 1);
    if (c.openError != 0) {
      winsim::PrinterSetup locked;
      locked.name = u"Office";
      locked.ports = u"Solvendale:";
      locked.driverName = kDriver;
      locked.openError = c.openError;
      locked.data = {{"PrinterDriverData", "SubKey", REG_SZ, Sz(c.subkey)}};
      winsim::PutPrinter(locked);
    }
    for (const std::string& api : c.apis) winsim::FailCall(api, ERROR_ACCESS_DENIED, -1, 0, "Office");
    std::u16string log;
    EXPECT_EQ(c.exitCode, Run(u"install", &log)) << c.what;
    winsim::ClearFaults();
    std::string text(log.begin(), log.end());
    if (c.line == nullptr) {
      EXPECT_FALSE(Contains(log, u"Error(")) << c.what << "\n" << text;
    } else {
      std::u16string number = std::u16string(c.line).substr(0, 9);
      size_t first = log.find(number);
      EXPECT_TRUE(Contains(log, c.line)) << c.what << "\n" << text;
      EXPECT_EQ(std::u16string::npos, log.find(number, first + 1)) << c.what << ": named twice\n" << text;
    }
    winsim::PrinterDataEntry entry;
    EXPECT_TRUE(winsim::HasPrinter(u"Office")) << c.what;
    EXPECT_EQ(c.subkeyKept, winsim::GetPrinterDataEntry(u"Office", "PrinterDriverData", "SubKey", &entry) &&
                                entry.bytes == Sz(c.subkey))
        << c.what;
  }
}

using sweep::kJournal;

// What the user sees of the queues that a reinstall keeps.
std::map<std::string, std::string> SavedQueuesState() {
  std::map<std::string, std::string> seen;
  for (const auto& [aspect, value] : sweep::ReadState()) {
    for (const std::u16string& queue : {std::u16string(u"Solvendale"), std::u16string(u"Solvendale Office"),
                                        sweep::kServerQueue, std::u16string(u"default printer")}) {
      if (aspect.find(":" + sweep::U8(queue)) != std::string::npos &&
          aspect.size() == aspect.find(':') + 1 + sweep::U8(queue).size()) {
        seen[aspect] = value;
      }
    }
  }
  return seen;
}

TEST_F(ScenarioTest, QueuesOfAReinstallThatFailedWaitInTheJournalForTheNextInstallOrAnUninstall) {
  for (const char16_t* next : {u"install", u"uninstall"}) {
    sweep::SetupCurrent();
    std::map<std::string, std::string> before = SavedQueuesState();
    // The driver cannot be installed (an antivirus holds its DLL): no queue
    // can be created again.
    winsim::FailCall("AddPrinterDriverExW", ERROR_ACCESS_DENIED, -1);
    EXPECT_EQ(100, Run(u"install"));
    winsim::ClearFaults();
    EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
    EXPECT_EQ(3u, winsim::RegSubKeys(kJournal).size());

    std::u16string log;
    if (next == std::u16string(u"install")) {
      EXPECT_EQ(1, Run(next, &log));
      EXPECT_TRUE(Contains(log, u"3 printers restored from an earlier setup that did not finish")) << sweep::U8(log);
      EXPECT_EQ(before, SavedQueuesState());
      EXPECT_TRUE(winsim::RegSubKeys(kJournal).empty());
    } else {
      EXPECT_EQ(2, Run(next, &log));
      EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
      EXPECT_FALSE(winsim::HasPrinter(u"Solvendale Office"));
      EXPECT_FALSE(winsim::RegKeyExists(kJournal));
    }
  }
}

TEST_F(ScenarioTest, AJournalThatCannotBeWrittenKeepsTheQueue) {
  sweep::SetupCurrent();
  winsim::DenyRegistryWrite(kJournal, true);
  std::u16string log;
  EXPECT_EQ(100, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Error(22): Can`t save printer 'Solvendale' before deleting it")) << sweep::U8(log);
  EXPECT_TRUE(Contains(log, u"Error(22): Can`t save printer '" + sweep::kServerQueue + u"' before deleting it"));
  EXPECT_EQ("Q1|Q1", sweep::PrinterString(u"Solvendale", "PrinterDriverData") + "|" +
                         sweep::PrinterString(u"Solvendale", "DsUser"));
  EXPECT_TRUE(winsim::HasPrinter(sweep::kServerQueue));
}

// The journal holds only entries that an install reads back: a connection
// to a server with a long DNS name is saved and restored; a queue whose
// SubKey is too long for an entry is not deleted.
TEST_F(ScenarioTest, TheJournalHoldsOnlyWhatItReadsBack) {
  sweep::SetupCurrent();
  const std::u16string longServer = u"\\\\" + std::u16string(200, u's') + u"\\" + std::u16string(200, u'q');
  winsim::PrinterSetup remote;
  remote.name = longServer;
  remote.ports = sweep::kMonitor;
  remote.driverName = sweep::kDriver;
  remote.connection = true;
  winsim::PutPrinter(remote);
  winsim::PutPrinterString(longServer, "PrinterDriverData", "SubKey", "R1");
  winsim::FailCall("AddPrinterDriverExW", ERROR_ACCESS_DENIED, -1);
  EXPECT_EQ(100, Run(u"install"));
  winsim::ClearFaults();
  winsim::PrinterState connection;
  ASSERT_TRUE(winsim::FindPrinter(longServer, &connection));
  EXPECT_FALSE(connection.connected);
  std::u16string log;
  EXPECT_EQ(1, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"4 printers restored from an earlier setup that did not finish")) << sweep::U8(log);
  ASSERT_TRUE(winsim::FindPrinter(longServer, &connection));
  EXPECT_TRUE(connection.connected);
  EXPECT_TRUE(winsim::RegSubKeys(kJournal).empty());

  const std::string hugeSubKey(32768, 'h');
  product::PutQueue(u"Huge", sweep::kMonitor, sweep::kDriver, u"", u"", hugeSubKey);
  EXPECT_EQ(100, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Error(22): Can`t save printer 'Huge' before deleting it")) << sweep::U8(log);
  EXPECT_EQ(hugeSubKey, sweep::PrinterString(u"Huge", "PrinterDriverData"));
  EXPECT_TRUE(winsim::RegSubKeys(kJournal).empty());
}

// Entries of the journal that anyone with administrator rights could have
// written: each unsound one is skipped with a log line and dropped, the
// sound one is created again.
TEST_F(ScenarioTest, UnsoundJournalEntriesAreSkippedAndDropped) {
  auto entry = [](const char16_t* number, const std::u16string& name, DWORD connection) {
    std::u16string key = kJournal + u"\\" + number;
    winsim::SetRegString(key, u"Name", name);
    winsim::SetRegValue(key, u"SubKey", REG_BINARY, {'Q', '9'});
    winsim::SetRegDword(key, u"Default", 1);
    winsim::SetRegDword(key, u"Connection", connection);
    return key;
  };
  entry(u"00000002", u"Restored", 0);
  winsim::SetRegString(kJournal + u"\\00000002", u"Comment", u"Kept");
  winsim::SetRegDword(entry(u"00000001", u"Wrong type", 0), u"Name", 7);
  winsim::DeleteRegValue(entry(u"00000003", u"No default", 0), u"Default");
  entry(u"00000004", u"Local\\with backslash", 0);
  winsim::SetRegValue(entry(u"00000005", u"Nul inside", 0), u"SubKey", REG_BINARY, {'Q', 0, '9'});
  entry(u"00000006", u"Flag of two", 2);
  entry(u"00000007", u"\\\\server-without-queue", 1);
  winsim::SetRegValue(entry(u"00000008", u"Odd size", 0), u"Name", REG_SZ, {'O', 0, 'd'});
  winsim::SetRegValue(entry(u"00000009", u"Empty SubKey", 0), u"SubKey", REG_BINARY, {});
  entry(u"junk", u"Not numbered", 0);
  entry(u"00000010", u"Restored", 0);

  std::u16string log;
  EXPECT_EQ(1, Run(u"install", &log));
  for (const char16_t* skipped : {u"00000001", u"00000003", u"00000004", u"00000005", u"00000006", u"00000007",
                                  u"00000008", u"00000009", u"00000010", u"junk"}) {
    EXPECT_TRUE(Contains(log, u"Saved printer " + std::u16string(skipped) + u" skipped: ")) << sweep::U8(skipped);
  }
  EXPECT_TRUE(Contains(log, u"1 printers restored from an earlier setup that did not finish"));
  winsim::PrinterState restored;
  ASSERT_TRUE(winsim::FindPrinter(u"Restored", &restored));
  EXPECT_EQ(u"Kept", restored.comment.value_or(u""));
  EXPECT_EQ("Q9", sweep::PrinterString(u"Restored", "DsUser"));
  EXPECT_EQ(u"Restored", winsim::DefaultPrinterName());
  EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_TRUE(winsim::RegSubKeys(kJournal).empty());
}

TEST_F(ScenarioTest, AJournalOfMoreThanTenThousandEntriesIsReadNoFurther) {
  // Entries with a name of the wrong type: each is skipped and dropped.
  char16_t number[9] = {};
  for (int i = 1; i <= 10001; ++i) {
    for (int digit = 7, rest = i; digit >= 0; --digit, rest /= 10) number[digit] = char16_t(u'0' + rest % 10);
    winsim::SetRegDword(kJournal + u"\\" + number, u"Name", 7);
  }
  std::u16string log;
  EXPECT_EQ(1, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Saved printer 00010000 skipped: "));
  EXPECT_TRUE(Contains(log, u"More than 10000 saved printers: the rest is skipped"));
  EXPECT_EQ(std::vector<std::u16string>{u"00010001"}, winsim::RegSubKeys(kJournal));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
}

TEST_F(ScenarioTest, UninstallWithoutAnyComponent) {
  std::u16string log;
  EXPECT_EQ(2, Run(u"uninstall", &log));
  EXPECT_TRUE(Contains(log, u"Monitors found."));
  EXPECT_TRUE(Contains(log, u"drivers found"));
  EXPECT_TRUE(Contains(log, u"No Solvendale driver was found"));
  EXPECT_TRUE(Contains(log, u"No Solvendale port monitor was found."));
  EXPECT_TRUE(Contains(log, u"Can't delete monitor and monitor was not found. So everything should be ok"));
  EXPECT_FALSE(Contains(log, u"Error("));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));  // not registered: not ours to delete
}

TEST_F(ScenarioTest, UninstallWithALockedMonitorDllSchedulesExactlyThatFile) {
  ASSERT_EQ(1, Run(u"install"));
  winsim::HoldFile(Sys(u"qrlmon64.dll"), "antivirus");
  EXPECT_EQ(101, Run(u"uninstall"));
  EXPECT_EQ((std::vector<std::u16string>{Sys(u"qrlmon64.dll")}), ScheduledForReboot());
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_FALSE(winsim::HasDriver(kDriver));
}

// An uninstall leaves the monitor DLL for deletion at reboot while another
// program holds it. An install before that reboot does not keep a file that
// Windows is about to delete: it copies the DLL afresh and takes its
// deletion out of Windows' pending operations, whether the holder has let
// go meanwhile or not (then the held file cannot be replaced, which the log
// says). A pending operation that cannot be rewritten is an error line.
TEST_F(ScenarioTest, InstallBeforeTheRebootThatDeletesTheMonitorDllKeepsTheMonitor) {
  struct Row {
    bool holderStays;
    bool sessionManagerLocked;
    int exitCode;
    const char16_t* error;
  } rows[] = {
      {false, false, 1, nullptr},
      {true, false, 100, u"Error(9): Cant't open destination file: C:\\Windows\\System32\\qrlmon64.dll"},
      {false, true, 100,
       u"Error(21): Can`t cancel the deletion at reboot of C:\\Windows\\System32\\qrlmon64.dll - (Access is denied.)"},
  };
  for (const Row& row : rows) {
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    winsim::HoldFile(Sys(u"qrlmon64.dll"), "antivirus");
    ASSERT_EQ(101, Run(u"uninstall"));
    ASSERT_EQ((std::vector<std::u16string>{Sys(u"qrlmon64.dll")}), ScheduledForReboot());
    if (!row.holderStays) winsim::ReleaseHolder("antivirus");
    winsim::DenyRegistryWrite(winsim::SessionManagerKey(), row.sessionManagerLocked);

    std::u16string log;
    EXPECT_EQ(row.exitCode, Run(u"install", &log));
    std::string text(log.begin(), log.end());
    EXPECT_TRUE(Contains(log, u"Version (2093) is compatible, but the file is to be deleted at reboot, "
                              u"proceed with reinstall")) << text;
    EXPECT_TRUE(row.error == nullptr ? !Contains(log, u"Error(") : Contains(log, row.error)) << text;
    EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
    EXPECT_TRUE(winsim::FileExists(Sys(u"qrlmon64.dll")));
    EXPECT_EQ(row.sessionManagerLocked, !ScheduledForReboot().empty());
  }
}

TEST_F(ScenarioTest, ReinstallDropsOldLockedFilesAndSchedulesOnlyItsOwnStagedCopies) {
  // An old installation whose monitor DLL had another name and an
  // unsupported build; a scanner keeps it open.
  std::u16string oldDll = Sys(u"qrlmon.dll");
  winsim::PutFile(oldDll, winsim::MakeVersionedImage(1, 0, 0, 2072));
  winsim::MonitorSetup monitor;
  monitor.name = u"Solvendale:";
  monitor.dll = u"qrlmon.dll";
  monitor.ports = {u"Solvendale:"};
  winsim::PutMonitor(monitor);
  winsim::HoldFile(oldDll, "antivirus");
  // The staged copies of this install stay in use as well.
  winsim::HoldFile(Drv(u"qrldrv64.dll"), "indexer");
  winsim::HoldFile(Drv(u"qrlui64.dll"), "indexer");

  EXPECT_EQ(101, Run(u"install"));
  std::vector<std::u16string> expected = {Drv(u"qrldrv64.dll"), Drv(u"qrlui64.dll")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, ScheduledForReboot());
  EXPECT_TRUE(winsim::FileExists(oldDll));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_TRUE(winsim::HasDriver(kDriver));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
}

TEST_F(ScenarioTest, QueueThatCannotBeRemovedKeepsTheDriverInUse) {
  ASSERT_EQ(1, Run(u"install"));
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Solvendale", &state));
  winsim::PrinterSetup stuck;
  stuck.name = u"Solvendale";
  stuck.ports = u"Solvendale:";
  stuck.driverName = kDriver;
  stuck.openError = ERROR_ACCESS_DENIED;
  winsim::PutPrinter(stuck);

  std::u16string log;
  EXPECT_EQ(100, Run(u"uninstall", &log));
  EXPECT_TRUE(Contains(log, u"Error(16): Can`t open printer 'Solvendale'"));
  EXPECT_TRUE(Contains(log, u"Can't delete driver. Trying to restart spooler"));
  EXPECT_TRUE(Contains(log, u"Error(14): Can`t remove the printer-driver 'Solvendale printer'"));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_TRUE(winsim::HasDriver(kDriver));
}

TEST_F(ScenarioTest, MonitorRefusedUntilQueuesUseFileAndPointedBackAfterReinstall) {
  ASSERT_EQ(1, Run(u"install"));
  // A queue of another driver prints to the product's port; an older
  // monitor build must be replaced.
  winsim::PrinterSetup other;
  other.name = u"Other";
  other.ports = u"Solvendale:";
  other.driverName = u"Microsoft Print To PDF";
  winsim::PutPrinter(other);
  winsim::PutFile(Sys(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, 2072));
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  winsim::SetSpoolerServiceState(SERVICE_RUNNING);

  std::u16string log;
  EXPECT_EQ(1, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Version (2072) is not supported, proceed with reinstall"));
  EXPECT_TRUE(Contains(log, u"Can't delete monitor from the first try"));
  EXPECT_TRUE(Contains(log, u"SetPrinter(Other) - ok"));
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Other", &state));
  EXPECT_EQ(u"Solvendale:", state.ports);
  EXPECT_EQ(winsim::MakeMonitorImage(1, 0, 0, 2093), winsim::FileBytes(Sys(u"qrlmon64.dll")));

  EXPECT_EQ(2, Run(u"uninstall"));
  ASSERT_TRUE(winsim::FindPrinter(u"Other", &state));
  EXPECT_TRUE(state.ports == u"file:" || state.ports == u"FILE:") << std::string(state.ports.begin(), state.ports.end());
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
}

TEST_F(ScenarioTest, AQueueLeftOnFileFailsTheRun) {
  // The queue of another driver cannot be moved back from "file:" (its second
  // open or SetPrinterW of the run); the driver's own queue, deleted by the
  // run and not there to be moved back, is no error.
  struct Case {
    const char* api;
    std::u16string logLine;
  };
  for (const Case& c : {Case{"OpenPrinterW", u"Can't open printer Other"},
                        Case{"SetPrinterW", u"SetPrinter(Other) - failed"}}) {
    SCOPED_TRACE(c.api);
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    product::PutQueue(u"Other", u"Solvendale:", u"Microsoft Print To PDF", u"", u"", "");
    winsim::PutFile(Sys(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, 2072));
    winsim::SetSpoolerServiceState(SERVICE_STOPPED);
    winsim::SetSpoolerServiceState(SERVICE_RUNNING);
    winsim::FailCall(c.api, ERROR_ACCESS_DENIED, 1, 1, "Other");
    std::u16string log;
    EXPECT_EQ(100, Run(u"install", &log));
    winsim::ClearFaults();
    const std::u16string line = u"Error(29): Can`t move printer 'Other' back to the Solvendale port - (Access is denied.)";
    ASSERT_TRUE(Contains(log, line)) << winsim::Narrow(log);
    EXPECT_LT(log.rfind(c.logLine), log.find(line)) << winsim::Narrow(log);
    EXPECT_TRUE(Contains(log, u"Can't open printer Solvendale")) << winsim::Narrow(log);
    EXPECT_EQ(log.find(u"Error("), log.find(line)) << winsim::Narrow(log);
    winsim::PrinterState state;
    ASSERT_TRUE(winsim::FindPrinter(u"Other", &state));
    EXPECT_TRUE(state.ports == u"file:" || state.ports == u"FILE:") << winsim::Narrow(state.ports);
  }
}

TEST_F(ScenarioTest, ADefaultPrinterThatCannotBeReadFailsOnlyAReinstallOfQueues) {
  // Whether a queue of the driver is the default printer is not known: it
  // would come back without that status. An uninstall deletes the queues
  // anyway, and a machine without them has no status to lose.
  struct Case {
    bool installed;
    const char16_t* command;
    int exitCode;
  };
  for (const Case& c : {Case{true, u"install", 100}, Case{true, u"uninstall", 2}, Case{false, u"install", 1}}) {
    SCOPED_TRACE(winsim::Narrow(c.command) + (c.installed ? " over the product" : " on a clean machine"));
    SetUp();
    if (c.installed) {
      ASSERT_EQ(1, Run(u"install"));
    }
    winsim::FailCall("GetDefaultPrinterByOrdinal", RPC_S_SERVER_UNAVAILABLE, -1);
    std::u16string log;
    EXPECT_EQ(c.exitCode, Run(c.command, &log));
    winsim::ClearFaults();
    EXPECT_EQ(c.exitCode == 100, Contains(log, u"Error(30): Can`t read the default printer - (")) << winsim::Narrow(log);
  }
}

TEST_F(ScenarioTest, AListThatCannotBeReadFailsTheRun) {
  // Not found in a list that could not be read is no proof of absence: a
  // queue of another driver on the product's port keeps the monitor in use.
  struct Case {
    const char16_t* command;
    const char* api;
    const char16_t* errorLine;
    bool monitorLeft, driverLeft;
  };
  for (const Case& c : {Case{u"uninstall", "EnumMonitorsW", u"Error(24): Can`t read the list of port monitors", true,
                             false},
                        Case{u"uninstall", "EnumPrinterDriversW", u"Error(25): Can`t read the list of printer drivers",
                             false, true},
                        Case{u"install", "EnumPrinterDriversW", u"Error(25): Can`t read the list of printer drivers",
                             true, true}}) {
    SCOPED_TRACE(winsim::Narrow(c.command) + " " + c.api);
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    product::PutQueue(u"Other", u"Solvendale:", u"Microsoft Print To PDF", u"", u"", "");
    winsim::FailCall(c.api, ERROR_ACCESS_DENIED, -1);
    std::u16string log;
    EXPECT_EQ(100, Run(c.command, &log));
    winsim::ClearFaults();
    EXPECT_TRUE(Contains(log, std::u16string(c.errorLine) + u" - (Access is denied.)")) << winsim::Narrow(log);
    EXPECT_EQ(c.monitorLeft, winsim::HasMonitor(u"Solvendale:"));
    EXPECT_EQ(c.driverLeft, winsim::HasDriver(kDriver));
  }
}

TEST_F(ScenarioTest, SpoolerThatStopsTooSlowlyFailsTheRun) {
  // A spooler busy with jobs may need longer than the ten seconds of the
  // stop polls: it is started again once it has stopped.
  struct Case {
    uint64_t stopDelayMs;
    bool runsAtEnd;
  };
  for (const Case& c : {Case{12000, true}, Case{winsim::kNeverMs, false}}) {
    SCOPED_TRACE(c.stopDelayMs);
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    winsim::HoldFile(Sys(u"qrlmon64.dll"), "antivirus");
    winsim::ServiceBehaviour slow;
    slow.stopDelayMs = c.stopDelayMs;
    winsim::SetServiceBehaviour(slow);
    std::u16string log;
    EXPECT_EQ(100, Run(u"uninstall", &log));
    EXPECT_TRUE(Contains(log, u"Error(3): Can't stop the spooler"));
    EXPECT_EQ(!c.runsAtEnd, Contains(log, u"Error(4): Can't start the spooler"));
    EXPECT_EQ(c.runsAtEnd, winsim::SpoolerServiceState() == SERVICE_RUNNING);
    EXPECT_EQ((std::vector<std::u16string>{Sys(u"qrlmon64.dll")}), ScheduledForReboot());
  }
}

TEST_F(ScenarioTest, AMonitorFileThatIsNoMonitorDllIsRefusedAndNothingUsesIt) {
  // A mis-copied, truncated or wrong monitor file: Windows' spooler refuses
  // to register it, and no queue can print to the port it would provide.
  std::vector<uint8_t> cut = winsim::MakeMonitorImage(1, 0, 0, 2093);
  cut.resize(cut.size() / 2);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char16_t* cause;
  };
  for (const Case& c : {Case{"driver DLL", winsim::MakeVersionedImage(1, 0, 0, 2093),
                             u"The specified procedure could not be found."},
                        Case{"truncated", cut, u"%1 is not a valid Win32 application."},
                        Case{"text", {'M', 'Z', '?'}, u"%1 is not a valid Win32 application."}}) {
    SCOPED_TRACE(c.name);
    SetUp();
    winsim::PutFile(product::Src(u"qrlmon64.dll"), c.bytes);
    std::u16string log;
    EXPECT_EQ(100, Run(u"install", &log));
    EXPECT_TRUE(Contains(log, u"Error(11): Can`t install a local port monitor'Solvendale:' - (" +
                                  std::u16string(c.cause) + u")"))
        << winsim::Narrow(log);
    EXPECT_EQ(5u, winsim::CallCount("AddMonitorW"));
    EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
    for (const winsim::PrinterState& printer : winsim::Printers()) EXPECT_NE(u"Solvendale:", printer.ports);
    EXPECT_TRUE(winsim::HasDriver(kDriver));
  }
}

TEST_F(ScenarioTest, ASpoolerThatCannotStartEndsTheRunInBoundedTime) {
  // Disabled, or its process never reports: every start is refused, the
  // first at once, the second after the service control manager's wait.
  struct Case {
    const char* name;
    bool disabled;
    const char16_t* cause;
  };
  for (const Case& c : {Case{"disabled", true, u"The service cannot be started"},
                        Case{"hanging", false, u"The service did not respond to the start or control request"}}) {
    SCOPED_TRACE(c.name);
    SetUp();
    winsim::ServiceBehaviour unkind;
    unkind.disabled = c.disabled;
    unkind.startHangs = !c.disabled;
    winsim::SetServiceBehaviour(unkind);
    winsim::SetSpoolerServiceState(SERVICE_STOPPED);
    uint64_t start = winsim::NowMs();
    std::u16string log;
    EXPECT_EQ(100, Run(u"install", &log));
    EXPECT_TRUE(Contains(log, u"Error(4): Can't start the spooler - (" + std::u16string(c.cause)))
        << winsim::Narrow(log);
    EXPECT_LE(winsim::NowMs() - start, 3 * winsim::kServiceStartTimeoutMs);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), winsim::SpoolerServiceState());
    EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));

    // The probes answer all the same, also with product DLLs waiting.
    winsim::PutFile(u"C:\\Old\\qrlmon64.dll", {1});
    winsim::HoldFile(u"C:\\Old\\qrlmon64.dll", "antivirus");
    winsim::SetPendingFileRenameOperations({u"\\??\\C:\\Old\\qrlmon64.dll", u""});
    start = winsim::NowMs();
    EXPECT_EQ(200, Run(u"onInit"));
    EXPECT_LE(winsim::NowMs() - start, 2 * winsim::kServiceStartTimeoutMs);
  }
}

TEST_F(ScenarioTest, ReadOnlyProductFilesAreMadeWritableAndForeignOnesNeverTouched) {
  // A user or a backup tool made the product's files read-only; another
  // program's read-only file waits for its deletion at reboot.
  ASSERT_EQ(1, Run(u"install"));
  const std::u16string foreign = u"C:\\Other\\keep.dll";
  winsim::PutFile(foreign, {1});
  winsim::SetFileReadOnly(foreign, true);
  winsim::SetPendingFileRenameOperations({u"\\??\\" + foreign, u""});
  winsim::PutFile(Sys(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, 2072));
  winsim::SetFileReadOnly(Sys(u"qrlmon64.dll"), true);
  // A staged copy that an earlier run left behind.
  winsim::PutFile(Drv(u"qrldrv64.dll"), {1});
  winsim::SetFileReadOnly(Drv(u"qrldrv64.dll"), true);

  // The reinstall replaces the monitor DLL of the unsupported build and the
  // staged copy.
  EXPECT_EQ(1, Run(u"install"));
  EXPECT_FALSE(winsim::FileExists(Drv(u"qrldrv64.dll")));
  EXPECT_EQ(winsim::MakeMonitorImage(1, 0, 0, 2093), winsim::FileBytes(Sys(u"qrlmon64.dll")));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_EQ(std::vector<std::u16string>{foreign}, ScheduledForReboot());

  // The uninstall deletes them, at once.
  winsim::SetFileReadOnly(Sys(u"qrlmon64.dll"), true);
  winsim::SetFileReadOnly(winsim::TrayPath(), true);
  std::u16string log;
  EXPECT_EQ(2, Run(u"uninstall", &log)) << winsim::Narrow(log);
  ExpectNothingOfTheProduct();
  EXPECT_TRUE(winsim::FileExists(foreign));
  EXPECT_EQ(std::vector<std::u16string>{foreign}, ScheduledForReboot());
  for (const std::string& call : winsim::CallDetails("SetFileAttributesW")) {
    EXPECT_EQ(std::string::npos, call.find("Other")) << call;
  }
}

TEST_F(ScenarioTest, UnknownSystemAndDriverDirectoriesStageNothingAnywhere) {
  // Bare file names would be copied into, and deleted from, whatever the
  // current directory is.
  winsim::SystemBehaviour system;
  system.systemDirectory = u"";
  winsim::SetSystemBehaviour(system);
  winsim::FailCall("GetPrinterDriverDirectoryW", ERROR_ACCESS_DENIED, -1);
  std::u16string log;
  EXPECT_EQ(100, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Error(6): Can`t retrieve printer driver directory."));
  EXPECT_TRUE(Contains(log, u"Error(7): Can`t retrieve system directory."));
  std::vector<std::string> paths = winsim::CallDetails("CreateFileW");
  for (const std::string& deleted : winsim::CallDetails("DeleteFileW")) paths.push_back(deleted);
  for (const std::string& path : paths) EXPECT_EQ(0u, path.find("C:\\")) << path;
}

TEST_F(ScenarioTest, InstallerDirectoryThatCannotBeReadChangesNothingButAnUninstallGoesOn) {
  // A program path cut to its buffer names an outer folder, which may hold
  // other files of the same names.
  const std::u16string outer = u"C:\\" + std::u16string(200, u'd');
  struct Case {
    const char* name;
    std::u16string programPath;
    DWORD readError;
    const char16_t* cause;
  };
  for (const Case& c : {Case{"cut", outer + u"\\" + std::u16string(100, u'e') + u"\\Setup\\SolvendaleSetup.exe", 0,
                             u"The data area passed to a system call is too small."},
                        Case{"unreadable", winsim::InstallerPath(), ERROR_ACCESS_DENIED, u"Access is denied."}}) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_EQ(1, Run(u"install"));
    std::vector<uint8_t> monitorDll = winsim::FileBytes(Sys(u"qrlmon64.dll"));
    for (const char16_t* name : {u"qrlmon64.dll", u"qrldrv64.dll", u"qrlui64.dll"}) {
      winsim::PutFile(outer + u"\\" + name, winsim::MakeVersionedImage(1, 0, 0, 2094));
    }
    winsim::SystemBehaviour system;
    system.programPath = c.programPath;
    winsim::SetSystemBehaviour(system);
    if (c.readError != 0) winsim::FailCall("GetModuleFileNameW", c.readError, -1);

    std::u16string log;
    EXPECT_EQ(100, Run(u"install", &log));
    EXPECT_TRUE(Contains(log, u"Error(18): Can`t retrieve installer directory. - (" + std::u16string(c.cause) + u")"));
    EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
    EXPECT_EQ(monitorDll, winsim::FileBytes(Sys(u"qrlmon64.dll")));
    EXPECT_TRUE(winsim::HasDriver(kDriver));
    EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
    std::u16string registered;
    EXPECT_TRUE(winsim::GetRegString(kRunKey, u"SolvendaleTray", &registered));
    EXPECT_EQ(winsim::TrayPath(), registered);
    EXPECT_TRUE(winsim::TrayCompanion().running);

    EXPECT_EQ(100, Run(u"uninstall"));
    ExpectNothingOfTheProduct();
    winsim::ClearFaults();
  }
}

TEST_F(ScenarioTest, OnInitWithPendingProductFiles) {
  ASSERT_EQ(1, Run(u"install"));
  ASSERT_EQ(4, Run(u"def.set"));

  // A product DLL waiting for deletion that stays in use.
  winsim::PutFile(u"C:\\Old\\qrlmon64.dll", {1});
  winsim::HoldFile(u"C:\\Old\\qrlmon64.dll", "antivirus");
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\Old\\qrlmon64.dll", u""});
  int stops = winsim::SpoolerStopCount();
  EXPECT_EQ(200, Run(u"onInit"));
  EXPECT_EQ(stops + 2, winsim::SpoolerStopCount());

  // A pending rename of a product DLL is never purged.
  winsim::PutFile(u"C:\\Old\\QRLDRV64.DLL", {1});
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\Old\\QRLDRV64.DLL", u"\\??\\C:\\New\\qrldrv64.dll"});
  EXPECT_EQ(200, Run(u"onInit"));

  // A pending delete that can be carried out now: no restart, our default.
  winsim::PutFile(u"C:\\Old\\qrlui64.dll", {1});
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\Old\\qrlui64.dll", u""});
  stops = winsim::SpoolerStopCount();
  EXPECT_EQ(3, Run(u"onInit"));
  EXPECT_EQ(stops, winsim::SpoolerStopCount());
  EXPECT_FALSE(winsim::FileExists(u"C:\\Old\\qrlui64.dll"));
}

}  // namespace

namespace {

const std::u16string kReport = u"C:\\Logs\\setup.log";

TEST_F(ScenarioTest, ReportsOfAJobWithFilesLeftForRebootAndOfAProbe) {
  winsim::MakeDirectory(u"C:\\Logs");
  ASSERT_EQ(1, Run(u"install"));
  winsim::HoldFile(Sys(u"qrlmon64.dll"), "antivirus");
  winsim::AdvanceMs(5000);
  EXPECT_EQ(101, Run(u"uninstall /quiet \"/log=" + kReport + u"\""));
  EXPECT_EQ(3, Run(u"onChkDrv /log=" + kReport));
  std::string report = ReportText(kReport);
  std::string uninstall = report.substr(0, report.find("\r\n\r\nSolvendale setup report"));
  std::string probe = report.substr(uninstall.size() + 4);
  EXPECT_EQ(0u, uninstall.rfind("Solvendale setup report\r\nDate: 2025-06-02 09:30:", 0)) << report;
  for (const char* line :
       {"\r\nProgram: C:\\Program Files\\Solvendale\\Setup\\SolvendaleSetup.exe (build 2093)\r\n",
        "\r\nCommand line: \"C:\\Program Files\\Solvendale\\Setup\\SolvendaleSetup.exe\" uninstall /quiet "
        "\"/log=C:\\Logs\\setup.log\"\r\n",
        "\r\nUser: Administrator\r\nSession: 1\r\nInteractive window station: yes\r\nLog:\r\nSolvendale 2093\r\n",
        "\r\nDelete at reboot: C:\\Windows\\System32\\qrlmon64.dll - accepted\r\n"
        "Exit code: 101 (done, files left for deletion at reboot)"}) {
    EXPECT_NE(std::string::npos, uninstall.find(line)) << line << "\nin:\n" << uninstall;
  }
  EXPECT_NE(std::string::npos, uninstall.find("\r\n>UnInstall\r\n"));
  EXPECT_EQ(0u, probe.rfind("Solvendale setup report\r\n", 0)) << probe;
  EXPECT_NE(std::string::npos, probe.find("\r\nonChkDrv answered 3\r\n"
                                          "Exit code: 3 (the probe answered no)\r\n"));
  EXPECT_EQ(std::string::npos, probe.find("Log:"));
  EXPECT_EQ(std::string::npos, report.find("\n\n")) << "CR LF lines only";
  EXPECT_EQ(std::string::npos, report.find("\r\r"));
}

TEST_F(ScenarioTest, AReportThatCannotBeWrittenChangesNothingElse) {
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  size_t shown = winsim::DialogsShown().size();
  EXPECT_EQ(100, Run(u"install /log=C:\\Missing\\setup.log"));
  EXPECT_EQ(shown + 1, winsim::DialogsShown().size());
  EXPECT_FALSE(winsim::FileExists(u"C:\\Missing\\setup.log"));
  // Refused delete-at-reboot requests are named with the system's answer,
  // and /log alone writes to the account's temporary directory. A file
  // that nothing will delete fails the run.
  winsim::SetServiceBehaviour(winsim::ServiceBehaviour());
  ASSERT_EQ(1, Run(u"install"));
  winsim::HoldFile(Sys(u"qrlmon64.dll"), "antivirus");
  winsim::DenyRegistryWrite(winsim::SessionManagerKey(), true);
  EXPECT_EQ(100, Run(u"uninstall /log /quiet"));
  std::string report = ReportText(u"C:\\Users\\Administrator\\AppData\\Local\\Temp\\SolvendaleSetup.log");
  EXPECT_NE(std::string::npos, report.find("Delete at reboot: C:\\Windows\\System32\\qrlmon64.dll - refused, "
                                           "error 5 (Access is denied.)\r\nExit code: 100 (a file was left that "
                                           "delete-at-reboot refused)"))
      << report;
}

TEST_F(ScenarioTest, TwoInstallsAtOnceRunOneAfterTheOther) {
  ASSERT_EQ(1, Run(u"install"));
  sweep::State single = sweep::ReadState();
  SetUp();
  winsim::MakeDirectory(u"C:\\Logs");
  std::u16string line = u"\"" + winsim::InstallerPath() + u"\" install /quiet /log=" + kReport;
  std::vector<int> codes = winsim::RunProgramsTogether({{line}, {line}}, &svd::InstallerMain);
  EXPECT_EQ((std::vector<int>{1, 1}), codes);
  EXPECT_EQ(single, sweep::ReadState());
  std::string report = ReportText(kReport);
  size_t second = report.find("\r\n\r\nSolvendale setup report");
  ASSERT_NE(std::string::npos, second) << report;
  // The first to end is the one that did not wait.
  EXPECT_EQ(std::string::npos, report.substr(0, second).find("Waiting for another Solvendale setup to finish"));
  EXPECT_NE(std::string::npos,
            report.find("Log:\r\nSolvendale 2093\r\nWaiting for another Solvendale setup to finish\r\n>Check Spooler",
                        second))
      << report;
  EXPECT_FALSE(winsim::Mutex(LockName()).exists);
}

TEST_F(ScenarioTest, AWaitPastItsLimitTouchesNothing) {
  winsim::CreateForeignMutex(LockName(), true);
  winsim::OpenHelpWindow();
  sweep::State before = sweep::ReadState();
  uint64_t start = winsim::NowMs();
  std::u16string log;
  EXPECT_EQ(100, Run(u"install", &log));
  EXPECT_EQ(600000u, winsim::NowMs() - start);
  EXPECT_EQ(u"Solvendale 2093\r\nWaiting for another Solvendale setup to finish\r\n"
            u"Error(23): Another Solvendale setup is still running\r\n",
            log);
  EXPECT_EQ(before, sweep::ReadState());
  EXPECT_EQ(1u, winsim::CountHelpWindows());
  EXPECT_EQ(0u, winsim::CallCount("OpenSCManagerW"));

  // A holder that is killed meanwhile leaves the lock abandoned: taken.
  winsim::KillForeignMutexOwner(LockName(), winsim::NowMs() + 30000);
  EXPECT_EQ(1, Run(u"install", &log));
  EXPECT_TRUE(Contains(log, u"Solvendale 2093\r\nWaiting for another Solvendale setup to finish\r\n"
                            u"Another Solvendale setup ended without finishing\r\n>Check Spooler"))
      << winsim::Narrow(log);
}

TEST_F(ScenarioTest, AServiceUninstallCannotStopTheUsersCompanion) {
  ASSERT_EQ(1, Run(u"install"));
  ASSERT_TRUE(winsim::TrayCompanion().running);
  winsim::DesktopBehaviour service;
  service.interactiveSession = false;
  winsim::SetDesktopBehaviour(service);
  winsim::ProgramRun system = winsim::GetProgramRun();
  system.sessionId = 0;
  system.userName = u"SYSTEM";
  winsim::SetProgramRun(system);
  // An install from there registers the companion again but starts none.
  unsigned starts = winsim::TrayCompanion().starts;
  EXPECT_EQ(1, Run(u"install"));
  EXPECT_TRUE(winsim::RegValueExists(kRunKey, u"SolvendaleTray"));
  EXPECT_EQ(starts, winsim::TrayCompanion().starts);

  EXPECT_EQ(101, Run(u"uninstall /log"));
  EXPECT_EQ((std::vector<std::u16string>{winsim::TrayPath()}), ScheduledForReboot());
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(0u, winsim::TrayCompanion().exitRequests);
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, u"SolvendaleTray"));
  std::string report = ReportText(u"C:\\Windows\\Temp\\SolvendaleSetup.log");
  EXPECT_NE(std::string::npos, report.find("\r\nUser: SYSTEM\r\nSession: 0\r\nInteractive window station: no\r\n"))
      << report;
}

}  // namespace
