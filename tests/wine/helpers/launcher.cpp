// Runs a command line and prints the program's whole exit code: Wine hands
// only the low eight bits of a Windows exit code to the Unix side, too few
// for the codes of the Windows Installer convention (1603, 3010).
//
//   launcher.exe <command line>
//     the command line is one argument, as a registry value or a
//     deployment tool holds it (program path in quotes, then its
//     arguments); prints "exit <code>" when the program has ended.
//     Exit 0, 1 when it could not be started, 2 without a command line.
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, argv[1], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    printf("not started (error %lu)\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit %lu\n", static_cast<unsigned long>(code));
  fflush(stdout);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
