// Stand-in for the SDK header <shellapi.h>: shell32's command-line splitting.
#pragma once
#include "windows.h"

extern "C" {

// Splits a command line into arguments with the rules of the C runtime's
// startup code (see CommandLineToArgvW in the Windows documentation). The
// array and its texts are one block; the caller frees it with LocalFree.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);

}  // extern "C"
