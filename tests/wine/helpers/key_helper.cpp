// Holds the Shift key down, as a user would while a program finishes.
//
//   key_helper.exe hold <ms>   presses Shift (SendInput), prints "held" once
//                              the desktop reports it down, keeps it down
//                              until "release" is run or <ms> have passed,
//                              then lets it go. Exit 0, or 1 when Shift
//                              could not be pressed.
//   key_helper.exe release     ends a running "hold".
//
// The holder has to stay alive: under Wine a key pressed by a process is
// let go when that process ends.
#include <windows.h>
#include <stdio.h>

namespace {

const wchar_t kReleaseEvent[] = L"SolvendaleTestReleaseShift";

bool Send(bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = VK_SHIFT;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(VK_SHIFT, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  return SendInput(1, &input, sizeof(input)) == 1;
}

int Hold(DWORD limit) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  if (!release) return 1;
  if (!Send(true) || !(GetAsyncKeyState(VK_SHIFT) & 0x8000)) {
    Send(false);
    return 1;
  }
  puts("held");
  fflush(stdout);
  WaitForSingleObject(release, limit);
  Send(false);
  CloseHandle(release);
  return 0;
}

int Release() {
  HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReleaseEvent);
  if (!release) return 1;
  SetEvent(release);
  CloseHandle(release);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && lstrcmpiW(argv[1], L"hold") == 0) return Hold(static_cast<DWORD>(_wtoi(argv[2])));
  if (argc == 2 && lstrcmpiW(argv[1], L"release") == 0) return Release();
  return 2;
}
