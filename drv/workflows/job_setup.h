// Building the install job for a run and releasing it afterwards.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// Starts the log, makes sure the spooler runs, resolves the directories and
// reads the printer list with the default printer marked: BeginInstallJob,
// then ResolveInstallJob.
void CreateInstallJob(InstallJob* job);
// Sets every field to its start value and writes the header line; touches
// nothing outside the job.
void BeginInstallJob(InstallJob* job);
// The rest of CreateInstallJob: the spooler, the directories, the printers.
void ResolveInstallJob(InstallJob* job);
// Releases everything the job owns.
void DestroyInstallJob(InstallJob* job);
// The component file names, the environment and the spooler's driver
// directory (error line 6 when it cannot be read).
void ResolveDriverDirectory(InstallJob* job);

}  // namespace svd
