// One setup at a time: install and uninstall jobs take a machine-wide named
// mutex before they touch anything, so that two runs started together do
// not undo each other's work.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

struct SetupLock {
  HANDLE mutex;  // null when none could be made
  bool held;
};

// The mutex's name, in the machine-wide namespace of every session.
extern const WCHAR kSetupLockName[];
// The longest wait for another setup to finish: 10 minutes.
const DWORD SetupLockWaitMs = 10 * 60 * 1000;

// Takes the lock for the job. While another setup holds it, logs "Waiting
// for another Solvendale setup to finish" and waits, at most
// SetupLockWaitMs; a lock whose holder ended without releasing it counts as
// taken. False only when the wait ran out: error line 23 is then written and
// the job must touch nothing. A lock that cannot be made or waited on is a
// log line, and the job goes on without it, as it did before there was one.
bool TakeSetupLock(InstallJob* job, SetupLock* lock);
void ReleaseSetupLock(SetupLock* lock);

}  // namespace svd
