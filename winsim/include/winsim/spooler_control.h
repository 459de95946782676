// Control surface of the simulated machine's service control manager and
// print spooler, for tests and tools: set the spooler's catalogue up, steer
// the "spooler" service, and read back everything the program changed.
//
// A fresh machine (ResetMachine) has:
// - the service "Spooler" running, starting and stopping without delay
//   (ServiceBehaviour);
// - the port monitors "Local Port" (localspl.dll; ports LPT1: LPT2: LPT3:
//   COM1: COM2: COM3: COM4: FILE: PORTPROMPT:) and "Standard TCP/IP Port"
//   (tcpmon.dll; no ports), both for "Windows x64", their DLLs in
//   C:\Windows\System32;
// - the print processor "WinPrint";
// - the version-4 drivers "Microsoft Print To PDF" and "Microsoft XPS
//   Document Writer v4" for "Windows x64", their files in
//   C:\Windows\System32\spool\drivers\x64\3 (mxdwdrv.dll and
//   PrintConfig.dll are shared by both);
// - the local printers "Microsoft Print to PDF" and "Microsoft XPS Document
//   Writer" on the port "PORTPROMPT:", and "Microsoft Print to PDF" as the
//   default printer.
// While the spooler runs it keeps (holds, holder "spooler") the DLLs of its
// loaded monitors and the driver and configuration DLLs of its drivers. A
// monitor removed with DeleteMonitorW stays loaded, its DLL held, until the
// spooler stops.
// A test can make it keep any other file with HoldFile(path, "spooler"):
// every file held by "spooler" is let go when the spooler stops.
//
// Behaviour worth knowing:
// - While the service is not SERVICE_RUNNING every spooler call fails with
//   RPC_S_SERVER_UNAVAILABLE; only the default printer's name (ordinal 203)
//   stays readable, as it lives in the user's profile. A stop makes every
//   printer handle given out before it invalid (ERROR_INVALID_HANDLE).
// - A monitor whose DLL is missing, or is not a monitor DLL (MakeMonitorImage
//   in control.h), when the spooler starts is not loaded: it is neither
//   enumerated nor provides ports (it can still be deleted).
// - Queues keep their ports by the ports' own names ("file:" is kept as
//   "FILE:"); AddPrinterW and SetPrinterW drop PRINTER_ATTRIBUTE_DEFAULT.
// - DeletePrinter hides a queue at once, also one with jobs ([MS-RPRN]
//   3.1.4.2.4); handles given out before keep working, and the queue goes
//   when its last handle is closed and its last job is gone. A queue that
//   goes while it is the default printer leaves no default printer. A
//   paused queue with jobs refuses DeletePrinter (ERROR_ACCESS_DENIED).
//   AddPrinterW of the name of a queue pending deletion, which Windows
//   takes back and configures anew, ends the process.
// - DeletePrinterDriverExW moves a file of the driver that another process
//   has loaded (HoldFile by a holder other than "spooler") into the version
//   directory's folder Old\<n>, with its holders, and marks it for deletion
//   at restart; DPD_DELETE_ALL_FILES fails only for files another driver
//   uses.
// - A connection ("\\server\share", PrinterSetup::connection) is this
//   user's link to a queue of a print server. The queue's record, printer
//   data and jobs are the server's: a handle opened by that name (with or
//   without a connection) reads and changes the server's queue, and
//   SetPrinterW's purge and DeletePrinter through it purge and delete the
//   server's queue (the connection goes with it). DeletePrinterConnectionW
//   removes only the connection (and the default printer, when it was that);
//   AddPrinterConnectionW connects again to a queue the server still has
//   (else ERROR_INVALID_PRINTER_NAME), when its driver is installed here (no
//   driver is downloaded from a server: else ERROR_ACCESS_DENIED). A
//   connection keeps its driver in use, but no port of this machine.
// - The ordinals log and take faults as "GetDefaultPrinterByOrdinal" and
//   "SetDefaultPrinterByOrdinal" (FailCall).
// - Calls that are not simulated (a remote server, a print server handle,
//   levels other than the documented ones the program uses) end the process
//   with a message.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// ------------------------------------------------------ spooler service --

// A delay that never ends: the service stays in its pending state.
constexpr uint64_t kNeverMs = UINT64_MAX;

// The service's current state: SERVICE_STOPPED, SERVICE_START_PENDING,
// SERVICE_STOP_PENDING or SERVICE_RUNNING.
DWORD SpoolerServiceState();
// Puts the service into SERVICE_STOPPED or SERVICE_RUNNING at once (a start
// loads the monitors and drivers, a stop lets go of every file and handle).
void SetSpoolerServiceState(DWORD state);

struct ServiceBehaviour {
  // Virtual time from StartServiceW to SERVICE_RUNNING and from the stop
  // control to SERVICE_STOPPED; 0 changes the state within the call,
  // kNeverMs leaves it pending for good.
  uint64_t startDelayMs = 0;
  uint64_t stopDelayMs = 0;
  // OpenSCManagerW / OpenServiceW fail with ERROR_ACCESS_DENIED (as for a
  // caller without administrator rights).
  bool managerAccessDenied = false;
  bool serviceAccessDenied = false;
  // The service's start type is SERVICE_DISABLED: StartServiceW fails at once
  // with ERROR_SERVICE_DISABLED.
  bool disabled = false;
  // The service's process starts but never reports to the service control
  // manager: StartServiceW waits kServiceStartTimeoutMs of machine time and
  // fails with ERROR_SERVICE_REQUEST_TIMEOUT. Either way the service stays
  // SERVICE_STOPPED.
  bool startHangs = false;
};
// How long the service control manager waits for a service process to
// report (its default ServicesPipeTimeout).
constexpr uint64_t kServiceStartTimeoutMs = 30000;
void SetServiceBehaviour(const ServiceBehaviour& behaviour);
ServiceBehaviour GetServiceBehaviour();

// How often the spooler reached SERVICE_RUNNING / SERVICE_STOPPED through
// the service control manager since the reset.
int SpoolerStartCount();
int SpoolerStopCount();
// Service control manager handles not yet closed.
size_t OpenServiceHandles();

// -------------------------------------------------------- port monitors --

struct MonitorSetup {
  std::u16string name;
  std::u16string environment = u"Windows x64";
  std::u16string dll;                 // bare name: in the system directory
  std::vector<std::u16string> ports;  // the ports its DLL provides
};
struct MonitorState {
  std::u16string name;
  std::u16string environment;
  std::u16string dll;
  std::u16string dllPath;
  std::vector<std::u16string> ports;
  bool loaded;  // the running spooler has its DLL loaded (and held)
};
// Registers a monitor directly (no checks); a running spooler loads its DLL
// when it is a monitor DLL.
void PutMonitor(const MonitorSetup& monitor);
void RemoveMonitor(const std::u16string& name);
std::vector<MonitorState> Monitors();
bool HasMonitor(const std::u16string& name);
// The ports of the loaded monitors, in monitor order.
std::vector<std::u16string> Ports();
// The ports a monitor registered through AddMonitorW gets from its DLL: by
// the DLL's file name; DLLs without a setting provide the ports of
// SetAddedMonitorPorts, by default the one port "Solvendale:". An empty
// list makes such a monitor provide no port.
void SetMonitorDllPorts(const std::u16string& dll, const std::vector<std::u16string>& ports);
void SetAddedMonitorPorts(const std::vector<std::u16string>& ports);

// ------------------------------------------------------ printer drivers --

struct DriverSetup {
  std::u16string name;
  std::u16string environment = u"Windows x64";
  DWORD version = 3;
  // Full paths; files that do not exist are created as placeholder DLLs
  // when createFiles is set.
  std::optional<std::u16string> driverPath;
  std::optional<std::u16string> dataFile;
  std::optional<std::u16string> configFile;
  std::optional<std::u16string> helpFile;
  std::optional<std::vector<std::u16string>> dependentFiles;
  std::optional<std::u16string> monitorName;
  std::optional<std::u16string> defaultDataType;
  std::optional<std::vector<std::u16string>> previousNames;
  FILETIME driverDate = {0, 0};
  DWORDLONG driverVersion = 0;
  std::optional<std::u16string> manufacturer;
  std::optional<std::u16string> oemUrl;
  std::optional<std::u16string> hardwareId;
  std::optional<std::u16string> provider;
  bool createFiles = true;
};
using DriverState = DriverSetup;  // createFiles is false in read-backs
// Installs (or replaces) a driver directly, without copying files.
void PutDriver(const DriverSetup& driver);
void RemoveDriver(const std::u16string& name, const std::u16string& environment = u"Windows x64");
std::vector<DriverState> Drivers();  // every environment
bool HasDriver(const std::u16string& name, const std::u16string& environment = u"Windows x64");
bool FindDriver(const std::u16string& name, const std::u16string& environment, DriverState* driver);
std::vector<std::u16string> PrintProcessors();

// ------------------------------------------------------------- printers --

struct PrinterDataEntry {
  std::string key;  // "PrinterDriverData" for GetPrinterDataA/SetPrinterDataA
  std::string value;
  DWORD type;
  std::vector<uint8_t> bytes;
};

struct PrinterSetup {
  std::u16string name;  // connections: "\\server\share"
  std::optional<std::u16string> serverName;
  std::optional<std::u16string> shareName = u"";
  std::u16string ports;  // comma-separated, as in PRINTER_INFO_2W
  std::optional<std::u16string> driverName;
  std::optional<std::u16string> comment = u"";
  std::optional<std::u16string> location = u"";
  std::optional<std::u16string> sepFile = u"";
  std::optional<std::u16string> printProcessor = u"WinPrint";
  std::optional<std::u16string> datatype = u"RAW";
  std::optional<std::u16string> parameters = u"";
  // Attributes as given; PRINTER_ATTRIBUTE_LOCAL is added for local printers,
  // PRINTER_ATTRIBUTE_NETWORK for connections.
  DWORD attributes = 0;
  DWORD priority = 1;
  DWORD defaultPriority = 0;
  DWORD startTime = 0;
  DWORD untilTime = 0;
  DWORD status = 0;
  DWORD averagePpm = 0;
  DWORD jobs = 0;
  // A queue of a print server (name "\\server\share"; serverName defaults to
  // "\\server"); connected: this user has a connection to it here.
  bool connection = false;
  bool connected = true;
  bool devMode = true;  // the printer has a device mode
  DWORD openError = 0;  // OpenPrinterW fails with this code (e.g. a server offline)
  std::vector<PrinterDataEntry> data;
};

struct PrinterState {
  std::u16string name;
  std::optional<std::u16string> serverName;
  std::optional<std::u16string> shareName;
  std::u16string ports;
  std::optional<std::u16string> driverName;
  std::optional<std::u16string> comment;
  std::optional<std::u16string> location;
  std::optional<std::u16string> sepFile;
  std::optional<std::u16string> printProcessor;
  std::optional<std::u16string> datatype;
  std::optional<std::u16string> parameters;
  DWORD attributes;
  DWORD priority;
  DWORD defaultPriority;
  DWORD startTime;
  DWORD untilTime;
  DWORD status;  // with PRINTER_STATUS_PENDING_DELETION while deleted
  DWORD averagePpm;
  DWORD jobs;
  bool connection;  // a queue of a print server
  bool connected;   // ... to which this user has a connection
  bool hasDevMode;
  DWORD openError;
  bool pendingDeletion;  // DeletePrinter was called; it goes with its last job and handle
  int openHandles;
  std::vector<PrinterDataEntry> data;
};

// Adds a printer directly (no checks; a printer of the same name is replaced).
void PutPrinter(const PrinterSetup& printer);
void RemovePrinter(const std::u16string& name);
void RemoveAllPrinters();
// Every printer of this machine, also those waiting for deletion, in
// enumeration order (local printers first, then connections).
std::vector<PrinterState> Printers();
bool HasPrinter(const std::u16string& name);  // of this machine, and not deleted
// Any printer, also a print server's queue without a connection here.
bool FindPrinter(const std::u16string& name, PrinterState* printer);
// Queued jobs: setting 0 ends a pending deletion.
void SetPrinterJobs(const std::u16string& name, DWORD jobs);
void PutPrinterData(const std::u16string& printer, const std::string& key, const std::string& value,
                    DWORD type, const std::vector<uint8_t>& bytes);
// A REG_SZ value with its terminator.
void PutPrinterString(const std::u16string& printer, const std::string& key,
                      const std::string& value, const std::string& text);
bool GetPrinterDataEntry(const std::u16string& printer, const std::string& key,
                         const std::string& value, PrinterDataEntry* entry);
// Printer handles not yet closed (also those a spooler stop made invalid).
size_t OpenPrinterHandles();

// The default printer's name, empty when there is none. Setting a name
// does not check that the printer exists.
std::u16string DefaultPrinterName();
void SetDefaultPrinterName(const std::u16string& name);

// ----------------------------------------------------------------- files --

// The files the spooler holds now.
std::vector<std::u16string> SpoolerHeldFiles();

}  // namespace winsim
