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

PendingRenameTable ReadPendingRenames();
void PurgePendingRenames(PendingRenameTable* table);
void ReleasePendingRenames(PendingRenameTable* table);

}  // namespace svd
