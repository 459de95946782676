// Not built yet: every operation here fails loudly until it is written.
#include "cleanup/deferred_delete.h"
#include "job/not_built.h"

namespace svd {

void AddPendingDelete(PendingDelete** list, LPCWSTR path) {
  NotBuiltYet("AddPendingDelete");
}

void RetryPendingDeletes(InstallJob* job) {
  NotBuiltYet("RetryPendingDeletes");
}

void ReleasePendingDeletes(PendingDelete** list) {
  NotBuiltYet("ReleasePendingDeletes");
}

PendingRenameTable ReadPendingRenames() {
  NotBuiltYet("ReadPendingRenames");
}

void PurgePendingRenames(PendingRenameTable* table) {
  NotBuiltYet("PurgePendingRenames");
}

void ReleasePendingRenames(PendingRenameTable* table) {
  NotBuiltYet("ReleasePendingRenames");
}

}  // namespace svd
