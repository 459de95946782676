// The machine as a whole: reset to the default machine, save and load, the
// default machine's files and keys, the system the program runs on (its
// module, the system directory and the system's version), and
// delete-at-reboot requests (MoveFileExW).
#include "core.h"

#include <winsim/control.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "saved_record.h"

namespace winsim {
namespace machine {

const char16_t kSystemDirectory[] = u"C:\\Windows\\System32";
const char16_t kInstallerDirectory[] = u"C:\\Program Files\\Solvendale\\Setup";
const char16_t kInstallerPath[] = u"C:\\Program Files\\Solvendale\\Setup\\SolvendaleSetup.exe";
const char16_t kTrayPath[] = u"C:\\Program Files\\Solvendale\\soltray.exe";

HINSTANCE ProgramInstance() {
  return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x140000000ull));
}

}  // namespace machine

namespace {

const char16_t kSessionManager[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char16_t kPendingValue[] = u"PendingFileRenameOperations";
const char16_t kDriverDirectory[] = u"C:\\Windows\\System32\\spool\\drivers\\x64";

SystemBehaviour& System() {
  // Never destroyed: objects that outlive main may still reach it.
  static SystemBehaviour& behaviour = *new SystemBehaviour;
  return behaviour;
}

bool ready = false;

// The first line of a saved machine, with the version of the save files'
// layout: a machine saved in another layout is not loaded.
const char kMachineMarker[] = "winsim machine 2\n";

std::vector<uint8_t> HelpFileBytes() {
  // A compiled help file begins with the signature "ITSF"; the viewer is not
  // part of the machine, so the rest is filler.
  std::string text = "ITSF";
  text += std::string(60, '\0');
  text += "Solvendale Help";
  return std::vector<uint8_t>(text.begin(), text.end());
}

void ResetDefaults() {
  System() = SystemBehaviour();

  files::MakeDirectories(machine::kSystemDirectory);
  files::MakeDirectories(std::u16string(kDriverDirectory) + u"\\3");
  files::MakeDirectories(machine::kInstallerDirectory);
  const std::u16string setup = std::u16string(machine::kInstallerDirectory) + u"\\";
  files::WriteBytes(machine::kInstallerPath, MakeVersionedImage(1, 0, 0, 2093));
  files::WriteBytes(setup + u"qrlmon64.dll", MakeMonitorImage(1, 0, 0, 2093));
  files::WriteBytes(setup + u"qrldrv64.dll", MakeVersionedImage(1, 0, 0, 2093));
  files::WriteBytes(setup + u"qrlui64.dll", MakeVersionedImage(1, 0, 0, 2093));
  files::WriteBytes(setup + u"qrlhelp.chm", HelpFileBytes());
  files::WriteBytes(machine::kTrayPath, MakeVersionedImage(1, 0, 0, 2093));

  // The temporary directories of the default account and of SYSTEM.
  files::MakeDirectories(u"C:\\Users\\Administrator\\AppData\\Local\\Temp");
  files::MakeDirectories(u"C:\\Windows\\Temp");

  reg::CreateKey(kSessionManager);
  reg::CreateKey(u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
  reg::CreateKey(u"HKCU\\Software");
}

// system.txt: the system's behaviour.
const SavedFields<SystemBehaviour>& SystemFields() {
  static const SavedFields<SystemBehaviour> fields = {
      Field("programPath", &SystemBehaviour::programPath),
      Field("systemDirectory", &SystemBehaviour::systemDirectory),
      Field("majorVersion", &SystemBehaviour::majorVersion),
      Field("minorVersion", &SystemBehaviour::minorVersion),
      Field("buildNumber", &SystemBehaviour::buildNumber),
      Field("platformId", &SystemBehaviour::platformId),
      Field("servicePack", &SystemBehaviour::servicePack),
  };
  return fields;
}

void SaveSystem(const std::string& dir) {
  WriteTextFile(dir + "/system.txt", SavedLine("behaviour", System(), SystemFields()));
}

void LoadSystem(const std::string& dir) {
  const std::string file = dir + "/system.txt";
  ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] != "behaviour") Fatal(file + ": unreadable line " + line[0]);
    ReadSavedLine(line, SystemFields(), &System(), file);
  });
}

ModuleRegistrar machineRegistrar{"machine", 30, &ResetDefaults, &SaveSystem, &LoadSystem};

bool MakeHostDirectory(const std::string& dir) {
  if (dir.empty()) return false;
  std::string partial;
  for (size_t i = 0; i < dir.size(); ++i) {
    partial.push_back(dir[i]);
    if ((dir[i] == '/' && i > 0) || i + 1 == dir.size()) {
      if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat info;
  return ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void EnsureMachine() {
  if (!ready) ResetMachine();
}

void ResetMachine() {
  ready = true;
  for (const ModuleHooks& module : Modules()) module.reset();
}

bool SaveMachine(const std::string& directory) {
  EnsureMachine();
  if (!MakeHostDirectory(directory)) return false;
  WriteTextFile(directory + "/machine.txt", kMachineMarker);
  for (const ModuleHooks& module : Modules()) module.save(directory);
  return true;
}

bool LoadMachine(const std::string& directory) {
  std::string marker;
  if (!ReadTextFile(directory + "/machine.txt", &marker) || marker != kMachineMarker)
    return false;
  ResetMachine();
  for (const ModuleHooks& module : Modules()) module.load(directory);
  return true;
}

bool RunUntilEnded(const RunEnd& end, const std::function<void()>& body) {
  char pattern[] = "/tmp/winsim-run-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) Fatal("RunUntilEnded: no temporary directory");
  const std::string directory = pattern;
  const int kEnded = 41;
  const int kFinished = 42;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = ::fork();
  if (child < 0) Fatal("RunUntilEnded: fork failed");
  if (child == 0) {
    reg::MarkFlushed();
    EndRunAtCall(end.atCall, [&] {
      if (end.powerLoss) reg::LoseUnflushed();
      SaveMachine(directory);
      ::_exit(kEnded);
    });
    body();
    EndRunAtCall(0, nullptr);
    SaveMachine(directory);
    ::_exit(kFinished);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  bool loaded = LoadMachine(directory);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  if (!WIFEXITED(status) || !loaded ||
      (WEXITSTATUS(status) != kEnded && WEXITSTATUS(status) != kFinished))
    Fatal("RunUntilEnded: the run's process crashed (status " + std::to_string(status) + ")");
  return WEXITSTATUS(status) == kEnded;
}

std::u16string SystemDirectory() { return machine::kSystemDirectory; }
std::u16string InstallerPath() { return machine::kInstallerPath; }
std::u16string InstallerDirectory() { return machine::kInstallerDirectory; }
std::u16string TrayPath() { return machine::kTrayPath; }
std::u16string DriverDirectory() { return kDriverDirectory; }
HINSTANCE ProgramInstance() { return machine::ProgramInstance(); }

void SetSystemBehaviour(const SystemBehaviour& behaviour) { System() = behaviour; }
SystemBehaviour GetSystemBehaviour() { return System(); }

std::u16string SessionManagerKey() { return kSessionManager; }

std::vector<std::u16string> PendingFileRenameOperations() {
  std::vector<std::u16string> strings;
  reg::GetMultiString(kSessionManager, kPendingValue, &strings);
  return strings;
}

void SetPendingFileRenameOperations(const std::vector<std::u16string>& strings) {
  reg::SetMultiString(kSessionManager, kPendingValue, strings);
}

}  // namespace winsim

extern "C" {

const winsim::DocumentedErrors kGetModuleFileNameWErrors{
    "GetModuleFileNameW", {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}};

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (winsim::Enter("GetModuleFileNameW", winsim::Hex(reinterpret_cast<uintptr_t>(hModule))))
    return 0;
  if (hModule != nullptr && hModule != winsim::machine::ProgramInstance()) {
    winsim::SetError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize == 0 || lpFilename == nullptr) {
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::u16string& path = winsim::System().programPath;
  if (path.size() < nSize) {
    std::copy(path.begin(), path.end(), lpFilename);
    lpFilename[path.size()] = 0;
    winsim::SetError(ERROR_SUCCESS);  // kernel32 module.c: the last error is reset
    return static_cast<DWORD>(path.size());
  }
  // Too long: cut to nSize units, the terminator included.
  std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
  lpFilename[nSize - 1] = 0;
  winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

const winsim::DocumentedErrors kGetModuleHandleWErrors{"GetModuleHandleW", {ERROR_MOD_NOT_FOUND}};

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (winsim::Enter("GetModuleHandleW", winsim::Narrow(lpModuleName))) return nullptr;
  if (lpModuleName != nullptr) winsim::Unsupported("GetModuleHandleW", "a module by name");
  return winsim::machine::ProgramInstance();
}

// The machine loads no DLLs; the call is checked and recorded (the flags are
// in the call log), as Windows checks it: any combination of the four search
// flags, nothing else.
const winsim::DocumentedErrors kSetDefaultDllDirectoriesErrors{
    "SetDefaultDllDirectories", {ERROR_INVALID_PARAMETER}};

BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
  if (winsim::Enter("SetDefaultDllDirectories", winsim::Hex(DirectoryFlags))) return FALSE;
  const DWORD known = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                      LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~known) != 0) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

const winsim::DocumentedErrors kGetSystemDirectoryWErrors{
    "GetSystemDirectoryW", {ERROR_ACCESS_DENIED}};

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  if (winsim::Enter("GetSystemDirectoryW")) return 0;
  const std::u16string& path = winsim::System().systemDirectory;
  if (path.empty()) {
    winsim::SetError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (lpBuffer == nullptr || uSize < path.size() + 1) return static_cast<UINT>(path.size() + 1);
  std::copy(path.begin(), path.end(), lpBuffer);
  lpBuffer[path.size()] = 0;
  return static_cast<UINT>(path.size());
}

const winsim::DocumentedErrors kMoveFileExWErrors{
    "MoveFileExW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  std::string detail = winsim::Narrow(lpExistingFileName) + " -> " +
                       (lpNewFileName ? winsim::Narrow(lpNewFileName) : "(delete)") + " flags " +
                       winsim::Hex(dwFlags);
  if (winsim::Enter("MoveFileExW", detail)) return FALSE;
  if (lpExistingFileName == nullptr) winsim::Unsupported("MoveFileExW", "a null source");
  if (dwFlags != MOVEFILE_DELAY_UNTIL_REBOOT || lpNewFileName != nullptr)
    winsim::Unsupported("MoveFileExW",
                        "only deletion at reboot (no new name, MOVEFILE_DELAY_UNTIL_REBOOT alone)");
  std::u16string canonical;
  DWORD error = 0;
  if (!winsim::files::Canonical(lpExistingFileName, &canonical, &error)) {
    winsim::SetError(error);
    return FALSE;
  }
  // The request goes to the session manager's list in the native name
  // space: the source, then an empty target meaning "delete".
  if (winsim::reg::WriteDenied(winsim::kSessionManager)) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::vector<std::u16string> strings = winsim::PendingFileRenameOperations();
  if (strings.size() % 2) strings.pop_back();
  strings.push_back(u"\\??\\" + canonical);
  strings.push_back(std::u16string());
  winsim::SetPendingFileRenameOperations(strings);
  return TRUE;
}

const winsim::DocumentedErrors kGetTempPathWErrors{"GetTempPathW", {ERROR_ENVVAR_NOT_FOUND}};

// The TEMP of the program's account: the system's for SYSTEM, else the
// profile's (C:\Users\<name>\AppData\Local\Temp\).
DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (winsim::Enter("GetTempPathW", std::to_string(nBufferLength))) return 0;
  const std::u16string& user = winsim::Program().userName;
  std::u16string path = winsim::EqualsNoCase(user, u"SYSTEM")
                            ? std::u16string(u"C:\\Windows\\Temp\\")
                            : u"C:\\Users\\" + user + u"\\AppData\\Local\\Temp\\";
  if (lpBuffer == nullptr || nBufferLength < path.size() + 1) return static_cast<DWORD>(path.size() + 1);
  std::copy(path.begin(), path.end(), lpBuffer);
  lpBuffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

const winsim::DocumentedErrors kGetUserNameWErrors{
    "GetUserNameW", {ERROR_INSUFFICIENT_BUFFER, ERROR_NOT_ENOUGH_MEMORY}};

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  if (winsim::Enter("GetUserNameW")) return FALSE;
  if (pcbBuffer == nullptr) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string& user = winsim::Program().userName;
  DWORD needed = static_cast<DWORD>(user.size() + 1);
  if (lpBuffer == nullptr || *pcbBuffer < needed) {
    *pcbBuffer = needed;
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(user.begin(), user.end(), lpBuffer);
  lpBuffer[user.size()] = 0;
  *pcbBuffer = needed;
  return TRUE;
}

const winsim::DocumentedErrors kGetVersionExAErrors{"GetVersionExA", {ERROR_INSUFFICIENT_BUFFER}};

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (winsim::Enter("GetVersionExA")) return FALSE;
  // OSVERSIONINFOA, or OSVERSIONINFOEXA with its five further members.
  const DWORD kExtendedSize = sizeof(OSVERSIONINFOA) + 3 * sizeof(WORD) + 2;
  if (!lpVersionInformation) {
    winsim::SetError(ERROR_NOACCESS);
    return FALSE;
  }
  DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != kExtendedSize) {
    winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const winsim::SystemBehaviour& v = winsim::System();
  DWORD major = v.majorVersion, minor = v.minorVersion, build = v.buildNumber;
  // A program without a compatibility manifest for Windows 8.1 or later is
  // told 6.2 (Windows 8) by GetVersionEx.
  if (v.platformId == VER_PLATFORM_WIN32_NT && (major > 6 || (major == 6 && minor > 2))) {
    major = 6;
    minor = 2;
    build = 9200;
  }
  lpVersionInformation->dwMajorVersion = major;
  lpVersionInformation->dwMinorVersion = minor;
  lpVersionInformation->dwBuildNumber = build;
  lpVersionInformation->dwPlatformId = v.platformId;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
  std::string sp = v.servicePack.substr(0, sizeof(lpVersionInformation->szCSDVersion) - 1);
  std::memcpy(lpVersionInformation->szCSDVersion, sp.data(), sp.size());
  if (size == kExtendedSize) {
    unsigned char* extra = reinterpret_cast<unsigned char*>(lpVersionInformation) +
                           sizeof(OSVERSIONINFOA);
    WORD words[3] = {0, 0, 0x0100};  // service pack major, minor; VER_SUITE_SINGLEUSERTS
    std::memcpy(extra, words, sizeof(words));
    extra[6] = 1;  // VER_NT_WORKSTATION
    extra[7] = 0;
  }
  return TRUE;
}

}  // extern "C"
