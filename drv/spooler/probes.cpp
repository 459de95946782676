// Not built yet: every operation here fails loudly until it is written.
#include "spooler/probes.h"
#include "job/not_built.h"

namespace svd {

void MakeProductPrinterDefault() {
  NotBuiltYet("MakeProductPrinterDefault");
}

bool CheckInstalledDriver() {
  NotBuiltYet("CheckInstalledDriver");
}

bool CheckDefaultPrinter() {
  NotBuiltYet("CheckDefaultPrinter");
}

bool CheckPendingComponents() {
  NotBuiltYet("CheckPendingComponents");
}

}  // namespace svd
