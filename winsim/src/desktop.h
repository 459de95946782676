// The simulated desktop, for the other modules of the machine: top-level
// windows owned by simulated processes, and the messages posted to them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace winsim {
namespace desktop {

// Called with each message posted to a window of another process.
using MessageHandler =
    std::function<void(HWND window, UINT message, WPARAM wParam, LPARAM lParam)>;

// Creates a top-level window owned by the process. `restore` is the handle
// value of a window brought back by a machine load (0: a new handle).
HWND CreateWindowOf(DWORD processId, const std::u16string& className,
                    const std::u16string& title, MessageHandler handler,
                    uint32_t restore = 0);
void DestroyWindowOf(HWND window);
// The live window that a handle value names, as IsWindow accepts it (the
// low 16 bits with any, a zero or an all-ones upper word), or nullptr.
HWND Resolve(HWND value);
// The 32-bit value of a window handle, as saved with the machine.
uint32_t HandleValue(HWND window);

}  // namespace desktop
}  // namespace winsim
