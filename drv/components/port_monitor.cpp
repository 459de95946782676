// The port monitor "Solvendale:": registering it, removing it, and moving
// the queues that print to it onto "file:" and back while it is away.
#include "components/port_monitor.h"

#include <cstring>

#include "cleanup/deferred_delete.h"
#include "components/file_staging.h"
#include "job/handles.h"
#include "job/log.h"
#include "job/text.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

constexpr int kRegisterAttempts = 5;
constexpr DWORD kRegisterRetryDelay = 50;
// Installed monitor builds that a reinstall keeps.
constexpr int kOldestCompatibleMonitor = 2073;

// Position of the first exact occurrence of find in text, or null.
LPWSTR FindText(LPWSTR text, LPCWSTR find) {
  size_t findLength = TextLength(find);
  if (findLength == 0) return nullptr;
  for (LPWSTR at = text; *at != 0; ++at) {
    size_t i = 0;
    while (i < findLength && at[i] == find[i]) ++i;
    if (i == findLength) return at;
  }
  return nullptr;
}

// Whether the queue of the record was one of the driver's that this run
// deleted: it is not there (or waits for its last job to go), and it comes
// back on the monitor's port when the queues are created again.
bool DeletedQueueOfTheDriver(const PRINTER_INFO_2W* record, DWORD error) {
  return (error == ERROR_INVALID_PRINTER_NAME || error == ERROR_PRINTER_DELETED) &&
         record->pDriverName != nullptr && TextEquals(record->pDriverName, kDriverName);
}

// Hands a queue's record with its changed port list to the spooler. A queue
// that cannot be moved back to the monitor's port would stay on "file:": the
// log line is followed by error line 29.
void SetQueuePorts(InstallJob* job, PRINTER_INFO_2W* record, bool movingBack) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  PrinterHandle printer = OpenPrinterHandle(record->pPrinterName, &defaults);
  DWORD failure = 0;
  if (!printer) {
    failure = GetLastError();
    LogLine(job, TEXT("Can't open printer %s"), record->pPrinterName);
  } else if (SetPrinterW(printer.Get(), 2, reinterpret_cast<LPBYTE>(record), 0)) {
    LogLine(job, TEXT("SetPrinter(%s) - ok"), record->pPrinterName);
    return;
  } else {
    failure = GetLastError();
    LogLine(job, TEXT("SetPrinter(%s) - failed"), record->pPrinterName);
  }
  if (!movingBack || DeletedQueueOfTheDriver(record, failure)) return;
  SetLastError(failure);
  ErrorLine(job, ErrorId::CantRestoreQueuePort, record->pPrinterName);
}

BOOL RegisterMonitor(InstallJob* job) {
  MONITOR_INFO_2W info = {};
  info.pName = const_cast<LPWSTR>(kPortMonitorName);
  info.pEnvironment = const_cast<LPWSTR>(job->Environment);
  info.pDLLName = const_cast<LPWSTR>(job->MonitorFile);
  return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
}

// Copies the monitor DLL into the system directory; when the file cannot be
// replaced (the spooler holds it), once more with the spooler stopped.
void CopyMonitorFile(InstallJob* job) {
  LogLine(job, TEXT("Copy monitor file"));
  if (CopyFile(job, Text(job->SystemDir), job->MonitorFile, nullptr, false) == S_OK) return;
  SpoolerRestart restart(job);
  CopyFile(job, Text(job->SystemDir), job->MonitorFile, nullptr, true);
}

// Whether the monitor DLL that DeleteMonitor decided to keep is still in
// the system directory (the purge of Windows' pending deletions may have
// taken it).
bool KeptMonitorFileIsThere(InstallJob* job) {
  if (Length(job->SystemDir) == 0) return false;
  CountedString path = Copy(job->SystemDir);
  Append(path, job->MonitorFile);
  bool whole = Length(path) == Length(job->SystemDir) + TextLength(job->MonitorFile);
  DWORD attributes = whole ? GetFileAttributesW(Text(path)) : INVALID_FILE_ATTRIBUTES;
  Release(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Points the queues that DeleteMonitor moved to "file:" back at the monitor.
void RestoreRedirectedPrinters(InstallJob* job) {
  if (job->RedirectedPrinters == nullptr) return;
  for (PRINTER_INFO_2W** slot = job->RedirectedPrinters; *slot != nullptr; ++slot) {
    if (!ReplacePortName((*slot)->pPortName, kFilePortName, kPortMonitorName)) continue;
    SetQueuePorts(job, *slot, true);
  }
}

void ReleaseRedirectedPrinters(InstallJob* job) {
  if (job->RedirectedPrinters != nullptr) GlobalFree(job->RedirectedPrinters);
  job->RedirectedPrinters = nullptr;
}

// Moves every queue that prints to "Solvendale:" onto "file:" and records it
// in RedirectedPrinters, so that AddMonitor can move it back. A connection's
// ports are those of its print server's queue, which stays as it is.
void RedirectPrintersToFile(InstallJob* job) {
  ReleaseRedirectedPrinters(job);
  DWORD count = job->PrinterList.Count;
  if (count == 0 || job->PrinterList.Records == nullptr) return;
  job->RedirectedPrinters = static_cast<PRINTER_INFO_2W**>(
      GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, (static_cast<size_t>(count) + 1) * sizeof(PRINTER_INFO_2W*)));
  if (job->RedirectedPrinters == nullptr) return;
  size_t used = 0;
  for (DWORD i = 0; i < count; ++i) {
    PRINTER_INFO_2W* record = &job->PrinterList.Records[i];
    if (IsConnection(record)) continue;
    if (!ReplacePortName(record->pPortName, kPortMonitorName, kFilePortName)) continue;
    job->RedirectedPrinters[used++] = record;
    SetQueuePorts(job, record, false);
  }
}

// The registered DLL name is used only when it names a file in the system
// directory: a bare file name, without any "\", "/" or ":", and not one made
// of dots and blanks alone (which Windows would resolve to a directory).
bool IsBareFileName(LPCWSTR name) {
  if (name == nullptr || name[0] == 0) return false;
  bool meaningful = false;
  for (LPCWSTR at = name; *at != 0; ++at) {
    if (*at == TEXT('\\') || *at == TEXT('/') || *at == TEXT(':')) return false;
    if (*at != TEXT('.') && *at != TEXT(' ')) meaningful = true;
  }
  return meaningful;
}

// The DLL name of the found monitor's registration, when the list has one.
LPCWSTR RegisteredDllName(const MonitorList* monitors, int index) {
  if (monitors == nullptr || monitors->Records == nullptr || monitors->Level != 2) return nullptr;
  const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(monitors->Records);
  return records[index].pDLLName;
}

// Whether a monitor of the list other than the one at index (-1: none)
// loads the DLL, registered by its bare name or by its path.
bool UsedByAnotherMonitor(const MonitorList* monitors, int index, LPCWSTR fileName, LPCWSTR path) {
  if (monitors == nullptr || monitors->Records == nullptr || monitors->Level != 2) return false;
  const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(monitors->Records);
  for (DWORD i = 0; i < monitors->Count; ++i) {
    LPCWSTR dll = records[i].pDLLName;
    if (static_cast<int>(i) == index || dll == nullptr) continue;
    if (SameFilePath(dll, fileName) || SameFilePath(dll, path)) return true;
  }
  return false;
}

// Removes the monitor's registration: a first try, then the queues moved to
// "file:" and a second try, then a spooler restart and a third try.
// Returns 1 when removed, 0 when the monitor needs no removal (not found and
// not registered), -1 when every try failed (error line 12 written).
int RemoveMonitorRegistration(InstallJob* job, bool found) {
  if (SpoolDeleteMonitor(job->Environment)) return 1;
  if (!found) {
    LogLine(job, TEXT("Can't delete monitor and monitor was not found. So everything should be ok"));
    return 0;
  }
  {
    KeepLastError keep;
    LogLine(job, TEXT("Can't delete monitor from the first try"));
  }
  RedirectPrintersToFile(job);
  if (SpoolDeleteMonitor(job->Environment)) return 1;
  { SpoolerRestart restart(job); }
  if (SpoolDeleteMonitor(job->Environment)) return 1;
  ErrorLine(job, ErrorId::CantRemoveMonitor);
  return -1;
}

}  // namespace

bool ReplacePortName(LPWSTR portList, LPCWSTR find, LPCWSTR replacement) {
  if (portList == nullptr || find == nullptr) return false;
  LPWSTR at = FindText(portList, find);
  if (at == nullptr) return false;
  size_t findLength = TextLength(find);
  size_t replacementLength = TextLength(replacement);
  LPWSTR rest = at + findLength;
  size_t restUnits = TextLength(rest) + 1;  // with its terminator
  // Move the rest first (the ranges overlap), then write the new name.
  memmove(at + replacementLength, rest, restUnits * sizeof(WCHAR));
  for (size_t i = 0; i < replacementLength; ++i) at[i] = replacement[i];
  return true;
}

void AddMonitor(InstallJob* job) {
  TraceScope trace(job, TEXT(">AddMonitor"));
  // Without the system directory (error line 7) there is nowhere to copy to.
  if ((job->CopyMonitor || !KeptMonitorFileIsThere(job)) && Length(job->SystemDir) != 0) {
    CopyMonitorFile(job);
  } else {
    LogLine(job, TEXT("Skip copy monitor file"));
  }

  bool registered = false;
  for (int attempt = 1; attempt <= kRegisterAttempts && !registered; ++attempt) {
    if (attempt > 1) Sleep(kRegisterRetryDelay);
    registered = RegisterMonitor(job) != 0;
    if (!registered) {
      KeepLastError keep;
      LogLine(job, TEXT("AddMonitor - failed. Trying to wait and install again"));
    }
  }
  if (!registered) {
    ErrorLine(job, ErrorId::CantInstallMonitor);
    return;
  }
  LogLine(job, TEXT("AddMonitor - OK :)"));
  RestoreRedirectedPrinters(job);
}

void DeleteMonitor(InstallJob* job, const MonitorList* monitors) {
  TraceScope trace(job, TEXT(">DeleteMonitor"));
  if (monitors != nullptr && monitors->Count != 0) {
    LogMonitorList(job, monitors);
  } else {
    LogLine(job, TEXT("BTW, there is no port monitors on this system."));
  }

  int index = monitors != nullptr ? FindProductMonitor(monitors) : -1;
  bool found = index >= 0;
  if (found) {
    LogLine(job, TEXT("Port monitor is found. Index=%d"), index + 1);
  } else {
    LogLine(job, TEXT("No Solvendale port monitor was found."));
  }

  // The monitor file: a file in the system directory, named by the
  // registration or by the product. A name that is not a bare file name, or
  // a missing system directory, leaves no file to read or delete.
  CountedString path = Copy(job->SystemDir);
  LPCWSTR fileName = nullptr;
  if (found) {
    LogLine(job, TEXT("Trying to get monitor filename from MONITOR_INFO_2"));
    fileName = RegisteredDllName(monitors, index);
  } else {
    LogLine(job, TEXT("Computing monitor filename"));
    fileName = job->MonitorFile;
  }
  bool haveFile = Length(job->SystemDir) != 0 && IsBareFileName(fileName);
  bool pathLost = false;
  if (haveFile) {
    Append(path, fileName);
    // Without memory the copy or the append fails, leaving the bare name (a
    // file of the current directory) or the system directory itself: such a
    // path is neither read nor deleted.
    pathLost = Length(path) != Length(job->SystemDir) + TextLength(fileName);
    haveFile = !pathLost;
  }
  LogLine(job, TEXT("Auto calculated monitor file name: %s"), Text(path));

  if (job->CheckMonitorVersion) {
    int build = haveFile ? GetFileBuildNumber(Text(path)) : -1;
    bool compatible = build >= kOldestCompatibleMonitor && build <= BUILD_NUMBER;
    // A file that Windows deletes at the next reboot is never kept: the
    // monitor would break then.
    if (compatible && IsPendingDelete(Text(path))) {
      LogLine(job, TEXT("Version (%d) is compatible, but the file is to be deleted at reboot, proceed with reinstall"),
              build);
    } else if (compatible) {
      LogLine(job, TEXT("Version (%d) is compatible, proceed without uninstall"), build);
      if (found) {
        job->InstallMonitor = false;
      } else {
        job->CopyMonitor = false;
      }
      LogLine(job, TEXT("InstallMonitor == %d, CopyMonitor == %d"), job->InstallMonitor ? 1 : 0,
              job->CopyMonitor ? 1 : 0);
      Release(path);
      return;
    } else if (build == -1) {
      LogLine(job, TEXT("Version is unknown, proceed with reinstall"));
    } else {
      LogLine(job, TEXT("Version (%d) is not supported, proceed with reinstall"), build);
    }
  } else {
    LogLine(job, TEXT("There is no check for monitor version"));
  }

  if (RemoveMonitorRegistration(job, found) == 1) {
    // A DLL that another monitor loads as well is not the product's alone.
    if (haveFile && UsedByAnotherMonitor(monitors, index, fileName, Text(path))) {
      LogLine(job, TEXT("Monitor file %s is used by another port monitor, it stays"), Text(path));
    } else if (haveFile) {
      MakeWritable(Text(path));
      if (!DeleteFileW(Text(path)) && !AddPendingDelete(&job->PendingDeleteList, Text(path))) {
        pathLost = true;  // a held DLL that cannot be remembered for later
      }
    }
    // The registration is gone but its DLL stays where it is.
    if (pathLost) ErrorLine(job, ErrorId::CantRemoveMonitor);
    LogLine(job, TEXT("Monitor was removed :)"));
  }
  Release(path);
}

}  // namespace svd
