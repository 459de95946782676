// The operation log of an install job: plain lines, numbered error lines and
// traced operations, indented by the job's LogDepth.
#pragma once
#include <cstdarg>

#include "win.h"
#include "job/install_job.h"

namespace svd {

// The numbered error lines. An enumerator's value is the number its line
// shows ("Error(N): "); ErrorText beside it holds the message, a format
// text for ErrorLine's arguments. A new error line is one enumerator and one
// case below (the build refuses an enumerator without its text).
enum class ErrorId {
  CantOpenServiceManager = 1,
  CantOpenSpooler = 2,
  CantStopSpooler = 3,
  CantStartSpooler = 4,
  ControlServiceFailed = 5,
  CantRetrieveDriverDirectory = 6,
  CantRetrieveSystemDirectory = 7,
  CopyFailed = 8,
  CantOpenDestination = 9,
  CantOpenSource = 10,
  CantInstallMonitor = 11,
  CantRemoveMonitor = 12,
  CantInstallDriver = 13,
  CantRemoveDriver = 14,
  CantAddPrinter = 15,
  CantOpenPrinter = 16,
  CantDeletePrinter = 17,
  CantRetrieveInstallerDirectory = 18,
  CantReadSubKey = 19,
  CantRestoreSubKey = 20,
  CantCancelRebootDeletion = 21,
  CantSaveQueue = 22,
  AnotherSetupRunning = 23,
  CantReadMonitorList = 24,
  CantReadDriverList = 25,
  CantRestoreQueueSettings = 26,
  CantRestoreDefaultPrinter = 27,
  CantClearSettingsKey = 28,
  CantRestoreQueuePort = 29,
  CantReadDefaultPrinter = 30,
};

inline LPCWSTR ErrorText(ErrorId id) {
  switch (id) {
    case ErrorId::CantOpenServiceManager: return TEXT("Can't open service manager.");
    case ErrorId::CantOpenSpooler: return TEXT("Can't open the spooler");
    case ErrorId::CantStopSpooler: return TEXT("Can't stop the spooler");
    case ErrorId::CantStartSpooler: return TEXT("Can't start the spooler");
    case ErrorId::ControlServiceFailed: return TEXT("ControlService failed with code %d (0x%x)");
    case ErrorId::CantRetrieveDriverDirectory: return TEXT("Can`t retrieve printer driver directory.");
    case ErrorId::CantRetrieveSystemDirectory: return TEXT("Can`t retrieve system directory.");
    case ErrorId::CopyFailed: return TEXT("CopyFile(..,%s)");
    case ErrorId::CantOpenDestination: return TEXT("Cant't open destination file: %s");
    case ErrorId::CantOpenSource: return TEXT("Cant't open source file: %s");
    case ErrorId::CantInstallMonitor: return TEXT("Can`t install a local port monitor'Solvendale:'");
    case ErrorId::CantRemoveMonitor: return TEXT("Can`t remove the port monitor 'Solvendale:'");
    case ErrorId::CantInstallDriver: return TEXT("Can`t install a printer driver 'Solvendale printer'");
    case ErrorId::CantRemoveDriver: return TEXT("Can`t remove the printer-driver 'Solvendale printer'");
    case ErrorId::CantAddPrinter: return TEXT("Can`t add printer '%s'");
    case ErrorId::CantOpenPrinter: return TEXT("Can`t open printer '%s'");
    case ErrorId::CantDeletePrinter: return TEXT("Can`t delete printer '%s'");
    case ErrorId::CantRetrieveInstallerDirectory: return TEXT("Can`t retrieve installer directory.");
    case ErrorId::CantReadSubKey: return TEXT("Can`t read the SubKey of printer '%s'");
    case ErrorId::CantRestoreSubKey: return TEXT("Can`t restore the SubKey of printer '%s'");
    case ErrorId::CantCancelRebootDeletion: return TEXT("Can`t cancel the deletion at reboot of %s");
    case ErrorId::CantSaveQueue: return TEXT("Can`t save printer '%s' before deleting it");
    case ErrorId::AnotherSetupRunning: return TEXT("Another Solvendale setup is still running");
    case ErrorId::CantReadMonitorList: return TEXT("Can`t read the list of port monitors");
    case ErrorId::CantReadDriverList: return TEXT("Can`t read the list of printer drivers");
    case ErrorId::CantRestoreQueueSettings: return TEXT("Can`t restore the comment and location of printer '%s'");
    case ErrorId::CantRestoreDefaultPrinter: return TEXT("Can`t make printer '%s' the default printer again");
    case ErrorId::CantClearSettingsKey:
      return TEXT("Can`t clear the value 'deleted' of the settings key of printer '%s'");
    case ErrorId::CantRestoreQueuePort: return TEXT("Can`t move printer '%s' back to the Solvendale port");
    case ErrorId::CantReadDefaultPrinter: return TEXT("Can`t read the default printer");
  }
  return TEXT("");
}

void LogLine(InstallJob* job, LPCWSTR format, ...);
// Writes "Error(N): ", the error's message formatted with the arguments and
// the system's text for the last-error code, and counts the error.
void ErrorLine(InstallJob* job, ErrorId id, ...);
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

}  // namespace svd
