// The printer driver "Solvendale printer".
#pragma once
#include "win.h"
#include "job/install_job.h"
#include "spooler/catalogue.h"

namespace svd {

void AddPrinterDriver(InstallJob* job);
void DeletePrinterDriver(InstallJob* job, const DriverList* drivers);

}  // namespace svd
