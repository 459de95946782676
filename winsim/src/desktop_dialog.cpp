// Modal dialogs on the simulated desktop. DialogBoxParamW builds the dialog
// from the program's template, runs the program's dialog procedure with the
// default dialog handling of DefDlgProc around it, and plays the user that a
// test chose: the Close button, Enter, Escape or the caption's close button.
//
// The Linux build has no resource compiler, so the stand-in knows the
// program's one dialog template (id 101): an empty caption, a default push
// button "Close" (id 1, IDOK) and a read-only multiline edit box (id 1001).
#include <sstream>

#include "core.h"
#include "desktop_internal.h"
#include "processes.h"

namespace winsim {
namespace desktop {

// One modal loop of DialogBoxParamW.
struct DialogRun {
  uint32_t window = 0;
  size_t record = 0;  // index in State::dialogs
  DLGPROC proc = nullptr;
  bool ended = false;
  INT_PTR result = 0;
  bool focusOnButton = false;
  int focusId = 0;  // set by the program with SetFocus
  DialogEnd cause = DialogEnd::DuringInit;
  struct Queued {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DialogEnd cause;
  };
  std::vector<Queued> queue;
};

namespace {

const int kLogTemplate = 101;
const int kCloseButton = IDOK;
const int kLogText = 1001;
const UINT kGetDefaultId = WM_USER + 0;  // DM_GETDEFID
const WORD kHasDefaultId = 0x534B;       // DC_HASDEFID
const char16_t kDialogClass[] = u"#32770";

// Styles of template 101.
const DWORD kDialogStyle = 0x80C808C8;
const DWORD kButtonStyle = 0x50010001;
const DWORD kEditStyle = 0x50A108C4;

// The font handle that WM_SETFONT hands over ("MS Shell Dlg", 8 points).
const WPARAM kDialogFont = 0x0A0A0010;

HWND AsHwnd(uint32_t value) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(value)); }

std::string Describe(HWND value) {
  return Hex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)));
}

DialogRun* RunOf(HWND window) {
  WindowRecord* record = Find(window);
  if (!record) return nullptr;
  for (DialogRun* run : TheState().running)
    if (run->window == record->handle) return run;
  return nullptr;
}

WindowRecord* ControlOf(HWND dialog, int id) {
  WindowRecord* parent = Find(dialog);
  if (!parent) return nullptr;
  for (WindowRecord& record : TheState().windows)
    if (record.alive && record.parent == parent->handle && record.controlId == id) return &record;
  return nullptr;
}

HWND ControlHandle(const DialogRun& run, int id) {
  WindowRecord* control = ControlOf(AsHwnd(run.window), id);
  return control ? HandleOf(*control) : nullptr;
}

// Whether the template name names the program's template 101.
int TemplateId(LPCWSTR name) {
  if (IS_INTRESOURCE(name)) return LOWORD(name);
  std::u16string text = FromW(name);
  if (text.size() > 1 && text[0] == u'#') {
    int id = 0;
    for (size_t i = 1; i < text.size(); ++i) {
      if (text[i] < u'0' || text[i] > u'9') return -1;
      id = id * 10 + (text[i] - u'0');
      if (id > 0xFFFF) return -1;
    }
    return id;
  }
  return -1;
}

INT_PTR CallProc(DialogRun& run, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR returned = run.proc ? run.proc(AsHwnd(run.window), message, wParam, lParam) : FALSE;
  TheState().dialogs[run.record].messages.push_back(
      DialogMessage{message, wParam, lParam, returned});
  return returned;
}

void Post(DialogRun& run, UINT message, WPARAM wParam, LPARAM lParam, DialogEnd cause) {
  run.queue.push_back(DialogRun::Queued{message, wParam, lParam, cause});
}

// SendMessage to the dialog: its procedure, then DefDlgProc when the
// procedure did not process the message.
void Send(DialogRun& run, UINT message, WPARAM wParam, LPARAM lParam) {
  if (CallProc(run, message, wParam, lParam)) return;
  switch (message) {
    case WM_SYSCOMMAND:
      // DefWindowProc turns the close command into WM_CLOSE.
      if ((wParam & 0xFFF0) == SC_CLOSE) Send(run, WM_CLOSE, 0, 0);
      break;
    case WM_CLOSE:
      // DefDlgProc posts IDCANCEL, as from a Cancel button.
      Post(run, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
           reinterpret_cast<LPARAM>(ControlHandle(run, IDCANCEL)), run.cause);
      break;
    default:
      break;
  }
}

WPARAM ClickOf(int id) { return MAKEWPARAM(id, BN_CLICKED); }

// The default push button's id, as IsDialogMessage asks for it.
int DefaultButtonId(DialogRun& run) {
  INT_PTR answer = CallProc(run, kGetDefaultId, 0, 0);
  if (answer && HIWORD(answer) == kHasDefaultId) return LOWORD(answer);
  return kCloseButton;  // DefDlgProc: the template's BS_DEFPUSHBUTTON
}

void Act(DialogRun& run, DialogAction action) {
  switch (action) {
    case DialogAction::CloseButton:
      run.cause = DialogEnd::CloseButton;
      Send(run, WM_COMMAND, ClickOf(kCloseButton),
           reinterpret_cast<LPARAM>(ControlHandle(run, kCloseButton)));
      break;
    case DialogAction::EnterKey: {
      run.cause = DialogEnd::EnterKey;
      int id = run.focusOnButton ? kCloseButton : DefaultButtonId(run);
      Send(run, WM_COMMAND, ClickOf(id), reinterpret_cast<LPARAM>(ControlHandle(run, id)));
      break;
    }
    case DialogAction::EscapeKey:
      run.cause = DialogEnd::EscapeKey;
      Send(run, WM_COMMAND, IDCANCEL, reinterpret_cast<LPARAM>(ControlHandle(run, IDCANCEL)));
      break;
    case DialogAction::CaptionClose:
      run.cause = DialogEnd::CaptionClose;
      Send(run, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
  }
}

void DrainQueue(DialogRun& run) {
  while (!run.ended && !run.queue.empty()) {
    DialogRun::Queued next = run.queue.front();
    run.queue.erase(run.queue.begin());
    run.cause = next.cause;
    Send(run, next.message, next.wParam, next.lParam);
  }
}

const char* ActionName(DialogAction action) {
  switch (action) {
    case DialogAction::CloseButton: return "the Close button";
    case DialogAction::EnterKey: return "Enter";
    case DialogAction::EscapeKey: return "Escape";
    case DialogAction::CaptionClose: return "the caption's close button";
  }
  return "?";
}

HWND CreateDialogWindows(HWND owner) {
  DWORD processId = processes::ProgramProcessId();
  WindowRecord* dialog = NewWindow(processId, kDialogClass, u"", 0);
  dialog->topLevel = true;
  dialog->threadId = processes::ProgramThreadId();
  dialog->style = kDialogStyle;
  uint32_t parent = dialog->handle;
  WindowRecord* button = NewWindow(processId, u"Button", u"Close", 0);
  button->parent = parent;
  button->controlId = kCloseButton;
  button->style = kButtonStyle;
  button->threadId = processes::ProgramThreadId();
  WindowRecord* edit = NewWindow(processId, u"Edit", u"", 0);
  edit->parent = parent;
  edit->controlId = kLogText;
  edit->style = kEditStyle;
  edit->threadId = processes::ProgramThreadId();
  return AsHwnd(parent);
}

void DestroyDialogWindows(uint32_t dialog) {
  for (WindowRecord& record : TheState().windows)
    if (record.alive && (record.handle == dialog || record.parent == dialog)) {
      record.alive = false;
    }
}

// The dialog's state as the tests read it back.
void Snapshot(DialogRun& run) {
  ShownDialog& shown = TheState().dialogs[run.record];
  WindowRecord* dialog = Find(AsHwnd(run.window));
  if (dialog) shown.caption = dialog->title;
  WindowRecord* text = ControlOf(AsHwnd(run.window), kLogText);
  if (text) {
    shown.text = text->title;
    shown.selectionStart = text->selectionStart;
    shown.selectionEnd = text->selectionEnd;
    shown.firstVisibleLine = text->firstVisibleLine;
  }
  shown.focusId = run.focusId;
}

// The line of a character position: the line breaks (CR LF) before it.
int LineOf(const std::u16string& text, int position) {
  int line = 0;
  for (int i = 0; i < position && i < static_cast<int>(text.size()); ++i)
    if (text[static_cast<size_t>(i)] == u'\n') ++line;
  return line;
}

// The edit control's answer to the edit messages the program may send.
LRESULT EditMessage(WindowRecord& edit, UINT message, WPARAM wParam, LPARAM lParam) {
  int length = static_cast<int>(edit.title.size());
  switch (message) {
    case EM_SETSEL: {
      int start = static_cast<int>(static_cast<INT_PTR>(wParam));
      int end = static_cast<int>(lParam);
      if (start == -1) {
        edit.selectionStart = edit.selectionEnd;
        return 0;
      }
      if (end < 0 || end > length) end = length;
      if (start < 0 || start > length) start = length;
      edit.selectionStart = start < end ? start : end;
      edit.selectionEnd = start < end ? end : start;
      return 0;
    }
    case EM_GETSEL:
      return MAKELONG(edit.selectionStart, edit.selectionEnd);
    case EM_SCROLLCARET: {
      int caret = LineOf(edit.title, edit.selectionEnd);
      if (caret < edit.firstVisibleLine) edit.firstVisibleLine = caret;
      if (caret >= edit.firstVisibleLine + kEditVisibleLines)
        edit.firstVisibleLine = caret - kEditVisibleLines + 1;
      return TRUE;
    }
    case EM_GETFIRSTVISIBLELINE:
      return edit.firstVisibleLine;
    case EM_LINEFROMCHAR: {
      int position = static_cast<int>(static_cast<INT_PTR>(wParam));
      return LineOf(edit.title, position < 0 ? edit.selectionStart : position);
    }
    default:
      Unsupported("SendDlgItemMessageW", "edit control message " + Hex(message));
  }
}

// The modal loop: the user acts until the procedure calls EndDialog.
void RunModal(DialogRun& run) {
  State& state = TheState();
  bool standingUsed = false;
  for (;;) {
    DrainQueue(run);
    if (run.ended) return;
    DialogAction action;
    std::vector<DialogAction>& first = state.behaviour.firstDialogActions;
    if (!first.empty()) {
      action = first.front();
      first.erase(first.begin());
    } else if (!standingUsed) {
      action = state.behaviour.dialogAction;
      standingUsed = true;
    } else {
      Snapshot(run);
      state.dialogs[run.record].end = DialogEnd::Hung;
      Fatal(std::string("DialogBoxParamW: the dialog is still open after the user used ") +
            ActionName(state.behaviour.dialogAction) +
            "; its procedure never calls EndDialog, so the modal dialog would wait forever");
    }
    Act(run, action);
  }
}

}  // namespace

void QueueDialogMessage(WindowRecord* record, UINT message, WPARAM wParam, LPARAM lParam) {
  // Only the dialog's own procedure reads posted messages; the controls'
  // standard window procedures ignore what the program might post to them.
  if (record->dialog < 0) return;
  DialogRun* run = RunOf(HandleOf(*record));
  if (run) Post(*run, message, wParam, lParam, DialogEnd::Message);
}

int CopyText(const std::u16string& text, LPWSTR buffer, int max) {
  if (!buffer || max <= 0) return 0;
  size_t count = text.size();
  if (count > static_cast<size_t>(max - 1)) count = static_cast<size_t>(max - 1);
  for (size_t i = 0; i < count; ++i) buffer[i] = text[i];
  buffer[count] = 0;
  return static_cast<int>(count);
}

}  // namespace desktop

// -------------------------------------------------------- test control --

std::vector<ShownDialog> DialogsShown() {
  // Dialogs still open (read from inside their procedure) show their
  // current texts.
  std::vector<ShownDialog> shown = desktop::TheState().dialogs;
  for (desktop::DialogRun* run : desktop::TheState().running) {
    desktop::WindowRecord* dialog = desktop::Find(
        reinterpret_cast<HWND>(static_cast<uintptr_t>(run->window)));
    if (dialog) shown[run->record].caption = dialog->title;
    for (const desktop::WindowRecord& record : desktop::TheState().windows)
      if (record.alive && record.parent == run->window && record.controlId == 1001)
        shown[run->record].text = record.title;
  }
  return shown;
}

}  // namespace winsim

// ------------------------------------------------------------- user32 --

using winsim::desktop::DialogRun;
using winsim::desktop::Find;
using winsim::desktop::TheState;
using winsim::desktop::WindowRecord;

extern "C" {

const winsim::DocumentedErrors kDialogBoxParamWErrors{
    "DialogBoxParamW", {ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}};

INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  using namespace winsim;
  using namespace winsim::desktop;
  std::ostringstream detail;
  if (IS_INTRESOURCE(lpTemplateName))
    detail << "#" << LOWORD(lpTemplateName);
  else
    detail << winsim::Narrow(lpTemplateName);
  detail << ", owner " << Describe(hWndParent);
  if (winsim::Enter("DialogBoxParamW", detail.str())) return -1;

  // The template first (FindResource), then the owner (CreateWindowEx).
  if (hInstance != nullptr && hInstance != winsim::machine::ProgramInstance()) {
    winsim::SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return -1;
  }
  int templateId = TemplateId(lpTemplateName);
  if (templateId != kLogTemplate) {
    winsim::SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  HWND owner = nullptr;
  if (hWndParent) {
    WindowRecord* ownerRecord = Find(hWndParent);
    if (!ownerRecord) {
      // DialogBoxParam documents 0 (not -1) for an invalid owner.
      winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    // A child window cannot own a window: its top-level ancestor does.
    while (ownerRecord->parent != 0) ownerRecord = Find(AsHwnd(ownerRecord->parent));
    owner = HandleOf(*ownerRecord);
  }

  State& state = TheState();
  HWND window = CreateDialogWindows(owner);
  Find(window)->dialog = static_cast<int>(state.dialogs.size());
  ShownDialog shown;
  shown.templateId = templateId;
  shown.window = window;
  shown.owner = owner;
  state.dialogs.push_back(shown);

  DialogRun run;
  run.window = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
  run.record = state.dialogs.size() - 1;
  run.proc = lpDialogFunc;
  state.running.push_back(&run);

  if (!state.behaviour.interactiveSession) {
    state.dialogs[run.record].end = DialogEnd::Hung;
    winsim::Fatal(
        "DialogBoxParamW: modal dialog on an invisible desktop would wait forever (the "
        "window station is not interactive, so no user can close it)");
  }

  // WM_SETFONT (DS_SETFONT) and WM_INITDIALOG, whose wParam is the first
  // control with WS_TABSTOP: the Close button.
  run.cause = DialogEnd::DuringInit;
  Send(run, WM_SETFONT, kDialogFont, 0);
  HWND firstTabStop = ControlHandle(run, kCloseButton);
  INT_PTR focus = CallProc(run, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop),
                           dwInitParam);
  run.focusOnButton = focus != 0;
  state.dialogs[run.record].systemSetFocus = focus != 0;
  if (!run.ended) RunModal(run);

  Snapshot(run);
  state.dialogs[run.record].end = run.cause;
  state.dialogs[run.record].result = run.result;
  CallProc(run, WM_DESTROY, 0, 0);
  CallProc(run, WM_NCDESTROY, 0, 0);
  state.running.pop_back();
  DestroyDialogWindows(run.window);
  return run.result;
}

const winsim::DocumentedErrors kEndDialogErrors{"EndDialog", {ERROR_INVALID_WINDOW_HANDLE}};

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  if (winsim::Enter("EndDialog", winsim::desktop::Describe(hDlg) + ", " +
                                     std::to_string(static_cast<long long>(nResult))))
    return FALSE;
  DialogRun* run = winsim::desktop::RunOf(hDlg);
  if (!run) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  run->ended = true;
  run->result = nResult;
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  if (winsim::Enter("GetDlgItem",
                    winsim::desktop::Describe(hDlg) + ", " + std::to_string(nIDDlgItem)))
    return nullptr;
  if (!Find(hDlg)) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  WindowRecord* control = winsim::desktop::ControlOf(hDlg, nIDDlgItem);
  if (!control) {
    winsim::SetError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
  }
  return winsim::desktop::HandleOf(*control);
}

const winsim::DocumentedErrors kSetDlgItemTextWErrors{
    "SetDlgItemTextW", {ERROR_INVALID_WINDOW_HANDLE}};

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  if (winsim::Enter("SetDlgItemTextW", winsim::desktop::Describe(hDlg) + ", " +
                                           std::to_string(nIDDlgItem) + ", " +
                                           winsim::Narrow(lpString)))
    return FALSE;
  if (!Find(hDlg)) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  WindowRecord* control = winsim::desktop::ControlOf(hDlg, nIDDlgItem);
  if (!control) {
    winsim::SetError(ERROR_CONTROL_ID_NOT_FOUND);
    return FALSE;
  }
  control->title = winsim::FromW(lpString);
  // New text: nothing selected, the first line at the top.
  control->selectionStart = control->selectionEnd = control->firstVisibleLine = 0;
  return TRUE;
}

const winsim::DocumentedErrors kSendDlgItemMessageWErrors{
    "SendDlgItemMessageW", {ERROR_INVALID_WINDOW_HANDLE, ERROR_CONTROL_ID_NOT_FOUND}};

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam) {
  if (winsim::Enter("SendDlgItemMessageW", winsim::desktop::Describe(hDlg) + ", " +
                                               std::to_string(nIDDlgItem) + ", " +
                                               winsim::Hex(Msg)))
    return 0;
  if (!Find(hDlg)) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  WindowRecord* control = winsim::desktop::ControlOf(hDlg, nIDDlgItem);
  if (!control) {
    winsim::SetError(ERROR_CONTROL_ID_NOT_FOUND);
    return 0;
  }
  if (control->className != u"Edit")
    winsim::Unsupported("SendDlgItemMessageW", "messages to a " + winsim::Narrow(control->className));
  return winsim::desktop::EditMessage(*control, Msg, wParam, lParam);
}

const winsim::DocumentedErrors kSetFocusErrors{
    "SetFocus", {ERROR_INVALID_WINDOW_HANDLE, ERROR_ACCESS_DENIED}};

HWND WINAPI SetFocus(HWND hWnd) {
  if (winsim::Enter("SetFocus", winsim::desktop::Describe(hWnd))) return nullptr;
  WindowRecord* record = Find(hWnd);
  if (!record) {
    winsim::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  DialogRun* run = record->parent ? winsim::desktop::RunOf(
                                        reinterpret_cast<HWND>(static_cast<uintptr_t>(record->parent)))
                                  : nullptr;
  if (!run || record->threadId != winsim::processes::ProgramThreadId())
    winsim::Unsupported("SetFocus", "a window that is not a control of the program's dialog");
  HWND previous = nullptr;
  if (run->focusId != 0) previous = winsim::desktop::ControlHandle(*run, run->focusId);
  run->focusId = record->controlId;
  run->focusOnButton = record->controlId == winsim::desktop::kCloseButton;
  return previous;
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  if (winsim::Enter("GetDlgItemTextW",
                    winsim::desktop::Describe(hDlg) + ", " + std::to_string(nIDDlgItem))) {
    if (lpString && cchMax > 0) lpString[0] = 0;
    return 0;
  }
  WindowRecord* control = Find(hDlg) ? winsim::desktop::ControlOf(hDlg, nIDDlgItem) : nullptr;
  if (!control) {
    winsim::SetError(Find(hDlg) ? ERROR_CONTROL_ID_NOT_FOUND : ERROR_INVALID_WINDOW_HANDLE);
    if (lpString && cchMax > 0) lpString[0] = 0;
    return 0;
  }
  return static_cast<UINT>(winsim::desktop::CopyText(control->title, lpString, cchMax));
}

}  // extern "C"
