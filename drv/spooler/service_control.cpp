// Not built yet: every operation here fails loudly until it is written.
#include "spooler/service_control.h"
#include "job/not_built.h"

namespace svd {

bool StartSpoolerAndWait(SC_HANDLE service) {
  NotBuiltYet("StartSpoolerAndWait");
}

bool CheckSpooler(InstallJob* job) {
  NotBuiltYet("CheckSpooler");
}

void RestartSpooler(SpoolerRestart* scope, InstallJob* job) {
  NotBuiltYet("RestartSpooler");
}

void ResumeSpooler(SpoolerRestart* scope) {
  NotBuiltYet("ResumeSpooler");
}

SpoolerRestart::SpoolerRestart(InstallJob* job) {
  NotBuiltYet("SpoolerRestart");
}

SpoolerRestart::~SpoolerRestart() {}

}  // namespace svd
