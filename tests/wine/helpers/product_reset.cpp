// Takes every Solvendale component out of the prefix so that a test starts
// from a clean system, by means Wine supports (the driver is deleted
// without DPD_DELETE_ALL_FILES, which Wine refuses, and its files are
// deleted here). Ends a running tray companion, deletes the queues of the
// "Solvendale printer" driver, the driver, the "Solvendale:" monitor, their
// files, the tray's Run value, PendingFileRenameOperations and the default
// printer setting, and the entry of a setup package in Add/Remove
// Programs. Prints what it could not do; exit 0 when all went well.
//
//   product_reset.exe            the reset described above
//   product_reset.exe datatype   gives every queue registered without a data
//                                type the data type "RAW", as Windows' spooler
//                                does for such a queue (Wine's AddPrinterW
//                                registers it but cannot open it)
//   product_reset.exe schedule <path> [<new path>]
//                                schedules the file for deletion (or, with a
//                                new path, renaming) at the next reboot
//   product_reset.exe hold <mutex name> <ms>
//                                creates the named mutex owned, prints
//                                "held", keeps it for ms milliseconds and
//                                releases it, as another setup run would
#include <windows.h>
#include <winspool.h>
#include <stdio.h>

namespace {

wchar_t kEnvironment[] = L"Windows x64";
wchar_t kDriver[] = L"Solvendale printer";
wchar_t kMonitor[] = L"Solvendale:";
int failures = 0;

void Fail(const char* what) {
  printf("failed: %s (error %lu)\n", what, GetLastError());
  ++failures;
}

void StopTray() {
  for (int i = 0; i < 50; ++i) {
    HWND window = FindWindowW(L"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}", nullptr);
    if (!window) return;
    PostMessageW(window, 0x402, 0, 0);
    Sleep(100);
  }
  Fail("tray companion did not exit");
}

void DeleteQueues() {
  DWORD needed = 0, count = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
  if (!needed) return;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer, needed, &needed, &count)) count = 0;
  PRINTER_INFO_2W* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    bool product = info[i].pDriverName && lstrcmpW(info[i].pDriverName, kDriver) == 0;
    bool port = info[i].pPortName && wcsstr(info[i].pPortName, kMonitor);
    if (!product && !port) continue;
    HANDLE handle = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(info[i].pPrinterName, &handle, &defaults)) {
      // A queue the spooler cannot open (registered without a data type)
      // is removed from the registry directly.
      HKEY printers;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers", 0,
                        KEY_ALL_ACCESS, &printers) == ERROR_SUCCESS) {
        if (RegDeleteTreeW(printers, info[i].pPrinterName) != ERROR_SUCCESS) Fail("queue key");
        RegCloseKey(printers);
      }
      continue;
    }
    if (!DeletePrinter(handle)) Fail("DeletePrinter");
    ClosePrinter(handle);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

// Whether the spooler lists the product's driver (Wine answers a deletion
// of a missing driver with an unrelated error code, so ask first).
bool DriverInstalled() {
  DWORD needed = 0, count = 0;
  EnumPrinterDriversW(nullptr, kEnvironment, 1, nullptr, 0, &needed, &count);
  if (!needed) return false;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  bool found = false;
  if (EnumPrinterDriversW(nullptr, kEnvironment, 1, buffer, needed, &needed, &count)) {
    DRIVER_INFO_1W* info = reinterpret_cast<DRIVER_INFO_1W*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
      if (info[i].pName && lstrcmpW(info[i].pName, kDriver) == 0) found = true;
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return found;
}

bool MonitorInstalled() {
  DWORD needed = 0, count = 0;
  EnumMonitorsW(nullptr, 1, nullptr, 0, &needed, &count);
  if (!needed) return false;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  bool found = false;
  if (EnumMonitorsW(nullptr, 1, buffer, needed, &needed, &count)) {
    MONITOR_INFO_1W* info = reinterpret_cast<MONITOR_INFO_1W*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
      if (info[i].pName && lstrcmpW(info[i].pName, kMonitor) == 0) found = true;
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return found;
}

void DeleteIfPresent(const wchar_t* path) {
  if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND &&
      GetLastError() != ERROR_PATH_NOT_FOUND) {
    Fail("DeleteFileW");
  }
}

void RemoveDriver() {
  DWORD needed = 0;
  wchar_t directory[MAX_PATH] = {};
  GetPrinterDriverDirectoryW(nullptr, kEnvironment, 1, reinterpret_cast<BYTE*>(directory),
                             sizeof(directory), &needed);
  if (DriverInstalled() && !DeletePrinterDriverExW(nullptr, kEnvironment, kDriver, 0, 0)) {
    Fail("DeletePrinterDriverExW");
  }
  const wchar_t* files[] = {L"qrldrv64.dll", L"qrlui64.dll", L"qrlhelp.chm"};
  wchar_t path[MAX_PATH * 2];
  for (const wchar_t* file : files) {
    wsprintfW(path, L"%s\\3\\%s", directory, file);
    DeleteIfPresent(path);
    wsprintfW(path, L"%s\\%s", directory, file);
    DeleteIfPresent(path);
  }
}

void RemoveMonitor() {
  if (MonitorInstalled() && !DeleteMonitorW(nullptr, kEnvironment, kMonitor)) {
    Fail("DeleteMonitorW");
  }
  wchar_t path[MAX_PATH * 2];
  GetSystemDirectoryW(path, MAX_PATH);
  lstrcatW(path, L"\\qrlmon64.dll");
  DeleteIfPresent(path);
}

void DeleteValue(HKEY root, const wchar_t* key, const wchar_t* value) {
  HKEY handle;
  if (RegOpenKeyExW(root, key, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
  LONG status = RegDeleteValueW(handle, value);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) Fail("RegDeleteValueW");
  RegCloseKey(handle);
}

int AddMissingDatatypes() {
  HKEY printers;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                    0, KEY_ALL_ACCESS, &printers) != ERROR_SUCCESS) {
    return 0;
  }
  wchar_t name[512];
  for (DWORD i = 0;; ++i) {
    DWORD length = 512;
    if (RegEnumKeyExW(printers, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY printer;
    if (RegOpenKeyExW(printers, name, 0, KEY_ALL_ACCESS, &printer) != ERROR_SUCCESS) continue;
    DWORD size = 0;
    if (RegQueryValueExW(printer, L"Datatype", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
      static const wchar_t raw[] = L"RAW";
      if (RegSetValueExW(printer, L"Datatype", 0, REG_SZ, reinterpret_cast<const BYTE*>(raw),
                         sizeof(raw)) != ERROR_SUCCESS) {
        Fail("RegSetValueExW Datatype");
      } else {
        printf("datatype RAW for %ls\n", name);
      }
    }
    RegCloseKey(printer);
  }
  RegCloseKey(printers);
  fflush(stdout);
  return failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && lstrcmpiW(argv[1], L"datatype") == 0) return AddMissingDatatypes();
  if (argc == 4 && lstrcmpiW(argv[1], L"hold") == 0) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, argv[2]);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
      Fail("CreateMutexW");
      return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[3])));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
  }
  if ((argc == 3 || argc == 4) && lstrcmpiW(argv[1], L"schedule") == 0) {
    if (MoveFileExW(argv[2], argc == 4 ? argv[3] : nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return 0;
    Fail("MoveFileExW");
    return 1;
  }
  StopTray();
  DeleteQueues();
  RemoveDriver();
  RemoveMonitor();
  DeleteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
              L"SolvendaleTray");
  DeleteValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
              L"PendingFileRenameOperations");
  DeleteValue(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
              L"Device");
  LONG entry = RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                              L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Solvendale");
  if (entry != ERROR_SUCCESS && entry != ERROR_FILE_NOT_FOUND) Fail("RegDeleteTreeW");
  fflush(stdout);
  return failures ? 1 : 0;
}
