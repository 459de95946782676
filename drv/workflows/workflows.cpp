// Not built yet: every operation here fails loudly until it is written.
#include "workflows/workflows.h"
#include "job/not_built.h"

namespace svd {

void UnInstall(InstallJob* job) {
  NotBuiltYet("UnInstall");
}

void UnInstallAndClean(InstallJob* job) {
  NotBuiltYet("UnInstallAndClean");
}

void ReInstall(InstallJob* job) {
  NotBuiltYet("ReInstall");
}

}  // namespace svd
