// The report of a run (/log[=file]): what a deployment tool's administrator
// reads afterwards. Appended to its file at the end of the run as UTF-8 with
// a byte-order mark and CR LF lines; runs are separated by a blank line.
#pragma once
#include "win.h"
#include "job/counted_string.h"

namespace svd {

struct Report {
  CountedString text;       // the header, then the log or the command's answer
  CountedString scheduled;  // one line per path handed to delete-at-reboot
  bool job;                 // an install or uninstall job ran
  // The job wrote no error line and failed only because delete-at-reboot
  // refused a path: exit 100 gets its own meaning.
  bool onlyRefusedDeletes;
};

// Starts the report with its header: local date and time, program path and
// build, the whole command line, user account, session id and whether the
// window station is interactive.
void BeginReport(Report* report);
// The job's operation log, as the dialog shows it.
void ReportLog(Report* report, LPCWSTR log);
// For a run without a job: the command word and the exit code it answered.
void ReportAnswer(Report* report, LPCWSTR word, int exitCode);
// A path handed to delete-at-reboot, and whether the system accepted it
// (error: the code it refused it with).
void ReportScheduled(Report* report, LPCWSTR path, bool accepted, DWORD error);
// Adds the exit code with its meaning, appends the report to the file and
// releases it. A file that cannot be written is left as it is.
void EndReport(Report* report, LPCWSTR path, int exitCode);
// The meaning of an exit code, as the README's table gives it.
LPCWSTR ExitCodeMeaning(int exitCode);
// %TEMP%\SolvendaleSetup.log of the account that runs the program; null
// when the temporary directory cannot be read.
CountedString DefaultReportPath();

// A report file that another run has open is tried again this often, this
// far apart.
const int ReportOpenAttempts = 10;
const DWORD ReportOpenPauseMs = 100;

}  // namespace svd
