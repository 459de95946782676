// Not built yet: every operation here fails loudly until it is written.
#include "components/printer_driver.h"
#include "job/not_built.h"

namespace svd {

void AddPrinterDriver(InstallJob* job) {
  NotBuiltYet("AddPrinterDriver");
}

void DeletePrinterDriver(InstallJob* job, const DriverList* drivers) {
  NotBuiltYet("DeletePrinterDriver");
}

}  // namespace svd
