// Process entry of the program (wide entry point, no console).
#include "win.h"
#include "install/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  // From here on, a DLL loaded without a full path on the program's behalf
  // is looked for in System32 only, never in the folder the program was
  // started from nor in the current directory. The static imports were
  // already resolved that way (the image's load configuration).
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return svd::InstallerMain(instance);
}
