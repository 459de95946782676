// The job runner: scheduling for reboot, when the log dialog is shown, and
// the outcome that becomes the exit code.
#include <gtest/gtest.h>

#include "sim_test.h"

#include <string>
#include <vector>

#include "cleanup/deferred_delete.h"
#include "install/entry.h"
#include "job/log.h"
#include "winsim/control.h"
#include "winsim/desktop_control.h"

namespace svd {
namespace {

// Workflows for the runner: what the job is left with at the end.
int gErrors = 0;
int gPendingFiles = 0;

void TestWorkflow(InstallJob* job) {
  LogLine(job, u"workflow");
  for (int i = 0; i < gPendingFiles; ++i) {
    std::u16string path = u"C:\\Windows\\System32\\locked" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".dll";
    AddPendingDelete(&job->PendingDeleteList, path.c_str());
  }
  SetLastError(0);
  for (int i = 0; i < gErrors; ++i) ErrorLine(job, ErrorId::CantInstallDriver);
}

class JobRunnerTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    InstanceHandle = winsim::ProgramInstance();
    gErrors = 0;
    gPendingFiles = 0;
  }
  JobOutcome RunWith(int errors, int pendingFiles, HWND parent = nullptr) {
    gErrors = errors;
    gPendingFiles = pendingFiles;
    return RunJob(parent, TestWorkflow);
  }
};

TEST_F(JobRunnerTest, CleanRunShowsNothingAndSchedulesNothing) {
  size_t blocks = winsim::LiveBlocks();
  JobOutcome outcome = RunWith(0, 0);
  EXPECT_FALSE(outcome.failed);
  EXPECT_EQ(outcome.scheduled, 0u);
  EXPECT_TRUE(winsim::DialogsShown().empty());
  EXPECT_EQ(winsim::CallCount("MoveFileExW"), 0u);
  EXPECT_EQ(winsim::LiveBlocks(), blocks);
}

TEST_F(JobRunnerTest, FailedRunSchedulesItsFilesAndShowsTheErrorLog) {
  HWND owner = winsim::OpenWindow(u"SetupWindow", u"Setup");
  JobOutcome outcome = RunWith(1, 3, owner);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.scheduled, 3u);
  std::vector<std::u16string> pending = winsim::PendingFileRenameOperations();
  EXPECT_EQ(pending.size(), 6u);  // three deletions: source and empty target
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, owner);
  EXPECT_EQ(shown[0].caption, u"Solvendale build 2093- Install error log!");
  EXPECT_EQ(shown[0].text.substr(0, 17), u"Solvendale 2093\r\n");
  // Scheduling writes nothing to the log.
  EXPECT_EQ(shown[0].text.find(u"locked"), std::u16string::npos);
}

TEST_F(JobRunnerTest, RefusedSchedulingsFailTheRun) {
  // Files that nothing will delete: the run fails without an error line, so
  // the error log opens at its top.
  winsim::DenyRegistryWrite(winsim::SessionManagerKey(), true);
  JobOutcome outcome = RunWith(0, 2);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.scheduled, 0u);
  EXPECT_EQ(winsim::CallCount("MoveFileExW"), 2u);
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, u"Solvendale build 2093- Install error log!");
  EXPECT_EQ(shown[0].selectionEnd, 0);
}

TEST_F(JobRunnerTest, ShiftShowsThePlainLogOfAGoodRun) {
  winsim::DesktopBehaviour shift;
  shift.shiftDown = true;
  winsim::SetDesktopBehaviour(shift);
  JobOutcome outcome = RunWith(0, 1);
  EXPECT_FALSE(outcome.failed);
  EXPECT_EQ(outcome.scheduled, 1u);
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[0].caption, u"Solvendale build 2093- Install log.");
}

TEST_F(JobRunnerTest, HowTheDialogIsClosedDoesNotChangeTheOutcome) {
  winsim::DesktopBehaviour user;
  user.firstDialogActions = {winsim::DialogAction::EscapeKey, winsim::DialogAction::CaptionClose,
                             winsim::DialogAction::CloseButton};
  winsim::SetDesktopBehaviour(user);
  for (int run = 0; run < 3; ++run) {
    JobOutcome outcome = RunWith(2, 0);
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.scheduled, 0u);
  }
  std::vector<winsim::ShownDialog> shown = winsim::DialogsShown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].end, winsim::DialogEnd::EscapeKey);
  EXPECT_EQ(shown[1].end, winsim::DialogEnd::CaptionClose);
  EXPECT_EQ(shown[2].end, winsim::DialogEnd::CloseButton);
}

TEST_F(JobRunnerTest, NoDialogOnANonInteractiveWindowStation) {
  winsim::DesktopBehaviour silent;
  silent.interactiveSession = false;
  silent.shiftDown = true;
  winsim::SetDesktopBehaviour(silent);
  JobOutcome outcome = RunWith(1, 2);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.scheduled, 2u);
  EXPECT_TRUE(winsim::DialogsShown().empty());
  EXPECT_EQ(winsim::CallCount("DialogBoxParamW"), 0u);
}

}  // namespace
}  // namespace svd
