// The port monitor "Solvendale:": registration, removal, and the queues
// moved to "file:" and back.
#include "components/port_monitor.h"

#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/spooler_control.h>

#include <cstring>
#include <string>
#include <vector>

#include "cleanup/deferred_delete.h"
#include "job/install_job.h"
#include "job/product.h"
#include "job_test.h"
#include "spooler/catalogue.h"

namespace {

using svd::InstallJob;
using svd::MonitorList;

const std::u16string kSystem32 = u"C:\\Windows\\System32\\";
const std::u16string kMonitorPath = kSystem32 + u"qrlmon64.dll";

struct MonitorEntry {
  const char16_t* name;
  const char16_t* dll;  // null: no DLL name in the record
};

// A level-2 monitor list laid out as EnumMonitorsW delivers it: the records,
// then the texts they point to, in one global-heap block.
MonitorList MakeMonitorList(const std::vector<MonitorEntry>& entries) {
  MonitorList list = {nullptr, 2, static_cast<DWORD>(entries.size())};
  if (entries.empty()) return list;
  size_t bytes = entries.size() * sizeof(MONITOR_INFO_2W);
  for (const MonitorEntry& e : entries) {
    bytes += (std::u16string(e.name).size() + 1) * 2 + sizeof(u"Windows x64");
    if (e.dll != nullptr) bytes += (std::u16string(e.dll).size() + 1) * 2;
  }
  list.Records = static_cast<BYTE*>(GlobalAlloc(GPTR, bytes));
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(list.Records);
  WCHAR* text = reinterpret_cast<WCHAR*>(records + entries.size());
  auto put = [&text](const char16_t* value) {
    WCHAR* start = text;
    size_t length = std::u16string(value).size();
    std::memcpy(text, value, (length + 1) * sizeof(WCHAR));
    text += length + 1;
    return start;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    records[i].pName = put(entries[i].name);
    records[i].pEnvironment = put(u"Windows x64");
    records[i].pDLLName = entries[i].dll != nullptr ? put(entries[i].dll) : nullptr;
  }
  return list;
}

const std::vector<MonitorEntry> kSystemMonitors = {{u"Local Port", u"localspl.dll"},
                                                   {u"Standard TCP/IP Port", u"tcpmon.dll"}};

std::vector<MonitorEntry> WithProduct(const char16_t* dll = u"qrlmon64.dll") {
  std::vector<MonitorEntry> entries = kSystemMonitors;
  entries.push_back({u"Solvendale:", dll});
  return entries;
}

winsim::PrinterSetup Queue(const std::u16string& name, const std::u16string& ports) {
  winsim::PrinterSetup printer;
  printer.name = name;
  printer.ports = ports;
  printer.driverName = u"Microsoft Print To PDF";
  return printer;
}

std::u16string PortsOf(const std::u16string& printer) {
  winsim::PrinterState state;
  return winsim::FindPrinter(printer, &state) ? state.ports : u"<no printer>";
}

class PortMonitorTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    job_ = InstallJob{};
    job_.Environment = svd::kEnvironment;
    job_.MonitorFile = svd::kMonitorFileName;
    job_.InstallMonitor = true;
    job_.CopyMonitor = true;
    svd::Assign(job_.SourceDir, (winsim::InstallerDirectory() + u"\\").c_str());
    svd::Assign(job_.SystemDir, kSystem32.c_str());
  }
  void TearDown() override {
    if (monitors_.Records != nullptr) GlobalFree(monitors_.Records);
    monitors_ = {nullptr, 2, 0};
    JobTest::TearDown();
  }

  // The product's monitor registered and loaded, its DLL of the given build
  // in the system directory.
  void InstallProductMonitor(WORD build = 2093, const std::u16string& dll = u"qrlmon64.dll") {
    winsim::PutFile(kSystem32 + dll, winsim::MakeMonitorImage(1, 0, 0, build));
    winsim::PutMonitor({u"Solvendale:", u"Windows x64", dll, {u"Solvendale:"}});
  }
  void UseMonitors(const std::vector<MonitorEntry>& entries) { monitors_ = MakeMonitorList(entries); }
  // The spooler keeps a removed monitor's DLL loaded: its deletion fails
  // and the file is listed, alone, for a later try.
  void ExpectLeftForLater(const std::u16string& path) {
    EXPECT_TRUE(winsim::FileExists(path));
    ASSERT_NE(nullptr, job_.PendingDeleteList);
    EXPECT_EQ(path, std::u16string(job_.PendingDeleteList->path));
    EXPECT_EQ(nullptr, job_.PendingDeleteList->next);
  }
  void LoadPrinters() { svd::LoadPrinterList(&job_.PrinterList); }
  void ClearLog() { svd::Release(job_.OperationLog); }

  std::vector<std::u16string> Redirected() {
    std::vector<std::u16string> names;
    if (job_.RedirectedPrinters == nullptr) return names;
    for (PRINTER_INFO_2W** slot = job_.RedirectedPrinters; *slot != nullptr; ++slot) {
      names.push_back((*slot)->pPrinterName);
    }
    return names;
  }
  std::u16string RecordPorts(const std::u16string& printer) {
    for (DWORD i = 0; i < job_.PrinterList.Count; ++i) {
      if (printer == job_.PrinterList.Records[i].pPrinterName) return job_.PrinterList.Records[i].pPortName;
    }
    return u"<no record>";
  }

  MonitorList monitors_ = {nullptr, 2, 0};
};

// ------------------------------------------------------------ ReplacePortName

TEST(ReplacePortNameTest, SwitchesTheFirstExactOccurrenceBothWays) {
  struct Case {
    std::u16string before, after;
  } cases[] = {{u"LPT1:,Solvendale:", u"LPT1:,file:"},
               {u"Solvendale:,LPT1:", u"file:,LPT1:"},
               {u"Solvendale:", u"file:"},
               {u"file:,Solvendale:", u"file:,file:"},
               {u"XSolvendale:Y", u"Xfile:Y"},  // not tied to commas
               {u"Solvendale:,Solvendale:", u"file:,Solvendale:"}};
  for (const Case& c : cases) {
    std::vector<WCHAR> text(c.before.begin(), c.before.end());
    text.push_back(0);
    text.resize(text.size() + 6, u'#');  // the room that the way back needs
    ASSERT_TRUE(svd::ReplacePortName(text.data(), u"Solvendale:", u"file:"));
    EXPECT_EQ(c.after, std::u16string(text.data()));
    ASSERT_TRUE(svd::ReplacePortName(text.data(), u"file:", u"Solvendale:"));
    std::u16string back(text.data());
    EXPECT_EQ(c.before.size(), back.size());
    if (c.before.rfind(u"file:", 0) != 0) {
      EXPECT_EQ(c.before, back);
    }
  }
}

TEST(ReplacePortNameTest, LeavesTextWithoutTheNameAlone) {
  WCHAR text[] = u"LPT1:,solvendale:,Solvendale";
  EXPECT_FALSE(svd::ReplacePortName(text, u"Solvendale:", u"file:"));
  EXPECT_EQ(std::u16string(u"LPT1:,solvendale:,Solvendale"), text);
  EXPECT_FALSE(svd::ReplacePortName(text, u"file:", u"Solvendale:"));
  EXPECT_FALSE(svd::ReplacePortName(nullptr, u"Solvendale:", u"file:"));
}

// ----------------------------------------------------------------- AddMonitor

TEST_F(PortMonitorTest, AddMonitorCopiesAndRegisters) {
  job_.LogDepth = 1;
  svd::AddMonitor(&job_);
  EXPECT_EQ((std::vector<std::u16string>{
                u"  >AddMonitor",
                u"    Copy monitor file",
                u"    >CopyFile qrlmon64.dll to C:\\Windows\\System32\\ [0])",
                u"      Copy Succeeded :)",
                u"    AddMonitor - OK :)",
            }),
            LogLines());
  EXPECT_EQ(1, job_.LogDepth);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(winsim::FileBytes(winsim::InstallerDirectory() + u"\\qrlmon64.dll"),
            winsim::FileBytes(kMonitorPath));
  EXPECT_EQ((std::vector<std::string>{"level 2, \"Solvendale:\", \"Windows x64\", \"qrlmon64.dll\""}),
            winsim::CallDetails("AddMonitorW"));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_EQ(0, winsim::SpoolerStopCount());
}

TEST_F(PortMonitorTest, AddMonitorCopiesAgainWithTheSpoolerStopped) {
  // The spooler has the old DLL loaded for another monitor; stopping it
  // lets go of the file.
  winsim::PutFile(kMonitorPath, winsim::MakeMonitorImage(1, 0, 0, 2080));
  winsim::PutMonitor({u"Solvendale old", u"Windows x64", u"qrlmon64.dll", {}});
  ASSERT_TRUE(winsim::FileHeld(kMonitorPath));
  svd::AddMonitor(&job_);
  EXPECT_TRUE(LogHas(u"  >CopyFile qrlmon64.dll to C:\\Windows\\System32\\ [0])"));
  EXPECT_TRUE(LogHas(u"  >Restart Spooler"));
  EXPECT_TRUE(LogHas(u"  >CopyFile qrlmon64.dll to C:\\Windows\\System32\\ [1])"));
  EXPECT_TRUE(LogHas(u"    Copy Succeeded :)"));
  EXPECT_TRUE(LogHas(u"  AddMonitor - OK :)"));
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), winsim::SpoolerServiceState());
  EXPECT_EQ(winsim::FileBytes(winsim::InstallerDirectory() + u"\\qrlmon64.dll"),
            winsim::FileBytes(kMonitorPath));
}

TEST_F(PortMonitorTest, AddMonitorRegistersEvenWhenTheSecondCopyFails) {
  InstallProductMonitor(2080);
  winsim::RemoveMonitor(u"Solvendale:");
  winsim::HoldFile(kMonitorPath, "antivirus");
  svd::AddMonitor(&job_);
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(LogContains(u"Error(9): Cant't open destination file: C:\\Windows\\System32\\qrlmon64.dll"));
  EXPECT_TRUE(LogHas(u"  AddMonitor - OK :)"));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
}

TEST_F(PortMonitorTest, AddMonitorGivesUpAfterFiveRegistrationAttempts) {
  job_.CopyMonitor = false;
  winsim::PutFile(kMonitorPath, winsim::MakeVersionedImage(1, 0, 0, 2093));
  winsim::PutPrinter(Queue(u"Q", u"file:"));
  LoadPrinters();
  job_.RedirectedPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 2 * sizeof(void*)));
  job_.RedirectedPrinters[0] = &job_.PrinterList.Records[0];
  winsim::FailCall("AddMonitorW", ERROR_ACCESS_DENIED, -1);
  winsim::ClearCalls();
  svd::AddMonitor(&job_);

  std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ(u"  Skip copy monitor file", lines[1]);
  for (size_t i = 2; i < 7; ++i) {
    EXPECT_EQ(u"  AddMonitor - failed. Trying to wait and install again", lines[i]);
  }
  // The error of the last AddMonitorW, not of a log line written after it.
  EXPECT_EQ(u"  Error(11): Can`t install a local port monitor'Solvendale:' - (Access is denied.)", lines[7]);
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_EQ(5u, winsim::CallCount("AddMonitorW"));
  EXPECT_EQ(std::vector<std::string>(4, "50"), winsim::CallDetails("Sleep"));
  // Sleeps lie between the attempts, none after the last.
  size_t lastAdd = 0;
  size_t lastSleep = 0;
  const std::vector<winsim::CallRecord>& calls = winsim::Calls();
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].api == "AddMonitorW") lastAdd = i;
    if (calls[i].api == "Sleep") lastSleep = i;
  }
  EXPECT_LT(lastSleep, lastAdd);
  EXPECT_EQ(0u, winsim::CallCount("OpenPrinterW"));
  EXPECT_EQ(u"file:", RecordPorts(u"Q"));
  EXPECT_EQ(0u, winsim::CallCount("CreateFileW"));
}

// -------------------------------------------------------------- DeleteMonitor

TEST_F(PortMonitorTest, PlainUninstallRemovesMonitorAndFile) {
  InstallProductMonitor(2093);
  UseMonitors(WithProduct());
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_EQ((std::vector<std::u16string>{
                u">DeleteMonitor",
                u"  ------- 3 existing monitors ----------",
                u"  1. Local Port",
                u"  2. Standard TCP/IP Port",
                u"  3. Solvendale:",
                u"  ---------------------------------------",
                u"  Port monitor is found. Index=3",
                u"  Trying to get monitor filename from MONITOR_INFO_2",
                u"  Auto calculated monitor file name: C:\\Windows\\System32\\qrlmon64.dll",
                u"  There is no check for monitor version",
                u"  Monitor was removed :)",
            }),
            LogLines());
  EXPECT_EQ(0u, winsim::CallCount("GetFileVersionInfoSizeW"));
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
  ExpectLeftForLater(kMonitorPath);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0, job_.LogDepth);
  EXPECT_TRUE(job_.InstallMonitor);
  EXPECT_TRUE(job_.CopyMonitor);
}

TEST_F(PortMonitorTest, IndexCountsFromOne) {
  InstallProductMonitor();
  UseMonitors({{u"Solvendale:", u"qrlmon64.dll"}, {u"Local Port", u"localspl.dll"}});
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_TRUE(LogHas(u"  Port monitor is found. Index=1"));
}

TEST_F(PortMonitorTest, VersionWindowDecidesWhatTheReinstallSkips) {
  struct Case {
    const char* what;
    bool registered;
    int build;  // -1: no version resource; -2: no file
    bool installMonitor, copyMonitor, removed;
    std::u16string verdict;
    bool deletedAtReboot = false;  // Windows deletes the file at the next reboot
  } cases[] = {
      {"found 2073", true, 2073, false, true, false, u"  Version (2073) is compatible, proceed without uninstall"},
      {"found 2093", true, 2093, false, true, false, u"  Version (2093) is compatible, proceed without uninstall"},
      {"not found 2093", false, 2093, true, false, false, u"  Version (2093) is compatible, proceed without uninstall"},
      {"found 2072", true, 2072, true, true, true, u"  Version (2072) is not supported, proceed with reinstall"},
      {"found 2094", true, 2094, true, true, true, u"  Version (2094) is not supported, proceed with reinstall"},
      {"found unversioned", true, -1, true, true, true, u"  Version is unknown, proceed with reinstall"},
      {"not found, no file", false, -2, true, true, false, u"  Version is unknown, proceed with reinstall"},
      {"found 2093, deleted at reboot", true, 2093, true, true, true,
       u"  Version (2093) is compatible, but the file is to be deleted at reboot, proceed with reinstall", true},
      {"not found 2093, deleted at reboot", false, 2093, true, true, false,
       u"  Version (2093) is compatible, but the file is to be deleted at reboot, proceed with reinstall", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    job_.CheckMonitorVersion = true;
    winsim::ImageSetup image;
    image.versioned = c.build >= 0;
    image.version = {2, 0, 0, static_cast<WORD>(c.build)};
    image.exports = {winsim::kMonitorEntryPoint};
    if (c.build >= -1) winsim::PutFile(kMonitorPath, winsim::MakeImage(image));
    if (c.deletedAtReboot) winsim::SetPendingFileRenameOperations({u"\\??\\" + kMonitorPath, u""});
    if (c.registered) {
      winsim::PutMonitor({u"Solvendale:", u"Windows x64", u"qrlmon64.dll", {u"Solvendale:"}});
      UseMonitors(WithProduct());
    } else {
      UseMonitors(kSystemMonitors);
    }
    svd::DeleteMonitor(&job_, &monitors_);
    EXPECT_TRUE(LogHas(c.verdict));
    EXPECT_EQ(c.installMonitor, job_.InstallMonitor);
    EXPECT_EQ(c.copyMonitor, job_.CopyMonitor);
    EXPECT_EQ(c.removed, LogHas(u"  Monitor was removed :)"));
    bool compatible = c.verdict.find(u"proceed without uninstall") != std::u16string::npos;
    if (compatible) {
      std::u16string flags = u"  InstallMonitor == " + std::u16string(c.installMonitor ? u"1" : u"0") +
                             u", CopyMonitor == " + (c.copyMonitor ? u"1" : u"0");
      EXPECT_EQ(flags, LogLines().back());
      EXPECT_EQ(0u, winsim::CallCount("DeleteMonitorW"));
      EXPECT_TRUE(winsim::FileExists(kMonitorPath));
    }
    EXPECT_EQ(c.registered && !c.removed, winsim::HasMonitor(u"Solvendale:"));
    EXPECT_EQ(0, job_.ErrorCount);
    EXPECT_EQ(0, job_.LogDepth);
  }
}

TEST_F(PortMonitorTest, MonitorNotListedButRegisteredIsRemovedWithTheProductFile) {
  InstallProductMonitor();
  UseMonitors({});  // as after a failed enumeration
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_EQ((std::vector<std::u16string>{
                u">DeleteMonitor",
                u"  BTW, there is no port monitors on this system.",
                u"  No Solvendale port monitor was found.",
                u"  Computing monitor filename",
                u"  Auto calculated monitor file name: C:\\Windows\\System32\\qrlmon64.dll",
                u"  There is no check for monitor version",
                u"  Monitor was removed :)",
            }),
            LogLines());
  ExpectLeftForLater(kMonitorPath);
}

TEST_F(PortMonitorTest, MonitorNeitherListedNorRegisteredIsNoError) {
  winsim::PutFile(kMonitorPath, {1, 2, 3});
  UseMonitors(kSystemMonitors);
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_TRUE(LogHas(u"  Can't delete monitor and monitor was not found. So everything should be ok"));
  EXPECT_EQ(1u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
  EXPECT_TRUE(winsim::FileExists(kMonitorPath));
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(nullptr, job_.RedirectedPrinters);
}

TEST_F(PortMonitorTest, RegisteredDllNameNamesTheFileToCheckAndDelete) {
  InstallProductMonitor(2050, u"qrlmon_old.dll");
  winsim::PutFile(kMonitorPath, winsim::MakeVersionedImage(1, 0, 0, 2093));
  UseMonitors(WithProduct(u"qrlmon_old.dll"));
  job_.CheckMonitorVersion = true;
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_TRUE(LogHas(u"  Auto calculated monitor file name: C:\\Windows\\System32\\qrlmon_old.dll"));
  EXPECT_TRUE(LogHas(u"  Version (2050) is not supported, proceed with reinstall"));
  ExpectLeftForLater(kSystem32 + u"qrlmon_old.dll");
  EXPECT_TRUE(winsim::FileExists(kMonitorPath));
}

TEST_F(PortMonitorTest, RegisteredNameThatIsNotABareFileNameIsNeverReadOrDeleted) {
  const char16_t* names[] = {u"..\\evil.dll", u"C:\\Windows\\evil.dll", u"sub/evil.dll", u"C:evil.dll",
                             u"..", u"", nullptr};
  for (const char16_t* name : names) {
    SCOPED_TRACE(name != nullptr ? SimTest::U8(name) : "(none)");
    TearDown();
    SetUp();
    winsim::PutFile(u"C:\\Windows\\evil.dll", winsim::MakeVersionedImage(1, 0, 0, 2093));
    winsim::PutFile(u"C:\\Windows\\System32\\sub\\evil.dll", winsim::MakeVersionedImage(1, 0, 0, 2093));
    winsim::PutMonitor({u"Solvendale:", u"Windows x64", u"qrlmon64.dll", {u"Solvendale:"}});
    UseMonitors(WithProduct(name));
    job_.CheckMonitorVersion = true;
    winsim::ClearCalls();
    svd::DeleteMonitor(&job_, &monitors_);
    EXPECT_TRUE(LogHas(u"  Auto calculated monitor file name: C:\\Windows\\System32\\"));
    EXPECT_TRUE(LogHas(u"  Version is unknown, proceed with reinstall"));
    EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));
    EXPECT_EQ(0u, winsim::CallCount("GetFileVersionInfoSizeW"));
    EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
    EXPECT_EQ(nullptr, job_.PendingDeleteList);
    EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\evil.dll"));
    EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\System32\\sub\\evil.dll"));
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Windows\\System32"));
  }
}

TEST_F(PortMonitorTest, HeldMonitorFileIsLeftForLater) {
  InstallProductMonitor();
  winsim::HoldFile(kMonitorPath, "antivirus");
  UseMonitors(WithProduct());
  svd::AddPendingDelete(&job_.PendingDeleteList, kMonitorPath.c_str());
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));
  ASSERT_NE(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(kMonitorPath, std::u16string(job_.PendingDeleteList->path));
  EXPECT_EQ(nullptr, job_.PendingDeleteList->next);  // listed once
  EXPECT_EQ(0, job_.ErrorCount);
}

// A held DLL that cannot even be remembered for a later deletion stays
// behind: that is error line 12, not a quiet success.
TEST_F(PortMonitorTest, AHeldMonitorFileThatCannotBeRememberedIsAnErrorLine) {
  InstallProductMonitor();
  winsim::HoldFile(kMonitorPath, "antivirus");
  UseMonitors(WithProduct());
  winsim::ClearCalls();
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, -1);
  svd::DeleteMonitor(&job_, &monitors_);
  winsim::ClearFaults();
  EXPECT_EQ(1u, winsim::CallCount("DeleteFileW"));  // the path was built, the held file tried
  EXPECT_TRUE(LogHas(u"  Error(12): Can`t remove the port monitor 'Solvendale:' - (Not enough memory resources are "
                     u"available to process this command.)"));
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(1, job_.ErrorCount);
}

// The file that DeleteMonitor kept may be gone by the time the monitor is
// registered (Windows' pending deletions are carried out in between): it is
// copied again.
TEST_F(PortMonitorTest, AMonitorFileKeptButGoneIsCopiedAgain) {
  job_.CopyMonitor = false;
  svd::AddMonitor(&job_);
  EXPECT_TRUE(LogHas(u"  Copy monitor file"));
  EXPECT_FALSE(LogHas(u"  Skip copy monitor file"));
  EXPECT_TRUE(LogHas(u"  AddMonitor - OK :)"));
  EXPECT_EQ(winsim::FileBytes(winsim::InstallerDirectory() + u"\\qrlmon64.dll"), winsim::FileBytes(kMonitorPath));
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_EQ(0, job_.ErrorCount);
}

// A DLL that another registered monitor loads as well is not the product's
// to delete, whether it names it by its bare name or by its path.
TEST_F(PortMonitorTest, ADllSharedWithAnotherMonitorIsNeitherDeletedNorScheduled) {
  struct Row {
    const char16_t* ours;
    const char16_t* others;
  } rows[] = {{u"tcpmon.dll", u"TCPMON.DLL"}, {u"qrlmon64.dll", u"C:\\Windows\\System32\\qrlmon64.dll"}};
  for (const Row& row : rows) {
    TearDown();
    SetUp();
    InstallProductMonitor(2093, row.ours);
    UseMonitors({{u"Local Port", u"localspl.dll"}, {u"Other Port", row.others}, {u"Solvendale:", row.ours}});
    svd::DeleteMonitor(&job_, &monitors_);
    EXPECT_TRUE(LogHas(u"  Monitor file " + kSystem32 + row.ours + u" is used by another port monitor, it stays"));
    EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));
    EXPECT_EQ(0u, winsim::CallCount("DeleteFileW"));
    EXPECT_EQ(nullptr, job_.PendingDeleteList);
    EXPECT_TRUE(winsim::FileExists(kSystem32 + row.ours));
  }
}

TEST_F(PortMonitorTest, QueuesOnThePortAreSwitchedToFileAndBack) {
  InstallProductMonitor();
  winsim::PutPrinter(Queue(u"Both", u"LPT1:,Solvendale:"));
  winsim::PutPrinter(Queue(u"Filed", u"file:,Solvendale:"));
  winsim::PutPrinter(Queue(u"Other", u"LPT2:"));
  LoadPrinters();
  UseMonitors(WithProduct());
  svd::DeleteMonitor(&job_, &monitors_);

  EXPECT_TRUE(LogHas(u"  Can't delete monitor from the first try"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Both) - ok"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Filed) - ok"));
  EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));
  EXPECT_EQ((std::vector<std::u16string>{u"Both", u"Filed"}), Redirected());
  // The spooler keeps each port once, under its own spelling.
  EXPECT_EQ(u"LPT1:,FILE:", PortsOf(u"Both"));
  EXPECT_EQ(u"FILE:", PortsOf(u"Filed"));
  EXPECT_EQ(u"file:,file:", RecordPorts(u"Filed"));
  EXPECT_EQ(u"LPT1:,file:", RecordPorts(u"Both"));
  EXPECT_EQ(u"LPT2:", PortsOf(u"Other"));
  EXPECT_EQ(2u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_EQ(0, winsim::SpoolerStopCount());
  ExpectLeftForLater(kMonitorPath);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());

  ClearLog();
  svd::AddMonitor(&job_);
  EXPECT_TRUE(LogHas(u"  AddMonitor - OK :)"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Both) - ok"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Filed) - ok"));
  EXPECT_EQ(u"LPT1:,Solvendale:", PortsOf(u"Both"));
  // The first "file:" is the one that goes back; the length is the same.
  EXPECT_EQ(u"Solvendale:,file:", RecordPorts(u"Filed"));
  EXPECT_EQ(u"Solvendale:,FILE:", PortsOf(u"Filed"));
  EXPECT_EQ(u"LPT1:,Solvendale:", RecordPorts(u"Both"));
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ((std::vector<std::u16string>{u"Both", u"Filed"}), Redirected());
  EXPECT_EQ(0u, winsim::OpenPrinterHandles());
}

TEST_F(PortMonitorTest, QueuesThatCannotBeOpenedAreLoggedAndStillRecorded) {
  InstallProductMonitor();
  winsim::PutPrinter(Queue(u"Gone", u"Solvendale:"));
  winsim::PutPrinter(Queue(u"Kept", u"Solvendale:"));
  LoadPrinters();
  winsim::RemovePrinter(u"Gone");  // deleted earlier in the run
  UseMonitors(WithProduct());
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_TRUE(LogHas(u"  Can't open printer Gone"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Kept) - ok"));
  EXPECT_EQ((std::vector<std::u16string>{u"Gone", u"Kept"}), Redirected());
  EXPECT_EQ(u"file:", RecordPorts(u"Gone"));
  EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));

  ClearLog();
  svd::AddMonitor(&job_);
  EXPECT_TRUE(LogHas(u"  Can't open printer Gone"));
  EXPECT_TRUE(LogHas(u"  SetPrinter(Kept) - ok"));
  EXPECT_EQ(u"Solvendale:", PortsOf(u"Kept"));
}

TEST_F(PortMonitorTest, ThreeRefusedRemovalsEndWithErrorTwelve) {
  InstallProductMonitor();
  winsim::PutPrinter(Queue(u"Q", u"Solvendale:"));
  LoadPrinters();
  UseMonitors(WithProduct());
  winsim::FailCall("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, -1);
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_EQ(3u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), winsim::SpoolerServiceState());
  std::vector<std::u16string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(0u, lines.back().find(u"  Error(12): Can`t remove the port monitor 'Solvendale:' - ("));
  EXPECT_TRUE(LogHas(u"  >Restart Spooler"));
  EXPECT_FALSE(LogHas(u"  Monitor was removed :)"));
  EXPECT_EQ(1, job_.ErrorCount);
  EXPECT_TRUE(winsim::FileExists(kMonitorPath));
  EXPECT_EQ(u"FILE:", PortsOf(u"Q"));
  EXPECT_EQ(0, job_.LogDepth);
}

TEST_F(PortMonitorTest, ThirdRemovalAfterTheRestartCanSucceed) {
  InstallProductMonitor();
  UseMonitors(WithProduct());
  LoadPrinters();  // the default machine's queues print elsewhere
  winsim::FailCall("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, 2);
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_EQ(3u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));
  EXPECT_EQ(0, job_.ErrorCount);
  // A list without a queue on the port records nothing.
  ASSERT_NE(nullptr, job_.RedirectedPrinters);
  EXPECT_EQ(nullptr, job_.RedirectedPrinters[0]);
}

TEST_F(PortMonitorTest, EmptyPrinterListLeavesNothingRedirected) {
  InstallProductMonitor();
  UseMonitors(WithProduct());
  winsim::FailCall("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, 1);
  svd::DeleteMonitor(&job_, &monitors_);
  EXPECT_EQ(nullptr, job_.RedirectedPrinters);
  EXPECT_EQ(2u, winsim::CallCount("DeleteMonitorW"));
  EXPECT_TRUE(LogHas(u"  Monitor was removed :)"));

  ClearLog();
  svd::AddMonitor(&job_);
  EXPECT_EQ(u"  AddMonitor - OK :)", LogLines().back());
}

}  // namespace
