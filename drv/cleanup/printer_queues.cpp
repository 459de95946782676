// Not built yet: every operation here fails loudly until it is written.
#include "cleanup/printer_queues.h"
#include "job/not_built.h"

namespace svd {

void DeleteAllPrinters(InstallJob* job) {
  NotBuiltYet("DeleteAllPrinters");
}

void RememberPrinter(InstallJob* job, PRINTER_INFO_2W* record) {
  NotBuiltYet("RememberPrinter");
}

void DeletePrinter(InstallJob* job, LPCWSTR name) {
  NotBuiltYet("DeletePrinter");
}

HANDLE AddPrinter(InstallJob* job, LPCWSTR name) {
  NotBuiltYet("AddPrinter");
}

void RecreatePrinters(InstallJob* job) {
  NotBuiltYet("RecreatePrinters");
}

bool WriteSubKey(HANDLE printer, LPCSTR text) {
  NotBuiltYet("WriteSubKey");
}

void ReadSubKey(HANDLE printer, LPSTR buffer) {
  NotBuiltYet("ReadSubKey");
}

bool ClearDeletedValue(LPCSTR relativePath) {
  NotBuiltYet("ClearDeletedValue");
}

void ReleaseSavedPrinters(SavedPrinter** list) {
  NotBuiltYet("ReleaseSavedPrinters");
}

}  // namespace svd
