// The no-op program again, but loading what the installer loads: the same
// DLLs (advapi32, shell32, user32, version, winspool) and the same
// application manifest (common controls version 6, administrator rights).
// Next to noop.exe it shows how much of the installer's time under Wine is
// the loader's before the program's first line runs.
#include <windows.h>
#include <shellapi.h>
#include <winspool.h>

// Taking the addresses keeps the imports in the program; nothing is called.
static FARPROC volatile kImports[] = {
    reinterpret_cast<FARPROC>(&RegOpenKeyExW),
    reinterpret_cast<FARPROC>(&ShellExecuteW),
    reinterpret_cast<FARPROC>(&GetAsyncKeyState),
    reinterpret_cast<FARPROC>(&GetFileVersionInfoSizeW),
    reinterpret_cast<FARPROC>(&OpenPrinterW),
};

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return kImports[0] ? 0 : 1; }
