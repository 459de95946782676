// Removing and re-creating the printer queues of the product's driver.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// How a read of a queue's SubKey ended.
enum class SubKeyRead {
  Found,       // the text, possibly empty
  Missing,     // no SubKey (no value, or one that is not REG_SZ)
  Unreadable,  // a value may be there but could not be read; the last error says why
};

void DeleteAllPrinters(InstallJob* job);
// Remembers a local queue with its SubKey before it is deleted. Returns
// whether the queue may be deleted: a reinstall keeps a queue that it could
// not open, whose SubKey it could not read or whose entry it could not save,
// with one error line naming it.
bool RememberPrinter(InstallJob* job, PRINTER_INFO_2W* record);
void DeletePrinter(InstallJob* job, LPCWSTR name);
HANDLE AddPrinter(InstallJob* job, LPCWSTR name);
void RecreatePrinters(InstallJob* job);
// Writes the text as "SubKey" into the queue's plain printer data and under
// "DsUser": ERROR_SUCCESS when both are stored, else the first failure.
DWORD WriteSubKey(HANDLE printer, LPCSTR text);
// Reads the SubKey of any length, from the plain printer data, else from
// "DsUser". When found, *text is a new GMEM_FIXED block that the caller
// frees; otherwise it is null.
SubKeyRead ReadSubKey(HANDLE printer, LPSTR* text);
// Deletes the value "deleted" of the settings key at the path below the
// product's key: ERROR_SUCCESS when it is gone, or was not there (nor its
// key); otherwise the status of the failed open or deletion.
LSTATUS ClearDeletedValue(LPCSTR relativePath);
// A new entry with copies of the texts (comment and location may be null),
// or null when it cannot be allocated. One GMEM_FIXED block holds it all.
SavedPrinter* NewSavedPrinter(LPCWSTR name, LPCWSTR comment, LPCWSTR location, LPCSTR subkey,
                              bool wasDefault, bool connection);
// Frees every SavedPrinter entry and empties the list.
void ReleaseSavedPrinters(SavedPrinter** list);

}  // namespace svd
