// The simulated desktop and processes, checked the way Wine's conformance
// tests check Windows: poison the last error, call, check result and error.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "winsim/control.h"
#include "winsim/desktop_control.h"

namespace {

using winsim::DialogAction;
using winsim::DialogEnd;
using winsim::TrayExit;
using winsim::WindowClosing;

const DWORD kPoison = 0xDEADBEEF;
const char kTrayMutex[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
const char16_t kTrayClass[] = u"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}";
const UINT kTrayExit = WM_USER + 2;

HWND Hwnd(uintptr_t value) { return reinterpret_cast<HWND>(value); }
uintptr_t Value(HWND window) { return reinterpret_cast<uintptr_t>(window); }

class WinsimDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::ResetMachine(); }
};

// ---------------------------------------------------------------- windows --

TEST_F(WinsimDesktopTest, FindWindowMatchesClassAndTitleEitherMayBeNull) {
  HWND help = winsim::OpenHelpWindow();
  HWND other = winsim::OpenWindow(u"HH Parent", u"Other Help");
  EXPECT_EQ(FindWindowW(u"HH Parent", u"Solvendale Help"), help);
  EXPECT_EQ(FindWindowW(u"hh parent", u"SOLVENDALE HELP"), help);  // case is ignored
  EXPECT_EQ(FindWindowW(nullptr, u"Other Help"), other);
  EXPECT_EQ(FindWindowW(u"HH Parent", nullptr), other);  // the newest is on top
  EXPECT_EQ(FindWindowW(u"HH Parent", u"Solvendale"), nullptr);
  EXPECT_EQ(FindWindowW(u"Other", nullptr), nullptr);
  EXPECT_EQ(FindWindowW(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(0xC001)), nullptr),
            nullptr);
}

TEST_F(WinsimDesktopTest, IsWindowAcceptsOnlyLiveWindows) {
  HWND help = winsim::OpenHelpWindow();
  EXPECT_TRUE(IsWindow(help));
  // user32 also accepts the low word alone, or with an all-ones high word,
  // as a window number passed through 16 or sign-extended 32 bits.
  EXPECT_TRUE(IsWindow(Hwnd(Value(help) & 0xFFFF)));
  EXPECT_TRUE(IsWindow(Hwnd(static_cast<uintptr_t>(static_cast<intptr_t>(
      static_cast<int32_t>(0xFFFF0000u | (Value(help) & 0xFFFF)))))));
  EXPECT_FALSE(IsWindow(Hwnd((Value(help) & 0xFFFF) | 0x00770000)));  // other generation

  const uintptr_t bogus[] = {0, 1, 0x1234, 0x7FFFFFFF, Value(help) + 1, Value(help) + 2};
  for (uintptr_t value : bogus) {
    SetLastError(kPoison);
    EXPECT_FALSE(IsWindow(Hwnd(value))) << value;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  }
  winsim::CloseWindowNow(help);
  EXPECT_FALSE(IsWindow(help));
  // A handle is never reused by a later window.
  HWND next = winsim::OpenHelpWindow();
  EXPECT_NE(next, help);
  EXPECT_FALSE(IsWindow(help));
}

TEST_F(WinsimDesktopTest, HelpWindowsCloseAsTheyWereToldTo) {
  HWND atOnce = winsim::OpenHelpWindow();
  HWND later = winsim::OpenHelpWindow(WindowClosing::AfterDelay, 300);
  HWND never = winsim::OpenHelpWindow(WindowClosing::Never);
  EXPECT_EQ(winsim::CountHelpWindows(), 3u);

  EXPECT_TRUE(PostMessageW(atOnce, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_FALSE(IsWindow(atOnce));
  EXPECT_TRUE(PostMessageW(later, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_TRUE(PostMessageW(never, WM_CLOSE, 0, 0));
  EXPECT_TRUE(PostMessageW(later, WM_SYSCOMMAND, SC_CLOSE, 0));  // does not postpone it
  EXPECT_TRUE(IsWindow(later));
  winsim::AdvanceMs(299);
  EXPECT_TRUE(IsWindow(later));
  winsim::AdvanceMs(1);
  EXPECT_FALSE(IsWindow(later));
  EXPECT_TRUE(IsWindow(never));
  EXPECT_EQ(winsim::CountHelpWindows(), 1u);

  // Other messages do not close a window.
  HWND help = winsim::OpenHelpWindow();
  EXPECT_TRUE(PostMessageW(help, WM_SYSCOMMAND, 0xF020 /* SC_MINIMIZE */, 0));
  EXPECT_TRUE(IsWindow(help));

  std::vector<winsim::PostedMessage> posted = winsim::PostedMessages();
  ASSERT_EQ(posted.size(), 5u);
  EXPECT_EQ(posted[0].window, atOnce);
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_SYSCOMMAND));
  EXPECT_EQ(posted[0].wParam, static_cast<WPARAM>(SC_CLOSE));
  EXPECT_EQ(posted[0].className, u"HH Parent");
  EXPECT_EQ(posted[2].message, static_cast<UINT>(WM_CLOSE));
}

TEST_F(WinsimDesktopTest, PostMessageToNoWindowFails) {
  HWND help = winsim::OpenHelpWindow();
  winsim::CloseWindowNow(help);
  SetLastError(kPoison);
  EXPECT_FALSE(PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(kPoison);
  EXPECT_FALSE(PostMessageW(Hwnd(0x4321), kTrayExit, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_TRUE(winsim::PostedMessages().empty());
}

TEST_F(WinsimDesktopTest, WindowTextAndFaults) {
  HWND help = winsim::OpenHelpWindow();
  WCHAR text[8];
  EXPECT_EQ(GetWindowTextW(help, text, 8), 7);
  EXPECT_EQ(std::u16string(text), u"Solvend");
  EXPECT_EQ(GetWindowTextLengthW(help), 15);
  DWORD processId = 0;
  EXPECT_NE(GetWindowThreadProcessId(help, &processId), 0u);
  EXPECT_NE(processId, 0u);

  winsim::FailCall("FindWindowW", ERROR_ACCESS_DENIED);
  SetLastError(kPoison);
  EXPECT_EQ(FindWindowW(u"HH Parent", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(FindWindowW(u"HH Parent", nullptr), help);
}

// ---------------------------------------------------- keyboard, station --

TEST_F(WinsimDesktopTest, ShiftKeyState) {
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
  winsim::DesktopBehaviour user;
  user.shiftDown = true;
  winsim::SetDesktopBehaviour(user);
  EXPECT_NE(static_cast<unsigned short>(GetAsyncKeyState(VK_SHIFT)) & 0x8000, 0);
  EXPECT_EQ(GetAsyncKeyState(VK_CONTROL), 0);
  user.shiftDown = false;
  winsim::SetDesktopBehaviour(user);
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
}

TEST_F(WinsimDesktopTest, WindowStationFlags) {
  HWINSTA station = GetProcessWindowStation();
  ASSERT_NE(station, nullptr);
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  EXPECT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed));
  EXPECT_EQ(needed, sizeof(USEROBJECTFLAGS));
  EXPECT_EQ(flags.dwFlags & WSF_VISIBLE, static_cast<DWORD>(WSF_VISIBLE));

  winsim::DesktopBehaviour silent;
  silent.interactiveSession = false;
  winsim::SetDesktopBehaviour(silent);
  EXPECT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed));
  EXPECT_EQ(flags.dwFlags & WSF_VISIBLE, 0u);

  SetLastError(kPoison);
  needed = 0;
  EXPECT_FALSE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags) - 1, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(USEROBJECTFLAGS));
  SetLastError(kPoison);
  EXPECT_FALSE(GetUserObjectInformationW(nullptr, UOI_FLAGS, &flags, sizeof(flags), &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  WCHAR name[32];
  EXPECT_TRUE(GetUserObjectInformationW(station, UOI_NAME, name, sizeof(name), &needed));
  EXPECT_EQ(std::u16string(name), u"Service-0x0-3e7$");
}

// ---------------------------------------------------------------- dialogs --

// A dialog procedure like a program's: fills the dialog at WM_INITDIALOG,
// ends with 1 on IDOK and 0 on IDCANCEL.
struct ProcScript {
  bool endOnCommands = true;
  bool endDuringInit = false;
  bool handleSysCommand = false;  // returns TRUE for WM_SYSCOMMAND
  bool postOwnCommand = false;    // posts itself WM_COMMAND IDOK at init
  INT_PTR initResult = FALSE;
  BOOL setTextResult = FALSE;
  DWORD setTextError = 0;
};
ProcScript gScript;

INT_PTR CALLBACK TestProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      EXPECT_EQ(lParam, 0x5150);
      EXPECT_EQ(wParam, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDOK)));
      SetLastError(kPoison);
      gScript.setTextResult = SetDlgItemTextW(dialog, 1002, u"nowhere");
      gScript.setTextError = GetLastError();
      EXPECT_TRUE(SetDlgItemTextW(dialog, 1001, u"line 1\r\nline 2"));
      EXPECT_TRUE(SetWindowTextW(dialog, u"Caption"));
      if (gScript.postOwnCommand) PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      if (gScript.endDuringInit) EndDialog(dialog, 7);
      return gScript.initResult;
    }
    case WM_SYSCOMMAND:
      return gScript.handleSysCommand;
    case WM_COMMAND:
      if (!gScript.endOnCommands) return FALSE;
      if (LOWORD(wParam) == IDOK) EndDialog(dialog, 1);
      if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, 0);
      return FALSE;
    default:
      return FALSE;
  }
}

class WinsimDialogTest : public WinsimDesktopTest {
 protected:
  void SetUp() override {
    WinsimDesktopTest::SetUp();
    gScript = ProcScript();
  }
  INT_PTR Show(HWND owner = nullptr, LPCWSTR name = MAKEINTRESOURCEW(101)) {
    return DialogBoxParamW(winsim::ProgramInstance(), name, owner, TestProc, 0x5150);
  }
  static std::vector<UINT> Messages(const winsim::ShownDialog& dialog) {
    std::vector<UINT> messages;
    for (const winsim::DialogMessage& m : dialog.messages) messages.push_back(m.message);
    return messages;
  }
};

TEST_F(WinsimDialogTest, EachUserActionEndsTheDialog) {
  struct Case {
    DialogAction action;
    DialogEnd end;
    INT_PTR result;
    std::vector<UINT> messages;  // after WM_SETFONT and WM_INITDIALOG
  };
  const UINT kGetDefId = WM_USER;
  const Case cases[] = {
      {DialogAction::CloseButton, DialogEnd::CloseButton, 1, {WM_COMMAND}},
      {DialogAction::EnterKey, DialogEnd::EnterKey, 1, {kGetDefId, WM_COMMAND}},
      {DialogAction::EscapeKey, DialogEnd::EscapeKey, 0, {WM_COMMAND}},
      {DialogAction::CaptionClose, DialogEnd::CaptionClose, 0,
       {WM_SYSCOMMAND, WM_CLOSE, WM_COMMAND}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    winsim::DesktopBehaviour user;
    user.dialogAction = c.action;
    winsim::SetDesktopBehaviour(user);
    EXPECT_EQ(Show(), c.result);
    winsim::ShownDialog shown = winsim::DialogsShown().back();
    EXPECT_EQ(shown.templateId, 101);
    EXPECT_EQ(shown.caption, u"Caption");
    EXPECT_EQ(shown.text, u"line 1\r\nline 2");
    EXPECT_EQ(shown.end, c.end);
    EXPECT_EQ(shown.result, c.result);
    EXPECT_FALSE(shown.systemSetFocus);
    std::vector<UINT> expected = {WM_SETFONT, WM_INITDIALOG};
    expected.insert(expected.end(), c.messages.begin(), c.messages.end());
    expected.push_back(WM_DESTROY);
    expected.push_back(WM_NCDESTROY);
    EXPECT_EQ(Messages(shown), expected);
    const winsim::DialogMessage& command = shown.messages[shown.messages.size() - 3];
    EXPECT_EQ(LOWORD(command.wParam), c.result == 1 ? IDOK : IDCANCEL);
    EXPECT_EQ(HIWORD(command.wParam), BN_CLICKED);
    EXPECT_FALSE(IsWindow(shown.window));  // destroyed with EndDialog
  }
  EXPECT_FALSE(gScript.setTextResult);
  EXPECT_EQ(gScript.setTextError, static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
}

TEST_F(WinsimDialogTest, QueuedActionsComeFirstAndAreUsedOnce) {
  gScript.endOnCommands = false;
  gScript.handleSysCommand = true;
  // The caption's close is swallowed by the procedure; Escape then sends
  // IDCANCEL, which this procedure also ignores; the standing Close button
  // is the last try, and a dialog still open after it would wait forever.
  winsim::DesktopBehaviour user;
  user.firstDialogActions = {DialogAction::CaptionClose, DialogAction::EscapeKey};
  winsim::SetDesktopBehaviour(user);
  EXPECT_DEATH(Show(), "would wait forever");
}

TEST_F(WinsimDialogTest, EndDialogDuringInitAndPostedCommands) {
  gScript.endDuringInit = true;
  EXPECT_EQ(Show(), 7);
  EXPECT_EQ(winsim::DialogsShown().back().end, DialogEnd::DuringInit);

  gScript = ProcScript();
  gScript.postOwnCommand = true;
  gScript.initResult = TRUE;
  EXPECT_EQ(Show(), 1);
  winsim::ShownDialog shown = winsim::DialogsShown().back();
  EXPECT_EQ(shown.end, DialogEnd::Message);
  EXPECT_TRUE(shown.systemSetFocus);
}

TEST_F(WinsimDialogTest, OwnerAndTemplateFailures) {
  HWND owner = winsim::OpenWindow(u"SetupWindow", u"Setup");
  EXPECT_EQ(Show(owner), 1);
  EXPECT_EQ(winsim::DialogsShown().back().owner, owner);

  winsim::CloseWindowNow(owner);
  SetLastError(kPoison);
  EXPECT_EQ(Show(owner), 0);  // documented: 0 for an invalid owner
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  SetLastError(kPoison);
  EXPECT_EQ(Show(nullptr, MAKEINTRESOURCEW(102)), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  SetLastError(kPoison);
  EXPECT_EQ(Show(owner, u"LOGDIALOG"), -1);  // the template is looked up first
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(Show(nullptr, u"#101"), 1);
  EXPECT_EQ(winsim::DialogsShown().size(), 2u);

  SetLastError(kPoison);
  EXPECT_FALSE(EndDialog(winsim::OpenHelpWindow(), 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WinsimDialogTest, ModalDialogOnAnInvisibleDesktopIsCaught) {
  winsim::DesktopBehaviour silent;
  silent.interactiveSession = false;
  winsim::SetDesktopBehaviour(silent);
  EXPECT_DEATH(Show(), "modal dialog on an invisible desktop would wait forever");
}

// ---------------------------------------------------------------- mutexes --

TEST_F(WinsimDesktopTest, CreateMutexCreatesOrOpens) {
  SetLastError(kPoison);
  HANDLE first = CreateMutexA(nullptr, FALSE, "Local\\test mutex");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  SetLastError(kPoison);
  HANDLE second = CreateMutexA(nullptr, TRUE, "test mutex");  // same namespace
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(winsim::Mutex("test mutex").owned);  // opening ignores the owner flag
  EXPECT_EQ(winsim::Mutex("test mutex").references, 2u);
  EXPECT_EQ(winsim::LiveHandles("mutex"), 2u);

  SetLastError(kPoison);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "a\\b"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  SetLastError(kPoison);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(MAX_PATH, 'm').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));

  // The name lives as long as a handle does.
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(winsim::Mutex("test mutex").exists);
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_FALSE(winsim::Mutex("test mutex").exists);
  SetLastError(kPoison);
  HANDLE third = CreateMutexA(nullptr, FALSE, "test mutex");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(third));

  winsim::FailCall("CreateMutexA", ERROR_ACCESS_DENIED);
  SetLastError(kPoison);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, kTrayMutex), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(WinsimDesktopTest, WaitingForAMutex) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "m");
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(winsim::Mutex("m").ownedByProgram);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(winsim::Mutex("m").owned);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(winsim::Mutex("m").owned);
  SetLastError(kPoison);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Held by another process: the wait times out after exactly its time.
  winsim::CreateForeignMutex("held", true);
  HANDLE held = CreateMutexA(nullptr, FALSE, "held");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  uint64_t start = winsim::NowMs();
  SetLastError(kPoison);
  EXPECT_EQ(WaitForSingleObject(held, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(GetLastError(), kPoison);
  EXPECT_EQ(winsim::NowMs() - start, 5000u);
  // Its owner lets it go: the next wait gets it.
  winsim::ReleaseForeignMutex("held");
  EXPECT_EQ(WaitForSingleObject(held, 5000), static_cast<DWORD>(WAIT_OBJECT_0));

  SetLastError(kPoison);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(mutex);
  CloseHandle(held);
}

TEST_F(WinsimDesktopTest, SessionsHaveTheirOwnNamesAndWindows) {
  // The companion of session 1 holds its mutex and window there.
  winsim::PutFile(winsim::TrayPath(), {'M', 'Z'});
  ASSERT_TRUE(winsim::StartTrayCompanion(winsim::TrayPath(), 1));
  winsim::ProgramRun service = winsim::GetProgramRun();
  service.sessionId = 0;
  winsim::SetProgramRun(service);
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
  SetLastError(kPoison);
  EXPECT_FALSE(PostMessageW(winsim::TrayCompanion().window, 0x402, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  HANDLE own = CreateMutexA(nullptr, FALSE, kTrayMutex);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  // Session 0's own names are the machine's: "Global\" names the same one,
  // which every session reaches.
  HANDLE global = CreateMutexExW(nullptr, u"Global\\{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}", 0, SYNCHRONIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  DWORD session = 9;
  EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 0u);
  EXPECT_TRUE(ProcessIdToSessionId(winsim::TrayCompanion().processId, &session));
  EXPECT_EQ(session, 1u);

  service.sessionId = 1;
  winsim::SetProgramRun(service);
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), winsim::TrayCompanion().window);
  HANDLE user = CreateMutexA(nullptr, FALSE, kTrayMutex);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(user, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CreateMutexExW(nullptr, u"Global\\{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}", 0, SYNCHRONIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  for (HANDLE handle : {own, global, user}) CloseHandle(handle);
}

int g_order = 0;
std::vector<std::string> g_steps;

// A program for runs together: takes a machine-wide mutex, holds it 300 ms
// and releases it; "crash" ends without releasing it.
int LockingProgram(HINSTANCE) {
  std::u16string line = GetCommandLineW();
  std::string name = "run " + std::to_string(++g_order);
  HANDLE mutex = CreateMutexExW(nullptr, u"Global\\lock", 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
  DWORD wait = WaitForSingleObject(mutex, 800);
  g_steps.push_back(name + " got " + std::to_string(wait) + " at " + std::to_string(winsim::NowMs()));
  Sleep(300);
  if (line != u"crash") ReleaseMutex(mutex);
  CloseHandle(mutex);
  return static_cast<int>(GetCurrentProcessId() & 0xFFFF);
}

TEST_F(WinsimDesktopTest, RunsTogetherWaitForEachOther) {
  g_order = 0;
  g_steps.clear();
  std::vector<int> ids = winsim::RunProgramsTogether({{u"crash"}, {u"a"}, {u"b"}, {u"c"}}, &LockingProgram);
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_NE(ids[0], ids[1]);
  // The crashed run abandons the lock to the next; the last one waits past
  // its limit, as no time passes while another run can go on.
  EXPECT_EQ(g_steps, (std::vector<std::string>{"run 1 got 0 at 0", "run 2 got 128 at 300",
                                               "run 3 got 0 at 600", "run 4 got 258 at 800"}));
  EXPECT_EQ(winsim::NowMs(), 1100u);
}

// ----------------------------------------------------------- the companion --

class WinsimTrayTest : public WinsimDesktopTest {
 protected:
  void SetUp() override {
    WinsimDesktopTest::SetUp();
    winsim::PutTextFile(winsim::TrayPath(), "MZ");
  }
  // What the installer's exit handshake does, one pass.
  DWORD AskToExit(DWORD waitMs = 5000) {
    mutex_ = CreateMutexA(nullptr, FALSE, kTrayMutex);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HWND window = FindWindowW(kTrayClass, nullptr);
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(PostMessageW(window, kTrayExit, 0, 0));
    return WaitForSingleObject(mutex_, waitMs);
  }
  void TearDown() override {
    if (mutex_) CloseHandle(mutex_);
  }
  HANDLE mutex_ = nullptr;
};

TEST_F(WinsimTrayTest, RunningCompanionHoldsMutexWindowAndFile) {
  ASSERT_TRUE(winsim::StartTrayCompanion(winsim::TrayPath()));
  winsim::TrayCompanionState tray = winsim::TrayCompanion();
  EXPECT_TRUE(tray.running);
  EXPECT_EQ(tray.starts, 1u);
  EXPECT_EQ(tray.commandLine, u"\"" + winsim::TrayPath() + u"\"");
  winsim::MutexState mutex = winsim::Mutex(kTrayMutex);
  EXPECT_TRUE(mutex.owned);
  EXPECT_FALSE(mutex.ownedByProgram);
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), tray.window);
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(winsim::TrayPath().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A second instance finds the mutex and ends at once.
  ASSERT_TRUE(winsim::StartTrayCompanion(winsim::TrayPath()));
  EXPECT_EQ(winsim::TrayCompanion().starts, 2u);
  EXPECT_EQ(winsim::TrayCompanion().processId, tray.processId);
  EXPECT_FALSE(winsim::StartTrayCompanion(u"C:\\nowhere\\soltray.exe"));
}

TEST_F(WinsimTrayTest, ExitAtOnceFreesEverything) {
  winsim::StartTrayCompanion(winsim::TrayPath());
  uint64_t start = winsim::NowMs();
  EXPECT_EQ(AskToExit(), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::NowMs(), start);
  EXPECT_FALSE(winsim::TrayCompanion().running);
  EXPECT_EQ(winsim::TrayCompanion().exitRequests, 1u);
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
  EXPECT_TRUE(winsim::Mutex(kTrayMutex).ownedByProgram);
  EXPECT_TRUE(DeleteFileW(winsim::TrayPath().c_str()));
  CloseHandle(mutex_);
  mutex_ = nullptr;
  EXPECT_FALSE(winsim::Mutex(kTrayMutex).exists);
}

TEST_F(WinsimTrayTest, ExitAfterADelayOrNever) {
  winsim::TrayBehaviour slow;
  slow.exit = TrayExit::AfterDelay;
  slow.exitDelayMs = 3000;
  winsim::SetTrayBehaviour(slow);
  winsim::StartTrayCompanion(winsim::TrayPath());
  uint64_t start = winsim::NowMs();
  EXPECT_EQ(AskToExit(), WAIT_OBJECT_0);
  EXPECT_EQ(winsim::NowMs() - start, 3000u);
  CloseHandle(mutex_);

  winsim::TrayBehaviour stubborn;
  stubborn.exit = TrayExit::Never;
  winsim::SetTrayBehaviour(stubborn);
  winsim::StartTrayCompanion(winsim::TrayPath());
  start = winsim::NowMs();
  EXPECT_EQ(AskToExit(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(winsim::NowMs() - start, 5000u);
  EXPECT_TRUE(winsim::TrayCompanion().running);
}

TEST_F(WinsimTrayTest, AbandonedMutexAndLateOrMissingWindow) {
  winsim::TrayBehaviour careless;
  careless.abandonsMutex = true;
  winsim::SetTrayBehaviour(careless);
  winsim::StartTrayCompanion(winsim::TrayPath());
  EXPECT_EQ(AskToExit(), static_cast<DWORD>(WAIT_ABANDONED));
  EXPECT_TRUE(winsim::Mutex(kTrayMutex).ownedByProgram);
  EXPECT_FALSE(winsim::Mutex(kTrayMutex).abandoned);  // the wait took it over
  CloseHandle(mutex_);
  mutex_ = nullptr;

  winsim::TrayBehaviour late;
  late.windowDelayMs = 600;
  winsim::SetTrayBehaviour(late);
  winsim::StartTrayCompanion(winsim::TrayPath());
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
  winsim::AdvanceMs(600);
  EXPECT_NE(FindWindowW(kTrayClass, nullptr), nullptr);
  winsim::KillTrayCompanion();
  EXPECT_FALSE(winsim::TrayCompanion().running);
  EXPECT_FALSE(winsim::Mutex(kTrayMutex).exists);  // nobody else held a handle

  winsim::TrayBehaviour windowless;
  windowless.hasWindow = false;
  winsim::SetTrayBehaviour(windowless);
  winsim::StartTrayCompanion(winsim::TrayPath());
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
  EXPECT_TRUE(winsim::Mutex(kTrayMutex).owned);
}

// -------------------------------------------------------------- processes --

TEST_F(WinsimTrayTest, CreateProcessStartsTheCompanion) {
  std::u16string line = u"\"" + winsim::TrayPath() + u"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                             nullptr, nullptr, &startup, &info));
  EXPECT_NE(info.hProcess, nullptr);
  EXPECT_NE(info.hThread, nullptr);
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_EQ(winsim::LiveHandles("process"), 1u);
  EXPECT_EQ(winsim::LiveHandles("thread"), 1u);
  winsim::TrayCompanionState tray = winsim::TrayCompanion();
  EXPECT_TRUE(tray.running);
  EXPECT_EQ(tray.processId, info.dwProcessId);
  EXPECT_EQ(tray.commandLine, line);
  EXPECT_EQ(tray.showWindow, SW_SHOW);
  EXPECT_EQ(tray.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
  EXPECT_EQ(tray.priorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));

  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  PostMessageW(tray.window, kTrayExit, 0, 0);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));
  EXPECT_EQ(winsim::LiveHandles(), 0u);
}

TEST_F(WinsimTrayTest, CreateProcessNeedsTheFile) {
  EXPECT_TRUE(DeleteFileW(winsim::TrayPath().c_str()));
  std::u16string line = u"\"" + winsim::TrayPath() + u"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  SetLastError(kPoison);
  EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(winsim::TrayCompanion().starts, 0u);
  EXPECT_TRUE(winsim::Processes().empty());
  EXPECT_EQ(winsim::LiveHandles(), 0u);

  // Unquoted, the shortest prefix that names a file is the program, and a
  // name without an extension gets ".exe".
  winsim::PutTextFile(u"C:\\Tools\\run.exe", "MZ");
  std::u16string unquoted = u"C:\\Tools\\run arg";
  ASSERT_TRUE(CreateProcessW(nullptr, unquoted.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  std::vector<winsim::ProcessRecord> processes = winsim::Processes();
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].imagePath, u"C:\\Tools\\run.exe");
  EXPECT_EQ(processes[0].showWindow, SW_SHOWDEFAULT);
  winsim::EndProcess(info.dwProcessId, 3);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 3u);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
}

// ------------------------------------------------------------- version --

TEST_F(WinsimDesktopTest, GetVersionExReportsTheConfiguredSystem) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  // Windows 10: a program without a compatibility manifest is told 6.2.
  EXPECT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 2u);

  const DWORD versions[][2] = {{5, 1}, {6, 0}, {6, 1}};
  for (const auto& v : versions) {
    winsim::SystemBehaviour old;
    old.majorVersion = v[0];
    old.minorVersion = v[1];
    old.buildNumber = 2600;
    old.servicePack = "Service Pack 3";
    winsim::SetSystemBehaviour(old);
    EXPECT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, v[0]);
    EXPECT_EQ(info.dwMinorVersion, v[1]);
    EXPECT_EQ(info.dwBuildNumber, 2600u);
    EXPECT_STREQ(info.szCSDVersion, "Service Pack 3");
  }

  info.dwOSVersionInfoSize = sizeof(info) - 1;
  SetLastError(kPoison);
  EXPECT_FALSE(GetVersionExA(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// ------------------------------------------------------------ save/load --

TEST_F(WinsimTrayTest, RunningCompanionAndHelpWindowsSurviveSaveAndLoad) {
  std::string dir = ::testing::TempDir() + "winsim_desktop_machine";
  winsim::SystemBehaviour windows7;
  windows7.majorVersion = 6;
  windows7.minorVersion = 1;
  windows7.buildNumber = 7601;
  winsim::SetSystemBehaviour(windows7);
  winsim::DesktopBehaviour silent;
  silent.interactiveSession = false;
  winsim::SetDesktopBehaviour(silent);
  HWND help = winsim::OpenHelpWindow(WindowClosing::AfterDelay, 500);
  PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
  winsim::StartTrayCompanion(winsim::TrayPath());
  HWND trayWindow = winsim::TrayCompanion().window;
  winsim::CreateForeignMutex("other program", true);
  size_t processes = winsim::Processes().size();
  ASSERT_TRUE(winsim::SaveMachine(dir));

  ASSERT_TRUE(winsim::LoadMachine(dir));
  EXPECT_TRUE(IsWindow(help));
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(FindWindowW(kTrayClass, nullptr), trayWindow);
  EXPECT_TRUE(winsim::Mutex(kTrayMutex).owned);
  EXPECT_FALSE(DeleteFileW(winsim::TrayPath().c_str()));
  EXPECT_TRUE(winsim::Mutex("other program").owned);
  EXPECT_FALSE(winsim::Mutex("other program").ownedByProgram);
  EXPECT_EQ(winsim::Processes().size(), processes);
  EXPECT_FALSE(winsim::FileHeld(u"C:\\Windows\\hh.exe"));
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &needed);
  EXPECT_EQ(flags.dwFlags, 0u);
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  GetVersionExA(&info);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  // The help window's pending close goes on after the load.
  winsim::AdvanceMs(500);
  EXPECT_FALSE(IsWindow(help));
  EXPECT_EQ(AskToExit(), WAIT_OBJECT_0);
}

}  // namespace
