// The entry: command words, the owner-window argument and closing the help
// viewer before a job.
#include <gtest/gtest.h>

#include "sim_test.h"

#include <climits>
#include <string>
#include <vector>

#include "install/entry.h"
#include "winsim/control.h"
#include "winsim/desktop_control.h"
#include "winsim/spooler_control.h"

namespace svd {
namespace {

using winsim::WindowClosing;

class EntryTest : public SimTest {
 protected:
  

  int Run(const std::u16string& arguments) {
    winsim::SetCommandLine(u"\"" + winsim::InstallerPath() + u"\"" + arguments);
    return InstallerMain(winsim::ProgramInstance());
  }
};

TEST_F(EntryTest, DecimalConversion) {
  struct Case {
    const char16_t* text;
    LONG value;
  };
  const Case cases[] = {
      {u"0", 0},
      {u"123", 123},
      {u"  \t\r\n42", 42},
      {u"+7", 7},
      {u"-7", -7},
      {u"12abc", 12},
      {u"abc", 0},
      {u"", 0},
      {u"-", 0},
      {u"+-3", 0},
      {u" - 3", 0},
      {u"2147483647", INT_MAX},
      {u"2147483648", INT_MAX},
      {u"99999999999999999999999", INT_MAX},
      {u"-2147483648", INT_MIN},
      {u"-2147483649", INT_MIN},
      {u"-99999999999999999999999", INT_MIN},
      {u"000000000000000000000012", 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    EXPECT_EQ(ParseDecimal(c.text), c.value);
  }
}

TEST_F(EntryTest, ParentWindowOnlyFromExactlyThreeArguments) {
  HWND owner = winsim::OpenWindow(u"SetupWindow", u"Setup");
  std::u16string number = std::u16string(u" +");
  for (char c : std::to_string(reinterpret_cast<INT_PTR>(owner))) number += char16_t(c);
  number += u"xyz";
  std::u16string program = winsim::InstallerPath();
  LPWSTR three[] = {program.data(), const_cast<LPWSTR>(u"in"), number.data()};
  EXPECT_EQ(ParentWindowArgument(3, three), owner);

  LPWSTR four[] = {program.data(), const_cast<LPWSTR>(u"in"), number.data(),
                   const_cast<LPWSTR>(u"x")};
  EXPECT_EQ(ParentWindowArgument(4, four), nullptr);
  EXPECT_EQ(ParentWindowArgument(2, three), nullptr);

  const char16_t* unusable[] = {u"0", u"letters", u"987654", u"-1"};
  for (const char16_t* text : unusable) {
    LPWSTR arguments[] = {program.data(), const_cast<LPWSTR>(u"in"), const_cast<LPWSTR>(text)};
    EXPECT_EQ(ParentWindowArgument(3, arguments), nullptr);
  }
}

TEST_F(EntryTest, SwitchesAfterTheWordAreTakenOutBeforeTheOwnerRule) {
  struct Case {
    std::vector<std::u16string> arguments;  // after the program
    std::vector<std::u16string> left;
    bool quiet, report;
    const char16_t* file;
  };
  const Case cases[] = {
      {{u"in", u"1234"}, {u"in", u"1234"}, false, false, nullptr},
      {{u"in", u"/quiet", u"1234"}, {u"in", u"1234"}, true, false, nullptr},
      {{u"in", u"1234", u"/QUIET"}, {u"in", u"1234"}, true, false, nullptr},
      {{u"in", u"/Log=C:\\a b.log", u"1234", u"/qUiEt"}, {u"in", u"1234"}, true, true, u"C:\\a b.log"},
      {{u"in", u"/log=x", u"/LOG"}, {u"in"}, false, true, nullptr},
      {{u"in", u"/LOG", u"/log=y"}, {u"in"}, false, true, u"y"},
      {{u"in", u"/log="}, {u"in"}, false, true, nullptr},
      // Unknown switches and near misses stay, like any extra argument.
      {{u"in", u"/quiet2", u"/logfile", u"-quiet", u"1234"}, {u"in", u"/quiet2", u"/logfile", u"-quiet", u"1234"},
       false, false, nullptr},
      // Before the word nothing is a switch: it is the word.
      {{u"/quiet", u"in"}, {u"/quiet", u"in"}, false, false, nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> texts = c.arguments;
    texts.insert(texts.begin(), winsim::InstallerPath());
    std::vector<LPWSTR> arguments;
    for (std::u16string& text : texts) arguments.push_back(text.data());
    arguments.push_back(nullptr);
    int count = static_cast<int>(texts.size());
    RunOptions options = TakeSwitches(&count, arguments.data());
    std::vector<std::u16string> left;
    for (int i = 1; i < count; ++i) left.push_back(arguments[i]);
    SCOPED_TRACE(U8(c.arguments.back()));
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(arguments[count], nullptr);
    EXPECT_EQ(options.quiet, c.quiet);
    EXPECT_EQ(options.report, c.report);
    EXPECT_EQ(c.file ? std::u16string(c.file) : u"(none)",
              options.reportFile ? std::u16string(options.reportFile) : u"(none)");
  }
}

TEST_F(EntryTest, QuietRunShowsNoDialogInAnInteractiveSession) {
  winsim::DesktopBehaviour shift;
  shift.shiftDown = true;
  winsim::SetDesktopBehaviour(shift);
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  EXPECT_EQ(Run(u" install /quiet"), 100);
  winsim::SetServiceBehaviour(winsim::ServiceBehaviour());
  EXPECT_EQ(Run(u" uninstall /Quiet"), 2);
  EXPECT_EQ(winsim::CallCount("DialogBoxParamW"), 0u);
  EXPECT_EQ(winsim::CallCount("GetAsyncKeyState"), 0u);
}

TEST_F(EntryTest, HelpWindowsAreAskedToCloseUntilNoneIsLeft) {
  winsim::OpenHelpWindow();
  winsim::OpenHelpWindow(WindowClosing::AfterDelay, 120);
  HWND other = winsim::OpenWindow(u"HH Parent", u"Other Help");
  CloseHelpWindows();
  EXPECT_EQ(winsim::CountHelpWindows(), 0u);
  std::u16string otherTitle = u"Other Help";
  EXPECT_EQ(winsim::CountWindows(u"HH Parent", &otherTitle), 1u);
  for (const winsim::PostedMessage& posted : winsim::PostedMessages()) {
    EXPECT_NE(posted.window, other);
    EXPECT_EQ(posted.message, static_cast<UINT>(WM_SYSCOMMAND));
    EXPECT_EQ(posted.wParam, static_cast<WPARAM>(SC_CLOSE));
    EXPECT_EQ(posted.lParam, 0);
  }
  // One request for the first window, then one every 50 ms for the second
  // until it has gone 120 ms later.
  EXPECT_EQ(winsim::PostedMessages().size(), 4u);
}

TEST_F(EntryTest, HelpWindowThatNeverClosesDoesNotHoldTheJob) {
  winsim::OpenHelpWindow(WindowClosing::Never);
  uint64_t start = winsim::NowMs();
  CloseHelpWindows();
  EXPECT_EQ(winsim::PostedMessages().size(), static_cast<size_t>(CloseHelpAttempts));
  EXPECT_EQ(winsim::NowMs() - start, static_cast<uint64_t>(CloseHelpAttempts) * 50u);
  EXPECT_EQ(winsim::CountHelpWindows(), 1u);
}

TEST_F(EntryTest, ProcessEntryRestrictsTheDllSearchFirst) {
  winsim::SetCommandLine(u"\"" + winsim::InstallerPath() + u"\" onChkDrv");
  std::u16string arguments = u"onChkDrv";
  EXPECT_EQ(wWinMain(winsim::ProgramInstance(), nullptr, arguments.data(), 1), 3);
  ASSERT_FALSE(winsim::Calls().empty());
  EXPECT_EQ(winsim::Calls().front().api, "SetDefaultDllDirectories");
  EXPECT_EQ(winsim::Calls().front().detail, "0x800");  // LOAD_LIBRARY_SEARCH_SYSTEM32
  // Refused, it changes nothing else: the command runs as before.
  winsim::FailCall("SetDefaultDllDirectories", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(wWinMain(winsim::ProgramInstance(), nullptr, arguments.data(), 1), 3);
}

TEST_F(EntryTest, MissingOrUnknownCommandWord) {
  EXPECT_EQ(Run(u""), 6);
  EXPECT_EQ(Run(u" bogus"), 6);
  EXPECT_EQ(Run(u" installx"), 6);
  EXPECT_EQ(Run(u" \u0130nstall"), 6);  // only A to Z fold
  EXPECT_EQ(Run(u" DEF.SET"), 6);
  EXPECT_EQ(Run(u" Def.set"), 6);
  EXPECT_EQ(Run(u" def.setx"), 6);
  EXPECT_TRUE(winsim::DialogsShown().empty());
}

TEST_F(EntryTest, RemoveTrayInAnyCaseLeavesHelpWindowsOpen) {
  winsim::OpenHelpWindow();
  EXPECT_EQ(Run(u" REMOVETRAY"), 6);
  EXPECT_EQ(Run(u" removeTray 123"), 6);
  EXPECT_EQ(winsim::CountHelpWindows(), 1u);
  for (const winsim::PostedMessage& posted : winsim::PostedMessages()) {
    EXPECT_NE(posted.className, u"HH Parent");
  }
}

TEST_F(EntryTest, JobCommandsInAnyCaseCloseHelpWindowsFirst) {
  const char16_t* words[] = {u" UNINSTALL", u" Un", u" uNiNsTaLl"};
  for (const char16_t* word : words) {
    winsim::OpenHelpWindow();
    EXPECT_EQ(Run(word), 2);
    EXPECT_EQ(winsim::CountHelpWindows(), 0u);
  }
  // Each of them built a job: the spooler was checked through the
  // service manager.
  EXPECT_GE(winsim::CallCount("OpenSCManagerW"), 3u);
}

TEST_F(EntryTest, ProbesLeaveHelpWindowsOpen) {
  winsim::OpenHelpWindow();
  EXPECT_EQ(Run(u" onchkdrv"), 3);
  EXPECT_EQ(Run(u" ONINIT"), 102);  // no default printer at all
  EXPECT_EQ(Run(u" def.set"), 4);
  EXPECT_EQ(winsim::CountHelpWindows(), 1u);
  EXPECT_TRUE(winsim::PostedMessages().empty());
  EXPECT_TRUE(winsim::DialogsShown().empty());
  // No job: the spooler service was not checked.
  EXPECT_EQ(winsim::CallCount("OpenSCManagerW"), 0u);
}

TEST_F(EntryTest, OnInitAnswersPendingComponentsWithoutLookingAtTheDefaultPrinter) {
  std::u16string dll = winsim::SystemDirectory() + u"\\QRLDRV64.DLL";
  winsim::PutFile(dll, {'M', 'Z'});
  // A pending rename is never carried out early, so it stays pending.
  winsim::SetPendingFileRenameOperations({u"\\??\\" + dll, u"\\??\\" + dll + u".new"});
  EXPECT_EQ(Run(u" onInit"), 200);
  EXPECT_EQ(winsim::CallCount("GetDefaultPrinterByOrdinal"), 0u);
}

TEST_F(EntryTest, FailedJobExitsWith100AndShowsTheErrorLog) {
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  EXPECT_EQ(Run(u" install"), 100);
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, u"Solvendale build 2093- Install error log!");
  EXPECT_NE(shown[0].text.find(u"Error(1): Can't open service manager."), std::u16string::npos);
}

TEST_F(EntryTest, SilentDeploymentGetsTheSameExitCodeWithoutADialog) {
  winsim::DesktopBehaviour silent;
  silent.interactiveSession = false;
  winsim::SetDesktopBehaviour(silent);
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  EXPECT_EQ(Run(u" serverinstall"), 100);
  winsim::SetServiceBehaviour(winsim::ServiceBehaviour());
  silent.shiftDown = true;
  winsim::SetDesktopBehaviour(silent);
  EXPECT_EQ(Run(u" uninstall"), 2);
  EXPECT_TRUE(winsim::DialogsShown().empty());
}

TEST_F(EntryTest, OwnerWindowFromTheCommandLine) {
  HWND owner = winsim::OpenWindow(u"SetupWindow", u"Setup");
  std::u16string number;
  for (char c : std::to_string(reinterpret_cast<INT_PTR>(owner))) number += char16_t(c);
  winsim::DesktopBehaviour shift;
  shift.shiftDown = true;
  winsim::SetDesktopBehaviour(shift);
  EXPECT_EQ(Run(u" un " + number), 2);
  EXPECT_EQ(Run(u" un " + number + u" more"), 2);
  EXPECT_EQ(Run(u" un 0"), 2);
  EXPECT_EQ(Run(u" un letters"), 2);
  // Switches are taken out before the owner window is read.
  EXPECT_EQ(Run(u" un /LOG=C:\\r.log " + number), 2);
  EXPECT_EQ(Run(u" un " + number + u" /log"), 2);
  EXPECT_EQ(Run(u" un " + number + u" /other"), 2);
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 7u);
  EXPECT_EQ(shown[0].owner, owner);
  EXPECT_EQ(shown[1].owner, nullptr);
  EXPECT_EQ(shown[2].owner, nullptr);
  EXPECT_EQ(shown[3].owner, nullptr);
  EXPECT_EQ(shown[4].owner, owner);
  EXPECT_EQ(shown[5].owner, owner);
  EXPECT_EQ(shown[6].owner, nullptr);
  EXPECT_EQ(shown[0].caption, u"Solvendale build 2093- Install log.");
}

}  // namespace
}  // namespace svd
