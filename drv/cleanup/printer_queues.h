// Removing and re-creating the printer queues of the product's driver.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

void DeleteAllPrinters(InstallJob* job);
void RememberPrinter(InstallJob* job, PRINTER_INFO_2W* record);
void DeletePrinter(InstallJob* job, LPCWSTR name);
HANDLE AddPrinter(InstallJob* job, LPCWSTR name);
void RecreatePrinters(InstallJob* job);
bool WriteSubKey(HANDLE printer, LPCSTR text);
// buffer holds at least 64 bytes; it always ends up NUL-terminated.
void ReadSubKey(HANDLE printer, LPSTR buffer);
bool ClearDeletedValue(LPCSTR relativePath);
// Frees every SavedPrinter entry with its subkey text and empties the list.
void ReleaseSavedPrinters(SavedPrinter** list);

}  // namespace svd
