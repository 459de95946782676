// Files still to delete, and Windows' own pending file operations.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

void AddPendingDelete(PendingDelete** list, LPCWSTR path);
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

}  // namespace svd
