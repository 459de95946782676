// Not built yet: every operation here fails loudly until it is written.
#include "job/install_job.h"
#include "job/not_built.h"

namespace svd {

void CreateInstallJob(InstallJob* job) {
  NotBuiltYet("CreateInstallJob");
}

void DestroyInstallJob(InstallJob* job) {
  NotBuiltYet("DestroyInstallJob");
}

void ResolveDriverDirectory(InstallJob* job) {
  NotBuiltYet("ResolveDriverDirectory");
}

void LogLine(InstallJob* job, LPCWSTR format, ...) {
  NotBuiltYet("LogLine");
}

void ErrorLine(InstallJob* job, int number, LPCWSTR format, ...) {
  NotBuiltYet("ErrorLine");
}

void AppendLogText(InstallJob* job, LPCWSTR text) {
  NotBuiltYet("AppendLogText");
}

LPWSTR SystemMessage(DWORD code) {
  NotBuiltYet("SystemMessage");
}

TraceScope::TraceScope(InstallJob* job, LPCWSTR format, ...) : job_(job) {
  NotBuiltYet("TraceScope");
}

TraceScope::~TraceScope() {}

}  // namespace svd
