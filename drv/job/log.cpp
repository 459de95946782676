// The operation log: formatting, indentation and the system's error texts.
#include "job/log.h"

#include "job/log_format.h"
#include "job/text.h"

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

// Formats "Error(N): " and the message into line (kLineUnits units).
size_t FormatErrorText(LPWSTR line, int number, LPCWSTR format, va_list args) {
  size_t used = FormatLogText(line, kLineUnits, TEXT("Error(%d): "), number);
  used += FormatLogTextV(line + used, kLineUnits - used, format, args);
  return used;
}

}  // namespace

void LogLine(InstallJob* job, LPCWSTR format, ...) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, format);
  FormatLogTextV(line, kLineUnits, format, args);
  va_end(args);
  AppendLogText(job, line);
}

void ErrorLine(InstallJob* job, ErrorId id, ...) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, id);
  size_t used = FormatErrorText(line, static_cast<int>(id), ErrorText(id), args);
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

TraceScope::TraceScope(InstallJob* job, LPCWSTR format, ...) : job_(job), levels_(1) {
  va_list args;
  va_start(args, format);
  Open(format, args);
  va_end(args);
}

TraceScope::TraceScope(InstallJob* job, LONG levels, LPCWSTR format, ...)
    : job_(job), levels_(levels) {
  va_list args;
  va_start(args, format);
  Open(format, args);
  va_end(args);
}

TraceScope::~TraceScope() {
  job_->LogDepth -= levels_;
}

void TraceScope::Open(LPCWSTR format, va_list args) {
  WCHAR line[kLineUnits];
  FormatLogTextV(line, kLineUnits, format, args);
  AppendLogText(job_, line);
  job_->LogDepth += levels_;
}

}  // namespace svd
