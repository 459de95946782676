// The spooler's port monitor and printer driver calls, and the printer
// driver directory. Validation and error codes follow [MS-RPRN] 3.1.4
// (RpcEnumMonitors, RpcAddMonitor, RpcDeleteMonitor, RpcEnumPrinterDrivers,
// RpcGetPrinterDriverDirectory, RpcAddPrinterDriverEx,
// RpcDeletePrinterDriverEx) and the winspool documentation.
#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <set>

#include "core.h"

#include <winsim/control.h>
#include "spooler_calls.h"
#include "spooler_model.h"
#include "spooler_pack.h"

namespace winsim {
namespace spooler {

void RequireLocalServer(const char* api, LPCWSTR serverName) {
  if (serverName != nullptr && serverName[0] != 0)
    Unsupported(api, "a print server other than the local one: " + Narrow(serverName));
}

bool SpoolerAvailable() {
  if (ServiceRunning()) return true;
  SetError(RPC_S_SERVER_UNAVAILABLE);
  return false;
}

std::string Show(LPCWSTR text) { return text ? "\"" + Narrow(text) + "\"" : "(null)"; }
std::string ShowA(LPCSTR text) { return text ? "\"" + std::string(text) + "\"" : "(null)"; }

std::string ShowHandle(HANDLE printer) {
  PrinterHandle* h = LookupPrinterHandle(printer);
  Printer* p = h ? PrinterById(h->printerId) : nullptr;
  return p ? "\"" + Narrow(p->name) + "\"" : std::string("(invalid handle)");
}

namespace {

bool Empty(LPCWSTR text) { return text == nullptr || text[0] == 0; }

Text TextOf(LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  return std::u16string(text);
}

TextList MultiTextOf(LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  std::vector<std::u16string> list;
  while (*text) {
    std::u16string item(text);
    list.push_back(item);
    text += item.size() + 1;
  }
  return list;
}

// The version directory of a driver: 3 for the NT environments of today.
DWORD DriverVersionFor(const std::u16string& environment) {
  return SameName(environment, u"Windows 4.0") ? 0 : 3;
}

// A file named in a driver record: a bare name lies in the driver directory
// of the environment (where installers stage driver files).
bool ResolveDriverSource(const std::u16string& environment, const std::u16string& given,
                         std::u16string* path) {
  std::u16string full = given;
  if (given.find_first_of(u"\\/:") == std::u16string::npos)
    full = DriverDirectoryOf(environment) + u"\\" + given;
  return files::Canonical(full, path) && files::IsFile(*path);
}

bool HeldByOthers(const std::u16string& path) {
  for (const std::string& holder : files::Holders(path))
    if (holder != kHolder) return true;
  return false;
}

bool FileOfOtherDriver(const Driver& self, const std::u16string& path) {
  for (const Driver& d : Get().drivers) {
    if (&d == &self) continue;
    for (const std::u16string& f : DriverFiles(d))
      if (SameName(f, path)) return true;
  }
  return false;
}

// A driver file that another process has loaded is moved into the
// version directory's "Old" folder and marked for deletion at restart
// (DeletePrinterDriverEx, Remarks); its holders keep the moved file.
void MoveAsideForRestart(const std::u16string& path) {
  size_t slash = path.find_last_of(u'\\');
  std::u16string old = path.substr(0, slash) + u"\\Old";
  int n = 1;
  while (files::Exists(old + u"\\" + Widen(std::to_string(n)) + u"\\" + FileNamePart(path))) ++n;
  std::u16string target = old + u"\\" + Widen(std::to_string(n)) + u"\\" + FileNamePart(path);
  files::Copy(path, target);
  for (const std::string& holder : files::Holders(path)) {
    files::Release(path, holder);
    files::Hold(target, holder);
  }
  files::Remove(path);
  std::vector<std::u16string> pending = PendingFileRenameOperations();
  if (pending.size() % 2) pending.pop_back();
  pending.push_back(u"\\??\\" + target);
  pending.push_back(std::u16string());
  SetPendingFileRenameOperations(pending);
}

// The fields of a DRIVER_INFO_2W/3W/4W/6W record as a catalogue entry.
Driver DriverFromRecord(DWORD level, const BYTE* record) {
  const DRIVER_INFO_2W* d2 = reinterpret_cast<const DRIVER_INFO_2W*>(record);
  Driver d;
  d.version = d2->cVersion;
  d.name = FromW(d2->pName);
  d.driverPath = TextOf(d2->pDriverPath);
  d.dataFile = TextOf(d2->pDataFile);
  d.configFile = TextOf(d2->pConfigFile);
  if (level >= 3) {
    const DRIVER_INFO_3W* d3 = reinterpret_cast<const DRIVER_INFO_3W*>(record);
    d.helpFile = TextOf(d3->pHelpFile);
    d.dependentFiles = MultiTextOf(d3->pDependentFiles);
    d.monitorName = TextOf(d3->pMonitorName);
    d.defaultDataType = TextOf(d3->pDefaultDataType);
  }
  if (level >= 4) {
    d.previousNames =
        MultiTextOf(reinterpret_cast<const DRIVER_INFO_4W*>(record)->pszzPreviousNames);
  }
  if (level == 6) {
    const DRIVER_INFO_6W* d6 = reinterpret_cast<const DRIVER_INFO_6W*>(record);
    d.driverDate = d6->ftDriverDate;
    d.driverVersion = d6->dwlDriverVersion;
    d.manufacturer = TextOf(d6->pszMfgName);
    d.oemUrl = TextOf(d6->pszOEMUrl);
    d.hardwareId = TextOf(d6->pszHardwareID);
    d.provider = TextOf(d6->pszProvider);
  }
  return d;
}

// Copies one named file of a new driver into the version directory and
// gives the installed path; 0 or an error code.
DWORD InstallDriverFile(const std::u16string& environment, const std::u16string& targetDir,
                        const std::u16string& given, bool copyAll, std::u16string* installed) {
  std::u16string source;
  if (!ResolveDriverSource(environment, given, &source)) return ERROR_FILE_NOT_FOUND;
  std::u16string target = targetDir + u"\\" + FileNamePart(source);
  *installed = target;
  if (files::Key(source) == files::Key(target)) return 0;
  if (!copyAll && files::IsFile(target)) return 0;
  if (files::DeletePending(target) || files::ReadOnly(target)) return ERROR_ACCESS_DENIED;
  if (HeldByOthers(target)) return ERROR_SHARING_VIOLATION;
  if (!files::Copy(source, target)) return ERROR_ACCESS_DENIED;
  return 0;
}

void InstallTextFile(DWORD* error, const std::u16string& environment,
                     const std::u16string& targetDir, Text* field, bool copyAll) {
  if (*error != 0 || !*field || (*field)->empty()) return;
  std::u16string installed;
  *error = InstallDriverFile(environment, targetDir, **field, copyAll, &installed);
  if (*error == 0) *field = installed;
}

// The environment the caller names (null: this machine's), or false with
// ERROR_INVALID_ENVIRONMENT set.
bool EnvironmentOrError(LPCWSTR given, std::u16string* environment) {
  if (ResolveEnvironment(given, environment)) return true;
  SetError(ERROR_INVALID_ENVIRONMENT);
  return false;
}

// Whether the driver records of the level can be read back; false with
// ERROR_INVALID_LEVEL set when not. Level 8 is not simulated.
bool DriverLevelOrError(const char* api, DWORD level) {
  if (level == 8) Unsupported(api, "level 8");
  if (DriverRecordSize(level) != 0) return true;
  SetError(ERROR_INVALID_LEVEL);
  return false;
}

}  // namespace
}  // namespace spooler
}  // namespace winsim

using namespace winsim::spooler;
using winsim::Enter;
using winsim::SetError;

// ------------------------------------------------------------- monitors --

const winsim::DocumentedErrors kEnumMonitorsWErrors{
    "EnumMonitorsW", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}};

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (Enter("EnumMonitorsW",
            "level " + std::to_string(Level) + ", " + std::to_string(cbBuf) + " bytes"))
    return FALSE;
  RequireLocalServer("EnumMonitorsW", pName);
  if (!SpoolerAvailable()) return FALSE;
  if (pcbNeeded == nullptr || pcReturned == nullptr || (pMonitor == nullptr && cbBuf != 0)) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  if (Level != 1 && Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  std::vector<PackedRecord> records;
  for (const Monitor& m : Get().monitors)
    if (m.loaded) records.push_back(MonitorRecord(m, Level));
  return PackRecords(records, MonitorRecordSize(Level), false, pMonitor, cbBuf, pcbNeeded,
                     pcReturned);
}

const winsim::DocumentedErrors kAddMonitorWErrors{
    "AddMonitorW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_PRINT_MONITOR_ALREADY_INSTALLED,
     ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_BAD_EXE_FORMAT}};

BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitorInfo) {
  const MONITOR_INFO_2W* mi = reinterpret_cast<const MONITOR_INFO_2W*>(pMonitorInfo);
  std::string detail = "level " + std::to_string(Level);
  if (mi != nullptr && Level == 2)
    detail += ", " + Show(mi->pName) + ", " + Show(mi->pEnvironment) + ", " + Show(mi->pDLLName);
  if (Enter("AddMonitorW", detail)) return FALSE;
  RequireLocalServer("AddMonitorW", pName);
  if (!SpoolerAvailable()) return FALSE;
  if (Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  // Without a record the call fails and leaves the last error alone
  // (winspool info.c).
  if (mi == nullptr) return FALSE;
  if (mi->pName == nullptr || mi->pName[0] == 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string environment;
  if (mi->pEnvironment == nullptr || !ResolveEnvironment(mi->pEnvironment, &environment) ||
      environment != kLocalEnvironment) {
    SetError(ERROR_INVALID_ENVIRONMENT);
    return FALSE;
  }
  if (mi->pDLLName == nullptr || mi->pDLLName[0] == 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (FindMonitor(mi->pName) != nullptr) {
    SetError(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
    return FALSE;
  }
  // The spooler loads the DLL and looks for the monitor's entry point
  // (AddMonitor: ERROR_MOD_NOT_FOUND for a missing DLL, ERROR_PROC_NOT_FOUND
  // for a DLL that is not a monitor).
  std::u16string dll = mi->pDLLName;
  winsim::images::ImageInfo image;
  if (DWORD error = winsim::images::Load(MonitorDllPath(dll), &image)) {
    SetError(error);
    return FALSE;
  }
  if (!winsim::images::Exports(image, winsim::kMonitorEntryPoint)) {
    SetError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  Get().monitors.push_back(Monitor{mi->pName, environment, dll, PortsOfDll(dll), true});
  SyncHolds();
  // Callers rely on the last error also on success (winspool info.c).
  SetError(ERROR_SUCCESS);
  return TRUE;
}

const winsim::DocumentedErrors kDeleteMonitorWErrors{
    "DeleteMonitorW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_PRINT_MONITOR_IN_USE,
     ERROR_UNKNOWN_PRINT_MONITOR}};

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
  if (Enter("DeleteMonitorW", Show(pEnvironment) + ", " + Show(pMonitorName))) return FALSE;
  RequireLocalServer("DeleteMonitorW", pName);
  if (!SpoolerAvailable()) return FALSE;
  std::u16string environment;
  if (!ResolveEnvironment(pEnvironment, &environment) || environment != kLocalEnvironment) {
    SetError(ERROR_INVALID_ENVIRONMENT);
    return FALSE;
  }
  if (pMonitorName == nullptr || pMonitorName[0] == 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Monitor* monitor = FindMonitor(pMonitorName);
  if (monitor == nullptr) {
    SetError(ERROR_UNKNOWN_PRINT_MONITOR);
    return FALSE;
  }
  if (MonitorInUse(*monitor)) {
    SetError(ERROR_PRINT_MONITOR_IN_USE);
    return FALSE;
  }
  // The spooler does not unload the monitor's DLL: it stays loaded, and its
  // file held, until the spooler stops.
  if (monitor->loaded) Get().retainedDlls.push_back(MonitorDllPath(monitor->dll));
  std::vector<Monitor>& monitors = Get().monitors;
  monitors.erase(monitors.begin() + (monitor - monitors.data()));
  SyncHolds();
  return TRUE;
}

// -------------------------------------------------------------- drivers --

const winsim::DocumentedErrors kEnumPrinterDriversWErrors{
    "EnumPrinterDriversW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_ENVIRONMENT}};

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                                DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (Enter("EnumPrinterDriversW", Show(pEnvironment) + ", level " + std::to_string(Level) + ", " +
                                       std::to_string(cbBuf) + " bytes"))
    return FALSE;
  RequireLocalServer("EnumPrinterDriversW", pName);
  if (!SpoolerAvailable()) return FALSE;
  if (pcbNeeded == nullptr || pcReturned == nullptr || (pDriverInfo == nullptr && cbBuf != 0)) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  bool all = pEnvironment != nullptr && winsim::EqualsNoCase(pEnvironment, u"all");
  std::u16string environment;
  if (!all && !EnvironmentOrError(pEnvironment, &environment)) return FALSE;
  if (!DriverLevelOrError("EnumPrinterDriversW", Level)) return FALSE;
  std::vector<PackedRecord> records;
  for (const Driver& d : Get().drivers)
    if (all || SameName(d.environment, environment)) records.push_back(DriverRecord(d, Level));
  return PackRecords(records, DriverRecordSize(Level), false, pDriverInfo, cbBuf, pcbNeeded,
                     pcReturned);
}

const winsim::DocumentedErrors kGetPrinterDriverWErrors{
    "GetPrinterDriverW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_UNKNOWN_PRINTER_DRIVER}};

BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                              DWORD cbBuf, LPDWORD pcbNeeded) {
  if (Enter("GetPrinterDriverW", Show(pEnvironment) + ", level " + std::to_string(Level) + ", " +
                                     std::to_string(cbBuf) + " bytes"))
    return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  Printer* printer = PrinterOfHandle(hPrinter, nullptr);
  if (printer == nullptr) return FALSE;
  if (pcbNeeded == nullptr || (pDriverInfo == nullptr && cbBuf != 0)) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  std::u16string environment;
  if (!EnvironmentOrError(pEnvironment, &environment)) return FALSE;
  if (!DriverLevelOrError("GetPrinterDriverW", Level)) return FALSE;
  const Driver* driver =
      printer->driverName ? FindDriver(*printer->driverName, environment) : nullptr;
  if (driver == nullptr) {
    SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return FALSE;
  }
  BOOL packed = PackRecords({DriverRecord(*driver, Level)}, DriverRecordSize(Level), false,
                            pDriverInfo, cbBuf, pcbNeeded, nullptr);
  // A buffer that is too small comes back zero-filled (winspool info.c).
  if (!packed && pDriverInfo != nullptr && winsim::LastError() == ERROR_INSUFFICIENT_BUFFER)
    std::memset(pDriverInfo, 0, cbBuf);
  return packed;
}

const winsim::DocumentedErrors kGetPrinterDriverDirectoryWErrors{
    "GetPrinterDriverDirectoryW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_ENVIRONMENT}};

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level,
                                       LPBYTE pDriverDirectory, DWORD cbBuf, LPDWORD pcbNeeded) {
  if (Enter("GetPrinterDriverDirectoryW", Show(pEnvironment) + ", level " + std::to_string(Level) +
                                              ", " + std::to_string(cbBuf) + " bytes"))
    return FALSE;
  RequireLocalServer("GetPrinterDriverDirectoryW", pName);
  if (!SpoolerAvailable()) return FALSE;
  if (pcbNeeded == nullptr) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  std::u16string environment;
  if (!EnvironmentOrError(pEnvironment, &environment)) return FALSE;
  if (Level != 1) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  std::vector<uint8_t> bytes = TextBytes(DriverDirectoryOf(environment));
  *pcbNeeded = static_cast<DWORD>(bytes.size());
  if (cbBuf < bytes.size()) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (pDriverDirectory == nullptr) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  std::copy(bytes.begin(), bytes.end(), pDriverDirectory);
  return TRUE;
}

const winsim::DocumentedErrors kAddPrinterDriverExWErrors{
    "AddPrinterDriverExW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND,
     ERROR_UNKNOWN_PRINTER_DRIVER}};

BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo,
                                DWORD dwFileCopyFlags) {
  const DRIVER_INFO_2W* d2 = reinterpret_cast<const DRIVER_INFO_2W*>(pDriverInfo);
  std::string detail = "level " + std::to_string(Level) + ", flags " + winsim::Hex(dwFileCopyFlags);
  if (d2 != nullptr && Level >= 2 && Level <= 6 && Level != 5)
    detail += ", " + Show(d2->pName) + ", " + Show(d2->pEnvironment);
  if (Enter("AddPrinterDriverExW", detail)) return FALSE;
  RequireLocalServer("AddPrinterDriverExW", pName);
  if (!SpoolerAvailable()) return FALSE;
  if (Level == 8) winsim::Unsupported("AddPrinterDriverExW", "level 8");
  if (Level != 2 && Level != 3 && Level != 4 && Level != 6) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (dwFileCopyFlags & APD_COPY_FROM_DIRECTORY)
    winsim::Unsupported("AddPrinterDriverExW", "APD_COPY_FROM_DIRECTORY");
  if ((dwFileCopyFlags & (APD_COPY_ALL_FILES | APD_COPY_NEW_FILES)) == 0)
    winsim::Unsupported("AddPrinterDriverExW",
                        "copy flags without APD_COPY_ALL_FILES or APD_COPY_NEW_FILES");
  if (d2 == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string environment;
  if (!EnvironmentOrError(d2->pEnvironment, &environment)) return FALSE;
  if (Empty(d2->pName) || Empty(d2->pDriverPath) || Empty(d2->pDataFile) ||
      Empty(d2->pConfigFile) || d2->cVersion != DriverVersionFor(environment)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  Driver incoming = DriverFromRecord(Level, pDriverInfo);
  incoming.environment = environment;
  State& s = Get();

  // Every named file must be there before anything changes.
  std::vector<std::u16string> named;
  for (const Text* t :
       {&incoming.driverPath, &incoming.dataFile, &incoming.configFile, &incoming.helpFile})
    if (*t && !(*t)->empty()) named.push_back(**t);
  if (incoming.dependentFiles)
    for (const std::u16string& f : *incoming.dependentFiles) named.push_back(f);
  for (const std::u16string& f : named) {
    std::u16string source;
    if (!ResolveDriverSource(environment, f, &source)) {
      SetError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
  }

  // A driver of the same name is replaced: the spooler unloads it first.
  size_t index = s.drivers.size();
  std::optional<Driver> previous;
  if (Driver* old = FindDriver(incoming.name, environment)) {
    index = static_cast<size_t>(old - s.drivers.data());
    previous = *old;
    s.drivers.erase(s.drivers.begin() + index);
    SyncHolds();
  }

  const bool copyAll = (dwFileCopyFlags & APD_COPY_ALL_FILES) != 0;
  const std::u16string targetDir =
      DriverDirectoryOf(environment) + u"\\" + winsim::Widen(std::to_string(incoming.version));
  winsim::files::MakeDirectories(targetDir);
  DWORD error = 0;
  for (Text* t :
       {&incoming.driverPath, &incoming.dataFile, &incoming.configFile, &incoming.helpFile})
    InstallTextFile(&error, environment, targetDir, t, copyAll);
  if (error == 0 && incoming.dependentFiles) {
    for (std::u16string& f : *incoming.dependentFiles) {
      std::u16string installed;
      error = InstallDriverFile(environment, targetDir, f, copyAll, &installed);
      if (error != 0) break;
      f = installed;
    }
  }
  if (error != 0) {
    if (previous) s.drivers.insert(s.drivers.begin() + index, *previous);
    SyncHolds();
    SetError(error);
    return FALSE;
  }
  s.drivers.insert(s.drivers.begin() + index, incoming);
  SyncHolds();  // the spooler loads the new driver
  return TRUE;
}

const winsim::DocumentedErrors kDeletePrinterDriverExWErrors{
    "DeletePrinterDriverExW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_PRINTER_DRIVER_IN_USE,
     ERROR_UNKNOWN_PRINTER_DRIVER}};

BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName,
                                   DWORD dwDeleteFlag, DWORD dwVersionFlag) {
  if (Enter("DeletePrinterDriverExW", Show(pEnvironment) + ", " + Show(pDriverName) + ", flags " +
                                          winsim::Hex(dwDeleteFlag) + ", version " +
                                          std::to_string(dwVersionFlag)))
    return FALSE;
  RequireLocalServer("DeletePrinterDriverExW", pName);
  if (!SpoolerAvailable()) return FALSE;
  std::u16string environment;
  if (!EnvironmentOrError(pEnvironment, &environment)) return FALSE;
  if (Empty(pDriverName)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Driver* driver = FindDriver(pDriverName, environment);
  if (driver == nullptr ||
      ((dwDeleteFlag & DPD_DELETE_SPECIFIC_VERSION) && driver->version != dwVersionFlag)) {
    SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return FALSE;
  }
  if (DriverInUse(*driver)) {
    SetError(ERROR_PRINTER_DRIVER_IN_USE);
    return FALSE;
  }
  // DPD_DELETE_ALL_FILES: "Delete the printer driver only if all its
  // associated files can be removed. The delete operation fails if any of
  // the driver's files are being used by some other installed driver."
  std::vector<std::u16string> driverFiles = DriverFiles(*driver);
  std::vector<std::u16string> toDelete;
  for (const std::u16string& f : driverFiles) {
    bool shared = FileOfOtherDriver(*driver, f);
    if ((dwDeleteFlag & DPD_DELETE_ALL_FILES) && shared) {
      SetError(ERROR_PRINTER_DRIVER_IN_USE);
      return FALSE;
    }
    if ((dwDeleteFlag & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) && !shared) toDelete.push_back(f);
  }
  State& s = Get();
  s.drivers.erase(s.drivers.begin() + (driver - s.drivers.data()));
  SyncHolds();  // unloaded before its files go
  for (const std::u16string& f : toDelete) {
    if (!winsim::files::IsFile(f)) continue;
    if (HeldByOthers(f)) {
      MoveAsideForRestart(f);
    } else {
      winsim::files::Delete(f);
    }
  }
  return TRUE;
}
