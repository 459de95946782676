// Takes every Solvendale component out of the prefix so that a test starts
// from a clean system, by means Wine supports (the driver is deleted
// without DPD_DELETE_ALL_FILES, which Wine refuses, and its files are
// deleted here). Ends a running tray companion, deletes the queues of the
// "Solvendale printer" driver, the driver, the "Solvendale:" monitor, their
// files, the tray's Run value, PendingFileRenameOperations and the default
// printer setting. Prints what it could not do; exit 0 when all went well.
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
  if (!DeletePrinterDriverExW(nullptr, kEnvironment, kDriver, 0, 0) &&
      GetLastError() != ERROR_UNKNOWN_PRINTER_DRIVER) {
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
  if (!DeleteMonitorW(nullptr, kEnvironment, kMonitor) &&
      GetLastError() != ERROR_UNKNOWN_PRINT_MONITOR) {
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

}  // namespace

int wmain() {
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
  fflush(stdout);
  return failures ? 1 : 0;
}
