// State shared by the parts of the simulated desktop (windows, dialogs).
#pragma once

#include <winsim/desktop_control.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core.h"
#include "desktop.h"

namespace winsim {
namespace desktop {

struct WindowRecord {
  uint32_t handle = 0;
  bool alive = false;
  bool topLevel = false;
  DWORD processId = 0;
  DWORD threadId = 0;
  std::u16string className;
  std::u16string title;
  // Another process's window: how it answers messages.
  MessageHandler handler;
  // A window that a test opened (help viewer and the like).
  bool external = false;
  WindowClosing closing = WindowClosing::AtOnce;
  DWORD closeDelayMs = 0;
  uint64_t closeAt = 0;  // 0: no close pending
  clock::EventId closeEvent = 0;
  // A control of a dialog: its parent dialog and id.
  uint32_t parent = 0;
  int controlId = 0;
  DWORD style = 0;
  // A dialog of the program: index of its entry in State::dialogs.
  int dialog = -1;
  // An edit control: its selection and first visible line.
  int selectionStart = 0;
  int selectionEnd = 0;
  int firstVisibleLine = 0;
};

struct DialogRun;

struct State {
  std::vector<WindowRecord> windows;  // by slot
  std::vector<PostedMessage> posted;
  DesktopBehaviour behaviour;
  // Dialogs.
  std::vector<ShownDialog> dialogs;
  std::vector<DialogRun*> running;  // modal loops, innermost last
};

State& TheState();
WindowRecord* Find(HWND value);
HWND HandleOf(const WindowRecord& record);
WindowRecord* NewWindow(DWORD processId, const std::u16string& className,
                        const std::u16string& title, uint32_t restore);
void ScheduleExternalClose(WindowRecord* record, uint64_t when);
// A message posted to one of the program's own windows.
void QueueDialogMessage(WindowRecord* record, UINT message, WPARAM wParam, LPARAM lParam);
// Copies text as GetWindowTextW does: at most max - 1 units and a
// terminator; returns the units copied.
int CopyText(const std::u16string& text, LPWSTR buffer, int max);

}  // namespace desktop
}  // namespace winsim
