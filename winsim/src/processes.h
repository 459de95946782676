// Simulated processes and named mutexes, for the other modules of the
// machine.
#pragma once

#include <windows.h>
#include <winsim/desktop_control.h>

#include <memory>
#include <string>

#include "core.h"

namespace winsim {
namespace processes {

// The program's own process and thread (of the run that runs now).
DWORD ProgramProcessId();
DWORD ProgramThreadId();
// The session of a process (the program's or one of the machine's); 1, the
// logged-on user's, for a process the machine does not know.
DWORD SessionOf(DWORD processId);
// The key under which a mutex of that name lives for a process of the
// session: "Global\" names and the session 0's own names in the machine's
// namespace, other names in the session's. False for a name with a path.
bool MutexKey(const std::u16string& name, DWORD sessionId, std::u16string* key);

// The id of a simulated process's (only) thread.
DWORD ThreadOfProcess(DWORD processId);

// Registers a running process that the machine itself started (a viewer
// opened by a test); returns its id.
DWORD StartBackgroundProcess(const std::u16string& imagePath, DWORD sessionId = 1);
// Marks a process as ended with the exit code.
void EndBackgroundProcess(DWORD processId, DWORD exitCode);

struct Process {
  ProcessRecord record;
  DWORD threadId = 0;
  DWORD priorityClass = 0;
  DWORD sessionId = 1;
  bool tray = false;   // it started as the tray companion
  std::string holder;  // file holder name while the image is in use
};

// Starts the image as a process; the tray companion's executable runs as
// the companion, anything else runs (doing nothing visible) until ended.
Process& Launch(const std::u16string& image, const std::u16string& commandLine, DWORD sessionId);
// The process (or the process of the thread) with the id, or null.
Process* FindProcess(DWORD id);
// The process ends with the exit code: its image is no longer in use.
void MarkEnded(DWORD processId, DWORD exitCode);

// A named or unnamed mutex. A named one lives under its name while any
// handle or module holds it.
class MutexObject : public KernelObject {
 public:
  explicit MutexObject(std::u16string name) : name_(std::move(name)) {}
  ~MutexObject() override;
  const char* TypeName() const override { return "mutex"; }
  bool Waitable() const override { return true; }
  bool Signaled() const override { return owner == 0 || owner == ProgramThreadId(); }
  void OnWaitSatisfied() override {
    owner = ProgramThreadId();
    ++recursion;
    abandoned = false;
  }
  const std::u16string& name() const { return name_; }

  DWORD owner = 0;  // thread id, 0: free
  DWORD ownerProcess = 0;
  unsigned recursion = 0;
  bool abandoned = false;

 private:
  std::u16string name_;
};

std::shared_ptr<MutexObject> FindMutex(const std::u16string& name);
std::shared_ptr<MutexObject> NewMutex(const std::u16string& name);

}  // namespace processes
}  // namespace winsim
