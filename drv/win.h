// The one gateway to Windows for the whole program. Every source file of the
// program includes this header instead of <windows.h>. On the Windows build it
// brings in the real SDK headers; on the Linux build the include path points
// at the stand-in platform's headers of the same names.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <shellapi.h>

// The program calls Windows by the explicit W and A names. These SDK macros
// would otherwise rename the program's own operations of the same names.
#undef CopyFile
#undef AddPrinter
#undef AddMonitor
#undef DeleteMonitor
#undef AddPrinterDriver
#undef DeletePrinterDriver

// Two winspool entry points that the program imports by ordinal only (the
// Windows build links them through an import library made from a .def file).
extern "C" {
// Ordinal 203: stores the default printer's name with its terminator in the
// buffer (capacity *count characters) and returns nonzero; 0 when it cannot.
BOOL WINAPI GetDefaultPrinterByOrdinal(LPWSTR buffer, LPDWORD count);
// Ordinal 204: makes the named printer the default printer.
BOOL WINAPI SetDefaultPrinterByOrdinal(LPCWSTR printerName);
}
