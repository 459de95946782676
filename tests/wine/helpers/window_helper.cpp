// Finds the topmost visible top-level window whose caption begins with a
// given text (a setup package's wizard names its page after the product's
// name), prints what it shows and presses its buttons.
//
//   window_helper.exe read <caption> <timeout ms>
//     prints caption=..., rect=left,top,width,height and one line text=... for each
//     visible control with a text, in the order of the window tree (UTF-8;
//     backslash, CR and LF escaped); exit 0, or 2 when no such window
//     appeared in time.
//   window_helper.exe click <caption> <control id> <timeout ms>
//     clicks the window's button with that id; exit 0, 2 without the
//     window, 3 without the button.
#include <windows.h>
#include <stdio.h>

namespace {

const wchar_t* wanted;
HWND found;

BOOL CALLBACK FindByCaption(HWND window, LPARAM) {
  wchar_t caption[256];
  if (!IsWindowVisible(window) || !GetWindowTextW(window, caption, 256)) return TRUE;
  int length = lstrlenW(wanted);
  if (lstrlenW(caption) < length ||
      CompareStringW(LOCALE_INVARIANT, 0, caption, length, wanted, length) != CSTR_EQUAL) {
    return TRUE;
  }
  found = window;
  return FALSE;
}

HWND WaitForWindow(const wchar_t* caption, DWORD timeout) {
  wanted = caption;
  DWORD start = GetTickCount();
  for (;;) {
    found = nullptr;
    EnumWindows(FindByCaption, 0);
    if (found) return found;
    if (GetTickCount() - start > timeout) return nullptr;
    Sleep(50);
  }
}

void PrintText(const char* key, const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  char* utf8 = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size));
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
// control really holds.
BOOL CALLBACK PrintChild(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
  if (length == 0) return TRUE;
  wchar_t* text = static_cast<wchar_t*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (length + 1) * sizeof(wchar_t)));
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  PrintText("text", text);
  HeapFree(GetProcessHeap(), 0, text);
  return TRUE;
}

int Read(HWND window) {
  wchar_t caption[256];
  GetWindowTextW(window, caption, 256);
  PrintText("caption", caption);
  RECT rect;
  if (GetWindowRect(window, &rect)) {
    printf("rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right - rect.left,
           rect.bottom - rect.top);
  }
  EnumChildWindows(window, PrintChild, 0);
  fflush(stdout);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 4;
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[argc - 1]));
  HWND window = WaitForWindow(argv[2], timeout);
  if (!window) return 2;
  if (lstrcmpiW(argv[1], L"read") == 0 && argc == 4) return Read(window);
  if (lstrcmpiW(argv[1], L"click") == 0 && argc == 5) {
    HWND button = GetDlgItem(window, _wtoi(argv[3]));
    if (!button) return 3;
    PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
  }
  return 4;
}
