// Helpers shared by the spooler's exported calls.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {
namespace spooler {

const DWORD kRpcNullRefPointer = 1780;  // RPC_X_NULL_REF_POINTER

// Only the local print server is simulated: a server name other than none
// (or empty) ends the process.
void RequireLocalServer(const char* api, LPCWSTR serverName);
// False with RPC_S_SERVER_UNAVAILABLE set while the spooler is not running.
bool SpoolerAvailable();
// "(null)" or the text, for the call log.
std::string Show(LPCWSTR text);
std::string ShowA(LPCSTR text);
// The printer behind a handle, for the call log: its quoted name or
// "(invalid handle)".
std::string ShowHandle(HANDLE printer);

}  // namespace spooler
}  // namespace winsim
