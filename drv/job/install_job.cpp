// The install job: creation, release and the operation log.
#include "job/install_job.h"

#include <cstdarg>

#include "cleanup/deferred_delete.h"
#include "cleanup/printer_queues.h"
#include "job/log_format.h"
#include "job/text.h"
#include "spooler/catalogue.h"
#include "spooler/service_control.h"

namespace svd {

namespace {

const size_t kLineUnits = 1024;
const LONG kMaxIndentLevels = 10;
const DWORD kFormatMessageFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                  FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
const DWORD kEnglishUnitedStates = 0x0409;

// Twenty spaces: the deepest indentation; shallower ones are its tails.
const WCHAR kIndentation[] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                              ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0};
const WCHAR kLineEnd[] = {'\r', '\n', 0};

// Assigns a directory path to target so that it ends with one backslash
// (an empty path leaves the target null). One Resize, one copy.
void AssignDirectory(CountedString& target, LPCWSTR path) {
  size_t length = TextLength(path);
  if (length == 0) {
    Release(target);
    return;
  }
  bool needsSeparator = path[length - 1] != '\\';
  if (!Resize(target, length + (needsSeparator ? 1 : 0))) return;
  WCHAR* text = const_cast<WCHAR*>(Text(target));
  for (size_t i = 0; i < length; ++i) text[i] = path[i];
  if (needsSeparator) text[length] = '\\';
}

void ResolveSourceDirectory(InstallJob* job) {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(InstanceHandle, path, MAX_PATH);
  if (length == 0) {
    // The program's own path cannot be read: no source directory.
    Release(job->SourceDir);
    return;
  }
  // Older systems do not terminate a path cut at the buffer's end.
  if (length >= MAX_PATH) length = MAX_PATH - 1;
  path[length] = 0;
  size_t end = 0;  // just after the last separator
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') end = i + 1;
  }
  path[end] = 0;
  Assign(job->SourceDir, path);
}

void ResolveSystemDirectory(InstallJob* job) {
  // One unit more than the system is told, for the trailing backslash.
  WCHAR path[MAX_PATH + 1];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    // 0 is a failure; a larger value is the size the path would need, and
    // the buffer then holds nothing usable.
    ErrorLine(job, 7, kError7);
    return;
  }
  path[length] = 0;
  AssignDirectory(job->SystemDir, path);
  // Without memory for the copy the directory is as unknown as above.
  if (Length(job->SystemDir) == 0) ErrorLine(job, 7, kError7);
}

// Formats "Error(N): " and the message into line (kLineUnits units).
size_t FormatErrorText(LPWSTR line, int number, LPCWSTR format, va_list args) {
  size_t used = FormatLogText(line, kLineUnits, TEXT("Error(%d): "), number);
  used += FormatLogTextV(line + used, kLineUnits - used, format, args);
  return used;
}

}  // namespace

void CreateInstallJob(InstallJob* job) {
  job->SourceDir = nullptr;
  job->SystemDir = nullptr;
  job->OperationLog = nullptr;
  job->DriverDir = nullptr;
  job->Environment = nullptr;
  job->MonitorFile = nullptr;
  job->DriverFile = nullptr;
  job->HelpFile = nullptr;
  job->UiFile = nullptr;
  job->ErrorCount = 0;
  job->LogDepth = 0;
  job->PendingDeleteList = nullptr;
  job->SavedPrinterList = nullptr;
  job->PrinterList.Records = nullptr;
  job->PrinterList.Count = 0;
  job->RedirectedPrinters = nullptr;
  job->Reinstalling = false;

  LogLine(job, TEXT("Solvendale %d"), BUILD_NUMBER);
  job->CheckMonitorVersion = false;
  job->InstallMonitor = true;
  job->CopyMonitor = true;
  CheckSpooler(job);
  ResolveDriverDirectory(job);
  job->RedirectedPrinters = nullptr;
  ResolveSourceDirectory(job);
  ResolveSystemDirectory(job);
  MarkDefaultPrinter(job);
}

void DestroyInstallJob(InstallJob* job) {
  if (job->RedirectedPrinters != nullptr) {
    GlobalFree(job->RedirectedPrinters);
    job->RedirectedPrinters = nullptr;
  }
  if (job->PrinterList.Records != nullptr) {
    GlobalFree(job->PrinterList.Records);
    job->PrinterList.Records = nullptr;
  }
  job->PrinterList.Count = 0;
  if (job->SavedPrinterList != nullptr) ReleaseSavedPrinters(&job->SavedPrinterList);
  if (job->PendingDeleteList != nullptr) ReleasePendingDeletes(&job->PendingDeleteList);
  Release(job->DriverDir);
  Release(job->OperationLog);
  Release(job->SystemDir);
  Release(job->SourceDir);
}

void ResolveDriverDirectory(InstallJob* job) {
  job->MonitorFile = kMonitorFileName;
  job->DriverFile = kDriverFileName;
  job->UiFile = kUiFileName;
  job->Environment = kEnvironment;

  LPWSTR environment = const_cast<LPWSTR>(job->Environment);
  DWORD needed = 0;
  bool resolved = false;
  if (!GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // Two bytes more than asked for: room for one more UTF-16 unit, so the
    // zero-filled block is always terminated.
    SIZE_T bytes = static_cast<SIZE_T>(needed) + 2;
    BYTE* buffer = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes));
    if (buffer == nullptr) {
      SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    } else {
      for (SIZE_T i = 0; i < bytes; ++i) buffer[i] = 0;
      if (GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer, needed, &needed)) {
        AssignDirectory(job->DriverDir, reinterpret_cast<LPCWSTR>(buffer));
        // Without memory for the copy the directory stays unknown.
        resolved = Length(job->DriverDir) != 0;
      }
      // Keep the spooler's last-error code for the error line below.
      DWORD code = GetLastError();
      GlobalFree(buffer);
      SetLastError(code);
    }
  }
  if (!resolved) ErrorLine(job, 6, kError6);
  job->HelpFile = kHelpFileName;
}

void LogLine(InstallJob* job, LPCWSTR format, ...) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, format);
  FormatLogTextV(line, kLineUnits, format, args);
  va_end(args);
  AppendLogText(job, line);
}

void ErrorLine(InstallJob* job, int number, LPCWSTR format, ...) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, format);
  size_t used = FormatErrorText(line, number, format, args);
  va_end(args);
  // Read only now: the formatting above makes no system call, so this is
  // still the code of the call that failed before ErrorLine was entered.
  DWORD code = GetLastError();
  LPWSTR description = SystemMessage(code);
  if (code != 0) {
    if (description != nullptr) {
      FormatLogText(line + used, kLineUnits - used, TEXT(" - (%s)"), description);
    } else {
      FormatLogText(line + used, kLineUnits - used, TEXT(" - ( No Description )"));
    }
  }
  AppendLogText(job, line);
  ++job->ErrorCount;
  if (description != nullptr) LocalFree(description);
}

void AppendLogText(InstallJob* job, LPCWSTR text) {
  if (job->LogDepth > 0) {
    LONG levels = job->LogDepth < kMaxIndentLevels ? job->LogDepth : kMaxIndentLevels;
    Append(job->OperationLog, kIndentation + 2 * (kMaxIndentLevels - levels));
  }
  if (TextLength(text) != 0) Append(job->OperationLog, text);
  Append(job->OperationLog, kLineEnd);
}

LPWSTR SystemMessage(DWORD code) {
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(kFormatMessageFlags, nullptr, code, kEnglishUnitedStates,
                                reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (text == nullptr) return nullptr;
  if (length == 0) {
    LocalFree(text);
    return nullptr;
  }
  size_t end = TextLength(text);
  while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) text[--end] = 0;
  return text;
}

TraceScope::TraceScope(InstallJob* job, LPCWSTR format, ...) : job_(job) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, format);
  FormatLogTextV(line, kLineUnits, format, args);
  va_end(args);
  AppendLogText(job_, line);
  ++job_->LogDepth;
}

TraceScope::~TraceScope() {
  --job_->LogDepth;
}

}  // namespace svd
