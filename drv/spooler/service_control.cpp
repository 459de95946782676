// Control of the print spooler service through the service control manager.
//
// Every wait is a poll: at most kMaxPolls sleeps of kPollMilliseconds each,
// so that one wait lasts about ten seconds at most.
#include "spooler/service_control.h"

#include "job/handles.h"
#include "job/log.h"

namespace svd {

namespace {

const WCHAR* const kSpoolerServiceName = TEXT("spooler");
const WCHAR* const kCheckSpoolerBanner = TEXT(">Check Spooler");
const WCHAR* const kRestartSpoolerBanner = TEXT(">Restart Spooler");

// STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT
const DWORD kManagerAccess = 0xF0001;
// SERVICE_QUERY_STATUS | SERVICE_START
const DWORD kCheckAccess = 0x14;
// SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP
const DWORD kRestartAccess = 0x34;

const int kMaxPolls = 50;
const DWORD kPollMilliseconds = 200;

SC_HANDLE OpenServiceManager() {
  return OpenSCManagerW(nullptr, nullptr, kManagerAccess);
}

// Polls until the service reports SERVICE_STOPPED; a failed query leaves
// the record as it was. True when it stopped within the polls.
bool WaitForStop(SC_HANDLE service, SERVICE_STATUS* status) {
  QueryServiceStatus(service, status);
  for (int poll = 0; poll < kMaxPolls; ++poll) {
    if (status->dwCurrentState == SERVICE_STOPPED) {
      return true;
    }
    Sleep(kPollMilliseconds);
    QueryServiceStatus(service, status);
  }
  return status->dwCurrentState == SERVICE_STOPPED;
}

// Asks the service control manager to start the spooler. A spooler that
// already runs, or still stops, makes the start fail harmlessly; true only
// when the start was refused for good: the service is disabled, or its
// process did not report in time. The refusal's code stays the last error.
bool StartRefused(SC_HANDLE service) {
  if (StartServiceW(service, 0, nullptr)) {
    return false;
  }
  DWORD code = GetLastError();
  return code == ERROR_SERVICE_DISABLED || code == ERROR_SERVICE_REQUEST_TIMEOUT;
}

}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // Only the polling below decides, unless the start was refused for good:
  // polling a spooler that cannot start would only take time (each refused
  // start of a hanging service takes the service control manager's wait).
  if (StartRefused(service)) {
    return false;
  }

  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  for (int poll = 0; poll < kMaxPolls; ++poll) {
    if (status.dwCurrentState == SERVICE_RUNNING) {
      return true;
    }
    // A spooler that was still stopping refused the start
    // (ERROR_SERVICE_ALREADY_RUNNING); once it has stopped it is started again.
    if (status.dwCurrentState == SERVICE_STOPPED && StartRefused(service)) {
      return false;
    }
    Sleep(kPollMilliseconds);
    QueryServiceStatus(service, &status);
  }
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool CheckSpooler(InstallJob* job) {
  TraceScope trace(job, kCheckSpoolerBanner);

  ServiceHandle manager(OpenServiceManager());
  if (!manager) {
    ErrorLine(job, ErrorId::CantOpenServiceManager);
    return false;
  }
  // Declared after the manager, so released before it.
  ServiceHandle service(OpenServiceW(manager.Get(), kSpoolerServiceName, kCheckAccess));
  if (!service) {
    ErrorLine(job, ErrorId::CantOpenSpooler);
    return false;
  }

  SERVICE_STATUS status = {};
  // A failed query starts nothing: the spooler is then taken as usable.
  if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_RUNNING &&
      !StartSpoolerAndWait(service.Get())) {
    ErrorLine(job, ErrorId::CantStartSpooler);
    return false;
  }
  return true;
}

void RestartSpooler(SpoolerRestart* scope, InstallJob* job) {
  // The banner leaves LogDepth as it is: the scope's error lines stand at
  // the depth of the banner.
  if (job != nullptr) {
    LogLine(job, kRestartSpoolerBanner);
  }
  scope->Job = job;
  scope->Manager = nullptr;
  scope->Service = nullptr;
  scope->StopRequested = false;

  scope->Manager = OpenServiceManager();
  if (scope->Manager == nullptr) {
    if (job != nullptr) {
      ErrorLine(job, ErrorId::CantOpenServiceManager);
    }
    return;
  }

  scope->Service = OpenServiceW(scope->Manager, kSpoolerServiceName, kRestartAccess);
  if (scope->Service == nullptr) {
    if (job != nullptr) {
      ErrorLine(job, ErrorId::CantOpenSpooler);
    }
    return;
  }

  SERVICE_STATUS status = {};
  if (!ControlService(scope->Service, SERVICE_CONTROL_STOP, &status)) {
    DWORD code = GetLastError();
    // A spooler that was not running is no error.
    if (code != ERROR_SERVICE_NOT_ACTIVE && job != nullptr) {
      ErrorLine(job, ErrorId::ControlServiceFailed, static_cast<int>(code), static_cast<unsigned int>(code));
    }
  }
  // The end of the scope starts the spooler whatever the stop control did.
  scope->StopRequested = true;

  if (!WaitForStop(scope->Service, &status) && job != nullptr) {
    ErrorLine(job, ErrorId::CantStopSpooler);
  }
}

void ResumeSpooler(SpoolerRestart* scope) {
  if (scope->Service != nullptr) {
    if (scope->StopRequested && !StartSpoolerAndWait(scope->Service) &&
        scope->Job != nullptr) {
      ErrorLine(scope->Job, ErrorId::CantStartSpooler);
    }
    CloseServiceHandle(scope->Service);
    scope->Service = nullptr;
  }
  if (scope->Manager != nullptr) {
    CloseServiceHandle(scope->Manager);
    scope->Manager = nullptr;
  }
  // Ended: a second call finds nothing to do.
  scope->StopRequested = false;
}

SpoolerRestart::SpoolerRestart(InstallJob* job)
    : Job(nullptr), Manager(nullptr), Service(nullptr), StopRequested(false) {
  RestartSpooler(this, job);
}

SpoolerRestart::~SpoolerRestart() {
  ResumeSpooler(this);
}

}  // namespace svd
