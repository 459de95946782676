// Not built yet: every operation here fails loudly until it is written.
#include "spooler/catalogue.h"
#include "job/not_built.h"

namespace svd {

void EnumerateMonitors(MonitorList* list, InstallJob* job) {
  NotBuiltYet("EnumerateMonitors");
}

int FindProductMonitor(const MonitorList* list) {
  NotBuiltYet("FindProductMonitor");
}

void LogMonitorList(InstallJob* job, const MonitorList* list) {
  NotBuiltYet("LogMonitorList");
}

void EnumerateDrivers(DriverList* list, LPCWSTR environment) {
  NotBuiltYet("EnumerateDrivers");
}

int FindProductDriver(const DriverList* list) {
  NotBuiltYet("FindProductDriver");
}

void LoadPrinterList(PrinterList* list) {
  NotBuiltYet("LoadPrinterList");
}

void ReleasePrinterList(PrinterList* list) {
  NotBuiltYet("ReleasePrinterList");
}

void MarkDefaultPrinter(InstallJob* job) {
  NotBuiltYet("MarkDefaultPrinter");
}

void FetchPrinterInfo(PrinterInfoBlock* block, HANDLE printer) {
  NotBuiltYet("FetchPrinterInfo");
}

DRIVER_INFO_2W* FetchDriverInfo(HANDLE printer) {
  NotBuiltYet("FetchDriverInfo");
}

BOOL SpoolClosePrinter(HANDLE printer) {
  NotBuiltYet("SpoolClosePrinter");
}

HANDLE SpoolAddPrinter(PRINTER_INFO_2W* record) {
  NotBuiltYet("SpoolAddPrinter");
}

BOOL SpoolDeletePrinter(HANDLE printer) {
  NotBuiltYet("SpoolDeletePrinter");
}

BOOL SpoolAddPrinterDriver(DRIVER_INFO_6W* record) {
  NotBuiltYet("SpoolAddPrinterDriver");
}

BOOL SpoolDeleteMonitor(LPCWSTR environment) {
  NotBuiltYet("SpoolDeleteMonitor");
}

}  // namespace svd
