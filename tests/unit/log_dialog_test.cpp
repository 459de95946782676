// The log dialog: its caption, its text, and how each way of closing it ends.
#include <gtest/gtest.h>

#include "sim_test.h"

#include <string>

#include "job/install_job.h"
#include "job/log.h"
#include "job/log_dialog.h"
#include "winsim/control.h"
#include "winsim/desktop_control.h"
#include "workflows/job_setup.h"

namespace svd {
namespace {

using winsim::DialogAction;
using winsim::DialogEnd;

class LogDialogTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    InstanceHandle = winsim::ProgramInstance();
    job_ = InstallJob{};
  }
  void TearDown() override {
    DestroyInstallJob(&job_);
    SimTest::TearDown();
  }

  winsim::ShownDialog ShowOnce(HWND parent = nullptr) {
    size_t before = winsim::DialogsShown().size();
    ShowLogDialog(parent, &job_);
    std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
    EXPECT_EQ(shown.size(), before + 1);
    return shown.empty() ? winsim::ShownDialog{} : shown.back();
  }

  InstallJob job_;
};

TEST_F(LogDialogTest, ErrorLogCaptionAndText) {
  LogLine(&job_, u"Solvendale %d", BUILD_NUMBER);
  job_.LogDepth = 1;
  SetLastError(0);
  ErrorLine(&job_, ErrorId::CantStartSpooler);
  winsim::ShownDialog dialog = ShowOnce();
  EXPECT_EQ(dialog.templateId, IDD_LOG_DIALOG);
  EXPECT_EQ(dialog.owner, nullptr);
  EXPECT_EQ(dialog.caption, u"Solvendale build 2093- Install error log!");
  EXPECT_EQ(dialog.text, u"Solvendale 2093\r\n  Error(4): Can't start the spooler\r\n");
  EXPECT_FALSE(dialog.systemSetFocus);
  // The error line is selected (from "Error(" to its end) and has the focus.
  EXPECT_EQ(dialog.selectionStart, 19);
  EXPECT_EQ(dialog.selectionEnd, 52);
  EXPECT_EQ(dialog.firstVisibleLine, 0);
  EXPECT_EQ(dialog.focusId, IDC_LOG_TEXT);
  EXPECT_EQ(dialog.end, DialogEnd::CloseButton);
  EXPECT_EQ(dialog.result, 1);
}

TEST_F(LogDialogTest, PlainLogCaptionAndOwner) {
  LogLine(&job_, u"Solvendale %d", BUILD_NUMBER);
  HWND owner = winsim::OpenWindow(u"SetupWindow", u"Setup");
  winsim::ShownDialog dialog = ShowOnce(owner);
  EXPECT_EQ(dialog.caption, u"Solvendale build 2093- Install log.");
  EXPECT_EQ(dialog.owner, owner);
  // No error line: at the top, nothing selected, no focus given.
  EXPECT_EQ(dialog.selectionEnd, 0);
  EXPECT_EQ(dialog.firstVisibleLine, 0);
  EXPECT_EQ(dialog.focusId, 0);
}

TEST_F(LogDialogTest, ALongLogOpensOnItsFirstErrorLine) {
  for (int i = 0; i < 40; ++i) LogLine(&job_, u"line %d", i);
  SetLastError(0);
  ErrorLine(&job_, ErrorId::CantAddPrinter, u"Office");
  ErrorLine(&job_, ErrorId::CantAddPrinter, u"Home");
  winsim::ShownDialog dialog = ShowOnce();
  std::u16string selected = dialog.text.substr(dialog.selectionStart, dialog.selectionEnd - dialog.selectionStart);
  EXPECT_EQ(selected, u"Error(15): Can`t add printer 'Office'");
  // Line 40 is scrolled into view: the box shows 23 lines.
  EXPECT_EQ(dialog.firstVisibleLine, 40 - winsim::kEditVisibleLines + 1);
}

TEST_F(LogDialogTest, FirstErrorLineOfALog) {
  struct Case {
    const char16_t* log;
    size_t start, end;  // SIZE_MAX: none
  };
  const Case cases[] = {
      {u"Error(1): x\r\n", 0, 11},
      {u"a\r\n    Error(2): y\r\nError(3): z\r\n", 7, 18},
      {u"a\r\n  Not an Error(2)\r\n", SIZE_MAX, SIZE_MAX},
      {u"a\r\n  Error(9): cut", 5, 18},
      {u"", SIZE_MAX, SIZE_MAX},
  };
  for (const Case& c : cases) {
    size_t start = SIZE_MAX, end = SIZE_MAX;
    bool found = FindFirstErrorLine(c.log, &start, &end);
    EXPECT_EQ(found, c.start != SIZE_MAX) << U8(c.log);
    EXPECT_EQ(start, c.start) << U8(c.log);
    EXPECT_EQ(end, c.end) << U8(c.log);
  }
  EXPECT_FALSE(FindFirstErrorLine(nullptr, nullptr, nullptr));
}

TEST_F(LogDialogTest, NullLogShowsAnEmptyBox) {
  winsim::ShownDialog dialog = ShowOnce();
  EXPECT_EQ(dialog.text, u"");
}

TEST_F(LogDialogTest, EveryWayOfClosingEndsTheDialog) {
  struct Case {
    DialogAction action;
    DialogEnd end;
    INT_PTR result;
  };
  const Case cases[] = {
      {DialogAction::CloseButton, DialogEnd::CloseButton, 1},
      {DialogAction::EnterKey, DialogEnd::EnterKey, 1},
      {DialogAction::EscapeKey, DialogEnd::EscapeKey, 0},
      {DialogAction::CaptionClose, DialogEnd::CaptionClose, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.end));
    winsim::DesktopBehaviour user;
    user.dialogAction = c.action;
    winsim::SetDesktopBehaviour(user);
    winsim::ShownDialog dialog = ShowOnce();
    EXPECT_EQ(dialog.end, c.end);
    EXPECT_EQ(dialog.result, c.result);
  }
}

TEST_F(LogDialogTest, OtherCommandsLeaveTheDialogOpen) {
  LogLine(&job_, u"x");
  HWND dialog = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
  // Neither a command of another control nor an unrelated message ends it.
  EXPECT_EQ(LogDialogProc(dialog, WM_COMMAND, MAKEWPARAM(1001, 0x0300), 0), FALSE);
  EXPECT_EQ(LogDialogProc(dialog, WM_SETFONT, 0, 0), FALSE);
  EXPECT_EQ(winsim::CallCount("EndDialog"), 0u);
}

}  // namespace
}  // namespace svd
