// The journal of saved queues: the queues and connections that a reinstall
// deleted and has not yet created again, kept in the registry so that a
// failed, killed or powered-off run loses none of them.
//
// HKLM\Software\Quarlen Software KFT\Solvendale\Setup\SavedQueues holds one
// subkey per queue, named by its number in eight digits ("00000001"), in the
// order they were saved:
//   Name        REG_SZ     the queue's name (a connection's "\\server\queue")
//   SubKey      REG_BINARY the 8-bit SubKey text, without a terminator
//   Comment     REG_SZ     (absent when the queue had none)
//   Location    REG_SZ     (absent when the queue had none)
//   Default     REG_DWORD  1 when it was the default printer, else 0
//   Connection  REG_DWORD  1 for a connection, else 0
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// The most entries a journal is read with; the rest are skipped.
constexpr DWORD kMaxJournalEntries = 10000;

// Writes the entry of a saved queue and flushes it to disk; sets its
// journalEntry. On failure nothing of the entry is left, the last error says
// why, and the result is false; an entry that a later read would skip is not
// written (ERROR_INVALID_DATA).
bool WriteJournalEntry(InstallJob* job, SavedPrinter* saved);
// Removes the entry of a queue that was created again (none: nothing).
void DropJournalEntry(const SavedPrinter* saved);
// Reads the journal into the job's saved queues, behind those already there,
// in the journal's order. An entry whose queue exists with another driver
// is dropped; an entry whose data is not sound is skipped and dropped, with
// a log line. Returns how many entries joined.
int ReadJournal(InstallJob* job);
// Removes the whole journal (an uninstall's deletions are meant).
void ClearJournal(InstallJob* job);

}  // namespace svd
