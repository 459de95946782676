// The service control manager of the simulated machine (advapi32) with its
// one service, the print spooler ("Spooler"). The spooler's start and stop
// take configurable virtual time: in between it reports START_PENDING or
// STOP_PENDING, and only a RUNNING spooler answers spooler calls.
#include <windows.h>
#include <winsvc.h>

#include <map>

#include "core.h"
#include "saved_record.h"
#include "spooler_model.h"
#include "winsim/spooler_control.h"

namespace winsim {

namespace {

const DWORD kMaximumAllowed = 0x02000000;
const DWORD kRpcNullRefPointer = 1780;          // RPC_X_NULL_REF_POINTER

const char16_t kServiceName[] = u"Spooler";

struct ScHandle {
  bool manager = false;
  ACCESS_MASK access = 0;
};

struct ServiceState {
  DWORD state = SERVICE_RUNNING;
  ServiceBehaviour behaviour;
  uint64_t pendingSince = 0;
  clock::EventId pendingEvent = 0;
  int starts = 0;
  int stops = 0;
  std::map<uintptr_t, ScHandle> handles;
  uintptr_t nextHandle = 0x7D000000;
};

ServiceState& Service() {
  static ServiceState state;
  return state;
}

// -------------------------------------------------------- state changes --

void CancelPending() {
  ServiceState& s = Service();
  if (s.pendingEvent != 0) clock::Cancel(s.pendingEvent);
  s.pendingEvent = 0;
}

void BecomeRunning() {
  ServiceState& s = Service();
  CancelPending();
  s.state = SERVICE_RUNNING;
  ++s.starts;
  spooler::ProcessStarted();
}

void BecomeStopped() {
  ServiceState& s = Service();
  CancelPending();
  s.state = SERVICE_STOPPED;
  ++s.stops;
  spooler::ProcessStopped();
}

void BeginStart() {
  ServiceState& s = Service();
  uint64_t delay = s.behaviour.startDelayMs;
  if (delay == 0) {
    BecomeRunning();
    return;
  }
  s.state = SERVICE_START_PENDING;
  s.pendingSince = clock::Now();
  if (delay != kNeverMs)
    s.pendingEvent = clock::After(delay, &BecomeRunning, "spooler service started");
}

void BeginStop() {
  ServiceState& s = Service();
  uint64_t delay = s.behaviour.stopDelayMs;
  if (delay == 0) {
    BecomeStopped();
    return;
  }
  s.state = SERVICE_STOP_PENDING;
  s.pendingSince = clock::Now();
  // A stopping spooler takes no more calls, but keeps its files until it
  // has stopped.
  if (delay != kNeverMs)
    s.pendingEvent = clock::After(delay, &BecomeStopped, "spooler service stopped");
}

void FillStatus(LPSERVICE_STATUS status) {
  const ServiceState& s = Service();
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = s.state;
  status->dwControlsAccepted =
      s.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status->dwWin32ExitCode = NO_ERROR;
  status->dwServiceSpecificExitCode = 0;
  bool pending = s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING;
  status->dwCheckPoint =
      pending ? static_cast<DWORD>(1 + (clock::Now() - s.pendingSince) / 100) : 0;
  uint64_t delay =
      s.state == SERVICE_START_PENDING ? s.behaviour.startDelayMs : s.behaviour.stopDelayMs;
  status->dwWaitHint = pending ? (delay == kNeverMs ? 2000 : static_cast<DWORD>(delay)) : 0;
}

// -------------------------------------------------------------- handles --

SC_HANDLE NewScHandle(bool manager, ACCESS_MASK access) {
  ServiceState& s = Service();
  uintptr_t value = s.nextHandle;
  s.nextHandle += 4;
  s.handles[value] = ScHandle{manager, access};
  return reinterpret_cast<SC_HANDLE>(value);
}

ScHandle* LookupScHandle(SC_HANDLE handle) {
  ServiceState& s = Service();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == s.handles.end() ? nullptr : &it->second;
}

// The service handle, or null with ERROR_INVALID_HANDLE set.
ScHandle* ServiceHandle(SC_HANDLE handle) {
  ScHandle* h = LookupScHandle(handle);
  if (h == nullptr || h->manager) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return h;
}

bool Granted(const ScHandle& handle, ACCESS_MASK right) {
  if ((handle.access & right) == right) return true;
  SetError(ERROR_ACCESS_DENIED);
  return false;
}

// Generic rights as the service control manager maps them.
ACCESS_MASK MapManagerAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & 0x01FFFFFF;
  if (desired & GENERIC_READ)
    granted |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (desired & GENERIC_WRITE)
    granted |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (desired & GENERIC_EXECUTE)
    granted |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (desired & (GENERIC_ALL | kMaximumAllowed)) granted |= SC_MANAGER_ALL_ACCESS;
  // "The SC_MANAGER_CONNECT access right is implicitly specified by calling
  // this function." (OpenSCManagerW)
  return granted | SC_MANAGER_CONNECT;
}

ACCESS_MASK MapServiceAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & 0x01FFFFFF;
  if (desired & GENERIC_READ)
    granted |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
               SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
  if (desired & GENERIC_WRITE) granted |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
  if (desired & GENERIC_EXECUTE)
    granted |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
               SERVICE_USER_DEFINED_CONTROL;
  if (desired & (GENERIC_ALL | kMaximumAllowed)) granted |= SERVICE_ALL_ACCESS;
  return granted;
}

std::string StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return std::to_string(state);
  }
}

// ------------------------------------------------------- module hooks --

void ResetServices() {
  ServiceState& s = Service();
  s = ServiceState();  // the clock's reset dropped any pending event
  spooler::ProcessStarted();
}

// The service's state as saved: a pending state with the time it still
// needs (kNeverMs: it stays pending).
struct SavedService {
  DWORD state = SERVICE_RUNNING;
  uint64_t remainingMs = 0;
};

const SavedFields<SavedService>& StateFields() {
  static const SavedFields<SavedService> fields = {
      Field("state", &SavedService::state),
      Field("remainingMs", &SavedService::remainingMs),
  };
  return fields;
}

const SavedFields<ServiceBehaviour>& BehaviourFields() {
  static const SavedFields<ServiceBehaviour> fields = {
      Field("startDelayMs", &ServiceBehaviour::startDelayMs),
      Field("stopDelayMs", &ServiceBehaviour::stopDelayMs),
      Field("managerAccessDenied", &ServiceBehaviour::managerAccessDenied),
      Field("serviceAccessDenied", &ServiceBehaviour::serviceAccessDenied),
      Field("disabled", &ServiceBehaviour::disabled),
      Field("startHangs", &ServiceBehaviour::startHangs),
  };
  return fields;
}

// services.txt: the spooler service's state and behaviour.
void SaveServices(const std::string& dir) {
  const ServiceState& s = Service();
  SavedService saved{s.state, 0};
  if (s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING) {
    uint64_t delay =
        s.state == SERVICE_START_PENDING ? s.behaviour.startDelayMs : s.behaviour.stopDelayMs;
    uint64_t passed = clock::Now() - s.pendingSince;
    saved.remainingMs = delay == kNeverMs ? kNeverMs : (delay > passed ? delay - passed : 0);
  }
  WriteTextFile(dir + "/services.txt", SavedLine("service", saved, StateFields()) +
                                           SavedLine("behaviour", s.behaviour, BehaviourFields()));
}

void LoadServices(const std::string& dir) {
  const std::string file = dir + "/services.txt";
  ServiceState& s = Service();
  SavedService saved;
  bool found = ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] == "service")
      ReadSavedLine(line, StateFields(), &saved, file);
    else if (line[0] == "behaviour")
      ReadSavedLine(line, BehaviourFields(), &s.behaviour, file);
    else
      Fatal(file + ": unreadable line " + line[0]);
  });
  if (!found) return;
  DWORD state = saved.state;
  uint64_t remaining = saved.remainingMs;
  // The spooler's catalogue (module "spooler") loaded before this one.
  CancelPending();
  s.state = state;
  s.pendingSince = clock::Now();
  if (state == SERVICE_START_PENDING && remaining != kNeverMs)
    s.pendingEvent = clock::After(remaining, &BecomeRunning, "spooler service started");
  if (state == SERVICE_STOP_PENDING && remaining != kNeverMs)
    s.pendingEvent = clock::After(remaining, &BecomeStopped, "spooler service stopped");
  if (spooler::ProcessAlive())
    spooler::ProcessStarted();
  else
    spooler::ProcessStopped();
}

ModuleRegistrar servicesRegistrar{"services", 40, &ResetServices, &SaveServices, &LoadServices};

}  // namespace

namespace spooler {
bool ServiceRunning() { return Service().state == SERVICE_RUNNING; }
bool ProcessAlive() {
  return Service().state == SERVICE_RUNNING || Service().state == SERVICE_STOP_PENDING;
}
}  // namespace spooler

// ------------------------------------------------------------ control --

DWORD SpoolerServiceState() { return Service().state; }

void SetSpoolerServiceState(DWORD state) {
  if (state == SERVICE_RUNNING) {
    if (Service().state != SERVICE_RUNNING) BecomeRunning();
  } else if (state == SERVICE_STOPPED) {
    if (Service().state != SERVICE_STOPPED) BecomeStopped();
  } else {
    Fatal("SetSpoolerServiceState: only SERVICE_STOPPED or SERVICE_RUNNING can be set");
  }
}

void SetServiceBehaviour(const ServiceBehaviour& behaviour) { Service().behaviour = behaviour; }
ServiceBehaviour GetServiceBehaviour() { return Service().behaviour; }
int SpoolerStartCount() { return Service().starts; }
int SpoolerStopCount() { return Service().stops; }
size_t OpenServiceHandles() { return Service().handles.size(); }

}  // namespace winsim

using winsim::ScHandle;
using winsim::Service;
using winsim::SetError;

// ------------------------------------------------------------- advapi32 --

const winsim::DocumentedErrors kOpenSCManagerWErrors{
    "OpenSCManagerW",
    {ERROR_ACCESS_DENIED, RPC_S_SERVER_UNAVAILABLE, ERROR_DATABASE_DOES_NOT_EXIST}};

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
  if (winsim::Enter("OpenSCManagerW", winsim::Narrow(lpMachineName) + ", " +
                                          winsim::Narrow(lpDatabaseName) + ", " +
                                          winsim::Hex(dwDesiredAccess)))
    return nullptr;
  if (lpMachineName != nullptr && lpMachineName[0] != 0)
    winsim::Unsupported("OpenSCManagerW", "a remote machine " + winsim::Narrow(lpMachineName));
  // Only the active database exists; the failed one is known by name, any
  // other name is no database at all.
  if (lpDatabaseName != nullptr &&
      !winsim::EqualsNoCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEW)) {
    SetError(winsim::EqualsNoCase(lpDatabaseName, u"ServicesFailed") ? ERROR_DATABASE_DOES_NOT_EXIST
                                                                      : ERROR_INVALID_NAME);
    return nullptr;
  }
  if (Service().behaviour.managerAccessDenied) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  SetError(ERROR_SUCCESS);
  return winsim::NewScHandle(true, winsim::MapManagerAccess(dwDesiredAccess));
}

const winsim::DocumentedErrors kOpenServiceWErrors{
    "OpenServiceW", {ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST}};

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  if (winsim::Enter("OpenServiceW",
                    winsim::Narrow(lpServiceName) + ", " + winsim::Hex(dwDesiredAccess)))
    return nullptr;
  ScHandle* manager = winsim::LookupScHandle(hSCManager);
  if (manager == nullptr || !manager->manager) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (lpServiceName == nullptr) {
    SetError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (lpServiceName[0] == 0) {
    SetError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (!winsim::EqualsNoCase(lpServiceName, winsim::kServiceName)) {
    SetError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (Service().behaviour.serviceAccessDenied) {
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return winsim::NewScHandle(false, winsim::MapServiceAccess(dwDesiredAccess));
}

const winsim::DocumentedErrors kQueryServiceStatusErrors{
    "QueryServiceStatus", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  if (winsim::Enter("QueryServiceStatus")) return FALSE;
  // The record is checked before the handle's rights (advapi32 service.c).
  ScHandle* h = winsim::ServiceHandle(hService);
  if (h == nullptr) return FALSE;
  if (lpServiceStatus == nullptr) {
    SetError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  if (!winsim::Granted(*h, SERVICE_QUERY_STATUS)) return FALSE;
  winsim::FillStatus(lpServiceStatus);
  return TRUE;
}

const winsim::DocumentedErrors kStartServiceWErrors{
    "StartServiceW",
    {ERROR_ACCESS_DENIED, ERROR_SERVICE_DISABLED, ERROR_SERVICE_REQUEST_TIMEOUT,
     ERROR_SERVICE_ALREADY_RUNNING}};

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors) {
  if (winsim::Enter("StartServiceW", std::to_string(dwNumServiceArgs) + " arguments")) return FALSE;
  ScHandle* h = winsim::ServiceHandle(hService);
  if (h == nullptr || !winsim::Granted(*h, SERVICE_START)) return FALSE;
  if (Service().state != SERVICE_STOPPED) {
    // Also while it stops: an instance of the service still runs.
    SetError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  if (Service().behaviour.disabled) {
    SetError(ERROR_SERVICE_DISABLED);
    return FALSE;
  }
  if (Service().behaviour.startHangs) {
    // The call waits for the process to connect, then gives up on it.
    winsim::clock::Advance(winsim::kServiceStartTimeoutMs);
    SetError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
  }
  winsim::BeginStart();
  return TRUE;
}

const winsim::DocumentedErrors kControlServiceErrors{
    "ControlService",
    {ERROR_ACCESS_DENIED, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ERROR_DEPENDENT_SERVICES_RUNNING,
     ERROR_SERVICE_REQUEST_TIMEOUT}};

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  if (winsim::Enter("ControlService", "control " + std::to_string(dwControl) + ", " +
                                          winsim::StateName(Service().state)))
    return FALSE;
  ScHandle* h = winsim::ServiceHandle(hService);
  if (h == nullptr) return FALSE;
  if (lpServiceStatus == nullptr) {
    SetError(winsim::kRpcNullRefPointer);
    return FALSE;
  }
  ACCESS_MASK needed = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      needed = SERVICE_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      needed = SERVICE_INTERROGATE;
      break;
    default:
      if (dwControl >= 128 && dwControl <= 255) {
        needed = SERVICE_USER_DEFINED_CONTROL;
        break;
      }
      // SERVICE_CONTROL_SHUTDOWN and the other system controls cannot be
      // sent by an application.
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if (!winsim::Granted(*h, needed)) return FALSE;

  // The status is returned for NO_ERROR, ERROR_INVALID_SERVICE_CONTROL,
  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL and ERROR_SERVICE_NOT_ACTIVE.
  DWORD state = Service().state;
  DWORD error = NO_ERROR;
  if (state == SERVICE_STOPPED) {
    error = ERROR_SERVICE_NOT_ACTIVE;
  } else if (state != SERVICE_RUNNING) {
    error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else if (dwControl == SERVICE_CONTROL_STOP) {
    winsim::BeginStop();
  } else if (dwControl != SERVICE_CONTROL_INTERROGATE) {
    error = ERROR_INVALID_SERVICE_CONTROL;  // the spooler accepts stop only
  }
  winsim::FillStatus(lpServiceStatus);
  if (error == NO_ERROR) return TRUE;
  SetError(error);
  return FALSE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (winsim::Enter("CloseServiceHandle")) return FALSE;
  winsim::ServiceState& s = Service();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(hSCObject));
  if (it == s.handles.end()) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  s.handles.erase(it);
  return TRUE;
}
