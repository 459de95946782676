// The printer driver "Solvendale printer": staging its files, installing it
// for the job's environment, and removing it with its files.
#include "components/printer_driver.h"

#include "cleanup/deferred_delete.h"
#include "components/file_staging.h"
#include "job/log.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

// The maker's web address in the driver record (pszOEMUrl).
const WCHAR* const kManufacturerUrl = TEXT("https://www.quarlen.example/");

// Deletes a staged copy, or leaves it to a later retry when the file is held.
void DeleteStagedCopy(InstallJob* job, LPCWSTR path) {
  if (path[0] == 0) return;
  MakeWritable(path);
  if (!DeleteFileW(path)) AddPendingDelete(&job->PendingDeleteList, path);
}

// Deletes what a failed staging copy may have left at its path: nothing when
// the copy never created the file, an incomplete file when it failed part-way.
void DeleteFailedCopy(InstallJob* job, LPCWSTR path) {
  if (path[0] == 0) return;
  MakeWritable(path);
  if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    AddPendingDelete(&job->PendingDeleteList, path);
  }
}

// The driver name of record index of a list at the given level, or null.
LPCWSTR DriverNameAt(const DriverList* list, DWORD index) {
  const BYTE* records = list->Records;
  switch (list->Level) {
    case 1: return reinterpret_cast<const DRIVER_INFO_1W*>(records)[index].pName;
    case 2: return reinterpret_cast<const DRIVER_INFO_2W*>(records)[index].pName;
    case 3: return reinterpret_cast<const DRIVER_INFO_3W*>(records)[index].pName;
    case 4: return reinterpret_cast<const DRIVER_INFO_4W*>(records)[index].pName;
    case 5: return reinterpret_cast<const DRIVER_INFO_5W*>(records)[index].pName;
    case 6: return reinterpret_cast<const DRIVER_INFO_6W*>(records)[index].pName;
    default: return nullptr;
  }
}

void LogDriverList(InstallJob* job, const DriverList* list) {
  LogLine(job, TEXT("------------ %d existing drivers-----------"), static_cast<int>(list->Count));
  for (DWORD i = 0; i < list->Count; ++i) {
    LPCWSTR name = list->Records != nullptr ? DriverNameAt(list, i) : nullptr;
    LogLine(job, TEXT("%d. %s"), static_cast<int>(i + 1),
            name != nullptr && name[0] != 0 ? name : TEXT("***EMPTY***"));
  }
  LogLine(job, TEXT("-------------------------------------------"));
}

BOOL RequestDriverDeletion(InstallJob* job) {
  return DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(job->Environment),
                                const_cast<LPWSTR>(kDriverName), DPD_DELETE_ALL_FILES, 0);
}

}  // namespace

void AddPrinterDriver(InstallJob* job) {
  TraceScope trace(job, TEXT(">Add Printer Driver"));
  WCHAR driverPath[MAX_PATH] = {};
  WCHAR uiPath[MAX_PATH] = {};
  WCHAR helpPath[MAX_PATH] = {};
  // Without the driver directory (error line 6) nothing can be staged.
  if (Length(job->DriverDir) == 0) return;
  LPCWSTR driverDir = Text(job->DriverDir);
  if (CopyFile(job, driverDir, job->DriverFile, driverPath, true) != S_OK) return;
  if (CopyFile(job, driverDir, job->UiFile, uiPath, true) != S_OK) return;
  // Without its help file the driver is installed all the same.
  bool helpStaged = CopyFile(job, driverDir, job->HelpFile, helpPath, true) == S_OK;
  WCHAR noHelp[1] = {0};

  DRIVER_INFO_6W record = {};
  record.cVersion = 3;
  record.pName = const_cast<LPWSTR>(kDriverName);
  record.pEnvironment = const_cast<LPWSTR>(job->Environment);
  record.pDriverPath = driverPath;
  record.pDataFile = driverPath;
  record.pConfigFile = uiPath;
  record.pHelpFile = helpStaged ? helpPath : noHelp;
  record.pszMfgName = const_cast<LPWSTR>(kManufacturer);
  record.pszOEMUrl = const_cast<LPWSTR>(kManufacturerUrl);
  record.pszProvider = const_cast<LPWSTR>(kManufacturer);

  if (SpoolAddPrinterDriver(&record)) {
    LogLine(job, TEXT("OK :)"));
  } else {
    ErrorLine(job, ErrorId::CantInstallDriver);
  }

  // The spooler keeps its own copies; the staged ones go in any case.
  DeleteStagedCopy(job, driverPath);
  DeleteStagedCopy(job, uiPath);
  if (helpStaged) {
    DeleteStagedCopy(job, helpPath);
  } else {
    DeleteFailedCopy(job, helpPath);
  }
}

void DeletePrinterDriver(InstallJob* job, const DriverList* drivers) {
  TraceScope trace(job, TEXT(">DeletePrinterDriver for %s"), job->Environment);
  if (drivers != nullptr && drivers->Count != 0) {
    LogDriverList(job, drivers);
  } else {
    LogLine(job, TEXT("BTW, there is no printer drivers on this system."));
  }

  int index = drivers != nullptr ? FindProductDriver(drivers) : -1;
  if (index < 0) {
    LogLine(job, TEXT("No Solvendale driver was found"));
    return;
  }
  LogLine(job, TEXT("Driver is found. Index=%d"), index + 1);

  if (!RequestDriverDeletion(job)) {
    LogLine(job, TEXT("Can't delete driver. Trying to restart spooler"));
    { SpoolerRestart restart(job); }
    if (!RequestDriverDeletion(job)) {
      ErrorLine(job, ErrorId::CantRemoveDriver);
      return;
    }
  }
  LogLine(job, TEXT("OK :)"));
}

}  // namespace svd
