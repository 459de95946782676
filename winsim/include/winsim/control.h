// Control surface of the simulated machine, for tests and tools: set the
// machine up, inject faults, and read back what the program did.
//
// A fresh machine (ResetMachine) is a kind one. A test makes it behave as an
// unkind Windows does in one of three ways, and only these:
//
//  - A module's behaviour record. Each module that can be made unkind as a
//    whole has one record of its behaviours: ClockBehaviour, MessageBehaviour
//    and SystemBehaviour below, ServiceBehaviour in spooler_control.h,
//    DesktopBehaviour and TrayBehaviour in desktop_control.h. One call sets
//    the whole record, Set<Name>Behaviour; Get<Name>Behaviour reads it back.
//    A record as constructed is the fresh machine's behaviour:
//
//      winsim::ServiceBehaviour service;
//      service.startDelayMs = winsim::kNeverMs;
//      winsim::SetServiceBehaviour(service);
//
//  - An object's own record, where Windows ties the behaviour to one object:
//    the holders, attributes and read or write faults of a file (HoldFile,
//    SetFileReadOnly, FailReadAt, FailWriteAt), a registry key that refuses
//    writes (DenyRegistryWrite), a printer that cannot be opened
//    (PrinterSetup::openError), a window that does not close when asked
//    (OpenWindow).
//
//  - The call gate, for single calls of an API: FailCall and SetCallDuration.
//
// Behaviour records and objects' records are saved with the machine; faults
// of the call gate are not. Each module lists the fields of a saved record
// once, in a table of names that drives both saving and loading
// (winsim/src/saved_record.h). A new unkind behaviour is one field of a
// record with its row in that table, one check where the module acts on it,
// and one test.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsim {

// ------------------------------------------------------------- machine --

// A fresh default machine: every module's state reset to its defaults.
void ResetMachine();
// Every module writes its state into (or reads it from) the directory.
// Load first resets the machine. Both return false when the directory cannot
// be written or read.
bool SaveMachine(const std::string& directory);
bool LoadMachine(const std::string& directory);

// The paths of the default machine.
std::u16string SystemDirectory();    // C:\Windows\System32
std::u16string InstallerPath();      // C:\Program Files\Solvendale\Setup\SolvendaleSetup.exe
std::u16string InstallerDirectory(); // C:\Program Files\Solvendale\Setup
std::u16string TrayPath();           // C:\Program Files\Solvendale\soltray.exe
std::u16string DriverDirectory();    // C:\Windows\System32\spool\drivers\x64
// The instance handle to hand to wWinMain.
HINSTANCE ProgramInstance();

// Text between UTF-8 and UTF-16, as the machine converts it throughout:
// malformed sequences and unpaired surrogates become U+FFFD.
std::u16string Widen(const std::string& utf8);
std::string Narrow(const std::u16string& text);

// ------------------------------------------------------------ run end --

// How a run of the program is cut short at one of its platform calls: the
// atCall-th call that the call log would record (counted from 1), which does
// not happen. A killed process leaves everything it wrote; a power loss
// leaves the registry's hives as last written to disk (RegFlushKey; changes
// made since are lost, as Windows may lose them), the rest as it was.
struct RunEnd {
  size_t atCall = 1;
  bool powerLoss = false;
};
// Runs body (one run of the program) in a child process and ends it at the
// call: nothing of the run happens after it, no clean-up, no destructor.
// The machine then holds what the run left, whether it was ended or ended
// by itself first; faults armed before carry into the run, the call log does
// not come back. Returns whether the run was ended at the call.
bool RunUntilEnded(const RunEnd& end, const std::function<void()>& body);

// ------------------------------------------------------------- faults --

// The next `times` calls of `api` (after `skip` calls that succeed) fail with
// `error` (not 0); times -1 fails every call from then on. With `match`, only
// calls whose call-log detail contains that text count (e.g. a file name).
void FailCall(const std::string& api, DWORD error, int times = 1, int skip = 0,
              const std::string& match = std::string());
void ClearFaults();
// The error codes documented for a call, listed beside its implementation on
// the machine, in the order they are listed; empty when none are listed.
std::vector<DWORD> DocumentedErrorCodes(const std::string& api);
// Every call of `api` takes `ms` of machine time (0: none, the default), as a
// slow disk or a busy service would.
void SetCallDuration(const std::string& api, DWORD ms);

// ------------------------------------------------------------ call log --

struct CallRecord {
  std::string api;
  std::string detail;
  uint64_t timeMs;
};
const std::vector<CallRecord>& Calls();
size_t CallCount(const std::string& api);
// The details of every call of `api`, in order.
std::vector<std::string> CallDetails(const std::string& api);
void ClearCalls();

// -------------------------------------------------- memory and handles --

enum class Memory { Heap, Global, Local };
// Blocks allocated and not yet freed.
size_t LiveBlocks(Memory kind);
size_t LiveBlocks();  // all three kinds
// Calls of the kind's functions (alloc, realloc, free) since the last reset
// or ClearMemoryCalls.
size_t MemoryCalls(Memory kind);
size_t MemoryCalls();  // all three kinds
void ClearMemoryCalls();
size_t LiveHandles();
size_t LiveHandles(const char* typeName);  // "file", "mutex", "process", "thread"
size_t OpenRegistryKeys();  // registry handles not yet closed with RegCloseKey

// ------------------------------------------------------- process state --

void SetCommandLine(const std::u16string& commandLine);
std::u16string CommandLine();

// One run of the program: its command line, the session its process runs
// in (1, the logged-on user's, by default; 0 is the services' session) and
// the name of the account it runs as.
struct ProgramRun {
  std::u16string commandLine;
  DWORD sessionId = 1;
  std::u16string userName = u"Administrator";
};
// The program's process for the single runs that follow (SetCommandLine
// changes its command line alone).
void SetProgramRun(const ProgramRun& run);
ProgramRun GetProgramRun();
// Runs the program's entry once for each run, all at the same time in one
// machine, as separate processes: each on a thread of its own, one at a
// time; a run gives way to the others only while it waits (Sleep,
// WaitForSingleObject), and machine time moves only while every run waits.
// The first run goes first. A run that ends owning a mutex abandons it.
// Returns the exit codes in the order of the runs.
std::vector<int> RunProgramsTogether(const std::vector<ProgramRun>& runs, int (*entry)(HINSTANCE));

// The system the program runs on.
struct SystemBehaviour {
  // What GetModuleFileNameW reports as the program's path.
  std::u16string programPath = u"C:\\Program Files\\Solvendale\\Setup\\SolvendaleSetup.exe";
  // What GetSystemDirectoryW reports; empty makes it fail (ERROR_PATH_NOT_FOUND).
  std::u16string systemDirectory = u"C:\\Windows\\System32";
  // The running system's version (10.0, build 19045, NT). Programs without a
  // compatibility manifest, like the installer, are told 6.2 by GetVersionExA
  // on systems newer than Windows 8, as Windows does.
  DWORD majorVersion = 10;
  DWORD minorVersion = 0;
  DWORD buildNumber = 19045;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  std::string servicePack;
};
void SetSystemBehaviour(const SystemBehaviour& behaviour);
SystemBehaviour GetSystemBehaviour();

// The system's message texts.
struct MessageBehaviour {
  // FormatMessageW has the English texts; a system without them answers
  // ERROR_RESOURCE_LANG_NOT_FOUND.
  bool englishTexts = true;
};
void SetMessageBehaviour(const MessageBehaviour& behaviour);
MessageBehaviour GetMessageBehaviour();

// ---------------------------------------------------------------- clock --

uint64_t NowMs();
void AdvanceMs(uint64_t ms);

struct ClockBehaviour {
  // GetTickCount reports (tickBase + now) truncated to 32 bits; the default
  // says the machine has been up an hour. Set it to test a wrapping counter.
  DWORD tickBase = 3600000;
  // The virtual time a single run may use before the machine stops it as a
  // runaway (one hour).
  uint64_t timeLimitMs = 3600000;
  // GetLocalTime: the local date and time at machine time 0, in
  // milliseconds since 1970-01-01 00:00 (default: 2025-06-02 09:30).
  uint64_t localTimeAtStartMs = 1748856600000;
};
void SetClockBehaviour(const ClockBehaviour& behaviour);
ClockBehaviour GetClockBehaviour();

// ---------------------------------------------------------------- files --

void PutFile(const std::u16string& path, const std::vector<uint8_t>& bytes);
void PutTextFile(const std::u16string& path, const std::string& text);
bool FileExists(const std::u16string& path);  // a file, not a directory
bool DirectoryExists(const std::u16string& path);
std::vector<uint8_t> FileBytes(const std::u16string& path);  // empty when missing
void MakeDirectory(const std::u16string& path);  // with its parents
void RemoveFile(const std::u16string& path);
// A holder keeps the file in use: DeleteFileW fails with deleteError,
// CreateFileW for writing with ERROR_SHARING_VIOLATION. A holder with
// deleteError 0 opened the file sharing delete (FILE_SHARE_DELETE):
// DeleteFileW then succeeds but only marks the file for deletion.
void HoldFile(const std::u16string& path, const std::string& holder,
              DWORD deleteError = ERROR_ACCESS_DENIED);
void ReleaseFile(const std::u16string& path, const std::string& holder);
void ReleaseHolder(const std::string& holder);
bool FileHeld(const std::u16string& path);
// A file marked for deletion while handles or holders sharing delete still
// had it open. Its name stays until the last of them lets go; until then
// CreateFileW (any disposition, CREATE_ALWAYS included), GetFileAttributesW
// and DeleteFileW on it fail with ERROR_ACCESS_DENIED (DeleteFile's
// documentation).
bool FileDeletePending(const std::u16string& path);
// FILE_ATTRIBUTE_READONLY: CreateFileW for writing or with CREATE_ALWAYS or
// TRUNCATE_EXISTING, and DeleteFileW, fail with ERROR_ACCESS_DENIED; reading
// works. PutFile keeps the attribute.
void SetFileReadOnly(const std::u16string& path, bool readOnly);
// ReadFile fails with `error` when a read reaches byte `offset` of the file.
// WriteFile reaching `offset` fails with `error`, or, with error 0, writes
// only up to the offset and reports the shorter count as success.
void FailReadAt(const std::u16string& path, uint64_t offset, DWORD error);
void FailWriteAt(const std::u16string& path, uint64_t offset, DWORD error);
// Component files are images with a kind, read from their bytes as Windows
// reads them: a file that is not a PE32+ image for x64 with every section
// inside the file (a plain file, a truncated or 32-bit DLL) is no image
// (LoadLibrary: ERROR_BAD_EXE_FORMAT); an image answers with the functions
// it exports and its version resource. The spooler loads monitor DLLs only
// when they export kMonitorEntryPoint.
struct ImageSetup {
  bool versioned = true;                     // a VERSIONINFO resource
  std::array<WORD, 4> version = {1, 0, 0, 0};  // its file and product version
  std::vector<std::string> exports;          // exported function names
  WORD machine = 0x8664;                     // IMAGE_FILE_MACHINE_AMD64
};
extern const char kMonitorEntryPoint[];  // "InitializePrintMonitor2"
std::vector<uint8_t> MakeImage(const ImageSetup& setup);
// A DLL without exports whose file and product versions are a.b.c.d (a
// driver DLL, or any other DLL).
std::vector<uint8_t> MakeVersionedImage(WORD a, WORD b, WORD c, WORD d);
// Same image without any resource.
std::vector<uint8_t> MakeUnversionedImage();
// A port monitor DLL: versioned, exporting kMonitorEntryPoint.
std::vector<uint8_t> MakeMonitorImage(WORD a, WORD b, WORD c, WORD d);

// ------------------------------------------------------------- registry --

// Key paths begin with their root: "HKLM\..." or "HKCU\..." (also the long
// names HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER).
void CreateRegKey(const std::u16string& keyPath);
bool RegKeyExists(const std::u16string& keyPath);
void DeleteRegKey(const std::u16string& keyPath);
// The names of the key's subkeys (none when it is missing).
std::vector<std::u16string> RegSubKeys(const std::u16string& keyPath);
void SetRegValue(const std::u16string& keyPath, const std::u16string& name, DWORD type,
                 const std::vector<uint8_t>& data);
void SetRegString(const std::u16string& keyPath, const std::u16string& name,
                  const std::u16string& text);
void SetRegDword(const std::u16string& keyPath, const std::u16string& name, DWORD value);
void SetRegMultiString(const std::u16string& keyPath, const std::u16string& name,
                       const std::vector<std::u16string>& strings);
bool GetRegValue(const std::u16string& keyPath, const std::u16string& name, DWORD* type,
                 std::vector<uint8_t>* data);
bool GetRegString(const std::u16string& keyPath, const std::u16string& name,
                  std::u16string* text);
bool GetRegDword(const std::u16string& keyPath, const std::u16string& name, DWORD* value);
bool RegValueExists(const std::u16string& keyPath, const std::u16string& name);
void DeleteRegValue(const std::u16string& keyPath, const std::u16string& name);
// Writes to the key fail with ERROR_ACCESS_DENIED (as for a caller without
// rights there); RegOpenKeyEx for write access is refused too.
void DenyRegistryWrite(const std::u16string& keyPath, bool deny);

// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager. MoveFileExW(...,
// MOVEFILE_DELAY_UNTIL_REBOOT) writes its requests there, so a caller that
// may not write the key (DenyRegistryWrite) cannot schedule deletions.
std::u16string SessionManagerKey();
// The strings of its value "PendingFileRenameOperations" (source, target,
// source, target...).
std::vector<std::u16string> PendingFileRenameOperations();
void SetPendingFileRenameOperations(const std::vector<std::u16string>& strings);

}  // namespace winsim
