// Control of the print spooler service ("spooler").
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// Starts the service and polls until it runs: at most 51 status queries and
// 50 sleeps of 200 ms; a poll that finds the service stopped (it was still
// stopping when asked) starts it again. A start refused for good (a disabled
// service, or one whose process did not report in time) ends the wait at
// once with false, its code as the last error. True when it runs at the end.
bool StartSpoolerAndWait(SC_HANDLE service);
// Makes sure the spooler runs; banner ">Check Spooler", error lines 1, 2, 4.
bool CheckSpooler(InstallJob* job);

// A scope that stops the spooler when it begins and starts it again when it
// ends. Without a job it writes nothing and counts nothing.
struct SpoolerRestart {
  InstallJob* Job;
  SC_HANDLE Manager;
  SC_HANDLE Service;
  bool StopRequested;

  explicit SpoolerRestart(InstallJob* job);  // RestartSpooler
  ~SpoolerRestart();                         // ResumeSpooler
  SpoolerRestart(const SpoolerRestart&) = delete;
  SpoolerRestart& operator=(const SpoolerRestart&) = delete;
};

void RestartSpooler(SpoolerRestart* scope, InstallJob* job);
// Ends the scope; safe to call once more (it then does nothing).
void ResumeSpooler(SpoolerRestart* scope);

}  // namespace svd
