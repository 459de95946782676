// The uninstall and reinstall sequences, on a job built on the stand-in.
#include "workflows/workflows.h"

#include <gtest/gtest.h>
#include <winsim/control.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <string>
#include <vector>

#include "cleanup/deferred_delete.h"
#include "installed_product.h"
#include "job/install_job.h"
#include "job_test.h"

namespace {

using jobtest::LogInOrder;
using jobtest::LogPosition;
using product::kRunKey;
using product::PutComponentFiles;

std::vector<std::u16string> Pending(const svd::InstallJob& job) {
  std::vector<std::u16string> paths;
  for (const svd::PendingDelete* p = job.PendingDeleteList; p != nullptr; p = p->next) paths.push_back(p->path);
  return paths;
}

class WorkflowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    winsim::CreateRegKey(kRunKey);
    PutComponentFiles(2093);
  }
  void TearDown() override {
    if (built_) svd::DestroyInstallJob(&job_);
  }
  void Build() {
    svd::CreateInstallJob(&job_);
    built_ = true;
  }

  svd::InstallJob job_{};
  bool built_ = false;
};

TEST_F(WorkflowsTest, UnInstallOnACleanSystemWalksEveryStepInOrder) {
  Build();
  size_t globalBlocks = winsim::LiveBlocks(winsim::Memory::Global);
  svd::UnInstall(&job_);

  EXPECT_TRUE(LogInOrder(job_, {u">UnInstall", u"  EnumMonitors", u"  2 Monitors found.",
                                u"  EnumPrinterDrivers for Windows x64", u"  2 drivers found",
                                u"  >DeleteAllPrinters", u"  >DeletePrinterDriver for Windows x64",
                                u"  >DeleteMonitor"}));
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u"    No Solvendale driver was found"));
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_EQ(0, job_.LogDepth);
  EXPECT_EQ(globalBlocks, winsim::LiveBlocks(winsim::Memory::Global));
}

TEST_F(WorkflowsTest, FailedEnumerationsCountAsEmptyLists) {
  Build();
  winsim::FailCall("EnumMonitorsW", ERROR_ACCESS_DENIED, -1);
  winsim::FailCall("EnumPrinterDriversW", ERROR_ACCESS_DENIED, -1);
  svd::UnInstall(&job_);
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u"  0 Monitors found."));
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u"  0 drivers found"));
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u"  >DeleteMonitor"));
}

TEST_F(WorkflowsTest, UnInstallRemovesQueuesThenDriverThenMonitor) {
  product::PutInstalledProduct(2093);
  product::PutQueue(u"Solvendale", u"Solvendale:", product::kDriver, u"", u"", "");
  std::u16string monitorDll = product::Sys(u"qrlmon64.dll");
  Build();
  winsim::ClearCalls();

  svd::UnInstall(&job_);

  uint64_t queueAt = 0, driverAt = 0, monitorAt = 0;
  size_t index = 0;
  for (const winsim::CallRecord& call : winsim::Calls()) {
    ++index;
    if (call.api == "DeletePrinter" && queueAt == 0) queueAt = index;
    if (call.api == "DeletePrinterDriverExW" && driverAt == 0) driverAt = index;
    if (call.api == "DeleteMonitorW" && monitorAt == 0) monitorAt = index;
  }
  EXPECT_NE(0u, queueAt);
  EXPECT_LT(queueAt, driverAt);
  EXPECT_LT(driverAt, monitorAt);
  EXPECT_FALSE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_FALSE(winsim::HasDriver(u"Solvendale printer"));
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_EQ(0, job_.ErrorCount);
  // The spooler keeps the removed monitor's DLL loaded until it restarts.
  ASSERT_NE(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(monitorDll, std::u16string(job_.PendingDeleteList->path));
}

TEST_F(WorkflowsTest, UnInstallDeletesTheTrayExecutableUnlessReinstalling) {
  winsim::SetRegString(kRunKey, u"SolvendaleTray", winsim::TrayPath());
  Build();
  job_.Reinstalling = true;
  svd::UnInstall(&job_);
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_FALSE(winsim::RegValueExists(kRunKey, u"SolvendaleTray"));

  winsim::SetRegString(kRunKey, u"SolvendaleTray", winsim::TrayPath());
  job_.Reinstalling = false;
  svd::UnInstall(&job_);
  EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
}

TEST_F(WorkflowsTest, CleanRestartsTheSpoolerOnlyForFilesStillLeft) {
  std::u16string loose = u"C:\\Temp\\loose.dll";
  std::u16string spooled = winsim::SystemDirectory() + u"\\extramon.dll";
  std::u16string stuck = u"C:\\Temp\\stuck.dll";
  std::u16string waiting = u"C:\\Temp\\waiting.dll";
  for (const std::u16string& path : {loose, stuck, waiting}) winsim::PutFile(path, {1});
  winsim::PutFile(spooled, winsim::MakeMonitorImage(1, 0, 0, 1));
  winsim::SetPendingFileRenameOperations({u"\\??\\" + waiting, u""});
  Build();

  svd::AddPendingDelete(&job_.PendingDeleteList, loose.c_str());
  svd::UnInstallAndClean(&job_);
  EXPECT_FALSE(winsim::FileExists(loose));
  EXPECT_FALSE(winsim::FileExists(waiting));
  EXPECT_EQ(0, winsim::SpoolerStopCount());

  // A monitor DLL that the running spooler keeps loaded.
  winsim::MonitorSetup extra;
  extra.name = u"Extra Port";
  extra.dll = u"extramon.dll";
  winsim::PutMonitor(extra);
  ASSERT_TRUE(winsim::FileHeld(spooled));
  winsim::HoldFile(stuck, "scanner");
  svd::AddPendingDelete(&job_.PendingDeleteList, spooled.c_str());
  svd::AddPendingDelete(&job_.PendingDeleteList, stuck.c_str());
  svd::UnInstallAndClean(&job_);
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(winsim::SpoolerStopCount(), winsim::SpoolerStartCount());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), winsim::SpoolerServiceState());
  EXPECT_FALSE(winsim::FileExists(spooled));
  EXPECT_EQ((std::vector<std::u16string>{stuck}), Pending(job_));
  EXPECT_EQ(0, job_.ErrorCount);
}

TEST_F(WorkflowsTest, ReInstallOnACleanSystemInstallsEverything) {
  Build();
  svd::ReInstall(&job_);

  EXPECT_TRUE(LogInOrder(job_, {u">ReInstall", u"    >UnInstall", u"    >AddMonitor", u"    >Add Printer Driver",
                                u"    >AddPrinter(Solvendale)"}));
  EXPECT_EQ(0, job_.LogDepth);
  EXPECT_TRUE(job_.CheckMonitorVersion);
  EXPECT_TRUE(job_.Reinstalling);
  EXPECT_EQ(0, job_.ErrorCount);
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_TRUE(winsim::HasDriver(u"Solvendale printer"));
  EXPECT_TRUE(winsim::HasPrinter(u"Solvendale"));
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
}

TEST_F(WorkflowsTest, ReInstallDropsLockedFilesOfTheOldInstallation) {
  std::u16string old = u"C:\\Temp\\old.dll";
  winsim::PutFile(old, {1});
  winsim::HoldFile(old, "scanner");
  Build();
  svd::AddPendingDelete(&job_.PendingDeleteList, old.c_str());
  svd::ReInstall(&job_);
  EXPECT_TRUE(winsim::FileExists(old));
  EXPECT_EQ(nullptr, job_.PendingDeleteList);
  EXPECT_EQ(1, winsim::SpoolerStopCount());
  EXPECT_EQ(0, job_.ErrorCount);
}

TEST_F(WorkflowsTest, ReInstallGoesOnAfterFailures) {
  // No driver file beside the installer: the driver fails, the queue is
  // still attempted and the tray still started.
  winsim::RemoveFile(winsim::InstallerDirectory() + u"\\qrldrv64.dll");
  Build();
  svd::ReInstall(&job_);
  EXPECT_LT(0, job_.ErrorCount);
  EXPECT_TRUE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_NE(SIZE_MAX, LogPosition(job_, u"    >AddPrinter(Solvendale)"));
  EXPECT_TRUE(winsim::TrayCompanion().running);
  EXPECT_EQ(0, job_.LogDepth);
}

}  // namespace
