// Simulated processes, for the other modules of the machine.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {
namespace processes {

// The program's own process and thread.
DWORD ProgramProcessId();
DWORD ProgramThreadId();

// The id of a simulated process's (only) thread.
DWORD ThreadOfProcess(DWORD processId);

// Registers a running process that the machine itself started (a viewer
// opened by a test); returns its id.
DWORD StartBackgroundProcess(const std::u16string& imagePath);
// Marks a process as ended with the exit code.
void EndBackgroundProcess(DWORD processId, DWORD exitCode);

}  // namespace processes
}  // namespace winsim
