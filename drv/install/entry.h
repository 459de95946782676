// The program's entry: command words, exit codes and the job runner.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

struct JobOutcome {
  bool failed;      // the job's ErrorCount was not 0 at the end
  DWORD scheduled;  // files accepted for deletion at the next reboot
};

typedef void (*Workflow)(InstallJob* job);

// The entry operation: reads the command line and returns the exit code.
int InstallerMain(HINSTANCE instance);
void CloseHelpWindows();
JobOutcome RunJob(HWND parent, Workflow workflow);

}  // namespace svd
