// The report of a run: built in memory as the run goes, written once at its
// end with one WriteFile, so that runs appending to the same file do not mix.
#include "install/report.h"

#include "job/log.h"
#include "job/log_dialog.h"
#include "job/log_format.h"
#include "job/product.h"

namespace svd {

namespace {

const WCHAR kLineEnd[] = {'\r', '\n', 0};
const WCHAR kReportFileName[] = TEXT("SolvendaleSetup.log");
const size_t kLineUnits = 1024;
const DWORD kUserNameUnits = 257;  // UNLEN + 1
const BYTE kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

struct Meaning {
  int code;
  LPCWSTR text;
};

const Meaning kMeanings[] = {
    {1, TEXT("install done, nothing left for reboot")},
    {2, TEXT("uninstall done, nothing left for reboot")},
    {3, TEXT("the probe answered no")},
    {4, TEXT("def.set done")},
    {6, TEXT("no command word, an unknown one, or removetray done")},
    {100, TEXT("an error line was written")},
    {101, TEXT("done, files left for deletion at reboot")},
    {102, TEXT("the default printer is not a Solvendale queue, or there is none")},
    {103, TEXT("the installed driver is recent enough")},
    {200, TEXT("product DLLs are still waiting for a reboot")},
};

void AppendLine(CountedString& text, LPCWSTR format, ...) {
  WCHAR line[kLineUnits];
  va_list args;
  va_start(args, format);
  FormatLogTextV(line, kLineUnits, format, args);
  va_end(args);
  Append(text, line);
  Append(text, kLineEnd);
}

// A label and a text of any length (paths, the command line).
void AppendField(CountedString& text, LPCWSTR label, LPCWSTR value) {
  Append(text, label);
  Append(text, value);
  Append(text, kLineEnd);
}

void AppendDigits(CountedString& text, unsigned value, int digits) {
  WCHAR units[8] = {};
  for (int i = digits - 1; i >= 0; --i) {
    units[i] = static_cast<WCHAR>('0' + value % 10);
    value /= 10;
  }
  Append(text, units);
}

void AppendDate(CountedString& text) {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  Append(text, TEXT("Date: "));
  AppendDigits(text, now.wYear, 4);
  Append(text, TEXT("-"));
  AppendDigits(text, now.wMonth, 2);
  Append(text, TEXT("-"));
  AppendDigits(text, now.wDay, 2);
  Append(text, TEXT(" "));
  AppendDigits(text, now.wHour, 2);
  Append(text, TEXT(":"));
  AppendDigits(text, now.wMinute, 2);
  Append(text, TEXT(":"));
  AppendDigits(text, now.wSecond, 2);
  Append(text, kLineEnd);
}

void AppendProgram(CountedString& text) {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(InstanceHandle, path, MAX_PATH);
  if (length == 0) path[0] = 0;
  else if (length >= MAX_PATH) path[MAX_PATH - 1] = 0;
  Append(text, TEXT("Program: "));
  Append(text, path);
  AppendLine(text, TEXT(" (build %d)"), BUILD_NUMBER);
}

void AppendUser(CountedString& text) {
  WCHAR name[kUserNameUnits];
  DWORD size = kUserNameUnits;
  AppendField(text, TEXT("User: "), GetUserNameW(name, &size) ? name : TEXT("(unknown)"));
}

void AppendSession(CountedString& text) {
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
    AppendLine(text, TEXT("Session: %d"), static_cast<int>(session));
  } else {
    AppendLine(text, TEXT("Session: (unknown)"));
  }
}

// Appends the bytes to the end of the file in one write, after a byte-order
// mark when the file is new or empty, else after a blank line.
void AppendToFile(LPCWSTR path, const BYTE* bytes, DWORD size) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < ReportOpenAttempts; ++attempt) {
    file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(ReportOpenPauseMs);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER existing = {};
  bool empty = GetFileSizeEx(file, &existing) && existing.QuadPart == 0;
  DWORD prefix = empty ? sizeof(kByteOrderMark) : 2;
  BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size + prefix));
  if (block != nullptr) {
    if (empty) {
      for (DWORD i = 0; i < prefix; ++i) block[i] = kByteOrderMark[i];
    } else {
      block[0] = '\r';
      block[1] = '\n';
    }
    for (DWORD i = 0; i < size; ++i) block[prefix + i] = bytes[i];
    DWORD written = 0;
    WriteFile(file, block, size + prefix, &written, nullptr);
    HeapFree(GetProcessHeap(), 0, block);
  }
  CloseHandle(file);
}

void WriteReport(LPCWSTR path, CountedString text) {
  int units = static_cast<int>(Length(text));
  if (path == nullptr || units == 0) return;
  int size = WideCharToMultiByte(CP_UTF8, 0, Text(text), units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  BYTE* bytes = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size)));
  if (bytes == nullptr) return;
  if (WideCharToMultiByte(CP_UTF8, 0, Text(text), units, reinterpret_cast<LPSTR>(bytes), size,
                          nullptr, nullptr) == size) {
    AppendToFile(path, bytes, static_cast<DWORD>(size));
  }
  HeapFree(GetProcessHeap(), 0, bytes);
}

}  // namespace

void BeginReport(Report* report) {
  report->text = nullptr;
  report->scheduled = nullptr;
  report->job = false;
  report->onlyRefusedDeletes = false;
  AppendLine(report->text, TEXT("Solvendale setup report"));
  AppendDate(report->text);
  AppendProgram(report->text);
  AppendField(report->text, TEXT("Command line: "), GetCommandLineW());
  AppendUser(report->text);
  AppendSession(report->text);
  AppendLine(report->text, TEXT("Interactive window station: %s"),
             InteractiveWindowStation() ? TEXT("yes") : TEXT("no"));
}

void ReportLog(Report* report, LPCWSTR log) {
  report->job = true;
  AppendLine(report->text, TEXT("Log:"));
  if (log != nullptr) Append(report->text, log);
}

void ReportAnswer(Report* report, LPCWSTR word, int exitCode) {
  AppendLine(report->text, TEXT("%s answered %d"), word, exitCode);
}

void ReportScheduled(Report* report, LPCWSTR path, bool accepted, DWORD error) {
  Append(report->scheduled, TEXT("Delete at reboot: "));
  Append(report->scheduled, path);
  if (accepted) {
    AppendLine(report->scheduled, TEXT(" - accepted"));
    return;
  }
  LPWSTR description = SystemMessage(error);
  AppendLine(report->scheduled, TEXT(" - refused, error %d (%s)"), static_cast<int>(error),
             description != nullptr ? description : TEXT("no description"));
  if (description != nullptr) LocalFree(description);
}

void EndReport(Report* report, LPCWSTR path, int exitCode) {
  if (report->job) {
    if (report->scheduled == nullptr) AppendLine(report->text, TEXT("Delete at reboot: none"));
    Append(report->text, Text(report->scheduled));
  }
  LPCWSTR meaning = exitCode == 100 && report->onlyRefusedDeletes
                        ? TEXT("a file was left that delete-at-reboot refused")
                        : ExitCodeMeaning(exitCode);
  AppendLine(report->text, TEXT("Exit code: %d (%s)"), exitCode, meaning);
  WriteReport(path, report->text);
  Release(report->scheduled);
  Release(report->text);
}

LPCWSTR ExitCodeMeaning(int exitCode) {
  for (const Meaning& meaning : kMeanings) {
    if (meaning.code == exitCode) return meaning.text;
  }
  return TEXT("unknown");
}

CountedString DefaultReportPath() {
  WCHAR directory[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH) return nullptr;
  CountedString path = nullptr;
  Assign(path, directory);
  Append(path, kReportFileName);
  return path;
}

}  // namespace svd
