// The uninstall and reinstall sequences.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

void UnInstall(InstallJob* job);
void UnInstallAndClean(InstallJob* job);
void ReInstall(InstallJob* job);

}  // namespace svd
