// kernel32's processes and named mutexes on the simulated machine. A process
// started from the tray companion's executable runs the companion's model
// (tray.cpp); any other runs, doing nothing visible, until it is ended.
#include "processes.h"

#include <winsim/control.h>
#include <winsim/desktop_control.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "core.h"
#include "saved_record.h"
#include "tray.h"

namespace winsim {
namespace processes {

namespace {

const DWORD kFirstProcessId = 0x2000;
// Runs started together after the first: their process and thread ids.
const DWORD kTogetherProcessIds = 0x1B00;

const DWORD kPriorityClasses = 0x00000020 | 0x00000040 | 0x00000080 | 0x00000100 |
                               0x00004000 | 0x00008000;  // NORMAL IDLE HIGH REALTIME BELOW ABOVE

class ProcessObject : public KernelObject {
 public:
  ProcessObject(DWORD id, bool thread) : id_(id), thread_(thread) {}
  const char* TypeName() const override { return thread_ ? "thread" : "process"; }
  bool Waitable() const override { return true; }
  bool Signaled() const override;
  DWORD id() const { return id_; }

 private:
  DWORD id_;
  bool thread_;
};

struct State {
  std::vector<Process> processes;
  DWORD nextId = kFirstProcessId;
  std::map<std::u16string, std::shared_ptr<MutexObject>> foreign;
};

State g_state;

// The named mutexes. Never destroyed: mutexes behind handles may outlive
// every other static object of the machine.
std::map<std::u16string, std::weak_ptr<MutexObject>>& Names() {
  static auto* names = new std::map<std::u16string, std::weak_ptr<MutexObject>>();
  return *names;
}

bool ProcessObject::Signaled() const {
  Process* process = FindProcess(id_);
  return !process || !process->record.running;
}

// ---------------------------------------------------------- processes --

Process& NewProcess(const std::u16string& image, const std::u16string& commandLine,
                    DWORD sessionId) {
  Process process;
  process.sessionId = sessionId;
  process.record.processId = g_state.nextId;
  process.threadId = g_state.nextId + 4;
  g_state.nextId += 8;
  process.record.imagePath = image;
  process.record.commandLine = commandLine;
  process.record.running = true;
  process.record.exitCode = STILL_ACTIVE;
  process.priorityClass = NORMAL_PRIORITY_CLASS;
  g_state.processes.push_back(process);
  return g_state.processes.back();
}

std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// ------------------------------------------------------- command line --

bool HasExtension(const std::u16string& name) {
  std::u16string file = FileNameOf(name);
  return file.find(u'.') != std::u16string::npos;
}

// Where CreateProcessW looks for a module named without a directory: the
// directory of the program, the current directory, the system directory
// and the Windows directory.
bool SearchModule(const std::u16string& name, std::u16string* found) {
  std::u16string candidate = name;
  if (!HasExtension(candidate)) candidate += u".exe";
  bool hasDirectory = candidate.find_first_of(u"\\/") != std::u16string::npos ||
                      (candidate.size() > 1 && candidate[1] == u':');
  std::vector<std::u16string> tries;
  if (hasDirectory) {
    tries.push_back(candidate);
  } else {
    std::u16string program = machine::kInstallerPath;
    size_t slash = program.find_last_of(u'\\');
    tries.push_back(program.substr(0, slash + 1) + candidate);
    tries.push_back(files::CurrentDirectory() + u"\\" + candidate);
    tries.push_back(std::u16string(machine::kSystemDirectory) + u"\\" + candidate);
    tries.push_back(std::u16string(u"C:\\Windows\\") + candidate);
  }
  for (const std::u16string& path : tries) {
    std::u16string canonical;
    if (files::Canonical(path, &canonical) && files::Exists(canonical)) {
      *found = canonical;
      return true;
    }
  }
  return false;
}

// The module that a command line names: the text between the first pair of
// quotes, or else the shortest space-separated prefix that names a file.
bool ModuleOfCommandLine(const std::u16string& line, std::u16string* module) {
  if (!line.empty() && line[0] == u'"') {
    size_t close = line.find(u'"', 1);
    std::u16string name = line.substr(1, close == std::u16string::npos ? std::u16string::npos
                                                                          : close - 1);
    return SearchModule(name, module);
  }
  size_t start = 0;
  while (start < line.size() && (line[start] == u' ' || line[start] == u'\t')) ++start;
  for (size_t end = start; end <= line.size(); ++end) {
    if (end < line.size() && line[end] != u' ' && line[end] != u'\t') continue;
    if (end > start && SearchModule(line.substr(start, end - start), module)) return true;
  }
  return false;
}

}  // namespace

// The namespace key of a mutex name: the "Local\" prefix (or none) names the
// session's namespace, which for session 0 is the machine's; "Global\" the
// machine's; any other backslash is a path the object manager does not
// have.
bool MutexKey(const std::u16string& name, DWORD sessionId, std::u16string* key) {
  std::u16string rest = name;
  const std::u16string local = u"Local\\";
  const std::u16string global = u"Global\\";
  bool machineWide = sessionId == 0;
  if (rest.compare(0, local.size(), local) == 0) {
    rest = rest.substr(local.size());
  } else if (rest.compare(0, global.size(), global) == 0) {
    rest = rest.substr(global.size());
    machineWide = true;
  }
  if (rest.find(u'\\') != std::u16string::npos) return false;
  *key = machineWide ? global + rest : u"Sessions\\" + Widen(std::to_string(sessionId)) + u"\\" + rest;
  return true;
}

DWORD SessionOf(DWORD processId) {
  if (processId == Program().processId) return Program().sessionId;
  if (processId == MainProgram().processId) return MainProgram().sessionId;
  Process* process = FindProcess(processId);
  return process ? process->sessionId : 1;
}

MutexObject::~MutexObject() {
  if (name_.empty()) return;
  auto found = Names().find(name_);
  if (found != Names().end() && found->second.expired()) Names().erase(found);
}

std::shared_ptr<MutexObject> FindMutex(const std::u16string& name) {
  auto found = Names().find(name);
  if (found == Names().end()) return nullptr;
  return found->second.lock();
}

std::shared_ptr<MutexObject> NewMutex(const std::u16string& name) {
  auto mutex = std::make_shared<MutexObject>(name);
  if (!name.empty()) Names()[name] = mutex;
  return mutex;
}

Process* FindProcess(DWORD id) {
  for (Process& process : g_state.processes)
    if (process.record.processId == id || process.threadId == id) return &process;
  return nullptr;
}

void MarkEnded(DWORD processId, DWORD exitCode) {
  Process* process = FindProcess(processId);
  if (!process || !process->record.running) return;
  process->record.running = false;
  process->record.exitCode = exitCode;
  // The mutexes it still owned are abandoned (kernel32 sync.c).
  for (const auto& entry : Names()) {
    std::shared_ptr<MutexObject> mutex = entry.second.lock();
    if (!mutex || mutex->owner == 0 || mutex->ownerProcess != processId) continue;
    mutex->owner = 0;
    mutex->ownerProcess = 0;
    mutex->recursion = 0;
    mutex->abandoned = true;
  }
  if (!process->holder.empty()) files::ReleaseAll(process->holder);
  process->holder.clear();
}

Process& Launch(const std::u16string& image, const std::u16string& commandLine, DWORD sessionId) {
  Process& process = NewProcess(image, commandLine, sessionId);
  DWORD id = process.record.processId;
  if (tray::IsCompanion(image)) {
    tray::Run(process);
  } else {
    process.holder = "process " + std::to_string(id);
    files::Hold(image, process.holder, ERROR_ACCESS_DENIED);
  }
  return *FindProcess(id);
}

DWORD ProgramProcessId() { return Program().processId; }
DWORD ProgramThreadId() { return Program().threadId; }

DWORD ThreadOfProcess(DWORD processId) {
  Process* process = FindProcess(processId);
  return process ? process->threadId : 0;
}

DWORD StartBackgroundProcess(const std::u16string& imagePath, DWORD sessionId) {
  return NewProcess(imagePath, u"\"" + imagePath + u"\"", sessionId).record.processId;
}

void EndBackgroundProcess(DWORD processId, DWORD exitCode) { MarkEnded(processId, exitCode); }

// ------------------------------------------------------------ machine --

namespace {

void Reset() {
  for (Process& process : g_state.processes)
    if (!process.holder.empty()) files::ReleaseAll(process.holder);
  // Mutexes still behind handles of the program outlive the reset only
  // until those handles go; they no longer have names.
  for (auto& entry : Names()) {
    std::shared_ptr<MutexObject> mutex = entry.second.lock();
    if (mutex) mutex->owner = 0;
  }
  g_state.foreign.clear();
  Names().clear();
  g_state = State();
}

// A mutex of another program, as saved.
struct SavedForeignMutex {
  std::u16string name;
  DWORD ownerProcess = 0;
};

const SavedFields<State>& CounterFields() {
  static const SavedFields<State> fields = {Field("nextId", &State::nextId)};
  return fields;
}

const SavedFields<Process>& ProcessFields() {
  static const SavedFields<Process> fields = {
      Field<Process>("id", [](auto& p) -> auto& { return p.record.processId; }),
      Field("thread", &Process::threadId),
      Field<Process>("running", [](auto& p) -> auto& { return p.record.running; }),
      Field<Process>("exitCode", [](auto& p) -> auto& { return p.record.exitCode; }),
      Field<Process>("creationFlags", [](auto& p) -> auto& { return p.record.creationFlags; }),
      Field<Process>("startupFlags", [](auto& p) -> auto& { return p.record.startupFlags; }),
      Field<Process>("showWindow", [](auto& p) -> auto& { return p.record.showWindow; }),
      Field<Process>("inheritHandles", [](auto& p) -> auto& { return p.record.inheritHandles; }),
      Field("priorityClass", &Process::priorityClass),
      Field("session", &Process::sessionId),
      Field("tray", &Process::tray),
      Field<Process>("image", [](auto& p) -> auto& { return p.record.imagePath; }),
      Field<Process>("commandLine", [](auto& p) -> auto& { return p.record.commandLine; }),
      Field<Process>("directory", [](auto& p) -> auto& { return p.record.currentDirectory; }),
      Field("holder", &Process::holder),
  };
  return fields;
}

const SavedFields<SavedForeignMutex>& ForeignFields() {
  static const SavedFields<SavedForeignMutex> fields = {
      Field("name", &SavedForeignMutex::name),
      Field("ownerProcess", &SavedForeignMutex::ownerProcess),
  };
  return fields;
}

// processes.txt: the id counter, the processes still running (and the tray
// companion's last start) and the mutexes of other programs. The program's
// own handles end with its run and are not saved.
void Save(const std::string& dir) {
  std::string out = SavedLine("counter", g_state, CounterFields());
  for (const Process& process : g_state.processes) {
    if (process.record.running || process.record.processId == tray::LastProcessId())
      out += SavedLine("process", process, ProcessFields());
  }
  for (const auto& entry : g_state.foreign)
    out += SavedLine("foreign", SavedForeignMutex{entry.first, entry.second->ownerProcess},
                     ForeignFields());
  WriteTextFile(dir + "/processes.txt", out);
}

void LoadProcess(Process process) {
  // The files module restores the hold itself; the name lets it go later.
  if (!process.record.running) process.holder.clear();
  if (!process.holder.empty())
    files::Hold(process.record.imagePath, process.holder, ERROR_ACCESS_DENIED);
  g_state.processes.push_back(process);
}

void LoadForeignMutex(const SavedForeignMutex& saved) {
  std::shared_ptr<MutexObject> mutex = NewMutex(saved.name);
  mutex->ownerProcess = saved.ownerProcess;
  mutex->owner = ThreadOfProcess(mutex->ownerProcess);
  mutex->recursion = mutex->owner != 0 ? 1 : 0;
  g_state.foreign[saved.name] = mutex;
}

void Load(const std::string& dir) {
  const std::string file = dir + "/processes.txt";
  ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] == "counter") {
      ReadSavedLine(line, CounterFields(), &g_state, file);
    } else if (line[0] == "process") {
      Process process;
      ReadSavedLine(line, ProcessFields(), &process, file);
      LoadProcess(process);
    } else if (line[0] == "foreign") {
      SavedForeignMutex saved;
      ReadSavedLine(line, ForeignFields(), &saved, file);
      LoadForeignMutex(saved);
    } else {
      Fatal(file + ": unreadable line " + line[0]);
    }
  });
}

// Before the tray companion (56), which finds its process among these.
ModuleRegistrar g_registrar{"processes", 55, &Reset, &Save, &Load};

}  // namespace

}  // namespace processes

// -------------------------------------------------------- test control --

using processes::g_state;

std::vector<ProcessRecord> Processes() {
  std::vector<ProcessRecord> records;
  for (const processes::Process& process : g_state.processes) records.push_back(process.record);
  return records;
}

void EndProcess(DWORD processId, DWORD exitCode) {
  if (processId != 0 && processId == tray::RunningProcessId()) {
    tray::Kill();
    processes::FindProcess(processId)->record.exitCode = exitCode;
    return;
  }
  processes::MarkEnded(processId, exitCode);
}

MutexState Mutex(const std::string& name) {
  MutexState state;
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), Program().sessionId, &key)) return state;
  std::shared_ptr<processes::MutexObject> mutex = processes::FindMutex(key);
  if (!mutex) return state;
  state.exists = true;
  state.owned = mutex->owner != 0;
  state.ownedByProgram = mutex->owner == processes::ProgramThreadId();
  state.abandoned = mutex->abandoned;
  state.ownerProcessId = state.ownedByProgram ? processes::ProgramProcessId()
                                              : mutex->ownerProcess;
  // One reference is ours, for this look-up.
  state.references = static_cast<unsigned>(mutex.use_count() - 1);
  return state;
}

void CreateForeignMutex(const std::string& name, bool owned) {
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), Program().sessionId, &key))
    Fatal("CreateForeignMutex: bad name " + name);
  std::shared_ptr<processes::MutexObject> mutex = processes::FindMutex(key);
  if (!mutex) mutex = processes::NewMutex(key);
  if (owned && mutex->owner == 0) {
    DWORD id = processes::StartBackgroundProcess(u"C:\\Windows\\System32\\other.exe");
    mutex->owner = id + 4;
    mutex->ownerProcess = id;
    mutex->recursion = 1;
  }
  g_state.foreign[key] = mutex;
}

void ReleaseForeignMutex(const std::string& name) {
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), Program().sessionId, &key)) return;
  auto found = g_state.foreign.find(key);
  if (found == g_state.foreign.end()) return;
  std::shared_ptr<processes::MutexObject> mutex = found->second;
  if (mutex->owner != 0 && mutex->owner != processes::ProgramThreadId()) {
    // It let go of the mutex before it ended.
    mutex->owner = 0;
    processes::MarkEnded(mutex->ownerProcess, 0);
    mutex->ownerProcess = 0;
    mutex->recursion = 0;
  }
  g_state.foreign.erase(found);
}

void KillForeignMutexOwner(const std::string& name, uint64_t atMs) {
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), Program().sessionId, &key) || !g_state.foreign.count(key))
    Fatal("KillForeignMutexOwner: no mutex " + name + " of another program");
  clock::At(atMs, [key] {
    auto found = g_state.foreign.find(key);
    if (found == g_state.foreign.end()) return;
    std::shared_ptr<processes::MutexObject> mutex = found->second;
    if (mutex->owner != processes::ThreadOfProcess(mutex->ownerProcess)) return;
    processes::MarkEnded(mutex->ownerProcess, 1);
    mutex->owner = 0;
    mutex->ownerProcess = 0;
    mutex->recursion = 0;
    mutex->abandoned = true;
  }, "the owner of " + name + " is killed");
}

void SetProgramRun(const ProgramRun& run) {
  ProgramContext& program = MainProgram();
  program.commandLine = run.commandLine;
  program.sessionId = run.sessionId;
  program.userName = run.userName;
}

ProgramRun GetProgramRun() {
  const ProgramContext& program = MainProgram();
  return ProgramRun{program.commandLine, program.sessionId, program.userName};
}

std::vector<int> RunProgramsTogether(const std::vector<ProgramRun>& runs, int (*entry)(HINSTANCE)) {
  std::vector<ProgramContext> contexts(runs.size());
  std::vector<ProgramContext*> pointers;
  std::vector<std::function<void()>> bodies;
  std::vector<int> codes(runs.size(), -1);
  for (size_t i = 0; i < runs.size(); ++i) {
    ProgramContext& context = contexts[i];
    if (i > 0) {
      context.processId = processes::kTogetherProcessIds + 8 * static_cast<DWORD>(i);
      context.threadId = context.processId + 4;
    }
    context.commandLine = runs[i].commandLine;
    context.sessionId = runs[i].sessionId;
    context.userName = runs[i].userName;
    pointers.push_back(&context);
    bodies.push_back([&codes, i, entry] { codes[i] = entry(machine::ProgramInstance()); });
  }
  // A run that ends still owning a mutex abandons it, as its thread's end
  // does on Windows.
  auto abandon = [] {
    DWORD thread = processes::ProgramThreadId();
    for (auto& entry : processes::Names()) {
      std::shared_ptr<processes::MutexObject> mutex = entry.second.lock();
      if (!mutex || mutex->owner != thread) continue;
      mutex->owner = 0;
      mutex->ownerProcess = 0;
      mutex->recursion = 0;
      mutex->abandoned = true;
    }
  };
  RunTogether(pointers, bodies, abandon);
  return codes;
}

}  // namespace winsim

// ----------------------------------------------------------- kernel32 --

using winsim::processes::g_state;
using winsim::processes::MutexObject;

namespace {

// Creates or opens a mutex by its name as the program gives it (null or
// empty: unnamed), as CreateMutexA and CreateMutexExW do.
HANDLE CreateOrOpenMutex(const std::u16string* name, bool initialOwner) {
  std::u16string key;
  if (name && !name->empty()) {
    if (name->size() >= MAX_PATH) {
      winsim::SetError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    if (!winsim::processes::MutexKey(*name, winsim::Program().sessionId, &key)) {
      winsim::SetError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    std::shared_ptr<MutexObject> existing = winsim::processes::FindMutex(key);
    if (existing) {
      // Opened, not created: the initial-owner request is ignored.
      HANDLE handle = winsim::NewHandle(existing);
      winsim::SetError(ERROR_ALREADY_EXISTS);
      return handle;
    }
  }
  std::shared_ptr<MutexObject> mutex = winsim::processes::NewMutex(key);
  if (initialOwner) {
    mutex->owner = winsim::processes::ProgramThreadId();
    mutex->ownerProcess = winsim::processes::ProgramProcessId();
    mutex->recursion = 1;
  }
  HANDLE handle = winsim::NewHandle(mutex);
  winsim::SetError(ERROR_SUCCESS);
  return handle;
}

}  // namespace

extern "C" {

const winsim::DocumentedErrors kCreateMutexAErrors{
    "CreateMutexA", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
  std::string detail = std::string(bInitialOwner ? "owned" : "not owned") + ", " +
                       (lpName ? std::string(lpName) : std::string("(null)"));
  if (winsim::Enter("CreateMutexA", detail)) return nullptr;
  if (!lpName) return CreateOrOpenMutex(nullptr, bInitialOwner != FALSE);
  std::u16string name = winsim::FromAnsi(lpName);
  return CreateOrOpenMutex(&name, bInitialOwner != FALSE);
}

// ERROR_ACCESS_DENIED: the mutex exists and its security does not grant the
// access asked for; ERROR_INVALID_HANDLE: the name is another object's.
const winsim::DocumentedErrors kCreateMutexExWErrors{
    "CreateMutexExW", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCWSTR lpName,
                             DWORD dwFlags, DWORD dwDesiredAccess) {
  std::string detail = std::string((dwFlags & CREATE_MUTEX_INITIAL_OWNER) ? "owned" : "not owned") +
                       ", " + winsim::Narrow(lpName) + ", access " + winsim::Hex(dwDesiredAccess);
  if (winsim::Enter("CreateMutexExW", detail)) return nullptr;
  if (dwFlags & ~static_cast<DWORD>(CREATE_MUTEX_INITIAL_OWNER)) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!(dwDesiredAccess & SYNCHRONIZE))
    winsim::Unsupported("CreateMutexExW", "a handle that cannot be waited on");
  if (!lpName) return CreateOrOpenMutex(nullptr, (dwFlags & CREATE_MUTEX_INITIAL_OWNER) != 0);
  std::u16string name = winsim::FromW(lpName);
  return CreateOrOpenMutex(&name, (dwFlags & CREATE_MUTEX_INITIAL_OWNER) != 0);
}

const winsim::DocumentedErrors kReleaseMutexErrors{"ReleaseMutex", {ERROR_NOT_OWNER}};

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  if (winsim::Enter("ReleaseMutex", winsim::Hex(reinterpret_cast<uintptr_t>(hMutex))))
    return FALSE;
  std::shared_ptr<MutexObject> mutex = winsim::LookupHandleAs<MutexObject>(hMutex);
  if (!mutex) {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (mutex->owner != winsim::processes::ProgramThreadId()) {
    winsim::SetError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex->recursion == 0) {
    mutex->owner = 0;
    mutex->ownerProcess = 0;
  }
  return TRUE;
}

const winsim::DocumentedErrors kWaitForSingleObjectErrors{
    "WaitForSingleObject", {ERROR_INVALID_HANDLE}};

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (winsim::Enter("WaitForSingleObject", winsim::Hex(reinterpret_cast<uintptr_t>(hHandle)) +
                                               ", " + std::to_string(dwMilliseconds)))
    return WAIT_FAILED;
  std::shared_ptr<winsim::KernelObject> object = winsim::LookupHandle(hHandle);
  if (!object) {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!object->Waitable())
    winsim::Unsupported("WaitForSingleObject",
                        std::string("waiting on a ") + object->TypeName() + " handle");
  // The wait holds its own reference: the object stays while it waits.
  std::shared_ptr<MutexObject> mutex = std::dynamic_pointer_cast<MutexObject>(object);
  bool satisfied = winsim::clock::WaitUntil([&object] { return object->Signaled(); },
                                            dwMilliseconds);
  if (!satisfied) return WAIT_TIMEOUT;
  bool abandoned = mutex && mutex->abandoned;
  object->OnWaitSatisfied();
  if (mutex) mutex->ownerProcess = winsim::processes::ProgramProcessId();
  return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

const winsim::DocumentedErrors kCreateProcessWErrors{
    "CreateProcessW", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_BAD_EXE_FORMAT}};

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  if (winsim::Enter("CreateProcessW", winsim::Narrow(lpApplicationName) + ", " +
                                          winsim::Narrow(lpCommandLine)))
    return FALSE;
  if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine)) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD priority = dwCreationFlags & winsim::processes::kPriorityClasses;
  if (priority & (priority - 1)) {  // more than one priority class
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwCreationFlags & (DEBUG_PROCESS | CREATE_SUSPENDED))
    winsim::Unsupported("CreateProcessW", "debugged or suspended processes");
  std::u16string commandLine = winsim::FromW(lpCommandLine);
  std::u16string image;
  bool found;
  if (lpApplicationName) {
    // Used as given: no search and no default extension.
    std::u16string canonical;
    found = winsim::files::Canonical(winsim::FromW(lpApplicationName), &canonical) &&
            winsim::files::Exists(canonical);
    image = canonical;
    if (commandLine.empty()) commandLine = winsim::FromW(lpApplicationName);
  } else {
    found = winsim::processes::ModuleOfCommandLine(commandLine, &image);
  }
  if (!found) {
    winsim::SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (winsim::files::IsDirectory(image)) {
    winsim::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::u16string directory = winsim::files::CurrentDirectory();
  if (lpCurrentDirectory) {
    std::u16string canonical;
    if (!winsim::files::Canonical(winsim::FromW(lpCurrentDirectory), &canonical) ||
        !winsim::files::IsDirectory(canonical)) {
      winsim::SetError(ERROR_DIRECTORY);
      return FALSE;
    }
    directory = canonical;
  }

  // The start record is read before the process runs.
  winsim::processes::Process& started =
      winsim::processes::Launch(image, commandLine, winsim::Program().sessionId);
  DWORD processId = started.record.processId;
  winsim::processes::Process* process = winsim::processes::FindProcess(processId);
  process->record.currentDirectory = directory;
  process->record.creationFlags = dwCreationFlags;
  process->record.inheritHandles = bInheritHandles != FALSE;
  process->record.startupFlags = lpStartupInfo->dwFlags;
  process->record.showWindow =
      (lpStartupInfo->dwFlags & STARTF_USESHOWWINDOW) ? lpStartupInfo->wShowWindow : SW_SHOWDEFAULT;
  process->priorityClass = priority ? priority : NORMAL_PRIORITY_CLASS;

  lpProcessInformation->hProcess =
      winsim::NewHandle(std::make_shared<winsim::processes::ProcessObject>(processId, false));
  lpProcessInformation->hThread = winsim::NewHandle(
      std::make_shared<winsim::processes::ProcessObject>(process->threadId, true));
  lpProcessInformation->dwProcessId = processId;
  lpProcessInformation->dwThreadId = process->threadId;
  return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
  winsim::Enter("GetCurrentProcessId");
  return winsim::processes::ProgramProcessId();
}

const winsim::DocumentedErrors kProcessIdToSessionIdErrors{
    "ProcessIdToSessionId", {ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}};

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  if (winsim::Enter("ProcessIdToSessionId", std::to_string(dwProcessId))) return FALSE;
  if (pSessionId == nullptr) {
    winsim::SetError(ERROR_NOACCESS);
    return FALSE;
  }
  bool known = dwProcessId == winsim::processes::ProgramProcessId() ||
               winsim::processes::FindProcess(dwProcessId) != nullptr;
  if (!known) {
    winsim::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pSessionId = winsim::processes::SessionOf(dwProcessId);
  return TRUE;
}

const winsim::DocumentedErrors kGetExitCodeProcessErrors{
    "GetExitCodeProcess", {ERROR_INVALID_HANDLE}};

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (winsim::Enter("GetExitCodeProcess", winsim::Hex(reinterpret_cast<uintptr_t>(hProcess))))
    return FALSE;
  auto object = winsim::LookupHandleAs<winsim::processes::ProcessObject>(hProcess);
  winsim::processes::Process* process =
      object ? winsim::processes::FindProcess(object->id()) : nullptr;
  if (!process || std::string(object->TypeName()) != "process") {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode) *lpExitCode = process->record.exitCode;
  return TRUE;
}

}  // extern "C"
