// The tray companion "soltray.exe".
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// Asks a running companion to exit, deletes the executable that the Run
// value names (unless it is keepFile, compared as Windows compares paths)
// and removes the Run value. keepFile may be null.
void StopTray(LPCWSTR keepFile);
void StartTray(InstallJob* job);
// The companion's path for the job: the parent of SourceDir + "soltray.exe";
// null when memory for it runs out.
CountedString TrayPath(InstallJob* job);

}  // namespace svd
