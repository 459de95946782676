// Finds the installer's log dialog (a dialog box holding edit control 1001),
// prints what it shows, and closes it the way a user would.
//
//   dialog_reader.exe read <timeout ms>
//     prints key=value lines (UTF-8; backslash, CR and LF escaped):
//     caption, style, exstyle, edit_style, edit_text, button_text,
//     button_style, owner, rect (left,top,width,height on the screen),
//     selection (start,end of the edit box's selection), first_visible
//     (its first visible line), focus (id of the control with the focus,
//     0 for none);
//     exit 0, or 2 when no dialog appeared in time.
//   dialog_reader.exe close button|enter|escape|sysclose <timeout ms>
//     closes it with the Close button, the Enter key, the Escape key or the
//     caption bar's close command and waits until the window is gone;
//     exit 0, 2 when there was no dialog, 3 when it stayed open.
#include <windows.h>
#include <stdio.h>

static HWND found;

static BOOL CALLBACK FindLogDialog(HWND window, LPARAM) {
  wchar_t cls[64];
  if (!GetClassNameW(window, cls, 64) || lstrcmpW(cls, L"#32770") != 0) return TRUE;
  if (!IsWindowVisible(window)) return TRUE;
  HWND edit = GetDlgItem(window, 1001);
  if (!edit) return TRUE;
  found = window;
  return FALSE;
}

static HWND WaitForDialog(DWORD timeout) {
  DWORD start = GetTickCount();
  for (;;) {
    found = nullptr;
    EnumWindows(FindLogDialog, 0);
    if (found) return found;
    if (GetTickCount() - start > timeout) return nullptr;
    Sleep(50);
  }
}

static void PrintEscaped(const char* key, const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  char* utf8 = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, nullptr, nullptr);
  printf("%s=", key);
  for (const char* p = utf8; *p; ++p) {
    if (*p == '\\') fputs("\\\\", stdout);
    else if (*p == '\r') fputs("\\r", stdout);
    else if (*p == '\n') fputs("\\n", stdout);
    else putchar(*p);
  }
  putchar('\n');
  HeapFree(GetProcessHeap(), 0, utf8);
}

// WM_GETTEXT is marshalled between processes, so this reads the text the
// control really holds (GetWindowTextW would not ask a foreign control).
static wchar_t* ReadText(HWND window) {
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
  wchar_t* text = static_cast<wchar_t*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (length + 1) * sizeof(wchar_t)));
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  return text;
}

static int Read(HWND dialog) {
  wchar_t* caption = ReadText(dialog);
  PrintEscaped("caption", caption);
  HeapFree(GetProcessHeap(), 0, caption);
  printf("style=0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(dialog, GWL_STYLE)));
  printf("exstyle=0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(dialog, GWL_EXSTYLE)));
  printf("owner=0x%llX\n", static_cast<unsigned long long>(
      reinterpret_cast<ULONG_PTR>(GetWindow(dialog, GW_OWNER))));
  RECT rect;
  if (GetWindowRect(dialog, &rect)) {
    printf("rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right - rect.left,
           rect.bottom - rect.top);
  }
  HWND edit = GetDlgItem(dialog, 1001);
  printf("edit_style=0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(edit, GWL_STYLE)));
  wchar_t* text = ReadText(edit);
  PrintEscaped("edit_text", text);
  HeapFree(GetProcessHeap(), 0, text);
  DWORD_PTR selection = 0;
  SendMessageTimeoutW(edit, EM_GETSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &selection);
  printf("selection=%u,%u\n", static_cast<unsigned>(LOWORD(selection)),
         static_cast<unsigned>(HIWORD(selection)));
  DWORD_PTR first = 0;
  SendMessageTimeoutW(edit, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 5000, &first);
  printf("first_visible=%u\n", static_cast<unsigned>(first));
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  int focus = 0;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus)
    focus = GetDlgCtrlID(info.hwndFocus);
  printf("focus=%d\n", focus);
  HWND button = GetDlgItem(dialog, IDOK);
  if (button) {
    printf("button_style=0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(button, GWL_STYLE)));
    wchar_t* label = ReadText(button);
    PrintEscaped("button_text", label);
    HeapFree(GetProcessHeap(), 0, label);
  }
  fflush(stdout);
  return 0;
}

// A key press as the keyboard delivers it: to the focused window of the
// dialog's thread (or the dialog itself), where the dialog manager's
// IsDialogMessage turns Enter into IDOK and Escape into IDCANCEL.
static void PressKey(HWND dialog, UINT key) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
  HWND target = dialog;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) target = info.hwndFocus;
  UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(target, WM_KEYUP, key, 1 | (scan << 16) | (3u << 30));
}

static int Close(HWND dialog, const wchar_t* how, DWORD timeout) {
  if (lstrcmpiW(how, L"button") == 0) {
    PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  } else if (lstrcmpiW(how, L"enter") == 0) {
    PressKey(dialog, VK_RETURN);
  } else if (lstrcmpiW(how, L"escape") == 0) {
    PressKey(dialog, VK_ESCAPE);
  } else if (lstrcmpiW(how, L"sysclose") == 0) {
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else {
    return 4;
  }
  DWORD start = GetTickCount();
  while (IsWindow(dialog)) {
    if (GetTickCount() - start > timeout) return 3;
    Sleep(20);
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 4;
  bool read = lstrcmpiW(argv[1], L"read") == 0;
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[argc - 1]));
  HWND dialog = WaitForDialog(timeout);
  if (!dialog) return 2;
  if (read) return Read(dialog);
  if (lstrcmpiW(argv[1], L"close") == 0 && argc == 4) return Close(dialog, argv[2], timeout);
  return 4;
}
