// Prints what the spooler and the registry hold about printing, one record
// per line, fields separated by tabs (UTF-8; backslash, tab, CR and LF
// escaped; a missing text is printed as "(null)"):
//   monitor   name  environment  dll
//   port      name  monitor  description
//   driver    name  version  environment  driver  data  config  help  manufacturer  provider
//   printer   name  port  driver  comment  location  attributes(hex)  processor  datatype
//   data      printer  key  value  type  text-or-hex
//   default   name                (GetDefaultPrinterW; absent when there is none)
//   default203  name              (winspool ordinal 203, as the installer calls it)
//   run       text                (HKLM Run value "SolvendaleTray"; absent when missing)
//   pending   source  target      (PendingFileRenameOperations; empty target: delete)
//   driverdir path                (GetPrinterDriverDirectoryW for "Windows x64")
//   traywindow  handle            (a window of the tray companion's class, its
//                                 handle as a decimal number)
//   traymutex                     (the tray companion's mutex exists)
//   uninstall  name  text          (a value of the product's entry in Add/Remove
//                                 Programs, HKLM ...\Uninstall\Solvendale;
//                                 numbers in decimal)
#include <windows.h>
#include <winspool.h>
#include <stdio.h>

extern "C" BOOL WINAPI GetDefaultPrinterByOrdinal(LPWSTR buffer, LPDWORD count);

static void Field(const wchar_t* text) {
  putchar('\t');
  if (!text) {
    fputs("(null)", stdout);
    return;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  char* utf8 = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, nullptr, nullptr);
  for (const char* p = utf8; *p; ++p) {
    if (*p == '\\') fputs("\\\\", stdout);
    else if (*p == '\t') fputs("\\t", stdout);
    else if (*p == '\r') fputs("\\r", stdout);
    else if (*p == '\n') fputs("\\n", stdout);
    else putchar(*p);
  }
  HeapFree(GetProcessHeap(), 0, utf8);
}

static void Number(DWORD value, bool hex) {
  printf(hex ? "\t0x%08lX" : "\t%lu", static_cast<unsigned long>(value));
}

static BYTE* Alloc(DWORD size) {
  return static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size ? size : 1));
}

static void Monitors() {
  DWORD needed = 0, count = 0;
  EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count);
  BYTE* buffer = Alloc(needed);
  if (!EnumMonitorsW(nullptr, 2, buffer, needed, &needed, &count)) count = 0;
  MONITOR_INFO_2W* info = reinterpret_cast<MONITOR_INFO_2W*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    fputs("monitor", stdout);
    Field(info[i].pName);
    Field(info[i].pEnvironment);
    Field(info[i].pDLLName);
    putchar('\n');
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

static void Ports() {
  DWORD needed = 0, count = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
  BYTE* buffer = Alloc(needed);
  if (!EnumPortsW(nullptr, 2, buffer, needed, &needed, &count)) count = 0;
  PORT_INFO_2W* info = reinterpret_cast<PORT_INFO_2W*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    fputs("port", stdout);
    Field(info[i].pPortName);
    Field(info[i].pMonitorName);
    Field(info[i].pDescription);
    putchar('\n');
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

static void Drivers() {
  DWORD needed = 0, count = 0;
  wchar_t environment[] = L"Windows x64";
  EnumPrinterDriversW(nullptr, environment, 6, nullptr, 0, &needed, &count);
  BYTE* buffer = Alloc(needed);
  if (!EnumPrinterDriversW(nullptr, environment, 6, buffer, needed, &needed, &count)) count = 0;
  DRIVER_INFO_6W* info = reinterpret_cast<DRIVER_INFO_6W*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    fputs("driver", stdout);
    Field(info[i].pName);
    Number(info[i].cVersion, false);
    Field(info[i].pEnvironment);
    Field(info[i].pDriverPath);
    Field(info[i].pDataFile);
    Field(info[i].pConfigFile);
    Field(info[i].pHelpFile);
    Field(info[i].pszMfgName);
    Field(info[i].pszProvider);
    putchar('\n');
  }
  HeapFree(GetProcessHeap(), 0, buffer);

  wchar_t directory[MAX_PATH] = {};
  if (GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<BYTE*>(directory),
                                 sizeof(directory), &needed)) {
    fputs("driverdir", stdout);
    Field(directory);
    putchar('\n');
  }
}

static void PrinterDataOfKey(wchar_t* printer, HANDLE handle, const wchar_t* key) {
  DWORD needed = 0, count = 0;
  EnumPrinterDataExW(handle, key, nullptr, 0, &needed, &count);
  if (!needed) return;
  BYTE* buffer = Alloc(needed);
  if (EnumPrinterDataExW(handle, key, buffer, needed, &needed, &count) != ERROR_SUCCESS) count = 0;
  PRINTER_ENUM_VALUESW* values = reinterpret_cast<PRINTER_ENUM_VALUESW*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    fputs("data", stdout);
    Field(printer);
    Field(key);
    Field(values[i].pValueName);
    Number(values[i].dwType, false);
    if (values[i].dwType == REG_SZ) {
      Field(reinterpret_cast<wchar_t*>(values[i].pData));
    } else {
      putchar('\t');
      for (DWORD b = 0; b < values[i].cbData; ++b) printf("%02X", values[i].pData[b]);
    }
    putchar('\n');
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

static void Printers() {
  DWORD needed = 0, count = 0;
  DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &count);
  BYTE* buffer = Alloc(needed);
  if (!EnumPrintersW(flags, nullptr, 2, buffer, needed, &needed, &count)) count = 0;
  PRINTER_INFO_2W* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    fputs("printer", stdout);
    Field(info[i].pPrinterName);
    Field(info[i].pPortName);
    Field(info[i].pDriverName);
    Field(info[i].pComment);
    Field(info[i].pLocation);
    Number(info[i].Attributes, true);
    Field(info[i].pPrintProcessor);
    Field(info[i].pDatatype);
    putchar('\n');
  }
  for (DWORD i = 0; i < count; ++i) {
    HANDLE handle = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    if (!OpenPrinterW(info[i].pPrinterName, &handle, &defaults)) continue;
    PrinterDataOfKey(info[i].pPrinterName, handle, L"PrinterDriverData");
    PrinterDataOfKey(info[i].pPrinterName, handle, L"DsUser");
    ClosePrinter(handle);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

static void DefaultPrinter() {
  wchar_t name[512];
  DWORD count = 512;
  if (GetDefaultPrinterW(name, &count)) {
    fputs("default", stdout);
    Field(name);
    putchar('\n');
  }
  count = 512;
  if (GetDefaultPrinterByOrdinal(name, &count)) {
    fputs("default203", stdout);
    Field(name);
    putchar('\n');
  }
}

static void Registry() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    KEY_READ, &key) == ERROR_SUCCESS) {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key, L"SolvendaleTray", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
      fputs("run", stdout);
      Field(value);
      putchar('\n');
    }
    RegCloseKey(key);
  }
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                    0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr,
                         &size) == ERROR_SUCCESS) {
      BYTE* data = Alloc(size + 4);
      if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, data,
                           &size) == ERROR_SUCCESS) {
        // (source, target) pairs of strings; an empty target means deletion.
        const wchar_t* p = reinterpret_cast<const wchar_t*>(data);
        const wchar_t* end = p + size / sizeof(wchar_t);
        while (p < end && *p) {
          const wchar_t* source = p;
          p += lstrlenW(p) + 1;
          if (p >= end) break;
          const wchar_t* target = p;
          p += lstrlenW(p) + 1;
          fputs("pending", stdout);
          Field(source);
          Field(target);
          putchar('\n');
        }
      }
      HeapFree(GetProcessHeap(), 0, data);
    }
    RegCloseKey(key);
  }
}

static void UninstallEntry() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Solvendale", 0,
                    KEY_READ, &key) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_length = 256, type = 0;
    BYTE data[2048] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegEnumValueW(key, i, name, &name_length, nullptr, &type, data, &size) != ERROR_SUCCESS) {
      break;
    }
    fputs("uninstall", stdout);
    Field(name);
    if (type == REG_DWORD) {
      DWORD number = 0;
      CopyMemory(&number, data, sizeof(number));
      Number(number, false);
    } else {
      Field(reinterpret_cast<wchar_t*>(data));
    }
    putchar('\n');
  }
  RegCloseKey(key);
}

static void Tray() {
  HWND window = FindWindowW(L"svd::{05759F8E-103D-41B6-8A61-EFAA89516692}", nullptr);
  if (window) {
    printf("traywindow\t%llu\n",
           static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
  }
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}");
  if (mutex) {
    puts("traymutex");
    CloseHandle(mutex);
  }
}

int wmain() {
  Monitors();
  Ports();
  Drivers();
  Printers();
  DefaultPrinter();
  Registry();
  UninstallEntry();
  Tray();
  fflush(stdout);
  return 0;
}
