// Link-time wrappers around the calls the program waits on and allocates
// with. Each observation call notes whether the resource was busy; a Sleep
// that follows a busy observation is forced by the polls, any other Sleep is
// not (except the fixed pause after a missing tray Run value).
#include "observe.h"

#include <windows.h>
#include <winspool.h>
#include <winsvc.h>
#include <winreg.h>
#include <winuser.h>
#include <winsim/control.h>

#include <unordered_map>

extern "C" {
void WINAPI __real_Sleep(DWORD ms);
DWORD WINAPI __real_WaitForSingleObject(HANDLE handle, DWORD ms);
BOOL WINAPI __real_QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL WINAPI __real_ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI __real_StartServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments);
HANDLE WINAPI __real_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI __real_DeleteFileW(LPCWSTR name);
HWND WINAPI __real_FindWindowW(LPCWSTR className, LPCWSTR windowName);
LSTATUS WINAPI __real_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                       LPBYTE data, LPDWORD size);
BOOL WINAPI __real_AddMonitorW(LPWSTR name, DWORD level, LPBYTE info);
LPVOID WINAPI __real_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID WINAPI __real_HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL WINAPI __real_HeapFree(HANDLE heap, DWORD flags, LPVOID block);
HGLOBAL WINAPI __real_GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI __real_GlobalFree(HGLOBAL block);
}

namespace bench {
namespace {

enum class Seen { Nothing, Busy, Ready, MissingRunValue };

struct State {
  Observation observation;
  Seen last = Seen::Nothing;
  DWORD awaitedServiceState = 0;  // after a stop or start request
  std::unordered_map<const void*, size_t> blocks;
  size_t liveBytes = 0;
};

State& Get() {
  static State& state = *new State;
  return state;
}

void Note(Seen seen) { Get().last = seen; }

void Allocated(const void* block, size_t bytes) {
  if (block == nullptr) return;
  State& s = Get();
  s.blocks[block] = bytes;
  s.liveBytes += bytes;
  if (s.liveBytes > s.observation.peakBytes) s.observation.peakBytes = s.liveBytes;
}

void Freed(const void* block) {
  State& s = Get();
  auto it = s.blocks.find(block);
  if (it == s.blocks.end()) return;
  s.liveBytes -= it->second;
  s.blocks.erase(it);
}

}  // namespace

void StartObservation() {
  State& s = Get();
  s.observation = Observation();
  s.observation.startBytes = s.liveBytes;
  s.observation.peakBytes = s.liveBytes;
  s.last = Seen::Nothing;
}

const Observation& CurrentObservation() { return Get().observation; }

}  // namespace bench

using bench::Get;
using bench::Note;
using bench::Seen;

extern "C" {

void WINAPI __wrap_Sleep(DWORD ms) {
  bench::Observation& o = Get().observation;
  ++o.sleeps;
  switch (Get().last) {
    case Seen::Busy: o.forcedMs += ms; break;
    case Seen::MissingRunValue: o.fixedMs += ms; break;
    case Seen::Ready:
    case Seen::Nothing: o.unforcedMs += ms; break;
  }
  Get().last = Seen::Nothing;  // a second sleep needs a new look first
  __real_Sleep(ms);
}

DWORD WINAPI __wrap_WaitForSingleObject(HANDLE handle, DWORD ms) {
  uint64_t before = winsim::NowMs();
  DWORD result = __real_WaitForSingleObject(handle, ms);
  Get().observation.forcedMs += winsim::NowMs() - before;
  return result;
}

BOOL WINAPI __wrap_ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  if (control == SERVICE_CONTROL_STOP) Get().awaitedServiceState = SERVICE_STOPPED;
  return __real_ControlService(service, control, status);
}

BOOL WINAPI __wrap_StartServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments) {
  Get().awaitedServiceState = SERVICE_RUNNING;
  return __real_StartServiceW(service, count, arguments);
}

BOOL WINAPI __wrap_QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  BOOL ok = __real_QueryServiceStatus(service, status);
  DWORD awaited = Get().awaitedServiceState;
  Note(ok && awaited != 0 && status->dwCurrentState != awaited ? Seen::Busy : Seen::Ready);
  return ok;
}

HANDLE WINAPI __wrap_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  HANDLE file = __real_CreateFileW(name, access, share, security, disposition, flags, templateFile);
  Note(file == INVALID_HANDLE_VALUE ? Seen::Busy : Seen::Ready);
  return file;
}

BOOL WINAPI __wrap_DeleteFileW(LPCWSTR name) {
  BOOL ok = __real_DeleteFileW(name);
  Note(ok ? Seen::Ready : Seen::Busy);
  return ok;
}

HWND WINAPI __wrap_FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  HWND window = __real_FindWindowW(className, windowName);
  // A help window still open keeps the closing loop busy; the tray
  // companion's window not there yet (while its mutex is held) keeps the
  // exit handshake busy.
  bool help = windowName != nullptr;
  Note(help ? (window != nullptr ? Seen::Busy : Seen::Ready)
            : (window == nullptr ? Seen::Busy : Seen::Ready));
  return window;
}

LSTATUS WINAPI __wrap_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                       LPBYTE data, LPDWORD size) {
  LSTATUS status = __real_RegQueryValueExW(key, name, reserved, type, data, size);
  Note(status == ERROR_SUCCESS ? Seen::Ready : Seen::MissingRunValue);
  return status;
}

BOOL WINAPI __wrap_AddMonitorW(LPWSTR name, DWORD level, LPBYTE info) {
  BOOL ok = __real_AddMonitorW(name, level, info);
  Note(ok ? Seen::Ready : Seen::Busy);
  return ok;
}

LPVOID WINAPI __wrap_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  LPVOID block = __real_HeapAlloc(heap, flags, bytes);
  bench::Allocated(block, bytes);
  return block;
}

LPVOID WINAPI __wrap_HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  LPVOID moved = __real_HeapReAlloc(heap, flags, block, bytes);
  if (moved != nullptr) {
    bench::Freed(block);
    bench::Allocated(moved, bytes);
  }
  return moved;
}

BOOL WINAPI __wrap_HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  bench::Freed(block);
  return __real_HeapFree(heap, flags, block);
}

HGLOBAL WINAPI __wrap_GlobalAlloc(UINT flags, SIZE_T bytes) {
  HGLOBAL block = __real_GlobalAlloc(flags, bytes);
  bench::Allocated(block, bytes);
  return block;
}

HGLOBAL WINAPI __wrap_GlobalFree(HGLOBAL block) {
  bench::Freed(block);
  return __real_GlobalFree(block);
}

}  // extern "C"
