// Fault sweep on the stand-in machine: the scenarios whose platform calls are
// swept, the calls it leaves out, and the read-back of the machine state that
// the invariants compare.
#pragma once

#include <windows.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "installed_product.h"

namespace sweep {

// ------------------------------------------------------------------ text --

inline std::string U8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

inline std::u16string W(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

inline std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// ------------------------------------------------------------- product --

using product::kDriver;
using product::kMonitor;
using product::kRunKey;
using product::kSettings;
using product::Drv;
using product::Drv3;
using product::Src;
using product::Sys;

const std::vector<std::u16string> kDriverFiles = {u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"};
// Where the scenarios that ask for a report have it written.
const std::u16string kReportFile = u"C:\\Program Files\\Solvendale\\SolvendaleSetup.log";
// A print server's queue of the product's driver, to which the user has a
// connection: no run may touch the queue itself.
const std::u16string kServerQueue = u"\\\\print-01\\Solvendale Shared";
// A SubKey of 300 bytes with its terminator, naming a settings key two deep.
const std::string kLongSubKey = std::string(150, 'L') + "\\" + std::string(148, 'l');
// The journal of the queues that a reinstall deleted and still owes.
const std::u16string kJournal = u"HKLM\\Software\\Quarlen Software KFT\\Solvendale\\Setup\\SavedQueues";
// A file that Windows was told to delete at reboot, unrelated to the product.
const std::u16string kStaleFile = u"C:\\Windows\\Temp\\stale.tmp";
// Files of other programs that no run may delete: one that its program
// replaces at reboot (a delete of it and a rename onto it), the files that
// reading pending names of other forms as relative paths would find, and a
// program that the Run value names instead of the tray.
const std::u16string kReplacedFile = u"C:\\Program Files\\Other\\other.dll";
const std::u16string kVolumeName = u"\\??\\Volume{5e1a}\\Temp\\old.tmp";
const std::u16string kVolumeMisread = u"C:\\Windows\\System32\\Volume{5e1a}\\Temp\\old.tmp";
const std::u16string kDeviceName = u"\\Device\\HarddiskVolume1\\Temp\\old.tmp";
const std::u16string kDeviceMisread = u"C:\\Device\\HarddiskVolume1\\Temp\\old.tmp";
const std::u16string kForeignProgram = u"C:\\Tools\\helper.exe";

// Puts the files of other programs' pending operations and returns those
// operations: the replacement of kReplacedFile and deletions under names
// that are not drive paths.
inline std::vector<std::u16string> PutForeignPendingFiles() {
  for (const std::u16string& file : {kReplacedFile, kReplacedFile + u".new", kVolumeMisread, kDeviceMisread})
    winsim::PutTextFile(file, "other");
  return {u"\\??\\" + kReplacedFile, u"", u"\\??\\" + kReplacedFile + u".new", u"!\\??\\" + kReplacedFile,
          kVolumeName, u"", kDeviceName, u""};
}

// The drive paths (upper-cased, without "\??\") that Windows' pending
// operations delete at reboot and that no rename replaces.
inline std::vector<std::string> PendingDeletions() {
  std::vector<std::u16string> strings = winsim::PendingFileRenameOperations();
  auto drivePath = [](std::u16string name) {
    if (!name.empty() && name[0] == u'!') name = name.substr(1);
    if (name.rfind(u"\\??\\", 0) == 0) name = name.substr(4);
    bool drive = name.size() >= 3 && name[1] == u':' && name[2] == u'\\';
    return drive ? Upper(U8(name)) : std::string();
  };
  std::vector<std::string> targets, deletions;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    if (!strings[i + 1].empty()) targets.push_back(drivePath(strings[i + 1]));
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::string source = drivePath(strings[i]);
    if (strings[i + 1].empty() && !source.empty() &&
        std::find(targets.begin(), targets.end(), source) == targets.end())
      deletions.push_back(source);
  }
  return deletions;
}

// ------------------------------------------------------------ machines --

// A machine with the installer and its component files beside it.
inline void PutInstaller() {
  winsim::ResetMachine();
  winsim::CreateRegKey(kRunKey);
  product::PutComponentFiles(2093);
}

// An earlier installation of the given build: monitor, driver, three queues
// of the driver (two with a SubKey, the second one long; the first of them
// the default printer), a queue of another driver that also prints to
// "Solvendale:", a connection to a print server's queue of the driver (with
// jobs and a SubKey there), the tray registered and running, and one stale
// file pending deletion at reboot.
inline void PutInstallation(WORD build) {
  PutInstaller();
  product::PutInstalledProduct(build);
  product::PutQueue(u"Solvendale", kMonitor, kDriver, u"Front desk", u"Floor 2", "Q1");
  product::PutQueue(u"Solvendale Office", kMonitor, kDriver, u"Office", u"Floor 2", kLongSubKey);
  product::PutQueue(u"Solvendale Draft", kMonitor, kDriver, u"", u"Floor 2", "");
  product::PutQueue(u"Label copy", u"LPT1:,Solvendale:", u"Microsoft Print To PDF", u"Labels", u"Floor 2", "");
  winsim::PrinterSetup shared;
  shared.name = kServerQueue;
  shared.ports = kMonitor;
  shared.driverName = kDriver;
  shared.comment = u"Shared";
  shared.connection = true;
  shared.jobs = 3;
  winsim::PutPrinter(shared);
  winsim::PutPrinterString(kServerQueue, "PrinterDriverData", "SubKey", "Q3");
  winsim::PutPrinterString(kServerQueue, "DsUser", "SubKey", "Q3");
  winsim::SetRegDword(kSettings + u"Q3", u"deleted", 1);
  winsim::SetDefaultPrinterName(u"Solvendale");
  winsim::PutTextFile(kStaleFile, "stale");
  std::vector<std::u16string> pending = {u"\\??\\" + kStaleFile, u""};
  for (const std::u16string& name : PutForeignPendingFiles()) pending.push_back(name);
  winsim::SetPendingFileRenameOperations(pending);
}

inline void SetupClean() { PutInstaller(); }
inline void SetupCleanSpoolerStopped() {
  PutInstaller();
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
}
inline void SetupCurrent() { PutInstallation(2093); }
inline void SetupOld() { PutInstallation(2072); }
// The monitor DLL is waiting for deletion at reboot while the spooler holds it.
inline void SetupPendingMonitor() {
  PutInstallation(2093);
  std::vector<std::u16string> pending = PutForeignPendingFiles();
  pending.insert(pending.end(), {u"\\??\\" + Sys(u"qrlmon64.dll"), u""});
  winsim::SetPendingFileRenameOperations(pending);
}
// Registrations that name files of other programs: the Run value names
// another program, and "Solvendale:" is registered with the DLL of the
// "Standard TCP/IP Port" monitor.
inline void SetupForeignRegistrations() {
  PutInstallation(2093);
  winsim::PutTextFile(kForeignProgram, "MZ");
  winsim::SetRegString(kRunKey, u"SolvendaleTray", kForeignProgram);
  winsim::PutMonitor({kMonitor, u"Windows x64", u"tcpmon.dll", {kMonitor}});
}
// An uninstall left the monitor DLL (unregistered) for deletion at reboot,
// beside the pending operations of other programs; the Run value names
// another program.
inline void SetupMonitorDllPending() {
  PutInstaller();
  winsim::PutFile(Sys(u"qrlmon64.dll"), winsim::MakeMonitorImage(1, 0, 0, 2093));
  std::vector<std::u16string> pending = PutForeignPendingFiles();
  pending.insert(pending.end(), {u"\\??\\" + Sys(u"qrlmon64.dll"), u""});
  winsim::SetPendingFileRenameOperations(pending);
  winsim::PutTextFile(kForeignProgram, "MZ");
  winsim::SetRegString(kRunKey, u"SolvendaleTray", kForeignProgram);
}
// The spooler needs 12 s to stop, longer than the stop polls wait.
inline void SlowSpoolerStop() {
  winsim::ServiceBehaviour slow;
  slow.stopDelayMs = 12000;
  winsim::SetServiceBehaviour(slow);
}
// Another program holds a staged copy: the install stops the spooler at its
// end to let go of it.
inline void SetupCurrentSlowStop() {
  SetupCurrent();
  winsim::HoldFile(Drv(u"qrlui64.dll"), "indexer");
  SlowSpoolerStop();
}
inline void SetupPendingMonitorSlowStop() {
  SetupPendingMonitor();
  SlowSpoolerStop();
}
inline void SetupOtherDefault() {
  PutInstallation(2093);
  winsim::SetDefaultPrinterName(u"Microsoft Print to PDF");
}

enum class Kind { Install, Uninstall, Probe };

// The calls that decide which files a run deletes, keeps or leaves for
// reboot (the rest of such a run is swept in the scenarios above).
const std::vector<std::string> kFileAndRegistryApis = {
    "DeleteFileW",      "GetFileAttributesW",  "CreateFileW",     "MoveFileExW",       "CompareStringOrdinal",
    "RegOpenKeyExA",    "RegQueryValueExW",    "RegSetValueExW",  "RegDeleteValueW",   "RegDeleteValueA",
    "EnumMonitorsW",    "DeleteMonitorW",      "AddMonitorW",     "EnumPrinterDriversW", "GetFileVersionInfoSizeW",
    "GetFileVersionInfoW", "GlobalAlloc"};

struct Scenario {
  const char* name;
  std::u16string arguments;
  Kind kind;
  std::vector<int> exitCodes;  // the codes the command word may end with
  void (*setup)();
  // Queues with a SubKey, and connections, before the run; a reinstall must
  // not lose them, nor the second reinstall after it.
  std::vector<std::u16string> savedQueues;
  // When not empty, only these calls are swept (the rest of the run is the
  // same as in another scenario).
  std::vector<std::string> sweptApis;
};

inline const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"install-clean", u"install", Kind::Install, {1, 100, 101}, &SetupClean, {}, {}},
      {"install-spooler-stopped", u"install", Kind::Install, {1, 100, 101}, &SetupCleanSpoolerStopped, {},
       {"OpenSCManagerW", "OpenServiceW", "QueryServiceStatus", "StartServiceW", "ControlService"}},
      {"reinstall-current", u"install", Kind::Install, {1, 100, 101}, &SetupCurrent,
       {u"Solvendale", u"Solvendale Office", kServerQueue}, {}},
      {"reinstall-old", u"install", Kind::Install, {1, 100, 101}, &SetupOld,
       {u"Solvendale", u"Solvendale Office", kServerQueue}, {}},
      {"reinstall-current-slow-stop", u"install", Kind::Install, {1, 100, 101}, &SetupCurrentSlowStop,
       {u"Solvendale", u"Solvendale Office", kServerQueue}, {"StartServiceW", "ControlService"}},
      {"uninstall", u"uninstall", Kind::Uninstall, {2, 100, 101}, &SetupCurrent, {}, {}},
      {"onChkDrv", u"onChkDrv", Kind::Probe, {3, 103}, &SetupCurrent, {}, {}},
      {"onInit", u"onInit", Kind::Probe, {3, 102, 200}, &SetupPendingMonitor, {}, {}},
      {"onInit-slow-stop", u"onInit", Kind::Probe, {3, 102, 200}, &SetupPendingMonitorSlowStop, {},
       {"StartServiceW", "ControlService"}},
      {"def.set", u"def.set", Kind::Probe, {4}, &SetupOtherDefault, {}, {}},
      {"removetray", u"removetray", Kind::Probe, {6}, &SetupCurrent, {}, {}},
      // The report's own calls; the rest of the run is reinstall-current's.
      {"install-reported", u"install \"/log=C:\\Program Files\\Solvendale\\SolvendaleSetup.log\"", Kind::Install,
       {1, 100, 101}, &SetupCurrent, {u"Solvendale", u"Solvendale Office", kServerQueue},
       {"GetUserNameW", "ProcessIdToSessionId", "GetModuleFileNameW", "CreateFileW", "GetFileSizeEx",
        "WideCharToMultiByte", "WriteFile", "HeapAlloc"}},
      {"uninstall-foreign-registrations", u"uninstall", Kind::Uninstall, {2, 100, 101}, &SetupForeignRegistrations,
       {}, kFileAndRegistryApis},
      {"install-monitor-dll-pending", u"install", Kind::Install, {1, 100, 101}, &SetupMonitorDllPending, {},
       kFileAndRegistryApis},
  };
  return scenarios;
}

// -------------------------------------------------------- error codes --

// Calls that are recorded but not swept, with the reason. Every other call
// is swept with the error codes the stand-in lists beside its implementation
// (winsim::DocumentedErrorCodes).
inline std::string NotSweptReason(const std::string& api) {
  static const std::map<std::string, std::string> reasons = {
      {"Sleep", "cannot fail"},
      {"GetTickCount", "cannot fail"},
      {"GetCommandLineW", "cannot fail"},
      {"GetCurrentProcessId", "cannot fail"},
      {"GetLocalTime", "cannot fail"},
      {"GetProcessHeap", "cannot fail once the process runs"},
      {"HeapFree", "release call"},
      {"GlobalFree", "release call"},
      {"LocalFree", "release call"},
      {"CloseHandle", "release call"},
      {"ClosePrinter", "release call"},
      {"CloseServiceHandle", "release call"},
      {"RegCloseKey", "release call"},
      {"HeapSize", "query of a block the program owns"},
      {"GetDlgItem", "read-back of the dialog by the stand-in's user"},
      {"GetDlgItemTextW", "read-back of the dialog by the stand-in's user"},
      {"GetWindowTextW", "read-back of the dialog by the stand-in's user"},
      {"GetWindowTextLengthW", "read-back of the dialog by the stand-in's user"},
  };
  auto it = reasons.find(api);
  return it == reasons.end() ? std::string() : it->second;
}

inline std::string ErrorName(DWORD code) {
  static const std::map<DWORD, std::string> names = {
      {2, "FILE_NOT_FOUND"}, {3, "PATH_NOT_FOUND"}, {5, "ACCESS_DENIED"}, {6, "INVALID_HANDLE"},
      {8, "NOT_ENOUGH_MEMORY"}, {30, "READ_FAULT"}, {32, "SHARING_VIOLATION"}, {33, "LOCK_VIOLATION"},
      {87, "INVALID_PARAMETER"}, {112, "DISK_FULL"}, {122, "INSUFFICIENT_BUFFER"}, {126, "MOD_NOT_FOUND"},
      {183, "ALREADY_EXISTS"}, {193, "BAD_EXE_FORMAT"}, {234, "MORE_DATA"}, {288, "NOT_OWNER"},
      {317, "MR_MID_NOT_FOUND"}, {1051, "DEPENDENT_SERVICES_RUNNING"}, {1053, "SERVICE_REQUEST_TIMEOUT"},
      {1056, "SERVICE_ALREADY_RUNNING"}, {1058, "SERVICE_DISABLED"}, {1060, "SERVICE_DOES_NOT_EXIST"},
      {1061, "SERVICE_CANNOT_ACCEPT_CTRL"}, {1065, "DATABASE_DOES_NOT_EXIST"}, {1113, "NO_UNICODE_TRANSLATION"},
      {1400, "INVALID_WINDOW_HANDLE"}, {1722, "RPC_S_SERVER_UNAVAILABLE"}, {1796, "UNKNOWN_PORT"},
      {1797, "UNKNOWN_PRINTER_DRIVER"}, {1801, "INVALID_PRINTER_NAME"}, {1802, "PRINTER_ALREADY_EXISTS"},
      {1803, "INVALID_PRINTER_COMMAND"}, {1805, "INVALID_ENVIRONMENT"}, {1813, "RESOURCE_TYPE_NOT_FOUND"},
      {1814, "RESOURCE_NAME_NOT_FOUND"}, {1815, "RESOURCE_LANG_NOT_FOUND"}, {1905, "PRINTER_DELETED"},
      {3000, "UNKNOWN_PRINT_MONITOR"}, {3001, "PRINTER_DRIVER_IN_USE"}, {3006, "PRINT_MONITOR_ALREADY_INSTALLED"},
      {3008, "PRINT_MONITOR_IN_USE"},
  };
  auto it = names.find(code);
  return it == names.end() ? std::to_string(code) : it->second;
}

// ----------------------------------------------------------- read-back --

// The machine's state as the invariants see it: aspect -> value. The
// aspect's name tells what it is about (its prefix before ':').
using State = std::map<std::string, std::string>;

inline std::string FileState(const std::u16string& path, const std::u16string& source) {
  if (!winsim::FileExists(path)) return "missing";
  if (!source.empty() && winsim::FileBytes(path) == winsim::FileBytes(source)) return "new";
  return "other";
}

inline std::string PrinterString(const std::u16string& printer, const std::string& key) {
  winsim::PrinterDataEntry entry;
  if (!winsim::GetPrinterDataEntry(printer, key, "SubKey", &entry)) return "none";
  return std::string(entry.bytes.begin(), entry.bytes.end()).c_str();
}

inline State ReadState() {
  State state;
  state["monitor"] = "none";
  for (const winsim::MonitorState& monitor : winsim::Monitors()) {
    if (monitor.name == kMonitor) state["monitor"] = U8(monitor.dll);
  }
  state["file:monitor"] = FileState(Sys(u"qrlmon64.dll"), Src(u"qrlmon64.dll"));
  winsim::DriverState driver;
  state["driver"] = winsim::FindDriver(kDriver, u"Windows x64", &driver)
                        ? U8(driver.driverPath.value_or(u"")) + "|" + U8(driver.configFile.value_or(u"")) + "|" +
                              U8(driver.helpFile.value_or(u""))
                        : "none";
  for (const std::u16string& name : kDriverFiles) {
    state["file:installed " + U8(name)] = FileState(Drv3(name), Src(name));
    state["staged:" + U8(name)] = FileState(Drv(name), Src(name));
  }
  for (const winsim::PrinterState& printer : winsim::Printers()) {
    std::string name = U8(printer.name);
    if (printer.pendingDeletion) {
      state["queue:" + name] = "deleted, waiting for its jobs";
      continue;
    }
    state["queue:" + name] = U8(printer.driverName.value_or(u"(none)"));
    state["port:" + name] = U8(printer.ports);
    state["settings:" + name] = U8(printer.comment.value_or(u"")) + "|" + U8(printer.location.value_or(u""));
    state["subkey:" + name] = PrinterString(printer.name, "PrinterDriverData") + "|" +
                              PrinterString(printer.name, "DsUser");
  }
  state["settings:default printer"] = U8(winsim::DefaultPrinterName());
  for (const std::string& subkey : {std::string("Q1"), kLongSubKey, std::string("Q3")}) {
    state["registry:" + subkey.substr(0, 8)] =
        winsim::RegValueExists(kSettings + W(subkey), u"deleted") ? "deleted=1" : "cleared";
  }
  // The print server's queue, whether or not this machine is connected to it.
  winsim::PrinterState server;
  if (winsim::FindPrinter(kServerQueue, &server)) {
    state["server:" + U8(kServerQueue)] =
        U8(server.driverName.value_or(u"")) + "|" + std::to_string(server.jobs) + " jobs|" +
        (server.pendingDeletion ? "deleted" : "kept") + "|" + U8(server.comment.value_or(u"")) + "|" +
        U8(server.ports) + "|" + PrinterString(kServerQueue, "PrinterDriverData");
  }
  state["journal:entries"] = std::to_string(winsim::RegSubKeys(kJournal).size());
  std::u16string run;
  state["tray:run value"] = winsim::GetRegString(kRunKey, u"SolvendaleTray", &run) ? U8(run) : "none";
  state["tray:file"] = winsim::FileExists(winsim::TrayPath()) ? "present" : "missing";
  state["tray:running"] = winsim::TrayCompanion().running ? "yes" : "no";
  state["purge:stale file"] = winsim::FileExists(kStaleFile) ? "present" : "missing";
  std::vector<std::string> scheduled;
  std::vector<std::u16string> strings = winsim::PendingFileRenameOperations();
  for (size_t i = 0; i + 1 < strings.size(); i += 2) scheduled.push_back(U8(strings[i]));
  std::sort(scheduled.begin(), scheduled.end());
  std::string reboot;
  for (const std::string& path : scheduled) reboot += path + ";";
  state["reboot"] = reboot;
  // Files of the product in place that Windows would delete at reboot.
  std::vector<std::string> deletions = PendingDeletions();
  std::string installed;
  for (const std::u16string& path : {Sys(u"qrlmon64.dll"), Drv3(u"qrldrv64.dll"), Drv3(u"qrlui64.dll"),
                                     Drv3(u"qrlhelp.chm"), winsim::TrayPath()}) {
    if (std::find(deletions.begin(), deletions.end(), Upper(U8(path))) != deletions.end()) installed += U8(path) + ";";
  }
  state["reboot:installed files"] = installed;
  return state;
}

struct Accounting {
  size_t blocks = 0;
  size_t handles = 0;
  size_t registryKeys = 0;
  size_t printerHandles = 0;
  size_t serviceHandles = 0;
};

inline Accounting ReadAccounting() {
  Accounting a;
  a.blocks = winsim::LiveBlocks();
  a.handles = winsim::LiveHandles();
  a.registryKeys = winsim::OpenRegistryKeys();
  a.printerHandles = winsim::OpenPrinterHandles();
  a.serviceHandles = winsim::OpenServiceHandles();
  return a;
}

// Files that no run may delete: the files of the other drivers and monitors
// and the installer's own directory.
inline std::vector<std::u16string> SentinelFiles() {
  std::vector<std::u16string> files;
  for (const winsim::DriverState& driver : winsim::Drivers()) {
    if (driver.name == kDriver) continue;
    for (const auto& path : {driver.driverPath, driver.dataFile, driver.configFile, driver.helpFile}) {
      if (path && !path->empty() && winsim::FileExists(*path)) files.push_back(*path);
    }
  }
  for (const winsim::MonitorState& monitor : winsim::Monitors()) {
    if (monitor.name != kMonitor && winsim::FileExists(monitor.dllPath)) files.push_back(monitor.dllPath);
  }
  for (const char16_t* name : {u"qrlmon64.dll", u"qrldrv64.dll", u"qrlui64.dll", u"qrlhelp.chm"}) {
    files.push_back(Src(name));
  }
  for (const std::u16string& file : {kReplacedFile, kVolumeMisread, kDeviceMisread, kForeignProgram}) {
    if (winsim::FileExists(file)) files.push_back(file);
  }
  return files;
}

// Paths the program may delete (upper-cased): the product's files, its staged
// copies, and the drive paths that Windows' pending operations delete at
// reboot (and no rename replaces) when the run starts.
inline std::vector<std::string> DeletablePaths() {
  std::vector<std::string> paths = {U8(Sys(u"qrlmon64.dll")), U8(winsim::TrayPath())};
  for (const std::u16string& name : kDriverFiles) paths.push_back(U8(Drv(name)));
  for (const std::string& path : PendingDeletions()) paths.push_back(path);
  for (std::string& path : paths) path = Upper(path);
  return paths;
}

}  // namespace sweep
