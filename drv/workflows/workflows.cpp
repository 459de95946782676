// The uninstall and reinstall sequences. Each step runs whatever the earlier
// steps reported; the components write their own log and error lines.
#include "workflows/workflows.h"
#include "cleanup/deferred_delete.h"
#include "cleanup/printer_queues.h"
#include "cleanup/queue_journal.h"
#include "cleanup/tray.h"
#include "components/port_monitor.h"
#include "components/printer_driver.h"
#include "job/log.h"
#include "job/text.h"
#include "spooler/catalogue.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

// Stops the tray companion. Within a reinstall the executable that this run
// registers again at its end is kept.
void StopTrayForJob(InstallJob* job) {
  if (!job->Reinstalling) {
    StopTray(&job->PendingDeleteList, nullptr);
    return;
  }
  CountedString keep = TrayPath(job);
  StopTray(&job->PendingDeleteList, Text(keep));
  Release(keep);
}

// Deletes now the files that Windows was told to delete at the next reboot,
// but for keep (null: none).
void PurgeWindowsPendingDeletes(LPCWSTR keep) {
  PendingRenameTable table = ReadPendingRenames();
  PurgePendingRenames(&table, keep);
  ReleasePendingRenames(&table);
}

// The files an install put in place or kept, at most one entry per file.
struct InstalledFiles {
  static const size_t kMost = 6;
  LPCWSTR paths[kMost];
  size_t count;

  void Add(LPCWSTR path) {
    if (path == nullptr || path[0] == 0 || count == kMost) return;
    for (size_t i = 0; i < count; ++i) {
      if (SameFilePath(paths[i], path)) return;
    }
    paths[count++] = path;
  }
};

// The files this install put in place or kept must outlive the next reboot:
// the monitor DLL in the system directory, the files of the installed driver
// as the spooler names them, and the tray program. Their delete-at-reboot
// entries go; where the value cannot be rewritten, an error line names each
// file it still deletes.
void KeepInstalledFilesAfterReboot(InstallJob* job) {
  if (!HasPendingDeletes()) return;
  InstalledFiles files = {{}, 0};
  CountedString monitor = Copy(job->SystemDir);
  Append(monitor, job->MonitorFile);
  if (Length(job->SystemDir) != 0 && Length(monitor) == Length(job->SystemDir) + TextLength(job->MonitorFile)) {
    files.Add(Text(monitor));
  }
  CountedString tray = TrayPath(job);
  files.Add(Text(tray));
  DriverList drivers = {};
  EnumerateDrivers(&drivers, job->Environment);
  int index = FindProductDriver(&drivers);
  if (index >= 0 && drivers.Level == 6) {
    const DRIVER_INFO_6W* driver = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.Records) + index;
    files.Add(driver->pDriverPath);
    files.Add(driver->pDataFile);
    files.Add(driver->pConfigFile);
    files.Add(driver->pHelpFile);
  }

  bool pending[InstalledFiles::kMost] = {};
  if (!CancelPendingDeletes(files.paths, files.count, pending)) {
    DWORD error = GetLastError();
    for (size_t i = 0; i < files.count; ++i) {
      if (!pending[i]) continue;
      SetLastError(error);
      ErrorLine(job, ErrorId::CantCancelRebootDeletion, files.paths[i]);
    }
  }
  ReleaseDriverList(&drivers);
  Release(tray);
  Release(monitor);
}

// Retries the listed deletions, and once more with the spooler stopped when
// files are still left.
void RetryPendingDeletesWithRestart(InstallJob* job) {
  if (job->PendingDeleteList == nullptr) return;
  RetryPendingDeletes(job);
  if (job->PendingDeleteList == nullptr) return;
  SpoolerRestart restart(job);
  RetryPendingDeletes(job);
}

// Files of the old installation that stay locked with the spooler stopped
// are dropped: they are neither deleted nor scheduled for reboot.
void DropOldPendingDeletes(InstallJob* job) {
  if (job->PendingDeleteList == nullptr) return;
  SpoolerRestart restart(job);
  RetryPendingDeletes(job);
  ReleasePendingDeletes(&job->PendingDeleteList);
}

}  // namespace

void UnInstall(InstallJob* job) {
  TraceScope trace(job, TEXT(">UnInstall"));
  StopTrayForJob(job);

  LogLine(job, TEXT("EnumMonitors"));
  // A list that cannot be read is no proof that nothing is installed: the
  // steps below still try, but the run cannot end as done.
  MonitorList monitors = {};
  if (!EnumerateMonitors(&monitors, job)) ErrorLine(job, ErrorId::CantReadMonitorList);
  LogLine(job, TEXT("%d Monitors found."), static_cast<int>(monitors.Count));

  LogLine(job, TEXT("EnumPrinterDrivers for %s"), job->Environment);
  DriverList drivers = {};
  if (!EnumerateDrivers(&drivers, job->Environment)) ErrorLine(job, ErrorId::CantReadDriverList);
  LogLine(job, TEXT("%d drivers found"), static_cast<int>(drivers.Count));

  DeleteAllPrinters(job);
  DeletePrinterDriver(job, &drivers);
  DeleteMonitor(job, &monitors);
  if (job->PendingDeleteList != nullptr) RetryPendingDeletes(job);

  ReleaseDriverList(&drivers);
  ReleaseMonitorList(&monitors);
}

void UnInstallAndClean(InstallJob* job) {
  UnInstall(job);
  PurgeWindowsPendingDeletes(nullptr);
  RetryPendingDeletesWithRestart(job);
  ClearJournal(job);
}

void ReInstall(InstallJob* job) {
  TraceScope trace(job, 2, TEXT(">ReInstall"));
  // Without the installer's directory (error line 18) there is nothing to
  // install from: the installed product, its queues and its tray companion
  // are left as they are, rather than removed for good.
  if (Length(job->SourceDir) == 0) return;
  job->Reinstalling = true;
  job->CheckMonitorVersion = true;

  // Queues that an earlier reinstall deleted and never created again.
  ReadJournal(job);
  UnInstall(job);
  DropOldPendingDeletes(job);
  // The tray program that this install registers again is kept.
  CountedString tray = TrayPath(job);
  PurgeWindowsPendingDeletes(Text(tray));
  Release(tray);

  if (job->InstallMonitor) AddMonitor(job);
  AddPrinterDriver(job);
  RecreatePrinters(job);
  StartTray(job);
  RetryPendingDeletesWithRestart(job);
  KeepInstalledFilesAfterReboot(job);
}

}  // namespace svd
