// Not built yet: every operation here fails loudly until it is written.
#include "install/entry.h"
#include "job/not_built.h"

namespace svd {

HINSTANCE InstanceHandle;

int InstallerMain(HINSTANCE instance) {
  NotBuiltYet("InstallerMain");
}

void CloseHelpWindows() {
  NotBuiltYet("CloseHelpWindows");
}

JobOutcome RunJob(HWND parent, Workflow workflow) {
  NotBuiltYet("RunJob");
}

}  // namespace svd
