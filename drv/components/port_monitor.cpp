// Not built yet: every operation here fails loudly until it is written.
#include "components/port_monitor.h"
#include "job/not_built.h"

namespace svd {

bool ReplacePortName(LPWSTR portList, LPCWSTR find, LPCWSTR replacement) {
  NotBuiltYet("ReplacePortName");
}

void AddMonitor(InstallJob* job) {
  NotBuiltYet("AddMonitor");
}

void DeleteMonitor(InstallJob* job, const MonitorList* monitors) {
  NotBuiltYet("DeleteMonitor");
}

}  // namespace svd
