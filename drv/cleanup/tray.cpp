// The tray companion "soltray.exe": asking it to exit, removing and adding its
// start-up registration under the machine's Run key, and starting it.
//
// The companion holds the named mutex for as long as it runs, owns a
// top-level window of its class and ends on message WM_USER + 2. Failures
// are silent, but for a missing executable at the install.
#include "cleanup/tray.h"

#include "cleanup/deferred_delete.h"
#include "job/handles.h"
#include "job/log.h"
#include "job/log_dialog.h"
#include "job/text.h"

namespace svd {

namespace {

const CHAR kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const WCHAR* const kTrayWindowClass = TEXT("svd::{05759F8E-103D-41B6-8A61-EFAA89516692}");
constexpr UINT kTrayExitMessage = 0x402;  // WM_USER + 2
const CHAR kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const CHAR kRunValueAnsi[] = "SolvendaleTray";
const WCHAR* const kRunValue = TEXT("SolvendaleTray");

constexpr int kHandshakePasses = 20;
constexpr DWORD kMutexWaitMs = 5000;
constexpr DWORD kWindowPollMs = 250;
constexpr DWORD kMissingValueSleepMs = 1000;
constexpr int kDeleteAttempts = 10;
constexpr DWORD kAccessDeniedSleepMs = 100;
constexpr DWORD kOtherErrorSleepMs = 10;

// The Run value is read into this many UTF-16 units (MAX_PATH + 4).
constexpr DWORD kRunValueUnits = 264;
// The command line quotes at most this many units of the tray path.
constexpr size_t kCommandPathUnits = 259;

// Asks the companion that holds the mutex to exit and waits until the mutex
// can be acquired, for at most kHandshakePasses passes.
void RunExitHandshake(HANDLE mutex) {
  bool windowSeen = false;
  for (int pass = 0; pass < kHandshakePasses; ++pass) {
    HWND window = FindWindowW(kTrayWindowClass, nullptr);
    if (window != nullptr) {
      windowSeen = true;
      PostMessageW(window, kTrayExitMessage, 0, 0);
      if (WaitForSingleObject(mutex, kMutexWaitMs) == WAIT_OBJECT_0) return;
      continue;
    }
    if (windowSeen) {
      WaitForSingleObject(mutex, kMutexWaitMs);
      return;
    }
    Sleep(kWindowPollMs);
  }
  if (windowSeen) WaitForSingleObject(mutex, kMutexWaitMs);
}

// Reads the Run value into buffer (kRunValueUnits units). The registry
// returns REG_SZ data as stored, possibly without its terminator, so the text
// is terminated right behind the bytes read; data that fills the whole buffer
// without a terminator does not fit, like a value larger than the buffer.
bool ReadRunValue(HKEY key, WCHAR* buffer) {
  buffer[0] = 0;
  DWORD size = kRunValueUnits * sizeof(WCHAR);
  LONG status = RegQueryValueExW(key, kRunValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
  if (status != ERROR_SUCCESS) return false;
  DWORD units = size / sizeof(WCHAR);
  if (units < kRunValueUnits) buffer[units] = 0;
  for (DWORD i = 0; i < kRunValueUnits; ++i) {
    if (buffer[i] == 0) return true;
  }
  return false;
}

bool SamePath(LPCWSTR a, LPCWSTR b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Whether the file-name part of a path (after its last "\", "/" or ":") is
// the tray program's name, ignoring case: the Run value may name any file,
// and only the product's own is deleted.
bool NamesTrayProgram(LPCWSTR path) {
  LPCWSTR name = path;
  for (LPCWSTR at = path; *at != 0; ++at) {
    if (*at == '\\' || *at == '/' || *at == ':') name = at + 1;
  }
  return TextEqualsAsciiNoCase(name, kTrayFileName);
}

// False when the file is still there after the last attempt.
bool DeleteTrayFile(LPCWSTR path) {
  MakeWritable(path);
  for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
    if (DeleteFileW(path)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    Sleep(error == ERROR_ACCESS_DENIED ? kAccessDeniedSleepMs : kOtherErrorSleepMs);
  }
  return false;
}

// Deletes the executable that the Run value names, unless it is keepFile;
// one that stays goes to leftovers.
void DeleteRegisteredTray(HKEY key, PendingDelete** leftovers, LPCWSTR keepFile) {
  WCHAR path[kRunValueUnits];
  if (!ReadRunValue(key, path)) {
    Sleep(kMissingValueSleepMs);
    return;
  }
  if (path[0] == 0 || !NamesTrayProgram(path)) return;
  if (keepFile != nullptr && SamePath(path, keepFile)) return;
  if (!DeleteTrayFile(path) && leftovers != nullptr) AddPendingDelete(leftovers, path);
}

// Whether the executable is missing (not merely unreadable).
bool TrayFileMissing(LPCWSTR path) {
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsNt6OrLater() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return false;
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

void RegisterTray(LPCWSTR path, size_t length) {
  RegistryKey key = OpenRegistryKey(HKEY_LOCAL_MACHINE, kRunKey, KEY_ALL_ACCESS);
  if (!key) return;
  DWORD size = static_cast<DWORD>((length + 1) * sizeof(WCHAR));
  RegSetValueExW(key.Get(), kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), size);
}

void LaunchTray(LPCWSTR path, size_t length) {
  WCHAR commandLine[kCommandPathUnits + 3];
  size_t quoted = length < kCommandPathUnits ? length : kCommandPathUnits;
  size_t end = 0;
  commandLine[end++] = '"';
  for (size_t i = 0; i < quoted; ++i) commandLine[end++] = path[i];
  commandLine[end++] = '"';
  commandLine[end] = 0;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
}

bool IsSeparator(WCHAR c) {
  return c == '\\' || c == '/';
}

// The length of the directory part of the first length units of path: up to
// the last "\", or the last "/" when there is no "\"; 0 when there is none
// or it is the first unit.
size_t ParentLength(LPCWSTR path, size_t length) {
  size_t found = length;  // none
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '\\') found = i;
  }
  if (found == length) {
    for (size_t i = 0; i < length; ++i) {
      if (path[i] == '/') found = i;
    }
  }
  return found == length ? 0 : found;
}

}  // namespace

void StopTray(PendingDelete** leftovers, LPCWSTR keepFile) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kTrayMutexName);
  bool mutexObtained = mutex != nullptr;
  if (mutexObtained) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) RunExitHandshake(mutex);
    CloseHandle(mutex);
  }

  RegistryKey key = OpenRegistryKey(HKEY_LOCAL_MACHINE, kRunKey, KEY_ALL_ACCESS);
  if (!key) return;
  if (mutexObtained) DeleteRegisteredTray(key.Get(), leftovers, keepFile);
  RegDeleteValueA(key.Get(), kRunValueAnsi);
}

void StartTray(InstallJob* job) {
  if (!IsNt6OrLater()) return;
  CountedString path = TrayPath(job);
  // A path that could not be built is neither registered nor started.
  if (Length(path) == 0) return;
  if (TrayFileMissing(Text(path))) {
    LogLine(job, TEXT("The tray program %s was not found; it is not registered"), Text(path));
  } else {
    RegisterTray(Text(path), Length(path));
    // Started on an invisible window station, it would show its icon to
    // nobody and hold its file until the next reboot.
    if (InteractiveWindowStation()) LaunchTray(Text(path), Length(path));
  }
  Release(path);
}

CountedString TrayPath(InstallJob* job) {
  LPCWSTR source = Text(job->SourceDir);
  size_t length = Length(job->SourceDir);
  if (length > 0 && IsSeparator(source[length - 1])) --length;
  size_t parent = ParentLength(source, length);
  bool separator = parent > 0 && !IsSeparator(source[parent - 1]);
  size_t nameLength = TextLength(kTrayFileName);
  // Built in one block, so that a refused allocation leaves no path at all
  // rather than a wrong one.
  CountedString path = nullptr;
  if (!Resize(path, parent + (separator ? 1 : 0) + nameLength)) return nullptr;
  WCHAR* text = const_cast<WCHAR*>(Text(path));
  size_t at = 0;
  for (size_t i = 0; i < parent; ++i) text[at++] = source[i];
  if (separator) text[at++] = '\\';
  for (size_t i = 0; i < nameLength; ++i) text[at++] = kTrayFileName[i];
  return path;
}

}  // namespace svd
