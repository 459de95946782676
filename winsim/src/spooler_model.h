// The print spooler of the simulated machine: its catalogue (port monitors
// and their ports, print processors, printer drivers per environment,
// printers with their data and jobs, the default printer), the printer
// handles it gave out, and the files it keeps loaded.
//
// Shared by the spooler's API files, its control surface and the service
// control manager, which starts and stops the spooler process.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winsim {
namespace spooler {

using Text = std::optional<std::u16string>;                   // a string field that may be NULL
using TextList = std::optional<std::vector<std::u16string>>;  // a multi-sz field

// The holder name the spooler uses for the files it keeps loaded.
extern const char kHolder[];
// The environment of this machine.
extern const char16_t kLocalEnvironment[];  // "Windows x64"

struct Monitor {
  std::u16string name;
  std::u16string environment;
  std::u16string dll;  // as registered: a bare name (system directory) or a path
  std::vector<std::u16string> ports;
  bool loaded = false;  // the DLL was found when the spooler started or added it
};

struct Driver {
  std::u16string name;
  std::u16string environment;  // canonical environment name
  DWORD version = 3;
  Text driverPath;
  Text dataFile;
  Text configFile;
  Text helpFile;
  TextList dependentFiles;
  Text monitorName;
  Text defaultDataType;
  TextList previousNames;
  FILETIME driverDate = {0, 0};
  DWORDLONG driverVersion = 0;
  Text manufacturer;
  Text oemUrl;
  Text hardwareId;
  Text provider;
};

struct DataValue {
  std::string name;
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

struct DataKey {
  std::string name;
  std::vector<DataValue> values;
};

struct Printer {
  uint64_t id = 0;
  Text serverName;
  std::u16string name;
  Text shareName;
  std::vector<std::u16string> ports;
  Text driverName;
  Text comment;
  Text location;
  std::optional<std::vector<uint8_t>> devMode;  // dmSize + dmDriverExtra bytes
  Text sepFile;
  Text printProcessor;
  Text datatype;
  Text parameters;
  DWORD attributes = 0;
  DWORD priority = 1;
  DWORD defaultPriority = 0;
  DWORD startTime = 0;
  DWORD untilTime = 0;
  DWORD status = 0;
  DWORD averagePpm = 0;
  DWORD jobs = 0;
  // A queue of a print server, named "\\server\share": its record, data,
  // jobs and deletion are the server's. connected: this user's connection to
  // it exists here, so the machine lists it and it keeps its driver in use.
  bool connection = false;
  bool connected = true;
  DWORD openError = 0;  // OpenPrinterW fails with this code when set
  bool pendingDeletion = false;
  int openHandles = 0;  // handles of the running spooler
  std::vector<DataKey> data;
};

struct PrinterHandle {
  uint64_t printerId = 0;
  ACCESS_MASK access = 0;
  uint64_t session = 0;  // the spooler run that gave it out
};

struct State {
  std::vector<Monitor> monitors;
  std::vector<std::u16string> printProcessors;
  std::vector<Driver> drivers;
  std::vector<std::unique_ptr<Printer>> printers;  // local ones and connections
  std::u16string defaultPrinter;                   // empty: none
  // Ports that a monitor DLL registered through AddMonitorW provides, by the
  // DLL's file name (upper case); DLLs not listed provide addedMonitorPorts.
  std::map<std::u16string, std::vector<std::u16string>> dllPorts;
  std::vector<std::u16string> addedMonitorPorts;
  std::map<std::u16string, std::u16string> held;  // files::Key -> path
  // DLLs of monitors removed while loaded: the process keeps them loaded
  // (held) until it stops.
  std::vector<std::u16string> retainedDlls;
  std::map<uintptr_t, PrinterHandle> handles;
  uintptr_t nextHandle = 0x7E000000;
  uint64_t nextPrinterId = 1;
  uint64_t session = 1;
};

State& Get();

// Resets to the catalogue of a fresh machine (and puts the built-in files
// on disk).
void ResetState();

// ----------------------------------------------------------- service link --

// Whether the spooler service is RUNNING (services.cpp): only then does the
// spooler answer calls.
bool ServiceRunning();
// Whether the spooler process exists (RUNNING or STOP_PENDING): it keeps
// its files loaded until it has stopped.
bool ProcessAlive();
// Called by the service control manager when the spooler process has
// started (loads the monitors and drivers) and when it has stopped (lets go
// of every file and every printer handle).
void ProcessStarted();
void ProcessStopped();

// ------------------------------------------------------------- lookups --

std::u16string UpperText(const std::u16string& text);
bool SameName(const std::u16string& a, const std::u16string& b);
bool SameNameA(const std::string& a, const std::string& b);

// The canonical environment name for a given one (NULL: this machine's),
// or false when the environment is not one Windows knows.
bool ResolveEnvironment(LPCWSTR given, std::u16string* canonical);
// The directory name of an environment under spool\drivers ("x64").
std::u16string EnvironmentDirectory(const std::u16string& environment);
// C:\Windows\System32\spool\drivers\<dir>
std::u16string DriverDirectoryOf(const std::u16string& environment);
// The full path of a monitor DLL as registered.
std::u16string MonitorDllPath(const std::u16string& dll);
std::u16string FileNamePart(const std::u16string& path);

Monitor* FindMonitor(const std::u16string& name);
// The monitor that provides a port (among loaded monitors), or null.
Monitor* MonitorOfPort(const std::u16string& port);
bool PortExists(const std::u16string& port, std::u16string* canonical);
std::vector<std::u16string> AllPorts();
const std::u16string* FindPrintProcessor(const std::u16string& name);
Driver* FindDriver(const std::u16string& name, const std::u16string& environment);

// A printer that OpenPrinterW and EnumPrintersW can see (not deleted).
Printer* FindVisiblePrinter(const std::u16string& name);
// Any printer of the catalogue, also one waiting for its deletion.
Printer* FindAnyPrinter(const std::u16string& name);
Printer* PrinterById(uint64_t id);
// Not deleted: it can be opened by name.
bool Visible(const Printer& printer);
// Visible and on this machine: a local printer, or a connection that exists.
bool Listed(const Printer& printer);
// A listed printer by name, or null.
Printer* FindListedPrinter(const std::u16string& name);

// Whether a printer that still exists uses a port of the monitor / the
// driver; a connection uses its driver here, but no port of this machine.
bool MonitorInUse(const Monitor& monitor);
bool DriverInUse(const Driver& driver);

// Removes every printer whose deletion is complete (no jobs, no handles).
void CollectDeletedPrinters();

// The files of a driver (full paths), in record order, without duplicates.
std::vector<std::u16string> DriverFiles(const Driver& driver);
// The files the spooler keeps loaded for a driver: its DLLs.
std::vector<std::u16string> DriverLoadedFiles(const Driver& driver);
// Brings the files the spooler keeps loaded in line with the catalogue: the
// DLLs of loaded monitors, of monitors removed since the spooler started and
// of installed drivers while the spooler runs, nothing while it is stopped.
void SyncHolds();

// The ports of a port list: comma-separated, blanks around names ignored.
std::vector<std::u16string> SplitPortList(const std::u16string& list);

// Whether the running spooler can load a monitor DLL as registered: an
// image for x64 that exports the monitor entry point.
bool MonitorDllLoads(const std::u16string& dll);

// The ports a monitor DLL provides once loaded.
std::vector<std::u16string> PortsOfDll(const std::u16string& dll);

// A default device mode for a new printer.
std::vector<uint8_t> DefaultDevMode(const std::u16string& printerName);

// ------------------------------------------------------------- handles --

HANDLE NewPrinterHandle(Printer& printer, ACCESS_MASK access);
// The handle's entry, or null when the handle is unknown.
PrinterHandle* LookupPrinterHandle(HANDLE handle);
// Resolves a handle for a call of the running spooler: the printer, or null
// with the error code set (ERROR_INVALID_HANDLE for unknown or stale ones).
Printer* PrinterOfHandle(HANDLE handle, PrinterHandle** entry);
void ClosePrinterHandle(HANDLE handle);

// Access rights after the generic mapping for printers.
ACCESS_MASK MapPrinterAccess(ACCESS_MASK desired);

}  // namespace spooler
}  // namespace winsim
