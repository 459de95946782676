// InstallJob: the one object of an install or uninstall run. Every component
// operation takes the job first and reports through its log (job/log.h).
#pragma once
#include "win.h"
#include "job/counted_string.h"
#include "job/product.h"

namespace svd {

struct PendingDelete {
  LPWSTR path;          // owned (DuplicateText)
  PendingDelete* next;  // owned
};

// A queue or connection of the product's driver that a reinstall creates
// again: everything needed to do so, copied out of its printer record. One
// GMEM_FIXED block holds the entry and its texts.
struct SavedPrinter {
  LPCWSTR name;        // never null
  LPCWSTR comment;     // null when the record had none
  LPCWSTR location;    // null when the record had none
  LPCSTR subkey;       // 8-bit text of any length; empty only for a connection
  bool wasDefault;     // it was the default printer
  bool connection;     // a connection to a queue of a print server
  DWORD journalEntry;  // its entry in the journal of saved queues; 0: none
  SavedPrinter* next;  // owned
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
  // Paths that the delete-at-reboot facility refused at the end of the run:
  // files left behind that nothing will delete. Like ErrorCount, any makes
  // the run a failure (exit 100, the dialog's error caption).
  LONG RefusedDeletes;
  LONG LogDepth;
  PendingDelete* PendingDeleteList;
  SavedPrinter* SavedPrinterList;
  svd::PrinterList PrinterList;
  PRINTER_INFO_2W** RedirectedPrinters;  // null-terminated GMEM_FIXED array, or null
  // Set by ReInstall for the whole run: the tray program that this install
  // registers again must survive the StopTray of its uninstall half.
  bool Reinstalling;
  // Queues of the driver that a reinstall left in place because it could not
  // remember them (an error line names each one).
  LONG KeptQueues;
  // The number that the next entry of the journal of saved queues tries.
  DWORD NextJournalEntry;
  // Set when the default printer could not be read (not: there is none),
  // with the failed call's code: no record of PrinterList is marked, though
  // one may be the default.
  bool DefaultPrinterUnread;
  DWORD DefaultPrinterError;
};

// The run failed: an error line was written, or a file was left that
// nothing will delete.
inline bool JobFailed(const InstallJob* job) {
  return job->ErrorCount != 0 || job->RefusedDeletes != 0;
}

// Module instance of the running program (set by the entry operation).
extern HINSTANCE InstanceHandle;

}  // namespace svd
