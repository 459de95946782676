// The tray companion "soltray.exe" as a simulated program, for the
// processes module that starts it.
#pragma once

#include <windows.h>

#include <string>

#include "processes.h"

namespace winsim {
namespace tray {

// Whether the image is the companion's executable (by its file name).
bool IsCompanion(const std::u16string& imagePath);
// The companion runs in the process that was just started.
void Run(processes::Process& process);
// The running companion's process (0: none).
DWORD RunningProcessId();
// The companion's last start: its process record is kept after it ended.
DWORD LastProcessId();
// The running companion ends from outside: its mutex is abandoned.
void Kill();

}  // namespace tray
}  // namespace winsim
