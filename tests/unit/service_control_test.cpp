// Control of the spooler service: the start-and-wait step, CheckSpooler and
// the SpoolerRestart scope, on the stand-in service control manager.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/install_job.h"
#include "spooler/service_control.h"
#include "winsim/control.h"
#include "winsim/spooler_control.h"
#include "workflows/job_setup.h"

namespace svd {
namespace {

// The log split at its CR LF line ends.
std::vector<std::u16string> Lines(const InstallJob& job) {
  std::u16string log(Text(job.OperationLog), Length(job.OperationLog));
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find(u"\r\n", start);
    if (end == std::u16string::npos) {
      ADD_FAILURE() << "last line without CR LF";
      break;
    }
    lines.push_back(log.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// For failure messages: the text with every unit above 0x7F as '?'.
std::string Ascii(const std::u16string& text) {
  std::string ascii;
  for (char16_t unit : text) ascii.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return ascii;
}

// Opens the spooler service as the program does, for the start step alone.
struct ServiceHandles {
  ServiceHandles() {
    manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
    service = OpenServiceW(manager, u"spooler", 0x34);
  }
  ~ServiceHandles() {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  SC_HANDLE manager;
  SC_HANDLE service;
};

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::ResetMachine();
    job_ = InstallJob{};
  }
  void TearDown() override {
    DestroyInstallJob(&job_);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
  }

  InstallJob job_;
};

// ------------------------------------------------------ StartSpoolerAndWait --

TEST_F(ServiceControlTest, StartWaitsAtMostFiftyPollsOfTwoHundredMilliseconds) {
  // A start that takes exactly the ten seconds of the polling is seen by the
  // last of the 51 queries; one millisecond more is not.
  const uint64_t delays[] = {10000, 10001};
  for (uint64_t delay : delays) {
    winsim::ResetMachine();
    winsim::SetSpoolerServiceState(SERVICE_STOPPED);
    winsim::ServiceBehaviour slow;
    slow.startDelayMs = delay;
    winsim::SetServiceBehaviour(slow);
    ServiceHandles handles;
    winsim::ClearCalls();
    uint64_t before = winsim::NowMs();

    bool running = StartSpoolerAndWait(handles.service);

    EXPECT_EQ(running, delay == 10000) << delay;
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);
    EXPECT_EQ(winsim::CallCount("QueryServiceStatus"), 51u);
    EXPECT_EQ(winsim::CallCount("Sleep"), 50u);
    EXPECT_EQ(winsim::NowMs() - before, 10000u);
  }
}

TEST_F(ServiceControlTest, StartOfARunningSpoolerAnswersAtTheFirstQuery) {
  ServiceHandles handles;
  winsim::ClearCalls();

  EXPECT_TRUE(StartSpoolerAndWait(handles.service));
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);  // fails harmlessly
  EXPECT_EQ(winsim::CallCount("QueryServiceStatus"), 1u);
  EXPECT_EQ(winsim::CallCount("Sleep"), 0u);
}

// ------------------------------------------------------------- CheckSpooler --

TEST_F(ServiceControlTest, CheckSpoolerOnARunningSpoolerWritesOnlyItsBanner) {
  EXPECT_TRUE(CheckSpooler(&job_));

  EXPECT_EQ(Lines(job_), std::vector<std::u16string>{u">Check Spooler"});
  EXPECT_EQ(job_.LogDepth, 0);
  EXPECT_EQ(job_.ErrorCount, 0);
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
  EXPECT_EQ(winsim::CallDetails("OpenSCManagerW"),
            std::vector<std::string>{"(null), (null), 0xf0001"});
  EXPECT_EQ(winsim::CallDetails("OpenServiceW"), std::vector<std::string>{"spooler, 0x14"});
}

TEST_F(ServiceControlTest, CheckSpoolerLeavesASpoolerThatDoesNotRunRunning) {
  // A spooler that is still stopping refuses the first start; it is started
  // once it has stopped, within the same polls.
  struct Case {
    const char* name;
    DWORD state;
    uint64_t stopDelayMs;
    size_t starts;
  };
  for (const Case& c : {Case{"stopped", SERVICE_STOPPED, 0, 1},
                        Case{"stopping for 3 s", SERVICE_STOP_PENDING, 3000, 2},
                        Case{"starting", SERVICE_START_PENDING, 0, 1}}) {
    SCOPED_TRACE(c.name);
    DestroyInstallJob(&job_);
    job_ = InstallJob{};
    winsim::ResetMachine();
    winsim::ServiceBehaviour slow;
    slow.startDelayMs = 1000;
    slow.stopDelayMs = c.stopDelayMs;
    winsim::SetServiceBehaviour(slow);
    {
      ServiceHandles handles;
      SERVICE_STATUS status = {};
      ControlService(handles.service, SERVICE_CONTROL_STOP, &status);
      if (c.state == SERVICE_START_PENDING) StartServiceW(handles.service, 0, nullptr);
    }
    ASSERT_EQ(winsim::SpoolerServiceState(), c.state);
    winsim::ClearCalls();

    EXPECT_TRUE(CheckSpooler(&job_));

    EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(winsim::CallCount("StartServiceW"), c.starts);
    EXPECT_EQ(Lines(job_), std::vector<std::u16string>{u">Check Spooler"});
    EXPECT_EQ(job_.ErrorCount, 0);
  }
}

TEST_F(ServiceControlTest, CheckSpoolerStartsNothingWhenTheStatusQueryFails) {
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  winsim::FailCall("QueryServiceStatus", ERROR_ACCESS_DENIED);

  EXPECT_TRUE(CheckSpooler(&job_));

  EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(job_.ErrorCount, 0);
}

TEST_F(ServiceControlTest, CheckSpoolerReportsASpoolerThatDoesNotStart) {
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  winsim::ServiceBehaviour stuck;
  stuck.startDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(stuck);
  job_.LogDepth = 1;

  EXPECT_FALSE(CheckSpooler(&job_));

  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"  >Check Spooler");
  EXPECT_TRUE(StartsWith(lines[1], u"    Error(4): Can't start the spooler")) << Ascii(lines[1]);
  EXPECT_EQ(job_.ErrorCount, 1);
  EXPECT_EQ(job_.LogDepth, 1);
}

TEST_F(ServiceControlTest, CheckSpoolerReportsWhatItCannotOpen) {
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  EXPECT_FALSE(CheckSpooler(&job_));
  EXPECT_EQ(winsim::CallCount("OpenServiceW"), 0u);

  denied.managerAccessDenied = false;
  denied.serviceAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  EXPECT_FALSE(CheckSpooler(&job_));

  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], u">Check Spooler");
  EXPECT_EQ(lines[1], u"  Error(1): Can't open service manager. - (Access is denied.)");
  EXPECT_EQ(lines[2], u">Check Spooler");
  EXPECT_EQ(lines[3], u"  Error(2): Can't open the spooler - (Access is denied.)");
  EXPECT_EQ(job_.ErrorCount, 2);
  EXPECT_EQ(job_.LogDepth, 0);
  EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 1u);  // the manager
}

// ----------------------------------------------------------- SpoolerRestart --

TEST_F(ServiceControlTest, ScopeStopsTheSpoolerAndItsEndStartsItAgain) {
  job_.LogDepth = 2;
  {
    SpoolerRestart restart(&job_);
    EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(job_.LogDepth, 2);  // the banner does not raise the depth
    EXPECT_TRUE(restart.StopRequested);
  }
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(winsim::SpoolerStopCount(), 1);
  EXPECT_EQ(winsim::SpoolerStartCount(), 1);
  EXPECT_EQ(Lines(job_), std::vector<std::u16string>{u"    >Restart Spooler"});
  EXPECT_EQ(job_.ErrorCount, 0);
  EXPECT_EQ(winsim::CallDetails("OpenSCManagerW"),
            std::vector<std::string>{"(null), (null), 0xf0001"});
  EXPECT_EQ(winsim::CallDetails("OpenServiceW"), std::vector<std::string>{"spooler, 0x34"});
}

TEST_F(ServiceControlTest, ScopeOnAStoppedSpoolerIsNoErrorAndLeavesItRunning) {
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  { SpoolerRestart restart(&job_); }

  EXPECT_EQ(Lines(job_), std::vector<std::u16string>{u">Restart Spooler"});
  EXPECT_EQ(job_.ErrorCount, 0);
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControlTest, SpoolerThatNeitherStopsNorStartsGivesErrorsThreeAndFour) {
  winsim::ServiceBehaviour stuck;
  stuck.stopDelayMs = winsim::kNeverMs;
  stuck.startDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(stuck);
  job_.LogDepth = 1;
  {
    SpoolerRestart restart(&job_);
    std::vector<std::u16string> lines = Lines(job_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(StartsWith(lines[1], u"  Error(3): Can't stop the spooler")) << Ascii(lines[1]);
  }
  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 3u);
  // The scope's error lines stand at the depth of its banner.
  EXPECT_EQ(lines[0], u"  >Restart Spooler");
  EXPECT_TRUE(StartsWith(lines[2], u"  Error(4): Can't start the spooler")) << Ascii(lines[2]);
  EXPECT_EQ(job_.ErrorCount, 2);
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);
}

TEST_F(ServiceControlTest, RefusedStopControlIsReportedWithItsCode) {
  winsim::FailCall("ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  { SpoolerRestart restart(&job_); }

  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(StartsWith(lines[1], u"Error(5): ControlService failed with code 1061 (0x425) - ("))
      << Ascii(lines[1]);
  // The spooler went on running, so it never reached the stopped state.
  EXPECT_TRUE(StartsWith(lines[2], u"Error(3): Can't stop the spooler")) << Ascii(lines[2]);
  EXPECT_EQ(job_.ErrorCount, 2);
  // The end starts it all the same; it runs, so no error 4.
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControlTest, ScopeThatCannotOpenTheManagerNeverStartsTheSpooler) {
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  { SpoolerRestart restart(&job_); }

  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(StartsWith(lines[1], u"Error(1): Can't open service manager.")) << Ascii(lines[1]);
  EXPECT_EQ(job_.ErrorCount, 1);
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
  EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 0u);
}

TEST_F(ServiceControlTest, ScopeThatCannotOpenTheServiceClosesTheManager) {
  winsim::ServiceBehaviour denied;
  denied.serviceAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  { SpoolerRestart restart(&job_); }

  std::vector<std::u16string> lines = Lines(job_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(StartsWith(lines[1], u"Error(2): Can't open the spooler")) << Ascii(lines[1]);
  EXPECT_EQ(winsim::CallCount("ControlService"), 0u);
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
  EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 1u);
}

TEST_F(ServiceControlTest, ScopeWithoutAJobReportsNothingWhateverHappens) {
  // Every failure the scope knows, one after another, without a job: none
  // may reach for a log or ask the system for an error text.
  winsim::ServiceBehaviour unkind;
  unkind.managerAccessDenied = true;
  winsim::SetServiceBehaviour(unkind);
  { SpoolerRestart restart(nullptr); }
  unkind.managerAccessDenied = false;
  unkind.serviceAccessDenied = true;
  winsim::SetServiceBehaviour(unkind);
  { SpoolerRestart restart(nullptr); }
  unkind.serviceAccessDenied = false;
  winsim::SetServiceBehaviour(unkind);
  winsim::FailCall("ControlService", ERROR_ACCESS_DENIED);
  { SpoolerRestart restart(nullptr); }
  unkind.stopDelayMs = winsim::kNeverMs;
  unkind.startDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(unkind);
  { SpoolerRestart restart(nullptr); }

  EXPECT_EQ(winsim::CallCount("FormatMessageW"), 0u);
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 2u);
}

TEST_F(ServiceControlTest, JoblessScopeStillRestartsTheSpooler) {
  { SpoolerRestart restart(nullptr); }
  EXPECT_EQ(winsim::SpoolerStopCount(), 1);
  EXPECT_EQ(winsim::SpoolerStartCount(), 1);
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceControlTest, EndingAScopeTwiceStartsAndClosesOnlyOnce) {
  {
    SpoolerRestart restart(&job_);
    ResumeSpooler(&restart);
    EXPECT_EQ(restart.Service, nullptr);
    EXPECT_EQ(restart.Manager, nullptr);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
  }
  EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);
  EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 2u);
  EXPECT_EQ(winsim::SpoolerStartCount(), 1);
}

}  // namespace
}  // namespace svd
