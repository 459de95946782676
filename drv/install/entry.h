// The program's entry: command words, exit codes and the job runner.
#pragma once
#include "win.h"
#include "install/report.h"
#include "job/install_job.h"

namespace svd {

struct JobOutcome {
  bool failed;      // an error line, or a path refused by delete-at-reboot
  DWORD scheduled;  // files accepted for deletion at the next reboot
};

typedef void (*Workflow)(InstallJob* job);

// The switches after the command word.
struct RunOptions {
  bool quiet;          // /quiet: the log dialog is never shown
  bool report;         // /log or /log=<file>: a report is written
  LPCWSTR reportFile;  // the file of the last /log=<file> (borrowed); null: the default
};

// The entry operation: reads the command line and returns the exit code.
int InstallerMain(HINSTANCE instance);
// Closes the product's help viewer windows before a job; gives up on a
// window that does not close after CloseHelpAttempts requests.
void CloseHelpWindows();
// Runs the workflow on a job of its own: takes the setup lock, closes the
// help windows, builds the job, runs the workflow, hands what is left to
// delete-at-reboot, releases the lock and shows the log dialog (unless
// quiet). With a report, the log and the scheduled paths go into it.
JobOutcome RunJob(HWND parent, Workflow workflow, bool quiet = false, Report* report = nullptr);

// Takes "/quiet", "/log" and "/log=<file>" (letters in any case) out of the
// arguments after the command word, so that the owner-window rule sees only
// the others; *count becomes the number left. Other arguments, unknown
// switches among them, stay where they are.
RunOptions TakeSwitches(int* count, LPWSTR* arguments);

// The owner of the log dialog named by the arguments: argument 2 as a base-10
// number, read only when there are exactly 3 arguments, and only when it
// names a window; otherwise none.
HWND ParentWindowArgument(int count, LPWSTR* arguments);
// Base-10 conversion: leading white space, an optional sign, digits up to the
// first non-digit; saturates at the signed 32-bit bounds; 0 without digits.
LONG ParseDecimal(LPCWSTR text);

const int CloseHelpAttempts = 200;   // 200 x 50 ms: at most 10 s
const DWORD CloseHelpPauseMs = 50;

}  // namespace svd
