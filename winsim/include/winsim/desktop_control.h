// Test control of the simulated desktop and processes: the keyboard, the user
// who answers modal dialogs, other programs' windows (the help viewer), the
// window station, the tray companion "soltray.exe" and named mutexes.
// Everything here is reset with the machine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// ----------------------------------------------- the desktop and its user --

// What the user does with a modal dialog.
enum class DialogAction {
  CloseButton,   // clicks the "Close" push button (id 1)
  EnterKey,      // presses Enter: the default push button
  EscapeKey,     // presses Escape
  CaptionClose,  // the caption bar's close button (WM_SYSCOMMAND SC_CLOSE)
};

struct DesktopBehaviour {
  // The window station is interactive (WSF_VISIBLE), or not, as for a
  // program started by a service. A modal dialog on an invisible window
  // station waits forever: DialogBoxParamW records it and ends the run with
  // a message.
  bool interactiveSession = true;
  // The user holds the Shift key down (GetAsyncKeyState(VK_SHIFT) has its
  // most significant bit set).
  bool shiftDown = false;
  // The action the user takes on every dialog. The user acts once; a dialog
  // still open after that would wait forever, which ends the run with a
  // message.
  DialogAction dialogAction = DialogAction::CloseButton;
  // Actions taken first, one per step, across the dialogs that follow,
  // before dialogAction; each is used up as it is taken.
  std::vector<DialogAction> firstDialogActions;
};
void SetDesktopBehaviour(const DesktopBehaviour& behaviour);
DesktopBehaviour GetDesktopBehaviour();

// ------------------------------------------------------------- dialogs --

// How a dialog ended.
enum class DialogEnd {
  Open,         // still running (read from inside its procedure)
  DuringInit,   // EndDialog inside WM_INITDIALOG: never shown
  CloseButton,
  EnterKey,
  EscapeKey,
  CaptionClose,
  Message,      // EndDialog in answer to a message posted by the program
  Hung,         // would have waited forever (invisible desktop, or no action ended it)
};

// One message that the dialog procedure received, with its return value.
struct DialogMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  INT_PTR returned;
};

struct ShownDialog {
  int templateId = 0;
  HWND window = nullptr;
  HWND owner = nullptr;          // as the dialog got it (none: nullptr)
  std::u16string caption;        // at the time it closed
  std::u16string text;           // text of the edit control 1001 when it closed
  bool systemSetFocus = false;   // WM_INITDIALOG returned nonzero
  int focusId = 0;               // the control the program gave the focus (SetFocus), or 0
  // The edit control's selection (character positions, CR LF counting as
  // two) and its first visible line. The box shows kEditVisibleLines lines.
  int selectionStart = 0;
  int selectionEnd = 0;
  int firstVisibleLine = 0;
  DialogEnd end = DialogEnd::Open;
  INT_PTR result = 0;            // EndDialog's result
  std::vector<DialogMessage> messages;
};

// Lines of the log text that edit control 1001 shows at once: 194 dialog
// units high in the 8-point font, 13 pixels to a line at 96 DPI.
const int kEditVisibleLines = 23;

// Every DialogBoxParamW call that created a dialog (or would have), in order.
std::vector<ShownDialog> DialogsShown();

// ------------------------------------------------------- other windows --

// How a window of another program answers WM_SYSCOMMAND SC_CLOSE / WM_CLOSE.
enum class WindowClosing {
  AtOnce,      // closes as it receives the message
  AfterDelay,  // closes delayMs of virtual time later
  Never,       // ignores it
};

// Opens a help viewer window (class "HH Parent", title "Solvendale Help")
// in its own process "hh.exe".
HWND OpenHelpWindow(WindowClosing closing = WindowClosing::AtOnce, DWORD delayMs = 0);
// Opens a top-level window of any class and title in its own process.
HWND OpenWindow(const std::u16string& className, const std::u16string& title,
                WindowClosing closing = WindowClosing::AtOnce, DWORD delayMs = 0);
// Closes a window from outside (the user closed it).
void CloseWindowNow(HWND window);
// Top-level windows of the class (and, when not null, the title) still open.
size_t CountWindows(const std::u16string& className, const std::u16string* title = nullptr);
size_t CountHelpWindows();

// Every message posted with PostMessageW, in order.
struct PostedMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  uint64_t time;             // virtual clock, ms
  std::u16string className;  // of the target window
};
std::vector<PostedMessage> PostedMessages();

// --------------------------------------------------------- tray companion --

enum class TrayExit {
  AtOnce,      // ends as soon as it receives message 0x402
  AfterDelay,  // ends exitDelayMs of virtual time after the message
  Never,       // ignores the message
};

struct TrayBehaviour {
  TrayExit exit = TrayExit::AtOnce;
  DWORD exitDelayMs = 0;
  bool hasWindow = true;        // false: never creates its window
  DWORD windowDelayMs = 0;      // the window appears this long after the start
  bool abandonsMutex = false;   // ends without releasing the mutex
};

// Behaviour of the companion that is running and of those started later.
void SetTrayBehaviour(const TrayBehaviour& behaviour);
TrayBehaviour GetTrayBehaviour();

// Starts the companion from the file at path as Windows does at logon of a
// user of the session (the file must exist; false when it does not). The
// command line is the quoted path.
bool StartTrayCompanion(const std::u16string& path, DWORD sessionId = 1);
// Ends a running companion from outside (killed): the mutex is abandoned.
void KillTrayCompanion();

struct TrayCompanionState {
  bool running = false;
  DWORD processId = 0;
  std::u16string imagePath;    // the executable of the last start
  std::u16string commandLine;  // of the last start
  DWORD creationFlags = 0;
  DWORD priorityClass = 0;     // NORMAL_PRIORITY_CLASS unless another was asked
  DWORD startupFlags = 0;      // STARTUPINFOW.dwFlags
  WORD showWindow = 0;         // STARTUPINFOW.wShowWindow (when STARTF_USESHOWWINDOW)
  HWND window = nullptr;       // its window while it runs
  unsigned starts = 0;         // companions started since the reset
  unsigned exitRequests = 0;   // 0x402 messages it received
};
TrayCompanionState TrayCompanion();

// --------------------------------------------------------- processes --

struct ProcessRecord {
  DWORD processId = 0;
  std::u16string imagePath;
  std::u16string commandLine;
  std::u16string currentDirectory;
  DWORD creationFlags = 0;
  DWORD startupFlags = 0;
  WORD showWindow = 0;
  bool inheritHandles = false;
  bool running = false;
  DWORD exitCode = STILL_ACTIVE;
};
// Processes started with CreateProcessW or by the tests, in start order.
std::vector<ProcessRecord> Processes();
// Ends a process started with CreateProcessW from outside.
void EndProcess(DWORD processId, DWORD exitCode);

// ----------------------------------------------------------- mutexes --

struct MutexState {
  bool exists = false;
  bool owned = false;           // by someone
  bool ownedByProgram = false;  // by the program's thread
  bool abandoned = false;       // its owner ended without releasing it
  DWORD ownerProcessId = 0;
  unsigned references = 0;      // handles, counting the companion's own
};
MutexState Mutex(const std::string& name);
// Creates a named mutex held by another process (owned or not), as if some
// other program had created it; it lives until ReleaseForeignMutex.
void CreateForeignMutex(const std::string& name, bool owned);
void ReleaseForeignMutex(const std::string& name);
// At machine time atMs the other program that owns the mutex is killed: the
// mutex is abandoned.
void KillForeignMutexOwner(const std::string& name, uint64_t atMs);

}  // namespace winsim
