// Building the install job for a run and releasing it afterwards.
#include "workflows/job_setup.h"

#include "cleanup/deferred_delete.h"
#include "cleanup/printer_queues.h"
#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"
#include "spooler/catalogue.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

// Assigns a directory path to target so that it ends with one backslash
// (an empty path leaves the target null). One Resize, one copy.
void AssignDirectory(CountedString& target, LPCWSTR path) {
  size_t length = TextLength(path);
  if (length == 0) {
    Release(target);
    return;
  }
  bool needsSeparator = path[length - 1] != '\\';
  if (!Resize(target, length + (needsSeparator ? 1 : 0))) return;
  WCHAR* text = const_cast<WCHAR*>(Text(target));
  for (size_t i = 0; i < length; ++i) text[i] = path[i];
  if (needsSeparator) text[length] = '\\';
}

// The installer's own directory. A path that cannot be read, or that was cut
// to fit the buffer, would name another folder: the directory then stays
// unknown (error line 18) and nothing is installed from it.
void ResolveSourceDirectory(InstallJob* job) {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(InstanceHandle, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    // A cut path fills the buffer; Windows XP sets no error code for it.
    if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    Release(job->SourceDir);
    ErrorLine(job, ErrorId::CantRetrieveInstallerDirectory);
    return;
  }
  path[length] = 0;
  size_t end = 0;  // just after the last separator
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') end = i + 1;
  }
  path[end] = 0;
  Assign(job->SourceDir, path);
  // Without memory for the copy the directory is as unknown as above.
  if (Length(job->SourceDir) == 0) ErrorLine(job, ErrorId::CantRetrieveInstallerDirectory);
}

void ResolveSystemDirectory(InstallJob* job) {
  // One unit more than the system is told, for the trailing backslash.
  WCHAR path[MAX_PATH + 1];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    // 0 is a failure; a larger value is the size the path would need, and
    // the buffer then holds nothing usable.
    ErrorLine(job, ErrorId::CantRetrieveSystemDirectory);
    return;
  }
  path[length] = 0;
  AssignDirectory(job->SystemDir, path);
  // Without memory for the copy the directory is as unknown as above.
  if (Length(job->SystemDir) == 0) ErrorLine(job, ErrorId::CantRetrieveSystemDirectory);
}

}  // namespace

void CreateInstallJob(InstallJob* job) {
  BeginInstallJob(job);
  ResolveInstallJob(job);
}

void BeginInstallJob(InstallJob* job) {
  job->SourceDir = nullptr;
  job->SystemDir = nullptr;
  job->OperationLog = nullptr;
  job->DriverDir = nullptr;
  job->Environment = nullptr;
  job->MonitorFile = nullptr;
  job->DriverFile = nullptr;
  job->HelpFile = nullptr;
  job->UiFile = nullptr;
  job->ErrorCount = 0;
  job->RefusedDeletes = 0;
  job->LogDepth = 0;
  job->PendingDeleteList = nullptr;
  job->SavedPrinterList = nullptr;
  job->PrinterList.Records = nullptr;
  job->PrinterList.Count = 0;
  job->RedirectedPrinters = nullptr;
  job->Reinstalling = false;
  job->KeptQueues = 0;
  job->NextJournalEntry = 1;
  job->DefaultPrinterUnread = false;
  job->DefaultPrinterError = ERROR_SUCCESS;

  LogLine(job, TEXT("Solvendale %d"), BUILD_NUMBER);
  job->CheckMonitorVersion = false;
  job->InstallMonitor = true;
  job->CopyMonitor = true;
}

void ResolveInstallJob(InstallJob* job) {
  CheckSpooler(job);
  ResolveDriverDirectory(job);
  job->RedirectedPrinters = nullptr;
  ResolveSourceDirectory(job);
  ResolveSystemDirectory(job);
  MarkDefaultPrinter(job);
}

void DestroyInstallJob(InstallJob* job) {
  if (job->RedirectedPrinters != nullptr) {
    GlobalFree(job->RedirectedPrinters);
    job->RedirectedPrinters = nullptr;
  }
  ReleasePrinterList(&job->PrinterList);
  if (job->SavedPrinterList != nullptr) ReleaseSavedPrinters(&job->SavedPrinterList);
  if (job->PendingDeleteList != nullptr) ReleasePendingDeletes(&job->PendingDeleteList);
  Release(job->DriverDir);
  Release(job->OperationLog);
  Release(job->SystemDir);
  Release(job->SourceDir);
}

void ResolveDriverDirectory(InstallJob* job) {
  job->MonitorFile = kMonitorFileName;
  job->DriverFile = kDriverFileName;
  job->UiFile = kUiFileName;
  job->Environment = kEnvironment;

  LPWSTR environment = const_cast<LPWSTR>(job->Environment);
  DWORD needed = 0;
  bool resolved = false;
  if (!GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // Two bytes more than asked for: room for one more UTF-16 unit, so the
    // zero-filled block is always terminated.
    SIZE_T bytes = static_cast<SIZE_T>(needed) + 2;
    BYTE* buffer = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes));
    if (buffer == nullptr) {
      SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } else {
      for (SIZE_T i = 0; i < bytes; ++i) buffer[i] = 0;
      if (GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer, needed, &needed)) {
        AssignDirectory(job->DriverDir, reinterpret_cast<LPCWSTR>(buffer));
        // Without memory for the copy the directory stays unknown.
        resolved = Length(job->DriverDir) != 0;
      }
      // Keep the spooler's last-error code for the error line below.
      KeepLastError keep;
      GlobalFree(buffer);
    }
  }
  if (!resolved) ErrorLine(job, ErrorId::CantRetrieveDriverDirectory);
  job->HelpFile = kHelpFileName;
}

}  // namespace svd
