// The status probes: short commands that answer through the exit code alone.
#pragma once
#include "win.h"

namespace svd {

void MakeProductPrinterDefault();
bool CheckInstalledDriver();
bool CheckDefaultPrinter();
bool CheckPendingComponents();

}  // namespace svd
