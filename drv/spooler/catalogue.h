// Reads of the spooler's catalogue (monitors, drivers, printers) and thin
// wrappers around the calls that change it.
#pragma once
#include "win.h"
#include "job/handles.h"
#include "job/install_job.h"

namespace svd {

// Record blocks come from GlobalAlloc(GMEM_FIXED), zero-filled; the holder
// of a MonitorList or DriverList frees them with ReleaseMonitorList or
// ReleaseDriverList.
struct MonitorList {
  BYTE* Records;
  DWORD Level;  // 1: MONITOR_INFO_1W, 2: MONITOR_INFO_2W
  DWORD Count;
};

struct DriverList {
  BYTE* Records;
  DWORD Level;  // 1 to 6: DRIVER_INFO_1W to DRIVER_INFO_6W
  DWORD Count;
};

struct PrinterInfoBlock {
  PRINTER_INFO_2W* Record;
  DWORD Size;
};

// The enumerations return false when the list could not be read (the list
// is then empty and the last error is the failed call's code); an empty
// list that was read is true.
bool EnumerateMonitors(MonitorList* list, InstallJob* job);
int FindProductMonitor(const MonitorList* list);
void LogMonitorList(InstallJob* job, const MonitorList* list);
void ReleaseMonitorList(MonitorList* list);
bool EnumerateDrivers(DriverList* list, LPCWSTR environment);
int FindProductDriver(const DriverList* list);
void ReleaseDriverList(DriverList* list);
void LoadPrinterList(PrinterList* list);
void ReleasePrinterList(PrinterList* list);
void MarkDefaultPrinter(InstallJob* job);
void FetchPrinterInfo(PrinterInfoBlock* block, HANDLE printer);
// A new GMEM_FIXED block with one DRIVER_INFO_2W record, or null.
DRIVER_INFO_2W* FetchDriverInfo(HANDLE printer);

// Whether a printer record is a connection to a queue of a print server
// (PRINTER_ATTRIBUTE_NETWORK without PRINTER_ATTRIBUTE_LOCAL, or a name of
// the form \\server\queue), whose record, data and jobs are the server's.
bool IsConnection(const PRINTER_INFO_2W* record);

// The named queue's handle, or an empty owner when OpenPrinterW fails.
PrinterHandle OpenPrinterHandle(LPCWSTR name, PRINTER_DEFAULTSW* defaults);
HANDLE SpoolAddPrinter(PRINTER_INFO_2W* record);
BOOL SpoolDeletePrinter(HANDLE printer);
BOOL SpoolAddPrinterDriver(DRIVER_INFO_6W* record);
BOOL SpoolDeleteMonitor(LPCWSTR environment);

}  // namespace svd
