// The uninstall and reinstall sequences. Each step runs whatever the earlier
// steps reported; the components write their own log and error lines.
#include "workflows/workflows.h"
#include "cleanup/deferred_delete.h"
#include "cleanup/printer_queues.h"
#include "cleanup/tray.h"
#include "components/port_monitor.h"
#include "components/printer_driver.h"
#include "job/log.h"
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

// Deletes now the files that Windows was told to delete at the next reboot.
void PurgeWindowsPendingDeletes() {
  PendingRenameTable table = ReadPendingRenames();
  PurgePendingRenames(&table);
  ReleasePendingRenames(&table);
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
  PurgeWindowsPendingDeletes();
  RetryPendingDeletesWithRestart(job);
}

void ReInstall(InstallJob* job) {
  TraceScope trace(job, 2, TEXT(">ReInstall"));
  // Without the installer's directory (error line 18) there is nothing to
  // install from: the installed product, its queues and its tray companion
  // are left as they are, rather than removed for good.
  if (Length(job->SourceDir) == 0) return;
  job->Reinstalling = true;
  job->CheckMonitorVersion = true;

  UnInstall(job);
  DropOldPendingDeletes(job);
  PurgeWindowsPendingDeletes();

  if (job->InstallMonitor) AddMonitor(job);
  AddPrinterDriver(job);
  RecreatePrinters(job);
  StartTray(job);
  RetryPendingDeletesWithRestart(job);
}

}  // namespace svd
