// The entry: reads the command word, runs a probe or a job, and returns the
// exit code that tells the setup package the outcome.
#include "install/entry.h"

#include "cleanup/deferred_delete.h"
#include "cleanup/tray.h"
#include "install/probes.h"
#include "install/setup_lock.h"
#include "job/log_dialog.h"
#include "job/text.h"
#include "workflows/job_setup.h"
#include "workflows/workflows.h"

namespace svd {

HINSTANCE InstanceHandle;

namespace {

enum ExitCode {
  kInstallDone = 1,
  kUninstallDone = 2,
  kProbeNo = 3,
  kDefaultSet = 4,
  kNothingDone = 6,
  kJobFailed = 100,
  kRebootPending = 101,
  kNoProductDefault = 102,
  kDriverInstalled = 103,
  kComponentsPending = 200,
};

enum Command {
  kNoCommand,
  kCheckDriver,
  kInit,
  kUninstall,
  kRemoveTray,
  kInstall,
  kSetDefault,
};

struct CommandWord {
  const WCHAR* word;
  Command command;
};

// In the order they are compared; all but "def.set" ignore the case of A to Z.
const CommandWord kCommandWords[] = {
    {TEXT("onChkDrv"), kCheckDriver}, {TEXT("onInit"), kInit},
    {TEXT("un"), kUninstall},         {TEXT("uninstall"), kUninstall},
    {TEXT("removetray"), kRemoveTray}, {TEXT("in"), kInstall},
    {TEXT("install"), kInstall},      {TEXT("serverinstall"), kInstall},
};
const WCHAR* const kSetDefaultWord = TEXT("def.set");

const WCHAR* const kQuietSwitch = TEXT("/quiet");
const WCHAR* const kLogSwitch = TEXT("/log");
const size_t kLogSwitchLength = 4;

const WCHAR* const kHelpWindowClass = TEXT("HH Parent");
const WCHAR* const kHelpWindowTitle = TEXT("Solvendale Help");

Command FindCommand(LPCWSTR word) {
  for (const CommandWord& entry : kCommandWords) {
    if (TextEqualsAsciiNoCase(word, entry.word)) return entry.command;
  }
  if (TextEquals(word, kSetDefaultWord)) return kSetDefault;
  return kNoCommand;
}

bool IsWhiteSpace(WCHAR unit) {
  return unit == ' ' || (unit >= 0x09 && unit <= 0x0D);
}

bool ShiftKeyDown() {
  return (static_cast<unsigned short>(GetAsyncKeyState(VK_SHIFT)) & 0x8000) != 0;
}

// Hands every path to the delete-at-reboot facility; returns how many the
// system accepted and counts the refused ones in the job. A refused path
// writes no log line (the log is complete before this step), but it fails
// the run; the report names each path with the system's answer.
DWORD ScheduleForReboot(InstallJob* job, Report* report) {
  DWORD accepted = 0;
  for (const PendingDelete* entry = job->PendingDeleteList; entry != nullptr; entry = entry->next) {
    bool scheduled = MoveFileExW(entry->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    if (scheduled) {
      ++accepted;
    } else {
      ++job->RefusedDeletes;
    }
    if (report != nullptr) ReportScheduled(report, entry->path, scheduled, GetLastError());
  }
  return accepted;
}

// "/log=<file>": the file, or null when the argument is no such switch.
LPCWSTR LogSwitchFile(LPCWSTR argument) {
  for (size_t i = 0; i < kLogSwitchLength; ++i) {
    WCHAR unit = argument[i];
    if (unit >= 'A' && unit <= 'Z') unit = static_cast<WCHAR>(unit + ('a' - 'A'));
    if (unit != kLogSwitch[i]) return nullptr;
  }
  return argument[kLogSwitchLength] == '=' ? argument + kLogSwitchLength + 1 : nullptr;
}

int JobExitCode(const JobOutcome& outcome, int doneCode) {
  if (outcome.failed) return kJobFailed;
  if (outcome.scheduled > 0) return kRebootPending;
  return doneCode;
}

int RunCommand(Command command, HWND parent, const RunOptions& options, Report* report) {
  switch (command) {
    case kCheckDriver:
      return CheckInstalledDriver() ? kDriverInstalled : kProbeNo;
    case kInit:
      if (CheckPendingComponents()) return kComponentsPending;
      return CheckDefaultPrinter() ? kNoProductDefault : kProbeNo;
    case kUninstall:
      return JobExitCode(RunJob(parent, UnInstallAndClean, options.quiet, report),
                         kUninstallDone);
    case kRemoveTray:
      StopTray(nullptr, nullptr);
      return kNothingDone;
    case kInstall:
      return JobExitCode(RunJob(parent, ReInstall, options.quiet, report), kInstallDone);
    case kSetDefault:
      MakeProductPrinterDefault();
      return kDefaultSet;
    case kNoCommand:
      break;
  }
  return kNothingDone;
}

}  // namespace

LONG ParseDecimal(LPCWSTR text) {
  const long long kMax = 2147483647LL;
  const long long kMin = -2147483648LL;
  if (text == nullptr) return 0;
  LPCWSTR p = text;
  while (IsWhiteSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long long value = 0;  // magnitude, held at most one past the bound
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= kMax) value = value * 10 + (*p - '0');
  }
  if (negative) {
    value = -value;
    return static_cast<LONG>(value < kMin ? kMin : value);
  }
  return static_cast<LONG>(value > kMax ? kMax : value);
}

HWND ParentWindowArgument(int count, LPWSTR* arguments) {
  if (count != 3) return nullptr;
  // The number widened with its sign, as a handle value.
  HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseDecimal(arguments[2])));
  return IsWindow(window) ? window : nullptr;
}

RunOptions TakeSwitches(int* count, LPWSTR* arguments) {
  RunOptions options = {false, false, nullptr};
  int kept = *count < 2 ? *count : 2;
  for (int i = 2; i < *count; ++i) {
    LPCWSTR argument = arguments[i];
    LPCWSTR file = LogSwitchFile(argument);
    if (TextEqualsAsciiNoCase(argument, kQuietSwitch)) {
      options.quiet = true;
    } else if (TextEqualsAsciiNoCase(argument, kLogSwitch)) {
      options.report = true;
      options.reportFile = nullptr;
    } else if (file != nullptr) {
      options.report = true;
      // "/log=" without a file: the default file.
      options.reportFile = *file != 0 ? file : nullptr;
    } else {
      arguments[kept++] = arguments[i];
    }
  }
  for (int i = kept; i < *count; ++i) arguments[i] = nullptr;
  *count = kept;
  return options;
}

int InstallerMain(HINSTANCE instance) {
  InstanceHandle = instance;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return kNothingDone;
  int exitCode = kNothingDone;
  if (count >= 2) {
    RunOptions options = TakeSwitches(&count, arguments);
    Report report;
    if (options.report) BeginReport(&report);
    HWND parent = ParentWindowArgument(count, arguments);
    exitCode = RunCommand(FindCommand(arguments[1]), parent, options,
                          options.report ? &report : nullptr);
    if (options.report) {
      if (!report.job) ReportAnswer(&report, arguments[1], exitCode);
      CountedString path = nullptr;
      if (options.reportFile != nullptr) Assign(path, options.reportFile);
      else path = DefaultReportPath();
      EndReport(&report, path != nullptr ? Text(path) : nullptr, exitCode);
      Release(path);
    }
  }
  LocalFree(arguments);
  return exitCode;
}

void CloseHelpWindows() {
  for (int attempt = 0; attempt < CloseHelpAttempts; ++attempt) {
    HWND help = FindWindowW(kHelpWindowClass, kHelpWindowTitle);
    if (help == nullptr) return;
    PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(CloseHelpPauseMs);
  }
  // A help window that ignores the requests is left open; the job goes on.
}

JobOutcome RunJob(HWND parent, Workflow workflow, bool quiet, Report* report) {
  InstallJob job;
  BeginInstallJob(&job);
  SetupLock lock;
  if (TakeSetupLock(&job, &lock)) {
    CloseHelpWindows();
    ResolveInstallJob(&job);
    workflow(&job);
  }
  JobOutcome outcome;
  outcome.scheduled = ScheduleForReboot(&job, report);
  if (job.PendingDeleteList != nullptr) ReleasePendingDeletes(&job.PendingDeleteList);
  // The machine is left as the job leaves it: the next setup may start
  // while this one's dialog is open.
  ReleaseSetupLock(&lock);
  outcome.failed = JobFailed(&job);
  if (!quiet && (outcome.failed || ShiftKeyDown()) && InteractiveWindowStation()) {
    ShowLogDialog(parent, &job);
  }
  if (report != nullptr) {
    ReportLog(report, Text(job.OperationLog));
    report->onlyRefusedDeletes = job.ErrorCount == 0 && job.RefusedDeletes != 0;
  }
  DestroyInstallJob(&job);
  return outcome;
}

}  // namespace svd
