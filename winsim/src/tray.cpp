// The tray companion "soltray.exe" as a simulated program: while it runs it
// holds its mutex owned, owns a window of its class and keeps its
// executable in use; message 0x402 ends it, as its behaviour says.
#include "tray.h"

#include <winsim/desktop_control.h>

#include <memory>

#include "core.h"
#include "desktop.h"
#include "saved_record.h"

namespace winsim {
namespace tray {

namespace {

const char16_t kTrayFileName[] = u"soltray.exe";
const char16_t kTrayMutex[] = u"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char16_t kTrayClass[] = u"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const UINT kTrayExitMessage = WM_USER + 2;

struct Tray {
  DWORD processId = 0;  // the running companion, 0: none
  std::shared_ptr<processes::MutexObject> mutex;
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

Tray g_tray;

std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

void TrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void CreateTrayWindow(uint32_t restore) {
  g_tray.windowAt = 0;
  g_tray.windowEvent = 0;
  g_tray.window =
      desktop::CreateWindowOf(g_tray.processId, kTrayClass, u"", &TrayMessage, restore);
}

void ScheduleTrayWindow(uint64_t when) {
  g_tray.windowAt = when;
  g_tray.windowEvent =
      clock::At(when, [] { CreateTrayWindow(0); }, "soltray.exe opens its window");
}

// The key of the companion's mutex in the session of its process (the name
// has no prefix: each session has its own).
std::u16string MutexKeyOf(const processes::Process& process) {
  std::u16string key;
  processes::MutexKey(kTrayMutex, process.sessionId, &key);
  return key;
}

// The companion owns its mutex from its start.
void TakeMutex(const processes::Process& process) {
  g_tray.mutex = processes::NewMutex(MutexKeyOf(process));
  g_tray.mutex->owner = process.threadId;
  g_tray.mutex->ownerProcess = process.record.processId;
  g_tray.mutex->recursion = 1;
}

// The companion ends: it releases its mutex (or abandons it), its window
// goes and its executable is no longer in use.
void EndTray(bool abandon) {
  Tray& tray = g_tray;
  if (tray.processId == 0) return;
  if (tray.windowEvent) clock::Cancel(tray.windowEvent);
  if (tray.exitEvent) clock::Cancel(tray.exitEvent);
  tray.windowEvent = tray.exitEvent = 0;
  tray.windowAt = tray.exitAt = 0;
  if (tray.mutex) {
    DWORD threadId = processes::FindProcess(tray.processId)->threadId;
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
  processes::MarkEnded(processId, 0);
}

void ScheduleTrayExit(uint64_t when) {
  g_tray.exitAt = when;
  g_tray.exitEvent =
      clock::At(when, [] { EndTray(g_tray.behaviour.abandonsMutex); }, "soltray.exe exits");
}

void TrayMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Tray& tray = g_tray;
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

// ------------------------------------------------------------ machine --

void Reset() {
  if (g_tray.windowEvent) clock::Cancel(g_tray.windowEvent);
  if (g_tray.exitEvent) clock::Cancel(g_tray.exitEvent);
  g_tray = Tray();
}

// The companion as saved: its counts, and the running companion's process,
// window and pending events.
struct SavedCompanion {
  unsigned starts = 0;
  unsigned exitRequests = 0;
  DWORD lastProcessId = 0;
  DWORD processId = 0;
  uint32_t window = 0;
  uint64_t windowAt = 0;
  uint64_t exitAt = 0;
};

const SavedFields<TrayBehaviour>& BehaviourFields() {
  static const SavedFields<TrayBehaviour> fields = {
      Field("exit", &TrayBehaviour::exit),
      Field("exitDelayMs", &TrayBehaviour::exitDelayMs),
      Field("hasWindow", &TrayBehaviour::hasWindow),
      Field("windowDelayMs", &TrayBehaviour::windowDelayMs),
      Field("abandonsMutex", &TrayBehaviour::abandonsMutex),
  };
  return fields;
}

const SavedFields<SavedCompanion>& CompanionFields() {
  static const SavedFields<SavedCompanion> fields = {
      Field("starts", &SavedCompanion::starts),
      Field("exitRequests", &SavedCompanion::exitRequests),
      Field("lastProcess", &SavedCompanion::lastProcessId),
      Field("process", &SavedCompanion::processId),
      Field("window", &SavedCompanion::window),
      Field("windowAt", &SavedCompanion::windowAt),
      Field("exitAt", &SavedCompanion::exitAt),
  };
  return fields;
}

// tray.txt: the companion's behaviour and its state.
void Save(const std::string& dir) {
  SavedCompanion saved;
  saved.starts = g_tray.starts;
  saved.exitRequests = g_tray.exitRequests;
  saved.lastProcessId = g_tray.lastProcessId;
  saved.processId = g_tray.processId;
  if (g_tray.processId != 0) {
    saved.window = desktop::HandleValue(g_tray.window);
    saved.windowAt = g_tray.windowAt;
    saved.exitAt = g_tray.exitAt;
  }
  WriteTextFile(dir + "/tray.txt", SavedLine("behaviour", g_tray.behaviour, BehaviourFields()) +
                                       SavedLine("companion", saved, CompanionFields()));
}

void Load(const std::string& dir) {
  const std::string file = dir + "/tray.txt";
  SavedCompanion saved;
  bool found = ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] == "behaviour")
      ReadSavedLine(line, BehaviourFields(), &g_tray.behaviour, file);
    else if (line[0] == "companion")
      ReadSavedLine(line, CompanionFields(), &saved, file);
    else
      Fatal(file + ": unreadable line " + line[0]);
  });
  if (!found) return;
  g_tray.starts = saved.starts;
  g_tray.exitRequests = saved.exitRequests;
  g_tray.lastProcessId = saved.lastProcessId;
  const processes::Process* process = processes::FindProcess(saved.processId);
  if (saved.processId == 0 || process == nullptr || !process->record.running) return;
  g_tray.processId = saved.processId;
  TakeMutex(*process);
  if (saved.window != 0) CreateTrayWindow(saved.window);
  if (saved.windowAt != 0) ScheduleTrayWindow(saved.windowAt);
  if (saved.exitAt != 0) ScheduleTrayExit(saved.exitAt);
}

// After the processes (55), whose records it finds its process in, and the
// desktop (50), into which its window is restored.
ModuleRegistrar g_registrar{"tray", 56, &Reset, &Save, &Load};

}  // namespace

bool IsCompanion(const std::u16string& imagePath) {
  return EqualsNoCase(FileNameOf(imagePath), kTrayFileName);
}

// What soltray.exe does when it starts: a second instance finds the mutex
// and ends at once; the first takes the mutex, keeps its executable in use
// and opens its window.
void Run(processes::Process& process) {
  Tray& tray = g_tray;
  process.tray = true;
  ++tray.starts;
  tray.lastProcessId = process.record.processId;
  if (processes::FindMutex(MutexKeyOf(process))) {
    processes::MarkEnded(process.record.processId, 0);
    return;
  }
  if (tray.processId != 0)
    Unsupported("soltray.exe", "companions in two sessions at once");
  tray.processId = process.record.processId;
  TakeMutex(process);
  process.holder = "soltray.exe (process " + std::to_string(process.record.processId) + ")";
  files::Hold(process.record.imagePath, process.holder, ERROR_ACCESS_DENIED);
  if (tray.behaviour.hasWindow) {
    if (tray.behaviour.windowDelayMs == 0)
      CreateTrayWindow(0);
    else
      ScheduleTrayWindow(clock::Now() + tray.behaviour.windowDelayMs);
  }
}

DWORD RunningProcessId() { return g_tray.processId; }
DWORD LastProcessId() { return g_tray.lastProcessId; }
void Kill() { EndTray(true); }

}  // namespace tray

// -------------------------------------------------------- test control --

void SetTrayBehaviour(const TrayBehaviour& behaviour) { tray::g_tray.behaviour = behaviour; }
TrayBehaviour GetTrayBehaviour() { return tray::g_tray.behaviour; }

bool StartTrayCompanion(const std::u16string& path, DWORD sessionId) {
  std::u16string canonical;
  if (!files::Canonical(path, &canonical) || !files::IsFile(canonical)) return false;
  processes::Process& process = processes::Launch(canonical, u"\"" + canonical + u"\"", sessionId);
  if (!process.tray) Fatal("StartTrayCompanion: " + Narrow(path) + " is not soltray.exe");
  return true;
}

void KillTrayCompanion() { tray::Kill(); }

TrayCompanionState TrayCompanion() {
  const tray::Tray& tray = tray::g_tray;
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

}  // namespace winsim
