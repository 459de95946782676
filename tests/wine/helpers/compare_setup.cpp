// Puts a Wine prefix into a starting state for a run of the installer, the
// way the product and the user would have left it:
//
//   compare_setup.exe queue NAME SUBKEY COMMENT LOCATION
//       adds a queue of the "Solvendale printer" driver on the port
//       "Solvendale:" (data type "RAW"), with the comment and location, the
//       printer data "SubKey" (plain and under "DsUser", 8-bit text) and the
//       product's settings key "Solvendales\SUBKEY" under
//       HKCU\Software\Quarlen Software KFT\Solvendale, holding the DWORD
//       value "deleted" = 1
//   compare_setup.exe other NAME
//       adds a queue of another driver ("Compare Other Printer", Wine's
//       PostScript driver files) on the port "FILE:"
//   compare_setup.exe default NAME
//       makes the printer the default printer (SetDefaultPrinterW)
//   compare_setup.exe value KEY NAME
//       prints "value<TAB>KEY<TAB>NAME<TAB>1" when HKEY_CURRENT_USER\KEY has
//       the value NAME, else the same line ending in 0
//   compare_setup.exe remove NAME
//       deletes the queue when it exists
//
// Prints what it could not do; exit 0 when all went well.
#include <windows.h>
#include <winspool.h>
#include <stdio.h>
#include <string.h>

namespace {

const char kSettingsKey[] = "Software\\Quarlen Software KFT\\Solvendale\\Solvendales\\";
wchar_t kOtherDriver[] = L"Compare Other Printer";

int Fail(const char* what, DWORD error) {
  printf("failed: %s (error %lu)\n", what, static_cast<unsigned long>(error));
  fflush(stdout);
  return 1;
}

// The system code page text of a wide argument.
void Narrow(const wchar_t* text, char* out, int size) {
  WideCharToMultiByte(CP_ACP, 0, text, -1, out, size, nullptr, nullptr);
}

HANDLE AddQueue(wchar_t* name, wchar_t* port, wchar_t* driver, wchar_t* comment,
                wchar_t* location) {
  PRINTER_INFO_2W info = {};
  wchar_t processor[] = L"WinPrint";
  wchar_t datatype[] = L"RAW";
  info.pPrinterName = name;
  info.pPortName = port;
  info.pDriverName = driver;
  info.pComment = comment;
  info.pLocation = location;
  info.pPrintProcessor = processor;
  info.pDatatype = datatype;
  return AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

int AddProductQueue(wchar_t* name, const wchar_t* subkey, wchar_t* comment, wchar_t* location) {
  wchar_t port[] = L"Solvendale:";
  wchar_t driver[] = L"Solvendale printer";
  HANDLE printer = AddQueue(name, port, driver, comment, location);
  if (!printer) return Fail("AddPrinterW", GetLastError());
  char text[256];
  Narrow(subkey, text, sizeof(text));
  DWORD size = static_cast<DWORD>(strlen(text) + 1);
  char valueName[] = "SubKey";
  char dsUser[] = "DsUser";
  DWORD status = SetPrinterDataA(printer, valueName, REG_SZ, reinterpret_cast<BYTE*>(text), size);
  if (status != ERROR_SUCCESS) return Fail("SetPrinterDataA", status);
  status = SetPrinterDataExA(printer, dsUser, valueName, REG_SZ, reinterpret_cast<BYTE*>(text),
                             size);
  if (status != ERROR_SUCCESS) return Fail("SetPrinterDataExA", status);
  ClosePrinter(printer);

  char keyPath[512];
  lstrcpyA(keyPath, kSettingsKey);
  lstrcatA(keyPath, text);
  HKEY key;
  status = RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &key, nullptr);
  if (status != ERROR_SUCCESS) return Fail("RegCreateKeyExA", status);
  DWORD deleted = 1;
  status = RegSetValueExA(key, "deleted", 0, REG_DWORD, reinterpret_cast<BYTE*>(&deleted),
                          sizeof(deleted));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return Fail("RegSetValueExA", status);
  return 0;
}

bool HasDriver(const wchar_t* name) {
  DWORD needed = 0, count = 0;
  wchar_t environment[] = L"Windows x64";
  EnumPrinterDriversW(nullptr, environment, 1, nullptr, 0, &needed, &count);
  if (!needed) return false;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  bool found = false;
  if (EnumPrinterDriversW(nullptr, environment, 1, buffer, needed, &needed, &count)) {
    DRIVER_INFO_1W* info = reinterpret_cast<DRIVER_INFO_1W*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
      if (info[i].pName && lstrcmpW(info[i].pName, name) == 0) found = true;
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return found;
}

// A driver of its own for the other queue, built from Wine's PostScript
// driver (file names that no product file shares).
int AddOtherQueue(wchar_t* name) {
  if (!HasDriver(kOtherDriver)) {
    wchar_t path[MAX_PATH];
    GetSystemDirectoryW(path, MAX_PATH);
    lstrcatW(path, L"\\wineps.drv");
    wchar_t environment[] = L"Windows x64";
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = kOtherDriver;
    driver.pEnvironment = environment;
    driver.pDriverPath = path;
    driver.pDataFile = path;
    driver.pConfigFile = path;
    if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES)) {
      return Fail("AddPrinterDriverExW", GetLastError());
    }
  }
  wchar_t port[] = L"FILE:";
  wchar_t empty[] = L"";
  HANDLE printer = AddQueue(name, port, kOtherDriver, empty, empty);
  if (!printer) return Fail("AddPrinterW", GetLastError());
  ClosePrinter(printer);
  return 0;
}

int RemoveQueue(wchar_t* name) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterW(name, &printer, &defaults)) return 0;
  BOOL deleted = DeletePrinter(printer);
  DWORD error = GetLastError();
  ClosePrinter(printer);
  return deleted ? 0 : Fail("DeletePrinter", error);
}

int PrintValue(const wchar_t* keyPath, const wchar_t* name) {
  HKEY key;
  bool exists = false;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    exists = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
  }
  char keyText[512], nameText[256];
  WideCharToMultiByte(CP_UTF8, 0, keyPath, -1, keyText, sizeof(keyText), nullptr, nullptr);
  WideCharToMultiByte(CP_UTF8, 0, name, -1, nameText, sizeof(nameText), nullptr, nullptr);
  printf("value\t%s\t%s\t%d\n", keyText, nameText, exists ? 1 : 0);
  fflush(stdout);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && lstrcmpW(argv[1], L"queue") == 0) {
    return AddProductQueue(argv[2], argv[3], argv[4], argv[5]);
  }
  if (argc == 3 && lstrcmpW(argv[1], L"other") == 0) return AddOtherQueue(argv[2]);
  if (argc == 3 && lstrcmpW(argv[1], L"default") == 0) {
    return SetDefaultPrinterW(argv[2]) ? 0 : Fail("SetDefaultPrinterW", GetLastError());
  }
  if (argc == 4 && lstrcmpW(argv[1], L"value") == 0) return PrintValue(argv[2], argv[3]);
  if (argc == 3 && lstrcmpW(argv[1], L"remove") == 0) return RemoveQueue(argv[2]);
  fputs("usage: compare_setup queue NAME SUBKEY COMMENT LOCATION | other NAME |"
        " default NAME | value KEY NAME | remove NAME\n", stderr);
  return 2;
}
