// The simulated machine's internal framework, shared by every module of the
// stand-in platform: last error, the call gate every API function passes,
// kernel handles, the virtual clock, module registration, and the machine's
// file system and registry as plain C++ for the other modules.
//
// Every exported API function starts with the call gate:
//
//   BOOL WINAPI DeleteFileW(LPCWSTR path) {
//     if (winsim::Enter("DeleteFileW", winsim::Narrow(path))) return FALSE;
//     ...
//   }
//
// Enter records the call in the call log and returns 0, or, when a test armed
// a fault for that API, sets the injected error as the last error and returns
// it; the function then fails the way Windows documents for it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

// ------------------------------------------------------- the program --

// The program's process as the machine sees the code that runs now: its ids,
// session, account, command line and last error. One run of the program
// has one; runs started together (RunTogether) each have their own.
struct ProgramContext {
  DWORD processId = 0x1A2C;
  DWORD threadId = 0x1A30;
  DWORD sessionId = 1;
  std::u16string userName = u"Administrator";
  std::u16string commandLine;
  DWORD lastError = 0;
};
ProgramContext& Program();
// The context of single runs (tests and tools that call the program's entry
// themselves), whatever runs now.
ProgramContext& MainProgram();

// Runs each body on a thread of its own with its context, one at a time:
// a body gives way to the others only while it waits (Sleep and
// clock::WaitUntil), and machine time moves only while every body waits.
// Bodies take turns in order. atEnd runs in each body's own turn as it
// ends. Returns when every body has ended.
void RunTogether(std::vector<ProgramContext*> contexts, std::vector<std::function<void()>> bodies,
                 const std::function<void()>& atEnd);

// ---------------------------------------------------------------- errors --

DWORD LastError();
void SetError(DWORD code);

// Records the call; returns 0 to go on, or the injected error code (already
// stored as the last error) when the call must fail.
DWORD Enter(const char* api, const std::string& detail = std::string());
// From now on, the atCall-th call that passes the call gate (counted from 1)
// runs action instead, which must not return (it ends the process); 0
// disarms it.
void EndRunAtCall(size_t atCall, std::function<void()> action);

// The error codes with which a call fails, as Microsoft documents them for
// it (or as a failing call of its kind plausibly reports them), listed
// beside the call's implementation:
//
//   const winsim::DocumentedErrors kDeleteFileErrors{
//       "DeleteFileW", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};
//
// The fault sweep injects each of them (DocumentedErrorCodes in control.h);
// it refuses a call that has none listed.
class DocumentedErrors {
 public:
  DocumentedErrors(const char* api, std::vector<DWORD> codes);
};

// Ends the process with a clear message: the program used something that
// the stand-in does not implement (or used it in an undocumented way).
[[noreturn]] void Unsupported(const char* api, const std::string& what);
// Ends the process with a message about the machine itself (bad state,
// runaway clock, corrupt save directory).
[[noreturn]] void Fatal(const std::string& what);

// --------------------------------------------------------------- text --

std::u16string Widen(const std::string& utf8);
std::string Narrow(const std::u16string& text);
std::string Narrow(LPCWSTR text);  // null gives "(null)"
std::u16string FromW(LPCWSTR text);  // null gives ""
size_t WLen(LPCWSTR text);
// ASCII-only case folding, as the file system and the registry compare names.
std::u16string UpperAscii(const std::u16string& text);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);
// The system's ANSI code page (1252) conversions.
std::u16string FromAnsi(const std::string& text);
std::string ToAnsi(const std::u16string& text);
std::string Hex(uint64_t value);

// ------------------------------------------------------ kernel objects --

// An object behind one or more kernel handles (file, mutex, process, thread).
// Each handle holds a reference; the object lives while any handle or any
// module holds it.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual const char* TypeName() const = 0;
  // Called when one handle to this object is closed, before the handle's
  // reference is dropped.
  virtual void OnHandleClosed(HANDLE handle) {}
  // For WaitForSingleObject: whether a wait by the caller would be satisfied
  // now. Objects that cannot be waited on keep the default.
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait is satisfied (e.g. a mutex becomes owned).
  virtual void OnWaitSatisfied() {}
};

HANDLE NewHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Closes one handle; false when the handle is not open.
bool CloseKernelHandle(HANDLE handle);
size_t LiveHandleCount();
size_t LiveHandleCount(const char* typeName);

// ------------------------------------------------------- virtual clock --

namespace clock {

uint64_t Now();  // milliseconds since the machine started
// Moves time forward by ms, firing due events in time order (an event
// scheduled by an event is fired too when it falls within the span).
void Advance(uint64_t ms);
using EventId = uint64_t;
EventId At(uint64_t whenMs, std::function<void()> action, const std::string& name);
EventId After(uint64_t delayMs, std::function<void()> action, const std::string& name);
void Cancel(EventId id);
// The time of the next scheduled event; false when there is none.
bool NextEvent(uint64_t* whenMs);
// The program sleeps: time moves on by ms (while runs go together, the
// others run meanwhile).
void Sleep(DWORD ms);
// Advances time step by step (to each due event) until done() holds or
// timeoutMs passed (INFINITE: no timeout, up to the machine's time limit).
// Returns whether done() held. done() is checked before time moves.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);

}  // namespace clock

// --------------------------------------------------- module registration --

// Each module of the machine registers itself with a static registrar:
//
//   static winsim::ModuleRegistrar registrar{"spooler", 40, &Reset, &Save, &Load};
//
// ResetMachine calls every reset in ascending order (core 0, files 10,
// registry 20, machine defaults 30; later modules build on these), and Save
// and Load in the same order. Save and Load receive the machine directory;
// each module writes and reads its own files there.
struct ModuleHooks {
  const char* name;
  int order;
  void (*reset)();
  void (*save)(const std::string& dir);
  void (*load)(const std::string& dir);
};
class ModuleRegistrar {
 public:
  ModuleRegistrar(const char* name, int order, void (*reset)(),
                  void (*save)(const std::string& dir), void (*load)(const std::string& dir));
};
const std::vector<ModuleHooks>& Modules();

// Helpers for save files.
void WriteTextFile(const std::string& path, const std::string& text);
bool ReadTextFile(const std::string& path, std::string* text);
std::string EscapeField(const std::string& text);    // no tabs, newlines or '%' left
std::string UnescapeField(const std::string& text);
// UTF-16 text as an escaped UTF-8 field, and back.
std::string EscapeText(const std::u16string& text);
std::u16string UnescapeText(const std::string& field);
// The tab-separated fields of a save-file line, empty ones included.
std::vector<std::string> SplitTabs(const std::string& line);
std::string HexBytes(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> UnhexBytes(const std::string& hex);

// ---------------------------------------------------------- file system --

namespace files {

// Resolves a path to its canonical form: drive-letter path, "\" separators,
// "." and ".." resolved, no trailing separator (except "C:\"), the prefixes
// "\\?\" and "\??\" removed. Relative paths resolve against the current
// directory. Returns false for paths the machine cannot hold (UNC, devices).
// On failure *error (when given) receives the error a file call reports
// (ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH).
bool Canonical(const std::u16string& path, std::u16string* canonical, DWORD* error = nullptr);
// Key used for comparisons: the canonical path with ASCII letters upper-cased.
std::u16string Key(const std::u16string& path);

bool Exists(const std::u16string& path);
bool IsDirectory(const std::u16string& path);
bool IsFile(const std::u16string& path);
bool ReadBytes(const std::u16string& path, std::vector<uint8_t>* bytes);
// Writes (creates or replaces) a file; the parent directory is created too.
void WriteBytes(const std::u16string& path, const std::vector<uint8_t>& bytes);
bool Copy(const std::u16string& from, const std::u16string& to);
bool Remove(const std::u16string& path);  // file or empty directory, ignoring holds
void MakeDirectories(const std::u16string& path);
// The entries directly inside a directory (their full canonical paths).
std::vector<std::u16string> List(const std::u16string& directory);

// Holds: a named holder (e.g. "spooler", or a process) keeps a file in use.
// While held, DeleteFileW fails with deleteError (ERROR_ACCESS_DENIED or
// ERROR_SHARING_VIOLATION) and opening it for writing fails with
// ERROR_SHARING_VIOLATION. A holder with deleteError 0 shares delete:
// DeleteFileW succeeds, and the name stays until every holder and handle
// has let go.
void Hold(const std::u16string& path, const std::string& holder,
          DWORD deleteError = ERROR_ACCESS_DENIED);
void Release(const std::u16string& path, const std::string& holder);
void ReleaseAll(const std::string& holder);
bool IsHeld(const std::u16string& path);
std::vector<std::string> Holders(const std::u16string& path);

// Delete as DeleteFileW does it (holds, open handles, missing parent...):
// returns 0 or the error code; does not touch the last error.
DWORD Delete(const std::u16string& path);
// A file that DeleteFileW marked for deletion while it was still open.
bool DeletePending(const std::u16string& path);
// FILE_ATTRIBUTE_READONLY: the file cannot be written or deleted.
bool ReadOnly(const std::u16string& path);
void SetReadOnly(const std::u16string& path, bool readOnly);

std::u16string CurrentDirectory();
void SetCurrentDirectory(const std::u16string& path);

}  // namespace files

// --------------------------------------------------------------- images --

namespace images {

struct ImageInfo {
  uint16_t machine = 0;
  bool dll = false;
  std::vector<std::string> exports;
};
// Whether the bytes are a PE32+ image whose headers and sections all lie
// within them; fills *info when they are.
bool Inspect(const std::vector<uint8_t>& bytes, ImageInfo* info);
// Loads a DLL as the spooler's LoadLibrary does: 0, ERROR_MOD_NOT_FOUND (no
// such file) or ERROR_BAD_EXE_FORMAT (not an image for x64).
DWORD Load(const std::u16string& path, ImageInfo* info);
bool Exports(const ImageInfo& info, const std::string& name);

}  // namespace images

// ------------------------------------------------------------- registry --

namespace reg {

// Key paths name their root first: "HKLM\SOFTWARE\..." or
// "HKEY_LOCAL_MACHINE\SOFTWARE\...", likewise HKCU / HKEY_CURRENT_USER,
// HKCR, HKU. Names compare ignoring ASCII case.
struct Value {
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};
bool CreateKey(const std::u16string& path);  // with every missing parent
bool KeyExists(const std::u16string& path);
bool DeleteKey(const std::u16string& path);  // with its subkeys
// The hives as written to disk. Windows writes a hive when RegFlushKey asks
// (and lazily, some seconds after a change); a power loss keeps only what
// was written. MarkFlushed takes every hive as written now; LoseUnflushed
// turns the registry back to what was.
void MarkFlushed();
void LoseUnflushed();
void SetValue(const std::u16string& keyPath, const std::u16string& name, DWORD type,
              const std::vector<uint8_t>& data);  // creates the key when missing
bool GetValue(const std::u16string& keyPath, const std::u16string& name, Value* value);
bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);
std::vector<std::u16string> ValueNames(const std::u16string& keyPath);
std::vector<std::u16string> SubKeyNames(const std::u16string& keyPath);

// Typed helpers.
void SetString(const std::u16string& keyPath, const std::u16string& name,
               const std::u16string& text, DWORD type = REG_SZ);
void SetDword(const std::u16string& keyPath, const std::u16string& name, DWORD value);
void SetMultiString(const std::u16string& keyPath, const std::u16string& name,
                    const std::vector<std::u16string>& strings);
bool GetString(const std::u16string& keyPath, const std::u16string& name,
               std::u16string* text);
bool GetDword(const std::u16string& keyPath, const std::u16string& name, DWORD* value);
bool GetMultiString(const std::u16string& keyPath, const std::u16string& name,
                    std::vector<std::u16string>* strings);

// Keys that refuse writes (as for a caller without rights there).
void DenyWrite(const std::u16string& keyPath, bool deny);
bool WriteDenied(const std::u16string& keyPath);

// The full path ("HKLM\...") behind an open HKEY, for modules that take HKEYs.
bool PathOfHandle(HKEY key, std::u16string* path);

}  // namespace reg

// ------------------------------------------------------------- heap --

namespace heap {

enum Kind { kHeap = 0, kGlobal = 1, kLocal = 2 };
// Memory that other modules hand to the program (FormatMessageW buffers,
// CommandLineToArgvW arrays) comes from here, with the same accounting.
void* Allocate(Kind kind, size_t bytes, bool zero);
size_t BlockSize(const void* block);
bool IsLive(Kind kind, const void* block);

}  // namespace heap

// ------------------------------------------------------ machine layout --

namespace machine {

// The paths of the default machine.
extern const char16_t kSystemDirectory[];    // C:\Windows\System32
extern const char16_t kInstallerDirectory[]; // C:\Program Files\Solvendale\Setup
extern const char16_t kInstallerPath[];      // ...\Setup\SolvendaleSetup.exe
extern const char16_t kTrayPath[];           // C:\Program Files\Solvendale\soltray.exe

// The module handle the program receives as its instance.
HINSTANCE ProgramInstance();

}  // namespace machine

// Builds the default machine when nothing has yet (the first API call of a
// process that did not reset or load a machine).
void EnsureMachine();

}  // namespace winsim
