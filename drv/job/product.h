// Names and numbers of the product that the installer puts into Windows.
#pragma once
#include "win.h"

namespace svd {

constexpr int BUILD_NUMBER = 2093;

inline const WCHAR* const kPortMonitorName = TEXT("Solvendale:");
inline const WCHAR* const kDriverName = TEXT("Solvendale printer");
inline const WCHAR* const kEnvironment = TEXT("Windows x64");
inline const WCHAR* const kMonitorFileName = TEXT("qrlmon64.dll");
inline const WCHAR* const kDriverFileName = TEXT("qrldrv64.dll");
inline const WCHAR* const kUiFileName = TEXT("qrlui64.dll");
inline const WCHAR* const kHelpFileName = TEXT("qrlhelp.chm");
inline const WCHAR* const kTrayFileName = TEXT("soltray.exe");
inline const WCHAR* const kDefaultQueueName = TEXT("Solvendale");
inline const WCHAR* const kFilePortName = TEXT("file:");
inline const WCHAR* const kPrintProcessor = TEXT("WinPrint");
inline const WCHAR* const kManufacturer = TEXT("Quarlen Software Kft.");

}  // namespace svd
