// The entry: reads the command word, runs a probe or a job, and returns the
// exit code that tells the setup package the outcome.
#include "install/entry.h"

#include "cleanup/deferred_delete.h"
#include "cleanup/tray.h"
#include "install/probes.h"
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

// True only when the process's window station is known to be visible to a
// user. A service or scheduled-task session has an invisible one, where a
// modal dialog would wait for ever for a click nobody can make.
bool InteractiveWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    return false;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Hands every path to the delete-at-reboot facility; returns how many the
// system accepted. A refused path is neither logged nor an error.
DWORD ScheduleForReboot(const PendingDelete* list) {
  DWORD accepted = 0;
  for (const PendingDelete* entry = list; entry != nullptr; entry = entry->next) {
    if (MoveFileExW(entry->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) ++accepted;
  }
  return accepted;
}

int JobExitCode(const JobOutcome& outcome, int doneCode) {
  if (outcome.failed) return kJobFailed;
  if (outcome.scheduled > 0) return kRebootPending;
  return doneCode;
}

int RunCommand(Command command, HWND parent) {
  switch (command) {
    case kCheckDriver:
      return CheckInstalledDriver() ? kDriverInstalled : kProbeNo;
    case kInit:
      if (CheckPendingComponents()) return kComponentsPending;
      return CheckDefaultPrinter() ? kNoProductDefault : kProbeNo;
    case kUninstall:
      CloseHelpWindows();
      return JobExitCode(RunJob(parent, UnInstallAndClean), kUninstallDone);
    case kRemoveTray:
      StopTray(nullptr);
      return kNothingDone;
    case kInstall:
      CloseHelpWindows();
      return JobExitCode(RunJob(parent, ReInstall), kInstallDone);
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

int InstallerMain(HINSTANCE instance) {
  InstanceHandle = instance;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return kNothingDone;
  int exitCode = kNothingDone;
  if (count >= 2) {
    HWND parent = ParentWindowArgument(count, arguments);
    exitCode = RunCommand(FindCommand(arguments[1]), parent);
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

JobOutcome RunJob(HWND parent, Workflow workflow) {
  InstallJob job;
  CreateInstallJob(&job);
  workflow(&job);
  JobOutcome outcome;
  outcome.scheduled = ScheduleForReboot(job.PendingDeleteList);
  if (job.PendingDeleteList != nullptr) ReleasePendingDeletes(&job.PendingDeleteList);
  if ((job.ErrorCount != 0 || ShiftKeyDown()) && InteractiveWindowStation()) {
    ShowLogDialog(parent, &job);
  }
  outcome.failed = job.ErrorCount != 0;
  DestroyInstallJob(&job);
  return outcome;
}

}  // namespace svd
