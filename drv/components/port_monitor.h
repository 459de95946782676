// The port monitor "Solvendale:".
#pragma once
#include "win.h"
#include "job/install_job.h"
#include "spooler/catalogue.h"

namespace svd {

// Replaces the first exact occurrence of find in portList with replacement,
// in place ("Solvendale:" <-> "file:"). False when find does not occur.
bool ReplacePortName(LPWSTR portList, LPCWSTR find, LPCWSTR replacement);
void AddMonitor(InstallJob* job);
void DeleteMonitor(InstallJob* job, const MonitorList* monitors);

}  // namespace svd
