// The operation log of an install job: plain lines, numbered error lines and
// traced operations, indented by the job's LogDepth.
#pragma once
#include <cstdarg>

#include "win.h"
#include "job/install_job.h"

namespace svd {

void LogLine(InstallJob* job, LPCWSTR format, ...);
void ErrorLine(InstallJob* job, int number, LPCWSTR format, ...);
void AppendLogText(InstallJob* job, LPCWSTR text);
// The system's English text for code without its trailing line break, or
// null. The caller frees it with LocalFree.
LPWSTR SystemMessage(DWORD code);

// A traced operation: writes its banner (a format text beginning with ">")
// at the current depth and raises LogDepth by one, or by levels, until it
// goes out of scope.
class TraceScope {
 public:
  TraceScope(InstallJob* job, LPCWSTR format, ...);
  TraceScope(InstallJob* job, LONG levels, LPCWSTR format, ...);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  void Open(LPCWSTR format, va_list args);

  InstallJob* job_;
  LONG levels_;
};

// Error messages by number, each used with ErrorLine(job, number, text, ...).
inline const WCHAR* const kError1 = TEXT("Can't open service manager.");
inline const WCHAR* const kError2 = TEXT("Can't open the spooler");
inline const WCHAR* const kError3 = TEXT("Can't stop the spooler");
inline const WCHAR* const kError4 = TEXT("Can't start the spooler");
inline const WCHAR* const kError5 = TEXT("ControlService failed with code %d (0x%x)");
inline const WCHAR* const kError6 = TEXT("Can`t retrieve printer driver directory.");
inline const WCHAR* const kError7 = TEXT("Can`t retrieve system directory.");
inline const WCHAR* const kError8 = TEXT("CopyFile(..,%s)");
inline const WCHAR* const kError9 = TEXT("Cant't open destination file: %s");
inline const WCHAR* const kError10 = TEXT("Cant't open source file: %s");
inline const WCHAR* const kError11 = TEXT("Can`t install a local port monitor'Solvendale:'");
inline const WCHAR* const kError12 = TEXT("Can`t remove the port monitor 'Solvendale:'");
inline const WCHAR* const kError13 = TEXT("Can`t install a printer driver 'Solvendale printer'");
inline const WCHAR* const kError14 = TEXT("Can`t remove the printer-driver 'Solvendale printer'");
inline const WCHAR* const kError15 = TEXT("Can`t add printer '%s'");
inline const WCHAR* const kError16 = TEXT("Can`t open printer '%s'");
inline const WCHAR* const kError17 = TEXT("Can`t delete printer '%s'");

}  // namespace svd
