// Files still to delete, and Windows' own pending file operations.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

// Clears the read-only attribute of a file of the product, as installers do
// before they replace or delete one; nothing else of it changes. Only for
// the product's own files: another program's file is never touched.
void MakeWritable(LPCWSTR path);

// Remembers a file to delete later. False when there is no memory for it
// (last error ERROR_NOT_ENOUGH_MEMORY).
bool AddPendingDelete(PendingDelete** list, LPCWSTR path);
void RetryPendingDeletes(InstallJob* job);
void ReleasePendingDeletes(PendingDelete** list);

struct PendingRenameTable {
  LPWSTR* names;  // 2 x count, GMEM_FIXED; null entries for empty strings
  LONG* flags;    // 2 x count: 1 for an existing file that is not a directory
  LONG count;     // pairs; 0 means both arrays are null
};

// Windows carries out delayed operations on drive paths only: names of any
// other form are read into the table but neither tested (flag 0) nor purged.
// The table is empty when the value cannot be read whole.
PendingRenameTable ReadPendingRenames();
// Deletes now the existing sources of delete-at-reboot entries, except a
// file that a rename of the same value replaces at reboot and the file keep
// (null: none).
void PurgePendingRenames(PendingRenameTable* table, LPCWSTR keep = nullptr);
void ReleasePendingRenames(PendingRenameTable* table);

// Whether two paths name the same file, compared as Windows compares file
// names (ordinal, ignoring case).
bool SameFilePath(LPCWSTR a, LPCWSTR b);
// Whether Windows' pending operations delete the file at path (a drive
// path) at the next reboot.
bool IsPendingDelete(LPCWSTR path);
// Whether they may delete any file (of a drive path) at the next reboot:
// true as well when the value exists but cannot be read.
bool HasPendingDeletes();
// Removes from Windows' pending operations each delete-at-reboot entry of
// one of the paths (drive paths; null entries are skipped) and keeps every
// other entry byte for byte; the value goes when nothing is left of it.
// False when such an entry may stay because the value cannot be read or
// rewritten: pending[i] then tells which paths may still be scheduled (all
// of them when it cannot be read), and the last error says why.
bool CancelPendingDeletes(LPCWSTR const* paths, size_t count, bool* pending);

}  // namespace svd
