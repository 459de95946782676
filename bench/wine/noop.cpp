// A Windows program that does nothing: the yardstick of bench/wine_timing.py.
// Started under Wine exactly like the installer, its wall time is what
// starting and ending any program costs there (loader, wineserver, the
// process's first window station and desktop connection).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
