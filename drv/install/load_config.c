// The load configuration of SolvendaleSetup.exe (Windows build only).
//
// The program runs elevated, often from a folder that anyone can write to
// (a setup package's extraction folder). Windows looks for the DLLs of an
// executable's static imports in the executable's own folder first, except
// for the KnownDLLs; VERSION.dll and WINSPOOL.DRV are not KnownDLLs. The
// DependentLoadFlags of this record make Windows 10 (version 1607) and later
// resolve every static import from System32 only (LOAD_LIBRARY_SEARCH_SYSTEM32,
// as the linker option /DEPENDENTLOADFLAG:0x800 would set it).
//
// The record has the x64 layout of IMAGE_LOAD_CONFIG_DIRECTORY64 up to
// SEHandlerCount (0x70 bytes); fields beyond its Size are absent for the
// loader. Every other field is zero: no security cookie (GCC's code and this
// runtime use none), no Control Flow Guard, default heap settings. GNU ld
// does not point the image's load configuration entry at the record; the
// build does that after linking (cmake/point_load_config.py).
#include <stddef.h>
#include <windows.h>

typedef struct LoadConfigDirectory64 {
  DWORD Size;
  DWORD TimeDateStamp;
  WORD MajorVersion;
  WORD MinorVersion;
  DWORD GlobalFlagsClear;
  DWORD GlobalFlagsSet;
  DWORD CriticalSectionDefaultTimeout;
  ULONGLONG DeCommitFreeBlockThreshold;
  ULONGLONG DeCommitTotalFreeThreshold;
  ULONGLONG LockPrefixTable;
  ULONGLONG MaximumAllocationSize;
  ULONGLONG VirtualMemoryThreshold;
  ULONGLONG ProcessAffinityMask;
  DWORD ProcessHeapFlags;
  WORD CSDVersion;
  WORD DependentLoadFlags;
  ULONGLONG EditList;
  ULONGLONG SecurityCookie;
  ULONGLONG SEHandlerTable;
  ULONGLONG SEHandlerCount;
} LoadConfigDirectory64;

_Static_assert(offsetof(LoadConfigDirectory64, DependentLoadFlags) == 0x4E,
               "DependentLoadFlags lies at offset 0x4E of the x64 record");
_Static_assert(sizeof(LoadConfigDirectory64) == 0x70, "x64 record through SEHandlerCount");

// Linkers that fill the load configuration entry look for this name; nothing in
// the program refers to it.
__attribute__((used)) const LoadConfigDirectory64 _load_config_used = {
    .Size = sizeof(LoadConfigDirectory64),
    .DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
