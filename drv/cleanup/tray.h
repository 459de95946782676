// The tray companion "soltray.exe".
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// Asks a running companion to exit, deletes the executable that the Run
// value names (unless it is keepFile, compared as Windows compares paths)
// and removes the Run value. keepFile may be null. An executable that stays
// in use (a companion of another session, or one that does not answer) is
// added to leftovers, when given, for deletion at reboot.
void StopTray(PendingDelete** leftovers, LPCWSTR keepFile);
// Registers the companion under the Run key and starts it. A missing
// executable is a log line, and nothing is registered; on a window station
// that is not interactive it is registered but not started: it starts at
// the next logon.
void StartTray(InstallJob* job);
// The companion's path for the job: the parent of SourceDir + "soltray.exe";
// null when memory for it runs out.
CountedString TrayPath(InstallJob* job);

}  // namespace svd
