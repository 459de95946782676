// kernel32's processes, named mutexes and the system version on the
// simulated machine, with the tray companion "soltray.exe" as a simulated
// program: while it runs it holds its mutex owned, owns a window of its
// class and keeps its executable in use; message 0x402 ends it.
#include "processes.h"

#include <winsim/desktop_control.h>

#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "core.h"
#include "desktop.h"

namespace winsim {
namespace processes {

namespace {

const DWORD kProgramProcessId = 0x1A2C;
const DWORD kProgramThreadId = 0x1A30;
const DWORD kFirstProcessId = 0x2000;

const char16_t kTrayFileName[] = u"soltray.exe";
const char16_t kTrayMutex[] = u"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char16_t kTrayClass[] = u"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const UINT kTrayExitMessage = WM_USER + 2;

const DWORD kPriorityClasses = 0x00000020 | 0x00000040 | 0x00000080 | 0x00000100 |
                               0x00004000 | 0x00008000;  // NORMAL IDLE HIGH REALTIME BELOW ABOVE

// ------------------------------------------------------------ mutexes --

class MutexObject : public KernelObject {
 public:
  explicit MutexObject(std::u16string name) : name_(std::move(name)) {}
  ~MutexObject() override;
  const char* TypeName() const override { return "mutex"; }
  bool Waitable() const override { return true; }
  bool Signaled() const override { return owner == 0 || owner == kProgramThreadId; }
  void OnWaitSatisfied() override {
    owner = kProgramThreadId;
    ++recursion;
    abandoned = false;
  }
  const std::u16string& name() const { return name_; }

  DWORD owner = 0;  // thread id, 0: free
  DWORD ownerProcess = 0;
  unsigned recursion = 0;
  bool abandoned = false;

 private:
  std::u16string name_;
};

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

struct Process {
  ProcessRecord record;
  DWORD threadId = 0;
  DWORD priorityClass = 0;
  bool tray = false;
  std::string holder;  // file holder name while the image is in use
};

struct Tray {
  DWORD processId = 0;  // the running companion, 0: none
  std::shared_ptr<MutexObject> mutex;
  HWND window = nullptr;
  uint64_t windowAt = 0;  // its window appears then (0: not pending)
  uint64_t exitAt = 0;    // it ends then (0: not pending)
  clock::EventId windowEvent = 0;
  clock::EventId exitEvent = 0;
  TrayBehaviour behaviour;
  unsigned starts = 0;
  unsigned exitRequests = 0;
  DWORD lastProcessId = 0;
};

struct OsVersion {
  DWORD major = 10;
  DWORD minor = 0;
  DWORD build = 19045;
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  std::string servicePack;
};

struct State {
  std::vector<Process> processes;
  DWORD nextId = kFirstProcessId;
  std::map<std::u16string, std::shared_ptr<MutexObject>> foreign;
  Tray tray;
  OsVersion version;
};

State g_state;

// The named mutexes. Never destroyed: mutexes behind handles may outlive
// every other static object of the machine.
std::map<std::u16string, std::weak_ptr<MutexObject>>& Names() {
  static auto* names = new std::map<std::u16string, std::weak_ptr<MutexObject>>();
  return *names;
}

MutexObject::~MutexObject() {
  if (name_.empty()) return;
  auto found = Names().find(name_);
  if (found != Names().end() && found->second.expired()) Names().erase(found);
}

Process* FindProcess(DWORD id) {
  for (Process& process : g_state.processes)
    if (process.record.processId == id || process.threadId == id) return &process;
  return nullptr;
}

bool ProcessObject::Signaled() const {
  Process* process = FindProcess(id_);
  return !process || !process->record.running;
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

// The namespace key of a mutex name: the session's "Local\" prefix is the
// default namespace; any other backslash is a path the object manager does
// not have. Returns false for such a name.
bool MutexKey(const std::u16string& name, std::u16string* key) {
  std::u16string rest = name;
  const std::u16string local = u"Local\\";
  const std::u16string global = u"Global\\";
  std::u16string prefix;
  if (rest.compare(0, local.size(), local) == 0) {
    rest = rest.substr(local.size());
  } else if (rest.compare(0, global.size(), global) == 0) {
    rest = rest.substr(global.size());
    prefix = global;
  }
  if (rest.find(u'\\') != std::u16string::npos) return false;
  *key = prefix + rest;
  return true;
}

// ---------------------------------------------------------- processes --

Process& NewProcess(const std::u16string& image, const std::u16string& commandLine) {
  Process process;
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

void MarkEnded(DWORD processId, DWORD exitCode) {
  Process* process = FindProcess(processId);
  if (!process || !process->record.running) return;
  process->record.running = false;
  process->record.exitCode = exitCode;
  if (!process->holder.empty()) files::ReleaseAll(process->holder);
  process->holder.clear();
}

std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// ------------------------------------------------------ tray companion --

void TrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void CreateTrayWindow(uint32_t restore) {
  Tray& tray = g_state.tray;
  tray.windowAt = 0;
  tray.windowEvent = 0;
  Process* process = FindProcess(tray.processId);
  tray.window = desktop::CreateWindowOf(tray.processId, kTrayClass, u"", &TrayMessage, restore);
  (void)process;
}

void ScheduleTrayWindow(uint64_t when) {
  Tray& tray = g_state.tray;
  tray.windowAt = when;
  tray.windowEvent = clock::At(when, [] { CreateTrayWindow(0); }, "soltray.exe opens its window");
}

// The companion ends: it releases its mutex (or abandons it), its window
// goes and its executable is no longer in use.
void EndTray(bool abandon) {
  Tray& tray = g_state.tray;
  if (tray.processId == 0) return;
  if (tray.windowEvent) clock::Cancel(tray.windowEvent);
  if (tray.exitEvent) clock::Cancel(tray.exitEvent);
  tray.windowEvent = tray.exitEvent = 0;
  tray.windowAt = tray.exitAt = 0;
  if (tray.mutex) {
    DWORD threadId = FindProcess(tray.processId)->threadId;
    if (tray.mutex->owner == threadId) {
      tray.mutex->owner = 0;
      tray.mutex->ownerProcess = 0;
      tray.mutex->recursion = 0;
      tray.mutex->abandoned = abandon;
    }
    tray.mutex.reset();
  }
  if (tray.window) desktop::DestroyWindowOf(tray.window);
  tray.window = nullptr;
  DWORD processId = tray.processId;
  tray.processId = 0;
  MarkEnded(processId, 0);
}

void ScheduleTrayExit(uint64_t when) {
  Tray& tray = g_state.tray;
  tray.exitAt = when;
  tray.exitEvent = clock::At(when, [] { EndTray(g_state.tray.behaviour.abandonsMutex); },
                             "soltray.exe exits");
}

void TrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Tray& tray = g_state.tray;
  if (message != kTrayExitMessage || tray.processId == 0) return;
  ++tray.exitRequests;
  switch (tray.behaviour.exit) {
    case TrayExit::AtOnce:
      EndTray(tray.behaviour.abandonsMutex);
      break;
    case TrayExit::AfterDelay:
      if (tray.exitAt == 0) ScheduleTrayExit(clock::Now() + tray.behaviour.exitDelayMs);
      break;
    case TrayExit::Never:
      break;
  }
}

// What soltray.exe does when it starts: a second instance finds the mutex
// and ends at once; the first takes the mutex, keeps its executable in use
// and opens its window.
void RunTray(Process& process) {
  Tray& tray = g_state.tray;
  process.tray = true;
  ++tray.starts;
  tray.lastProcessId = process.record.processId;
  if (FindMutex(kTrayMutex)) {
    MarkEnded(process.record.processId, 0);
    return;
  }
  tray.processId = process.record.processId;
  tray.mutex = NewMutex(kTrayMutex);
  tray.mutex->owner = process.threadId;
  tray.mutex->ownerProcess = process.record.processId;
  tray.mutex->recursion = 1;
  process.holder = "soltray.exe (process " + std::to_string(process.record.processId) + ")";
  files::Hold(process.record.imagePath, process.holder, ERROR_ACCESS_DENIED);
  if (tray.behaviour.hasWindow) {
    if (tray.behaviour.windowDelayMs == 0)
      CreateTrayWindow(0);
    else
      ScheduleTrayWindow(clock::Now() + tray.behaviour.windowDelayMs);
  }
}

// Starts the image as a process; a file named soltray.exe runs as the
// companion, anything else runs (doing nothing visible) until ended.
Process& Launch(const std::u16string& image, const std::u16string& commandLine) {
  Process& process = NewProcess(image, commandLine);
  DWORD id = process.record.processId;
  if (EqualsNoCase(FileNameOf(image), kTrayFileName)) {
    RunTray(process);
  } else {
    process.holder = "process " + std::to_string(id);
    files::Hold(image, process.holder, ERROR_ACCESS_DENIED);
  }
  return *FindProcess(id);
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

DWORD ProgramProcessId() { return kProgramProcessId; }
DWORD ProgramThreadId() { return kProgramThreadId; }

DWORD ThreadOfProcess(DWORD processId) {
  Process* process = FindProcess(processId);
  return process ? process->threadId : 0;
}

DWORD StartBackgroundProcess(const std::u16string& imagePath) {
  return NewProcess(imagePath, u"\"" + imagePath + u"\"").record.processId;
}

void EndBackgroundProcess(DWORD processId, DWORD exitCode) { MarkEnded(processId, exitCode); }

// ------------------------------------------------------------ machine --

namespace {

void Reset() {
  Tray& tray = g_state.tray;
  if (tray.windowEvent) clock::Cancel(tray.windowEvent);
  if (tray.exitEvent) clock::Cancel(tray.exitEvent);
  for (Process& process : g_state.processes)
    if (!process.holder.empty()) files::ReleaseAll(process.holder);
  // Mutexes still behind handles of the program outlive the reset only
  // until those handles go; they no longer have names.
  for (auto& entry : Names()) {
    std::shared_ptr<MutexObject> mutex = entry.second.lock();
    if (mutex) mutex->owner = 0;
  }
  g_state.tray.mutex.reset();
  g_state.foreign.clear();
  Names().clear();
  g_state = State();
}


// processes.txt: the system version, the id counter, the processes still
// running, the companion and the foreign mutexes. The program's own handles
// end with its run and are not saved.
void Save(const std::string& dir) {
  std::ostringstream out;
  const OsVersion& v = g_state.version;
  out << "version\t" << v.major << "\t" << v.minor << "\t" << v.build << "\t" << v.platformId
      << "\t" << EscapeField(v.servicePack) << "\n";
  out << "next\t" << g_state.nextId << "\n";
  const Tray& tray = g_state.tray;
  const TrayBehaviour& b = tray.behaviour;
  out << "tray\t" << static_cast<int>(b.exit) << "\t" << b.exitDelayMs << "\t"
      << (b.hasWindow ? 1 : 0) << "\t" << b.windowDelayMs << "\t" << (b.abandonsMutex ? 1 : 0)
      << "\t" << tray.starts << "\t" << tray.exitRequests << "\t" << tray.lastProcessId << "\n";
  for (const Process& process : g_state.processes) {
    const ProcessRecord& r = process.record;
    if (!r.running && r.processId != tray.lastProcessId) continue;
    bool companion = r.running && r.processId == tray.processId;
    out << "process\t" << r.processId << "\t" << process.threadId << "\t" << (r.running ? 1 : 0)
        << "\t" << r.exitCode << "\t" << r.creationFlags << "\t" << r.startupFlags << "\t"
        << r.showWindow << "\t" << process.priorityClass << "\t" << (process.tray ? 1 : 0)
        << "\t" << (companion ? 1 : 0) << "\t" << EscapeText(r.imagePath) << "\t"
        << EscapeText(r.commandLine) << "\t" << EscapeText(r.currentDirectory) << "\t"
        << EscapeText(Widen(process.holder)) << "\n";
  }
  if (tray.processId != 0) {
    out << "companion\t" << desktop::HandleValue(tray.window) << "\t" << tray.windowAt << "\t"
        << tray.exitAt << "\n";
  }
  for (const auto& entry : g_state.foreign)
    out << "foreign\t" << entry.second->ownerProcess << "\t" << EscapeText(entry.first) << "\n";
  WriteTextFile(dir + "/processes.txt", out.str());
}

void LoadProcess(const std::vector<std::string>& f) {
  Process process;
  ProcessRecord& r = process.record;
  r.processId = static_cast<DWORD>(std::stoul(f[1]));
  process.threadId = static_cast<DWORD>(std::stoul(f[2]));
  r.running = f[3] == "1";
  r.exitCode = static_cast<DWORD>(std::stoul(f[4]));
  r.creationFlags = static_cast<DWORD>(std::stoul(f[5]));
  r.startupFlags = static_cast<DWORD>(std::stoul(f[6]));
  r.showWindow = static_cast<WORD>(std::stoul(f[7]));
  process.priorityClass = static_cast<DWORD>(std::stoul(f[8]));
  process.tray = f[9] == "1";
  bool companion = f[10] == "1";
  r.imagePath = UnescapeText(f[11]);
  r.commandLine = UnescapeText(f[12]);
  r.currentDirectory = UnescapeText(f[13]);
  // The files module restores the hold itself; the name lets it go later.
  process.holder = r.running ? Narrow(UnescapeText(f[14])) : std::string();
  if (!process.holder.empty()) files::Hold(r.imagePath, process.holder, ERROR_ACCESS_DENIED);
  g_state.processes.push_back(process);
  if (companion) {
    Tray& tray = g_state.tray;
    tray.processId = r.processId;
    tray.mutex = NewMutex(kTrayMutex);
    tray.mutex->owner = process.threadId;
    tray.mutex->ownerProcess = r.processId;
    tray.mutex->recursion = 1;
  }
}

void Load(const std::string& dir) {
  std::string text;
  if (!ReadTextFile(dir + "/processes.txt", &text)) return;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = SplitTabs(line);
    if (line.empty()) continue;
    if (f[0] == "version" && f.size() >= 5) {
      OsVersion& v = g_state.version;
      v.major = static_cast<DWORD>(std::stoul(f[1]));
      v.minor = static_cast<DWORD>(std::stoul(f[2]));
      v.build = static_cast<DWORD>(std::stoul(f[3]));
      v.platformId = static_cast<DWORD>(std::stoul(f[4]));
      v.servicePack = f.size() > 5 ? UnescapeField(f[5]) : std::string();
    } else if (f[0] == "next" && f.size() == 2) {
      g_state.nextId = static_cast<DWORD>(std::stoul(f[1]));
    } else if (f[0] == "tray" && f.size() == 9) {
      Tray& tray = g_state.tray;
      tray.behaviour.exit = static_cast<TrayExit>(std::stoi(f[1]));
      tray.behaviour.exitDelayMs = static_cast<DWORD>(std::stoul(f[2]));
      tray.behaviour.hasWindow = f[3] == "1";
      tray.behaviour.windowDelayMs = static_cast<DWORD>(std::stoul(f[4]));
      tray.behaviour.abandonsMutex = f[5] == "1";
      tray.starts = static_cast<unsigned>(std::stoul(f[6]));
      tray.exitRequests = static_cast<unsigned>(std::stoul(f[7]));
      tray.lastProcessId = static_cast<DWORD>(std::stoul(f[8]));
    } else if (f[0] == "process" && f.size() == 15) {
      LoadProcess(f);
    } else if (f[0] == "companion" && f.size() == 4) {
      uint32_t window = static_cast<uint32_t>(std::stoul(f[1]));
      uint64_t windowAt = std::stoull(f[2]);
      uint64_t exitAt = std::stoull(f[3]);
      if (window != 0) CreateTrayWindow(window);
      if (windowAt != 0) ScheduleTrayWindow(windowAt);
      if (exitAt != 0) ScheduleTrayExit(exitAt);
    } else if (f[0] == "foreign" && f.size() == 3) {
      std::shared_ptr<MutexObject> mutex = NewMutex(UnescapeText(f[2]));
      mutex->ownerProcess = static_cast<DWORD>(std::stoul(f[1]));
      mutex->owner = ThreadOfProcess(mutex->ownerProcess);
      mutex->recursion = mutex->owner != 0 ? 1 : 0;
      g_state.foreign[UnescapeText(f[2])] = mutex;
    } else {
      Fatal("processes.txt: unreadable line: " + line);
    }
  }
}

// After the desktop (50): the companion's window is restored into it.
ModuleRegistrar g_registrar{"processes", 55, &Reset, &Save, &Load};

}  // namespace

}  // namespace processes

// -------------------------------------------------------- test control --

using processes::g_state;

void SetTrayBehaviour(const TrayBehaviour& behaviour) { g_state.tray.behaviour = behaviour; }

bool StartTrayCompanion(const std::u16string& path) {
  std::u16string canonical;
  if (!files::Canonical(path, &canonical) || !files::IsFile(canonical)) return false;
  processes::Process& process = processes::Launch(canonical, u"\"" + canonical + u"\"");
  if (!process.tray) Fatal("StartTrayCompanion: " + Narrow(path) + " is not soltray.exe");
  return true;
}

void KillTrayCompanion() { processes::EndTray(true); }

TrayCompanionState TrayCompanion() {
  const processes::Tray& tray = g_state.tray;
  TrayCompanionState state;
  state.running = tray.processId != 0;
  state.processId = tray.processId;
  state.window = tray.window;
  state.starts = tray.starts;
  state.exitRequests = tray.exitRequests;
  processes::Process* last = processes::FindProcess(tray.lastProcessId);
  if (last) {
    state.imagePath = last->record.imagePath;
    state.commandLine = last->record.commandLine;
    state.creationFlags = last->record.creationFlags;
    state.priorityClass = last->priorityClass;
    state.startupFlags = last->record.startupFlags;
    state.showWindow = last->record.showWindow;
  }
  return state;
}

std::vector<ProcessRecord> Processes() {
  std::vector<ProcessRecord> records;
  for (const processes::Process& process : g_state.processes) records.push_back(process.record);
  return records;
}

void EndProcess(DWORD processId, DWORD exitCode) {
  if (processId != 0 && processId == g_state.tray.processId) {
    processes::EndTray(true);
    processes::FindProcess(processId)->record.exitCode = exitCode;
    return;
  }
  processes::MarkEnded(processId, exitCode);
}

void SetOsVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId,
                  const std::string& servicePack) {
  processes::OsVersion& v = g_state.version;
  v.major = major;
  v.minor = minor;
  v.build = build;
  v.platformId = platformId;
  v.servicePack = servicePack;
}

MutexState Mutex(const std::string& name) {
  MutexState state;
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), &key)) return state;
  std::shared_ptr<processes::MutexObject> mutex = processes::FindMutex(key);
  if (!mutex) return state;
  state.exists = true;
  state.owned = mutex->owner != 0;
  state.ownedByProgram = mutex->owner == processes::kProgramThreadId;
  state.abandoned = mutex->abandoned;
  state.ownerProcessId = state.ownedByProgram ? processes::kProgramProcessId
                                              : mutex->ownerProcess;
  // One reference is ours, for this look-up.
  state.references = static_cast<unsigned>(mutex.use_count() - 1);
  return state;
}

void CreateForeignMutex(const std::string& name, bool owned) {
  std::u16string key;
  if (!processes::MutexKey(FromAnsi(name), &key)) Fatal("CreateForeignMutex: bad name " + name);
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
  if (!processes::MutexKey(FromAnsi(name), &key)) return;
  auto found = g_state.foreign.find(key);
  if (found == g_state.foreign.end()) return;
  std::shared_ptr<processes::MutexObject> mutex = found->second;
  if (mutex->owner != 0 && mutex->owner != processes::kProgramThreadId) {
    processes::MarkEnded(mutex->ownerProcess, 0);
    mutex->owner = 0;
    mutex->ownerProcess = 0;
    mutex->recursion = 0;
  }
  g_state.foreign.erase(found);
}

}  // namespace winsim

// ----------------------------------------------------------- kernel32 --

using winsim::processes::g_state;
using winsim::processes::MutexObject;

extern "C" {

const winsim::DocumentedErrors kCreateMutexAErrors{
    "CreateMutexA", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName) {
  std::string detail = std::string(bInitialOwner ? "owned" : "not owned") + ", " +
                       (lpName ? std::string(lpName) : std::string("(null)"));
  if (winsim::Enter("CreateMutexA", detail)) return nullptr;
  std::u16string key;
  if (lpName && lpName[0]) {
    if (std::strlen(lpName) >= MAX_PATH) {
      winsim::SetError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    if (!winsim::processes::MutexKey(winsim::FromAnsi(lpName), &key)) {
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
  if (bInitialOwner) {
    mutex->owner = winsim::processes::kProgramThreadId;
    mutex->ownerProcess = winsim::processes::kProgramProcessId;
    mutex->recursion = 1;
  }
  HANDLE handle = winsim::NewHandle(mutex);
  winsim::SetError(ERROR_SUCCESS);
  return handle;
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
  if (mutex->owner != winsim::processes::kProgramThreadId) {
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
  if (mutex) mutex->ownerProcess = winsim::processes::kProgramProcessId;
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
  winsim::processes::Process& started = winsim::processes::Launch(image, commandLine);
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
  const winsim::processes::OsVersion& v = g_state.version;
  DWORD major = v.major, minor = v.minor, build = v.build;
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
