// Not built yet: every operation here fails loudly until it is written.
#include "cleanup/tray.h"
#include "job/not_built.h"

namespace svd {

void StopTray(LPCWSTR keepFile) {
  NotBuiltYet("StopTray");
}

void StartTray(InstallJob* job) {
  NotBuiltYet("StartTray");
}

CountedString TrayPath(InstallJob* job) {
  NotBuiltYet("TrayPath");
}

}  // namespace svd
