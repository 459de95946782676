// The setup lock: a named mutex in the "Global\" namespace, shared by the
// setup runs of every session (a deployment tool's service in session 0 and
// a user's run alike).
#include "install/setup_lock.h"

#include "job/log.h"

namespace svd {

const WCHAR kSetupLockName[] = TEXT("Global\\SolvendaleSetup.{6A1F3C52-8E0B-4D7A-9C35-0B2E47D1F9A6}");

namespace {

// Waiting and releasing is all the run does with the mutex; a mutex that
// another account created (SYSTEM's grants administrators no more than
// that) can still be opened for it.
const DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

void GoOnWithoutLock(InstallJob* job, SetupLock* lock) {
  LogLine(job, TEXT("Can't take the setup lock (error %d); going on without it"),
          static_cast<int>(GetLastError()));
  if (lock->mutex != nullptr) CloseHandle(lock->mutex);
  lock->mutex = nullptr;
}

}  // namespace

bool TakeSetupLock(InstallJob* job, SetupLock* lock) {
  lock->held = false;
  lock->mutex = CreateMutexExW(nullptr, kSetupLockName, 0, kLockAccess);
  if (lock->mutex == nullptr) {
    GoOnWithoutLock(job, lock);
    return true;
  }
  DWORD wait = WaitForSingleObject(lock->mutex, 0);
  if (wait == WAIT_TIMEOUT) {
    LogLine(job, TEXT("Waiting for another Solvendale setup to finish"));
    wait = WaitForSingleObject(lock->mutex, SetupLockWaitMs);
  }
  switch (wait) {
    case WAIT_OBJECT_0:
      lock->held = true;
      return true;
    case WAIT_ABANDONED:
      lock->held = true;
      LogLine(job, TEXT("Another Solvendale setup ended without finishing"));
      return true;
    case WAIT_TIMEOUT:
      CloseHandle(lock->mutex);
      lock->mutex = nullptr;
      // The line says all there is to say: no system text after it.
      SetLastError(ERROR_SUCCESS);
      ErrorLine(job, ErrorId::AnotherSetupRunning);
      return false;
    default:
      GoOnWithoutLock(job, lock);
      return true;
  }
}

void ReleaseSetupLock(SetupLock* lock) {
  if (lock->held) ReleaseMutex(lock->mutex);
  if (lock->mutex != nullptr) CloseHandle(lock->mutex);
  lock->mutex = nullptr;
  lock->held = false;
}

}  // namespace svd
