// Marks an operation that is not written yet: calling it ends the process
// with a message, so nothing can mistake it for a working one.
#pragma once

namespace svd {

[[noreturn]] void NotBuiltYet(const char* operation);

}  // namespace svd
