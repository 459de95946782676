// user32 on the simulated machine: top-level windows of simulated processes,
// posted messages, the keyboard state and the window station. Dialogs are in
// desktop_dialog.cpp.
#include "desktop.h"

#include <winsim/desktop_control.h>

#include <sstream>
#include <vector>

#include "core.h"
#include "desktop_internal.h"
#include "processes.h"
#include "saved_record.h"

namespace winsim {
namespace desktop {

namespace {

// Handle values: the low word is 0x0020 + 2 * slot, the high word the
// generation, as user32 builds them. Slots are never reused within one
// machine, so a stale handle never names a newer window.
const uint32_t kFirstLowWord = 0x0020;
const uint32_t kGeneration = 0x0001;

const char16_t kHelpClass[] = u"HH Parent";
const char16_t kHelpTitle[] = u"Solvendale Help";

char g_windowStationTag;  // its address is the process window station handle

State g_state;

uint32_t ValueOfSlot(size_t slot) {
  return (kGeneration << 16) | (kFirstLowWord + 2 * static_cast<uint32_t>(slot));
}

HWND AsHwnd(uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
}

std::string DescribeWindow(HWND value) {
  return Hex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)));
}

bool IsCloseRequest(UINT message, WPARAM wParam) {
  if (message == WM_CLOSE) return true;
  return message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE;
}

void CloseExternalWindow(uint32_t value);

// The answer of a help viewer (or any window a test opened) to messages.
void ExternalWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRecord* record = Find(window);
  if (!record || !IsCloseRequest(message, wParam)) return;
  switch (record->closing) {
    case WindowClosing::AtOnce:
      CloseExternalWindow(record->handle);
      break;
    case WindowClosing::AfterDelay:
      if (record->closeAt == 0) ScheduleExternalClose(record, clock::Now() + record->closeDelayMs);
      break;
    case WindowClosing::Never:
      break;
  }
}

void CloseExternalWindow(uint32_t value) {
  WindowRecord* record = Find(AsHwnd(value));
  if (!record) return;
  if (record->closeEvent) clock::Cancel(record->closeEvent);
  DWORD processId = record->processId;
  DestroyWindowOf(AsHwnd(value));
  processes::EndBackgroundProcess(processId, 0);
}

HWND OpenExternalWindow(const std::u16string& className, const std::u16string& title,
                        WindowClosing closing, DWORD delayMs, uint32_t restore,
                        DWORD processId) {
  HWND window = CreateWindowOf(processId, className, title, &ExternalWindowMessage, restore);
  WindowRecord* record = Find(window);
  record->external = true;
  record->closing = closing;
  record->closeDelayMs = delayMs;
  return window;
}

const char16_t* ImageOfViewer(const std::u16string& className) {
  return className == kHelpClass ? u"C:\\Windows\\hh.exe" : u"C:\\Windows\\notepad.exe";
}

}  // namespace

State& TheState() { return g_state; }

WindowRecord* Find(HWND value) {
  uint32_t full = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  uint32_t low = full & 0xFFFF;
  uint32_t high = full >> 16;
  if (low < kFirstLowWord || (low - kFirstLowWord) % 2 != 0) return nullptr;
  size_t slot = (low - kFirstLowWord) / 2;
  if (slot >= g_state.windows.size()) return nullptr;
  WindowRecord& record = g_state.windows[slot];
  if (!record.alive) return nullptr;
  if (high != 0 && high != 0xFFFF && high != (record.handle >> 16)) return nullptr;
  return &record;
}

HWND HandleOf(const WindowRecord& record) { return AsHwnd(record.handle); }

WindowRecord* NewWindow(DWORD processId, const std::u16string& className,
                        const std::u16string& title, uint32_t restore) {
  size_t slot = g_state.windows.size();
  if (restore != 0) {
    uint32_t low = restore & 0xFFFF;
    if (low < kFirstLowWord || (low - kFirstLowWord) % 2 != 0)
      Fatal("window handle " + Hex(restore) + " in the saved machine is not a window handle");
    slot = (low - kFirstLowWord) / 2;
    if (slot < g_state.windows.size() && g_state.windows[slot].alive)
      Fatal("window handle " + Hex(restore) + " is restored twice");
  }
  if (slot >= g_state.windows.size()) g_state.windows.resize(slot + 1);
  WindowRecord& record = g_state.windows[slot];
  record = WindowRecord();
  record.handle = restore != 0 ? restore : ValueOfSlot(slot);
  record.alive = true;
  record.processId = processId;
  record.className = className;
  record.title = title;
  return &record;
}

void ScheduleExternalClose(WindowRecord* record, uint64_t when) {
  uint32_t value = record->handle;
  record->closeAt = when;
  record->closeEvent =
      clock::At(when, [value] { CloseExternalWindow(value); },
                "window " + Narrow(record->title) + " closes");
}

HWND CreateWindowOf(DWORD processId, const std::u16string& className,
                    const std::u16string& title, MessageHandler handler, uint32_t restore) {
  WindowRecord* record = NewWindow(processId, className, title, restore);
  record->topLevel = true;
  record->threadId = processes::ThreadOfProcess(processId);
  record->handler = std::move(handler);
  return HandleOf(*record);
}

void DestroyWindowOf(HWND window) {
  WindowRecord* record = Find(window);
  if (!record) return;
  record->alive = false;
  record->handler = nullptr;
}

HWND Resolve(HWND value) {
  WindowRecord* record = Find(value);
  return record ? HandleOf(*record) : nullptr;
}

uint32_t HandleValue(HWND window) {
  WindowRecord* record = Find(window);
  return record ? record->handle : 0;
}

// ------------------------------------------------------------ machine --

namespace {

void Reset() {
  for (WindowRecord& record : g_state.windows) {
    if (record.closeEvent) clock::Cancel(record.closeEvent);
  }
  g_state = State();
}

// A window of another program that a test opened, as saved.
struct SavedWindow {
  uint32_t handle = 0;
  DWORD processId = 0;
  WindowClosing closing = WindowClosing::AtOnce;
  DWORD closeDelayMs = 0;
  uint64_t closeAt = 0;
  std::u16string className;
  std::u16string title;
};

const SavedFields<DesktopBehaviour>& BehaviourFields() {
  static const SavedFields<DesktopBehaviour> fields = {
      Field("interactiveSession", &DesktopBehaviour::interactiveSession),
      Field("shiftDown", &DesktopBehaviour::shiftDown),
      Field("dialogAction", &DesktopBehaviour::dialogAction),
      Field("firstDialogActions", &DesktopBehaviour::firstDialogActions),
  };
  return fields;
}

const SavedFields<SavedWindow>& WindowFields() {
  static const SavedFields<SavedWindow> fields = {
      Field("handle", &SavedWindow::handle),
      Field("process", &SavedWindow::processId),
      Field("closing", &SavedWindow::closing),
      Field("closeDelayMs", &SavedWindow::closeDelayMs),
      Field("closeAt", &SavedWindow::closeAt),
      Field("class", &SavedWindow::className),
      Field("title", &SavedWindow::title),
  };
  return fields;
}

// desktop.txt: the desktop's behaviour, and the windows of other programs
// that a test opened.
void Save(const std::string& dir) {
  std::string out = SavedLine("behaviour", g_state.behaviour, BehaviourFields());
  for (const WindowRecord& record : g_state.windows) {
    if (!record.alive || !record.external) continue;
    SavedWindow saved{record.handle,  record.processId, record.closing, record.closeDelayMs,
                      record.closeAt, record.className, record.title};
    out += SavedLine("window", saved, WindowFields());
  }
  WriteTextFile(dir + "/desktop.txt", out);
}

void Load(const std::string& dir) {
  const std::string file = dir + "/desktop.txt";
  ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    if (line[0] == "behaviour") {
      ReadSavedLine(line, BehaviourFields(), &g_state.behaviour, file);
    } else if (line[0] == "window") {
      SavedWindow saved;
      ReadSavedLine(line, WindowFields(), &saved, file);
      HWND window = OpenExternalWindow(saved.className, saved.title, saved.closing,
                                       saved.closeDelayMs, saved.handle, saved.processId);
      if (saved.closeAt != 0) ScheduleExternalClose(Find(window), saved.closeAt);
    } else {
      Fatal(file + ": unreadable line " + line[0]);
    }
  });
}

ModuleRegistrar g_registrar{"desktop", 50, &Reset, &Save, &Load};

}  // namespace

}  // namespace desktop

// -------------------------------------------------------- test control --

using desktop::Find;
using desktop::TheState;
using desktop::WindowRecord;

void SetDesktopBehaviour(const DesktopBehaviour& behaviour) { TheState().behaviour = behaviour; }
DesktopBehaviour GetDesktopBehaviour() { return TheState().behaviour; }

HWND OpenHelpWindow(WindowClosing closing, DWORD delayMs) {
  return OpenWindow(desktop::kHelpClass, desktop::kHelpTitle, closing, delayMs);
}

HWND OpenWindow(const std::u16string& className, const std::u16string& title,
                WindowClosing closing, DWORD delayMs) {
  DWORD processId = processes::StartBackgroundProcess(desktop::ImageOfViewer(className));
  return desktop::OpenExternalWindow(className, title, closing, delayMs, 0, processId);
}

void CloseWindowNow(HWND window) {
  if (!Find(window)) Fatal("CloseWindowNow: " + desktop::DescribeWindow(window) + " is no window");
  desktop::CloseExternalWindow(desktop::HandleValue(window));
}

size_t CountWindows(const std::u16string& className, const std::u16string* title) {
  size_t count = 0;
  for (const WindowRecord& record : TheState().windows) {
    if (!record.alive || !record.topLevel) continue;
    if (!EqualsNoCase(record.className, className)) continue;
    if (title && !EqualsNoCase(record.title, *title)) continue;
    ++count;
  }
  return count;
}

size_t CountHelpWindows() {
  std::u16string title = desktop::kHelpTitle;
  return CountWindows(desktop::kHelpClass, &title);
}

std::vector<PostedMessage> PostedMessages() { return TheState().posted; }

}  // namespace winsim

// ------------------------------------------------------------- user32 --

using winsim::desktop::Find;
using winsim::desktop::TheState;
using winsim::desktop::WindowRecord;

namespace {

// Windows belong to the desktop of their process's session: the program
// neither finds nor reaches the windows of another session.
bool InProgramSession(const WindowRecord& record) {
  return winsim::processes::SessionOf(record.processId) == winsim::Program().sessionId;
}

// The window a handle of the program names, or null.
WindowRecord* FindVisible(HWND value) {
  WindowRecord* record = Find(value);
  return record && InProgramSession(*record) ? record : nullptr;
}

bool TitleMatches(const WindowRecord& record, LPCWSTR title) {
  if (!title) return true;
  return winsim::EqualsNoCase(record.title, winsim::FromW(title));
}

bool ClassMatches(const WindowRecord& record, LPCWSTR className) {
  if (!className) return true;
  // An atom (MAKEINTATOM) names a registered class; the stand-in registers
  // classes by name only, so no window has such a class.
  if (IS_INTRESOURCE(className)) return false;
  return winsim::EqualsNoCase(record.className, winsim::FromW(className));
}

// Delivers a posted message: to the other process's window at once, or into
// the queue of the program's own modal dialog.
void Deliver(WindowRecord* record, UINT message, WPARAM wParam, LPARAM lParam) {
  winsim::PostedMessage posted{winsim::desktop::HandleOf(*record), message, wParam, lParam,
                               winsim::clock::Now(), record->className};
  TheState().posted.push_back(posted);
  if (record->handler) {
    winsim::desktop::MessageHandler handler = record->handler;
    handler(winsim::desktop::HandleOf(*record), message, wParam, lParam);
    return;
  }
  winsim::desktop::QueueDialogMessage(record, message, wParam, lParam);
}

}  // namespace

extern "C" {

const winsim::DocumentedErrors kFindWindowWErrors{
    "FindWindowW", {ERROR_ACCESS_DENIED, ERROR_INVALID_WINDOW_HANDLE}};

HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  std::string detail = (lpClassName && IS_INTRESOURCE(lpClassName))
                           ? "#" + std::to_string(LOWORD(lpClassName))
                           : winsim::Narrow(lpClassName);
  if (winsim::Enter("FindWindowW", detail + ", " + winsim::Narrow(lpWindowName))) return nullptr;
  // Top-level windows, most recently created first (the top of the z-order).
  std::vector<WindowRecord>& windows = TheState().windows;
  for (size_t i = windows.size(); i-- > 0;) {
    const WindowRecord& record = windows[i];
    if (!record.alive || !record.topLevel || !InProgramSession(record)) continue;
    if (ClassMatches(record, lpClassName) && TitleMatches(record, lpWindowName))
      return winsim::desktop::HandleOf(record);
  }
  return nullptr;
}

const winsim::DocumentedErrors kIsWindowErrors{"IsWindow", {ERROR_INVALID_WINDOW_HANDLE}};

BOOL WINAPI IsWindow(HWND hWnd) {
  if (winsim::Enter("IsWindow", winsim::desktop::DescribeWindow(hWnd))) return FALSE;
  if (FindVisible(hWnd)) return TRUE;
  winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}

const winsim::DocumentedErrors kPostMessageWErrors{
    "PostMessageW", {ERROR_ACCESS_DENIED, ERROR_INVALID_WINDOW_HANDLE}};

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::ostringstream detail;
  detail << winsim::desktop::DescribeWindow(hWnd) << ", " << winsim::Hex(Msg) << ", "
         << wParam << ", " << lParam;
  if (winsim::Enter("PostMessageW", detail.str())) return FALSE;
  if (hWnd == nullptr) {
    // To the calling thread's own queue; nothing of the program reads it.
    TheState().posted.push_back(
        winsim::PostedMessage{nullptr, Msg, wParam, lParam, winsim::clock::Now(), u""});
    return TRUE;
  }
  if (hWnd == HWND_BROADCAST) {
    std::vector<uint32_t> targets;
    for (const WindowRecord& record : TheState().windows)
      if (record.alive && record.topLevel && InProgramSession(record)) targets.push_back(record.handle);
    for (uint32_t value : targets) {
      WindowRecord* record = Find(reinterpret_cast<HWND>(static_cast<uintptr_t>(value)));
      if (record) Deliver(record, Msg, wParam, lParam);
    }
    return TRUE;
  }
  WindowRecord* record = FindVisible(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Deliver(record, Msg, wParam, lParam);
  return TRUE;
}

const winsim::DocumentedErrors kSetWindowTextWErrors{
    "SetWindowTextW", {ERROR_INVALID_WINDOW_HANDLE}};

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  if (winsim::Enter("SetWindowTextW",
                    winsim::desktop::DescribeWindow(hWnd) + ", " + winsim::Narrow(lpString)))
    return FALSE;
  WindowRecord* record = Find(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  record->title = winsim::FromW(lpString);
  return TRUE;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  if (winsim::Enter("GetWindowTextW", winsim::desktop::DescribeWindow(hWnd))) {
    if (lpString && nMaxCount > 0) lpString[0] = 0;
    return 0;
  }
  WindowRecord* record = Find(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    if (lpString && nMaxCount > 0) lpString[0] = 0;
    return 0;
  }
  return winsim::desktop::CopyText(record->title, lpString, nMaxCount);
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
  if (winsim::Enter("GetWindowTextLengthW", winsim::desktop::DescribeWindow(hWnd))) return 0;
  WindowRecord* record = Find(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(record->title.size());
}

const winsim::DocumentedErrors kGetWindowThreadProcessIdErrors{
    "GetWindowThreadProcessId", {ERROR_INVALID_WINDOW_HANDLE}};

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  if (winsim::Enter("GetWindowThreadProcessId", winsim::desktop::DescribeWindow(hWnd))) return 0;
  WindowRecord* record = Find(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId) *lpdwProcessId = record->processId;
  // Windows restored by a machine load learn their thread once the
  // processes are back.
  if (record->threadId == 0) record->threadId = winsim::processes::ThreadOfProcess(record->processId);
  return record->threadId;
}

const winsim::DocumentedErrors kGetAsyncKeyStateErrors{"GetAsyncKeyState", {ERROR_ACCESS_DENIED}};

SHORT WINAPI GetAsyncKeyState(int vKey) {
  if (winsim::Enter("GetAsyncKeyState", winsim::Hex(static_cast<uint64_t>(vKey) & 0xFFFFFFFF)))
    return 0;
  const int kLeftShift = 0xA0;
  if ((vKey == VK_SHIFT || vKey == kLeftShift) && TheState().behaviour.shiftDown)
    return static_cast<SHORT>(0x8000);
  return 0;
}

const winsim::DocumentedErrors kGetProcessWindowStationErrors{
    "GetProcessWindowStation", {ERROR_ACCESS_DENIED}};

HWINSTA WINAPI GetProcessWindowStation(void) {
  if (winsim::Enter("GetProcessWindowStation")) return nullptr;
  return reinterpret_cast<HWINSTA>(&winsim::desktop::g_windowStationTag);
}

const winsim::DocumentedErrors kGetUserObjectInformationWErrors{
    "GetUserObjectInformationW", {ERROR_ACCESS_DENIED}};

BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded) {
  if (winsim::Enter("GetUserObjectInformationW", std::to_string(nIndex))) return FALSE;
  if (hObj != static_cast<HANDLE>(&winsim::desktop::g_windowStationTag)) {
    winsim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool interactive = TheState().behaviour.interactiveSession;
  if (nIndex == UOI_FLAGS) {
    if (lpnLengthNeeded) *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (nLength < sizeof(USEROBJECTFLAGS) || !pvInfo) {
      winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    USEROBJECTFLAGS flags{FALSE, FALSE, static_cast<DWORD>(interactive ? WSF_VISIBLE : 0)};
    *static_cast<USEROBJECTFLAGS*>(pvInfo) = flags;
    return TRUE;
  }
  if (nIndex == UOI_NAME || nIndex == UOI_TYPE) {
    std::u16string text = nIndex == UOI_TYPE ? u"WindowStation"
                          : interactive      ? u"WinSta0"
                                             : u"Service-0x0-3e7$";
    DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (lpnLengthNeeded) *lpnLengthNeeded = needed;
    if (nLength < needed || !pvInfo) {
      winsim::SetError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    WCHAR* out = static_cast<WCHAR*>(pvInfo);
    for (size_t i = 0; i < text.size(); ++i) out[i] = text[i];
    out[text.size()] = 0;
    return TRUE;
  }
  winsim::SetError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // extern "C"
