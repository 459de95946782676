// InstallJob: the one object of an install or uninstall run, with its
// operation log. Every component operation takes the job first and reports
// through LogLine and ErrorLine.
#pragma once
#include "win.h"
#include "job/counted_string.h"
#include "job/product.h"

namespace svd {

struct PendingDelete {
  LPWSTR path;          // owned (DuplicateText)
  PendingDelete* next;  // owned
};

struct SavedPrinter {
  LPSTR subkey;              // owned 8-bit text, never empty
  PRINTER_INFO_2W* printer;  // borrowed record of the job's PrinterList
  SavedPrinter* next;        // owned
};

// Level-2 printer records of all local printers and connections.
struct PrinterList {
  PRINTER_INFO_2W* Records;  // one GMEM_FIXED block, or null
  DWORD Count;
};

struct InstallJob {
  CountedString SourceDir;
  CountedString SystemDir;
  CountedString OperationLog;
  CountedString DriverDir;
  LPCWSTR Environment;
  LPCWSTR MonitorFile;
  LPCWSTR DriverFile;
  LPCWSTR HelpFile;
  LPCWSTR UiFile;
  bool CheckMonitorVersion;
  bool InstallMonitor;
  bool CopyMonitor;
  LONG ErrorCount;
  LONG LogDepth;
  PendingDelete* PendingDeleteList;
  SavedPrinter* SavedPrinterList;
  svd::PrinterList PrinterList;
  PRINTER_INFO_2W** RedirectedPrinters;  // null-terminated GMEM_FIXED array, or null
  // Set by ReInstall for the whole run: the tray program that this install
  // registers again must survive the StopTray of its uninstall half.
  bool Reinstalling;
};

// Module instance of the running program (set by the entry operation).
extern HINSTANCE InstanceHandle;

void CreateInstallJob(InstallJob* job);
void DestroyInstallJob(InstallJob* job);
void ResolveDriverDirectory(InstallJob* job);

void LogLine(InstallJob* job, LPCWSTR format, ...);
void ErrorLine(InstallJob* job, int number, LPCWSTR format, ...);
void AppendLogText(InstallJob* job, LPCWSTR text);
// The system's English text for code without its trailing line break, or
// null. The caller frees it with LocalFree.
LPWSTR SystemMessage(DWORD code);

// A traced operation: writes its banner (a format text beginning with ">")
// at the current depth and raises LogDepth by one until it goes out of scope.
class TraceScope {
 public:
  TraceScope(InstallJob* job, LPCWSTR format, ...);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  InstallJob* job_;
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
