// The stand-in measured against Windows. Every row is one fact about a call
// the program makes, with the source that records it: Wine's conformance
// tests (only what they expect of Windows itself, outside todo_wine and
// broken()), and for the spooler calls those tests leave out, Microsoft's
// reference pages and the processing rules of [MS-RPRN]. A fact the stand-in
// does not model is a gap: the call must end the process loudly, never
// answer differently (the README lists the gaps).
#include <shellapi.h>
#include <winspool.h>
#include <winsvc.h>
#include <winver.h>
#include <winsim/desktop_control.h>
#include <winsim/spooler_control.h>

#include <cstring>

#include "sim_test.h"

namespace {

const DWORD kPoison = 0xDEADBEEF;

struct Fact {
  const char* source;
  const char* says;
  void (*check)();
  bool gap;
};

// Writable text for the spooler's LPWSTR parameters (it only reads them).
LPWSTR W(const char16_t* text) { return const_cast<LPWSTR>(text); }

template <class R>
void Fails(R result, DWORD error) {
  EXPECT_FALSE(result);
  EXPECT_EQ(error, GetLastError());
  SetLastError(kPoison);
}

template <class R>
void Succeeds(R result, DWORD error = kPoison) {
  EXPECT_TRUE(result) << GetLastError();
  if (error != kPoison) {
    EXPECT_EQ(error, GetLastError());
  }
  SetLastError(kPoison);
}

// ----------------------------------------------------------------- files --

const char16_t kDir[] = u"C:\\t";
const char16_t kFile[] = u"C:\\t\\a.txt";
const char kFileC[] = "dlls/kernel32/tests/file.c";

HANDLE Open(DWORD access, DWORD share, DWORD disposition, const char16_t* path = kFile) {
  return CreateFileW(path, access, share, nullptr, disposition, 0, nullptr);
}

void PutFile() { winsim::PutTextFile(kFile, "abc"); }

const Fact kFiles[] = {
    {kFileC, "DeleteFileW without a name fails with ERROR_PATH_NOT_FOUND",
     [] { Fails(DeleteFileW(nullptr), ERROR_PATH_NOT_FOUND); }, false},
    {kFileC, "DeleteFileW of an empty name fails with ERROR_PATH_NOT_FOUND",
     [] { Fails(DeleteFileW(u""), ERROR_PATH_NOT_FOUND); }, false},
    {kFileC, "DeleteFileW of a missing file fails with ERROR_FILE_NOT_FOUND",
     [] { Fails(DeleteFileW(u"C:\\nonexist.txt"), ERROR_FILE_NOT_FOUND); }, false},
    {kFileC, "DeleteFileW of a directory fails with ERROR_ACCESS_DENIED",
     [] {
       winsim::MakeDirectory(kDir);
       Fails(DeleteFileW(kDir), ERROR_ACCESS_DENIED);
     }, false},
    {kFileC, "DeleteFileW of a file open sharing delete succeeds and the name is gone once closed",
     [] {
       PutFile();
       HANDLE h = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
       Succeeds(DeleteFileW(kFile));
       CloseHandle(h);
       Fails(DeleteFileW(kFile), ERROR_FILE_NOT_FOUND);
     }, false},
    {kFileC, "DeleteFileW of a file open without FILE_SHARE_DELETE fails with ERROR_SHARING_VIOLATION",
     [] {
       PutFile();
       Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
       Fails(DeleteFileW(kFile), ERROR_SHARING_VIOLATION);
       EXPECT_TRUE(winsim::FileExists(kFile));
     }, false},
    {kFileC, "DeleteFileW of a read-only file fails with ERROR_ACCESS_DENIED; once made normal it is deleted",
     [] {
       PutFile();
       Succeeds(SetFileAttributesW(kFile, FILE_ATTRIBUTE_READONLY));
       Fails(DeleteFileW(kFile), ERROR_ACCESS_DENIED);
       EXPECT_NE(0u, GetFileAttributesW(kFile) & FILE_ATTRIBUTE_READONLY);
       Succeeds(SetFileAttributesW(kFile, FILE_ATTRIBUTE_NORMAL));
       Succeeds(DeleteFileW(kFile));
     }, false},
    {"CreateFileW (Microsoft Learn, fileapi.h)",
     "CreateFileW for writing, or with CREATE_ALWAYS, of a read-only file fails with ERROR_ACCESS_DENIED; reading works",
     [] {
       PutFile();
       SetFileAttributesW(kFile, FILE_ATTRIBUTE_READONLY);
       Fails(Open(GENERIC_WRITE, 0, OPEN_EXISTING) != INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
       Fails(Open(GENERIC_READ, 0, CREATE_ALWAYS) != INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
       Succeeds(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE);
       EXPECT_EQ(3u, winsim::FileBytes(kFile).size());
     }, false},
    {kFileC, "CreateFileW CREATE_NEW over an existing file fails with ERROR_FILE_EXISTS",
     [] {
       PutFile();
       Fails(Open(GENERIC_READ, 0, CREATE_NEW) != INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
     }, false},
    {kFileC, "CreateFileW OPEN_EXISTING of a missing file fails with ERROR_FILE_NOT_FOUND",
     [] {
       winsim::MakeDirectory(kDir);
       Fails(Open(GENERIC_READ, 0, OPEN_EXISTING) != INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
     }, false},
    {kFileC, "CreateFileW in a missing directory fails with ERROR_PATH_NOT_FOUND",
     [] { Fails(Open(GENERIC_WRITE, 0, CREATE_ALWAYS, u"C:\\no\\a.txt") != INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND); },
     false},
    {kFileC, "CreateFileW CREATE_ALWAYS over a file succeeds with ERROR_ALREADY_EXISTS and empties it",
     [] {
       PutFile();
       Succeeds(Open(GENERIC_WRITE, 0, CREATE_ALWAYS) != INVALID_HANDLE_VALUE, ERROR_ALREADY_EXISTS);
       EXPECT_TRUE(winsim::FileBytes(kFile).empty());
     }, false},
    {kFileC, "CreateFileW CREATE_ALWAYS of a new file sets the last error to 0",
     [] {
       winsim::MakeDirectory(kDir);
       Succeeds(Open(GENERIC_WRITE, 0, CREATE_ALWAYS) != INVALID_HANDLE_VALUE, ERROR_SUCCESS);
     }, false},
    {kFileC, "CreateFileW OPEN_ALWAYS of an existing file succeeds with ERROR_ALREADY_EXISTS",
     [] {
       PutFile();
       Succeeds(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS) != INVALID_HANDLE_VALUE, ERROR_ALREADY_EXISTS);
     }, false},
    {kFileC, "CreateFileW of a directory without backup semantics fails with ERROR_ACCESS_DENIED",
     [] {
       winsim::MakeDirectory(kDir);
       Fails(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, kDir) != INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
     }, false},
    {kFileC, "A writer is refused while a reader does not share writing",
     [] {
       PutFile();
       Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
       Fails(Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING) != INVALID_HANDLE_VALUE,
             ERROR_SHARING_VIOLATION);
     }, false},
    {kFileC, "A reader that does not share writing is refused while a writer has the file",
     [] {
       PutFile();
       Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
       Fails(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
     }, false},
    {kFileC, "WriteFile through a handle opened for reading fails with ERROR_ACCESS_DENIED",
     [] {
       PutFile();
       HANDLE h = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
       DWORD written = 7;
       Fails(WriteFile(h, "x", 1, &written, nullptr), ERROR_ACCESS_DENIED);
       EXPECT_EQ(0u, written);
     }, false},
    {kFileC, "ReadFile through a handle opened for writing fails with ERROR_ACCESS_DENIED",
     [] {
       PutFile();
       HANDLE h = Open(GENERIC_WRITE, 0, OPEN_EXISTING);
       char buffer[4];
       DWORD read = 7;
       Fails(ReadFile(h, buffer, 4, &read, nullptr), ERROR_ACCESS_DENIED);
     }, false},
    {kFileC, "ReadFile at the end of a file succeeds with 0 bytes",
     [] {
       PutFile();
       HANDLE h = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
       char buffer[8];
       DWORD read = 0;
       ASSERT_TRUE(ReadFile(h, buffer, 8, &read, nullptr));
       EXPECT_EQ(3u, read);
       Succeeds(ReadFile(h, buffer, 8, &read, nullptr));
       EXPECT_EQ(0u, read);
     }, false},
    {"CloseHandle (Microsoft Learn, handleapi.h)", "CloseHandle of a handle already closed fails with ERROR_INVALID_HANDLE",
     [] {
       PutFile();
       HANDLE h = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
       Succeeds(CloseHandle(h));
       Fails(CloseHandle(h), ERROR_INVALID_HANDLE);
     }, false},
    {kFileC, "GetFileAttributesW of a missing file gives ERROR_FILE_NOT_FOUND, of a missing directory ERROR_PATH_NOT_FOUND",
     [] {
       winsim::MakeDirectory(kDir);
       Fails(GetFileAttributesW(u"C:\\t\\none") != INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND);
       Fails(GetFileAttributesW(u"C:\\none\\none") != INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
     }, false},
    {kFileC, "GetFileAttributesW of a directory has FILE_ATTRIBUTE_DIRECTORY",
     [] {
       winsim::MakeDirectory(kDir);
       EXPECT_NE(0u, GetFileAttributesW(kDir) & FILE_ATTRIBUTE_DIRECTORY);
     }, false},
    {"dlls/kernel32/tests/directory.c", "CreateDirectoryW of an existing directory fails with ERROR_ALREADY_EXISTS",
     [] {
       winsim::MakeDirectory(kDir);
       Fails(CreateDirectoryW(kDir, nullptr), ERROR_ALREADY_EXISTS);
     }, false},
    {"dlls/kernel32/tests/directory.c", "CreateDirectoryW below a missing directory fails with ERROR_PATH_NOT_FOUND",
     [] { Fails(CreateDirectoryW(u"C:\\none\\sub", nullptr), ERROR_PATH_NOT_FOUND); }, false},
    {"MoveFileExW (Microsoft Learn, winbase.h)",
     "MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT and no new name queues a deletion in PendingFileRenameOperations",
     [] {
       PutFile();
       Succeeds(MoveFileExW(kFile, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
       EXPECT_EQ((std::vector<std::u16string>{u"\\??\\C:\\t\\a.txt", u""}), winsim::PendingFileRenameOperations());
       EXPECT_TRUE(winsim::FileExists(kFile));
     }, false},
    {kFileC, "MoveFileExW with MOVEFILE_REPLACE_EXISTING renames over an existing file",
     [] { MoveFileExW(u"C:\\a", u"C:\\b", MOVEFILE_REPLACE_EXISTING); }, true},
    {kFileC, "SetFileAttributesW with FILE_ATTRIBUTE_HIDDEN hides the file from directory listings",
     [] {
       PutFile();
       SetFileAttributesW(kFile, FILE_ATTRIBUTE_HIDDEN);
     }, true},
    {kFileC, "CreateFileW with FILE_FLAG_DELETE_ON_CLOSE deletes the file with its last handle",
     [] {
       PutFile();
       CreateFileW(kFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0x04000000 /* FILE_FLAG_DELETE_ON_CLOSE */, nullptr);
     }, true},
};

// -------------------------------------------------------------- registry --

const char kRegistryC[] = "dlls/advapi32/tests/registry.c";
const char16_t kTestKey[] = u"HKCU\\Software\\Wine\\Test";

HKEY TestKey(REGSAM access = KEY_ALL_ACCESS) {
  winsim::CreateRegKey(kTestKey);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Wine\\Test", 0, access, &key));
  return key;
}

// "FullString" stored with the given count of bytes.
void PutAnsiString(HKEY key, DWORD count) {
  static const char text[] = "FullString";
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), count));
}

const Fact kRegistry[] = {
    {kRegistryC, "RegOpenKeyExW of a missing key fails with ERROR_FILE_NOT_FOUND and sets the result to NULL",
     [] {
       HKEY key = reinterpret_cast<HKEY>(1);
       EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Wine\\None", 0, KEY_READ, &key));
       EXPECT_EQ(nullptr, key);
     }, false},
    {kRegistryC, "RegOpenKeyExW of one key twice gives two handles",
     [] {
       TestKey();
       HKEY a = nullptr, b = nullptr;
       RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Wine\\Test", 0, KEY_READ, &a);
       RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Wine\\Test", 0, KEY_READ, &b);
       EXPECT_NE(a, b);
     }, false},
    {kRegistryC, "RegOpenKeyExW of an empty subkey of a predefined key gives that key itself",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &key));
       EXPECT_EQ(HKEY_LOCAL_MACHINE, key);
     }, false},
    {kRegistryC, "RegOpenKeyExW of an empty subkey of an open key gives a new handle",
     [] {
       HKEY parent = TestKey(), key = nullptr;
       EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(parent, u"", 0, KEY_READ, &key));
       EXPECT_NE(parent, key);
       EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
     }, false},
    {kRegistryC, "RegOpenKeyExW without a parent key fails with ERROR_INVALID_HANDLE",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(nullptr, u"", 0, KEY_READ, &key));
     }, false},
    {kRegistryC, "RegOpenKeyExW of a subkey with a leading backslash fails with ERROR_BAD_PATHNAME",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExW(HKEY_CURRENT_USER, u"\\Software", 0, KEY_READ, &key));
     }, false},
    {kRegistryC, "RegCreateKeyExW of a subkey with trailing backslashes succeeds",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(TestKey(), u"Subkey4\\\\", 0, nullptr, 0, KEY_NOTIFY, nullptr, &key,
                                                nullptr));
       EXPECT_TRUE(winsim::RegKeyExists(u"HKCU\\Software\\Wine\\Test\\Subkey4"));
     }, false},
    {kRegistryC, "RegCreateKeyExW without a result pointer fails with ERROR_BADKEY",
     [] {
       EXPECT_EQ(ERROR_BADKEY,
                 RegCreateKeyExW(TestKey(), u"Subkey1", 0, nullptr, 0, KEY_NOTIFY, nullptr, nullptr, nullptr));
     }, false},
    {kRegistryC, "RegCreateKeyExW of a subkey with a leading backslash fails with ERROR_BAD_PATHNAME",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_BAD_PATHNAME,
                 RegCreateKeyExW(TestKey(), u"\\Subkey3", 0, nullptr, 0, KEY_NOTIFY, nullptr, &key, nullptr));
     }, false},
    {kRegistryC, "RegCreateKeyExW ignores the access rights of the parent's handle",
     [] {
       HKEY key = nullptr;
       EXPECT_EQ(ERROR_SUCCESS,
                 RegCreateKeyExW(TestKey(KEY_NOTIFY), u"Sub", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
     }, false},
    {kRegistryC, "RegQueryValueExA without a buffer gives the size with the terminator and the type",
     [] {
       HKEY key = TestKey();
       PutAnsiString(key, 11);
       DWORD type = 0, size = 0;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "s", nullptr, &type, nullptr, &size));
       EXPECT_EQ(11u, size);
       EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
     }, false},
    {kRegistryC, "RegQueryValueExA of a missing value without a buffer sets the size to 0",
     [] {
       DWORD size = kPoison;
       EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(TestKey(), "none", nullptr, nullptr, nullptr, &size));
       EXPECT_EQ(0u, size);
     }, false},
    {kRegistryC, "RegQueryValueExA of a missing value with a buffer leaves the size alone",
     [] {
       BYTE buffer[10];
       DWORD size = sizeof buffer;
       EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(TestKey(), "none", nullptr, nullptr, buffer, &size));
       EXPECT_EQ(10u, size);
     }, false},
    {kRegistryC, "RegSetValueExA of a REG_SZ whose size leaves out the terminator stores the terminator",
     [] {
       HKEY key = TestKey();
       PutAnsiString(key, 10);
       BYTE buffer[11];
       DWORD size = 10;
       EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "s", nullptr, nullptr, buffer, &size));
     }, false},
    {kRegistryC, "RegSetValueExW of a REG_SZ whose size leaves out the terminator stores the terminator",
     [] {
       static const char16_t text[] = u"ThisNeverBreaks";
       HKEY key = TestKey();
       EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"w", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                               sizeof text - sizeof(char16_t)));
       DWORD size = 0;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"w", nullptr, nullptr, nullptr, &size));
       EXPECT_EQ(sizeof text, size);
     }, false},
    {kRegistryC, "RegQueryValueExA returns a string stored without terminator as stored into an exact buffer",
     [] {
       HKEY key = TestKey();
       PutAnsiString(key, 9);
       BYTE buffer[11];
       std::memset(buffer, 0xBD, sizeof buffer);
       DWORD size = 9;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "s", nullptr, nullptr, buffer, &size));
       EXPECT_EQ(9u, size);
       EXPECT_EQ(0xBD, buffer[9]);
     }, false},
    {kRegistryC, "RegQueryValueExA adds the missing terminator when the buffer has room and keeps the size",
     [] {
       HKEY key = TestKey();
       PutAnsiString(key, 9);
       BYTE buffer[11];
       std::memset(buffer, 0xBD, sizeof buffer);
       DWORD size = 10;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "s", nullptr, nullptr, buffer, &size));
       EXPECT_EQ(9u, size);
       EXPECT_EQ(0, buffer[9]);
     }, false},
    {kRegistryC, "RegQueryValueExW writes nothing past the data",
     [] {
       static const char16_t text[] = u"ab";
       HKEY key = TestKey();
       RegSetValueExW(key, u"w", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 4);
       BYTE buffer[12];
       std::memset(buffer, 0xBD, sizeof buffer);
       DWORD size = sizeof buffer;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"w", nullptr, nullptr, buffer, &size));
       EXPECT_EQ(6u, size);  // the terminator that followed the data was stored with it
       EXPECT_EQ(0xBD, buffer[6]);
     }, false},
    {kRegistryC, "RegQueryValueExA leaves the last error as it was on success",
     [] {
       HKEY key = TestKey();
       PutAnsiString(key, 11);
       SetLastError(kPoison);
       DWORD size = 0;
       RegQueryValueExA(key, "s", nullptr, nullptr, nullptr, &size);
       EXPECT_EQ(kPoison, GetLastError());
     }, false},
    {kRegistryC, "RegSetValueExW without data fails with ERROR_NOACCESS for a size, succeeds for none",
     [] {
       HKEY key = TestKey();
       EXPECT_EQ(ERROR_NOACCESS, RegSetValueExW(key, nullptr, 0, REG_SZ, nullptr, 4));
       EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, nullptr, 0, REG_SZ, nullptr, 0));
     }, false},
    {kRegistryC, "RegSetValueExA of a zero-byte string stores nothing, and a query leaves the buffer alone",
     [] {
       HKEY key = TestKey();
       EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "z", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0));
       BYTE buffer[4] = {0xBD, 0xBD, 0xBD, 0xBD};
       DWORD size = 0;
       EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "z", nullptr, nullptr, buffer, &size));
       EXPECT_EQ(0u, size);
       EXPECT_EQ(0xBD, buffer[0]);
     }, false},
    {kRegistryC, "RegDeleteValueW of a missing value fails with ERROR_FILE_NOT_FOUND",
     [] { EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(TestKey(), u"none")); }, false},
    {kRegistryC, "RegCloseKey of a handle that is not open fails with ERROR_INVALID_HANDLE",
     [] {
       HKEY key = TestKey();
       EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
       EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
     }, false},
    {kRegistryC, "RegOpenKeyExW with REG_OPTION_OPEN_LINK opens a symbolic link itself",
     [] {
       HKEY key = nullptr;
       RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 8 /* REG_OPTION_OPEN_LINK */, KEY_READ, &key);
     }, true},
};

// -------------------------------------------------------------- services --

const char kServiceC[] = "dlls/advapi32/tests/service.c";

SC_HANDLE Manager(DWORD access = SC_MANAGER_CONNECT) { return OpenSCManagerW(nullptr, nullptr, access); }
SC_HANDLE Spooler(DWORD access) { return OpenServiceW(Manager(), u"Spooler", access); }

DWORD StateOf(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  return status.dwCurrentState;
}

void SetSpooler(bool disabled, bool hangs) {
  winsim::ServiceBehaviour behaviour;
  behaviour.disabled = disabled;
  behaviour.startHangs = hangs;
  winsim::SetServiceBehaviour(behaviour);
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
}

const Fact kServices[] = {
    {kServiceC, "OpenSCManagerW without access rights succeeds",
     [] { Succeeds(OpenSCManagerW(nullptr, nullptr, 0) != nullptr); }, false},
    {kServiceC, "OpenSCManagerW of an unknown database fails with ERROR_INVALID_NAME",
     [] { Fails(OpenSCManagerW(nullptr, u"DoesNotExist", SC_MANAGER_CONNECT), ERROR_INVALID_NAME); }, false},
    {kServiceC, "OpenSCManagerW of the failed-services database fails with ERROR_DATABASE_DOES_NOT_EXIST",
     [] { Fails(OpenSCManagerW(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT), ERROR_DATABASE_DOES_NOT_EXIST); },
     false},
    {kServiceC, "OpenSCManagerW with an empty machine name opens the local manager",
     [] { Succeeds(OpenSCManagerW(u"", SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT) != nullptr); }, false},
    {kServiceC, "OpenSCManagerW sets the last error to 0 on success",
     [] { Succeeds(Manager() != nullptr, ERROR_SUCCESS); }, false},
    {kServiceC, "OpenSCManagerW of another machine reaches that machine",
     [] { OpenSCManagerW(u"DOESNOTEXIST", nullptr, SC_MANAGER_CONNECT); }, true},
    {kServiceC, "OpenServiceW without a manager fails with ERROR_INVALID_HANDLE",
     [] { Fails(OpenServiceW(nullptr, nullptr, 0), ERROR_INVALID_HANDLE); }, false},
    {kServiceC, "OpenServiceW without a service name fails with ERROR_INVALID_ADDRESS",
     [] { Fails(OpenServiceW(Manager(), nullptr, GENERIC_READ), ERROR_INVALID_ADDRESS); }, false},
    {kServiceC, "OpenServiceW of an unknown service fails with ERROR_SERVICE_DOES_NOT_EXIST",
     [] { Fails(OpenServiceW(Manager(), u"deadbeef", GENERIC_READ), ERROR_SERVICE_DOES_NOT_EXIST); }, false},
    {kServiceC, "OpenServiceW by the display name fails with ERROR_SERVICE_DOES_NOT_EXIST",
     [] { Fails(OpenServiceW(Manager(), u"Print Spooler", GENERIC_READ), ERROR_SERVICE_DOES_NOT_EXIST); }, false},
    {kServiceC, "OpenServiceW for writing succeeds on a manager opened only to connect",
     [] { Succeeds(Spooler(GENERIC_WRITE) != nullptr); }, false},
    {kServiceC, "QueryServiceStatus without a handle fails with ERROR_INVALID_HANDLE",
     [] { Fails(QueryServiceStatus(nullptr, nullptr), ERROR_INVALID_HANDLE); }, false},
    {kServiceC, "QueryServiceStatus without a record fails with ERROR_INVALID_ADDRESS before the rights are checked",
     [] { Fails(QueryServiceStatus(Spooler(STANDARD_RIGHTS_READ), nullptr), ERROR_INVALID_ADDRESS); }, false},
    {kServiceC, "QueryServiceStatus without SERVICE_QUERY_STATUS fails with ERROR_ACCESS_DENIED",
     [] {
       SERVICE_STATUS status;
       Fails(QueryServiceStatus(Spooler(STANDARD_RIGHTS_READ), &status), ERROR_ACCESS_DENIED);
     }, false},
    {kServiceC, "QueryServiceStatus with SERVICE_QUERY_STATUS succeeds",
     [] { EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StateOf(Spooler(SERVICE_QUERY_STATUS))); }, false},
    {kServiceC, "StartServiceW of a disabled service fails with ERROR_SERVICE_DISABLED, again and again, and it stays stopped",
     [] {
       SetSpooler(true, false);
       SC_HANDLE s = Spooler(SERVICE_START | SERVICE_QUERY_STATUS);
       Fails(StartServiceW(s, 0, nullptr), ERROR_SERVICE_DISABLED);
       Fails(StartServiceW(s, 0, nullptr), ERROR_SERVICE_DISABLED);
       EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StateOf(s));
     }, false},
    {kServiceC, "StartServiceW of a service whose process never reports fails with ERROR_SERVICE_REQUEST_TIMEOUT after the wait",
     [] {
       SetSpooler(false, true);
       SC_HANDLE s = Spooler(SERVICE_START | SERVICE_QUERY_STATUS);
       uint64_t start = winsim::NowMs();
       Fails(StartServiceW(s, 0, nullptr), ERROR_SERVICE_REQUEST_TIMEOUT);
       EXPECT_EQ(winsim::kServiceStartTimeoutMs, winsim::NowMs() - start);
       EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StateOf(s));
     }, false},
    {kServiceC, "ControlService STOP of a stopped service fails with ERROR_SERVICE_NOT_ACTIVE and reports it stopped",
     [] {
       winsim::SetSpoolerServiceState(SERVICE_STOPPED);
       SERVICE_STATUS status = {};
       status.dwCurrentState = kPoison;
       Fails(ControlService(Spooler(SERVICE_STOP), SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);
       EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
     }, false},
    {"StartServiceW (Microsoft Learn, winsvc.h)", "StartServiceW of a running service fails with ERROR_SERVICE_ALREADY_RUNNING",
     [] { Fails(StartServiceW(Spooler(SERVICE_START), 0, nullptr), ERROR_SERVICE_ALREADY_RUNNING); }, false},
    {"ControlService (Microsoft Learn, winsvc.h)",
     "ControlService of a control the service does not accept fails with ERROR_INVALID_SERVICE_CONTROL",
     [] {
       SERVICE_STATUS status;
       Fails(ControlService(Spooler(SERVICE_PAUSE_CONTINUE), SERVICE_CONTROL_PAUSE, &status),
             ERROR_INVALID_SERVICE_CONTROL);
     }, false},
    {kServiceC, "A service handle stays valid after its manager handle is closed",
     [] {
       SC_HANDLE manager = Manager();
       SC_HANDLE service = OpenServiceW(manager, u"Spooler", SERVICE_QUERY_STATUS);
       Succeeds(CloseServiceHandle(manager));
       EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StateOf(service));
     }, false},
    {"CloseServiceHandle (Microsoft Learn, winsvc.h)", "CloseServiceHandle of a closed handle fails with ERROR_INVALID_HANDLE",
     [] {
       SC_HANDLE manager = Manager();
       Succeeds(CloseServiceHandle(manager));
       Fails(CloseServiceHandle(manager), ERROR_INVALID_HANDLE);
     }, false},
};

// ----------------------------------------------------------------- mutex --

const char kSyncC[] = "dlls/kernel32/tests/sync.c";

const Fact kMutexes[] = {
    {kSyncC, "CreateMutexA of a new named mutex sets the last error to 0",
     [] { Succeeds(CreateMutexA(nullptr, FALSE, "WineTestMutex") != nullptr, ERROR_SUCCESS); }, false},
    {kSyncC, "CreateMutexA of an existing name opens it with ERROR_ALREADY_EXISTS",
     [] {
       CreateMutexA(nullptr, FALSE, "WineTestMutex");
       Succeeds(CreateMutexA(nullptr, FALSE, "WineTestMutex") != nullptr, ERROR_ALREADY_EXISTS);
     }, false},
    {kSyncC, "Mutex names are case sensitive",
     [] {
       CreateMutexA(nullptr, FALSE, "WineTestMutex");
       Succeeds(CreateMutexA(nullptr, FALSE, "WINETESTMUTEX") != nullptr, ERROR_SUCCESS);
     }, false},
    {kSyncC, "A named mutex goes with its last handle",
     [] {
       CloseHandle(CreateMutexA(nullptr, FALSE, "WineTestMutex2"));
       Succeeds(CreateMutexA(nullptr, FALSE, "WineTestMutex2") != nullptr, ERROR_SUCCESS);
     }, false},
    {kSyncC, "The owner acquires its mutex again and must release it as often; once more fails with ERROR_NOT_OWNER",
     [] {
       HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
       for (int i = 0; i < 31; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, INFINITE));
       for (int i = 0; i < 31; ++i) EXPECT_TRUE(ReleaseMutex(m));
       Fails(ReleaseMutex(m), ERROR_NOT_OWNER);
     }, false},
    {kSyncC, "ReleaseMutex of a mutex another process owns fails with ERROR_NOT_OWNER",
     [] {
       winsim::CreateForeignMutex("Held", true);
       Fails(ReleaseMutex(CreateMutexA(nullptr, FALSE, "Held")), ERROR_NOT_OWNER);
     }, false},
    {kSyncC, "A wait for a mutex whose owner ended gives WAIT_ABANDONED and the ownership",
     [] {
       winsim::CreateForeignMutex("Held", true);
       HANDLE m = CreateMutexA(nullptr, FALSE, "Held");
       winsim::EndProcess(winsim::Mutex("Held").ownerProcessId, 0);
       EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));
       Succeeds(ReleaseMutex(m));
     }, false},
    {kSyncC, "A wait for a mutex another process owns times out",
     [] {
       winsim::CreateForeignMutex("Held", true);
       EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(CreateMutexA(nullptr, FALSE, "Held"), 100));
     }, false},
    {kSyncC, "WaitForSingleObject of a handle that is not open gives WAIT_FAILED with ERROR_INVALID_HANDLE",
     [] {
       EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(reinterpret_cast<HANDLE>(0x1234), 0));
       EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
     }, false},
    {kSyncC, "WaitForSingleObject waits on a file handle",
     [] {
       PutFile();
       WaitForSingleObject(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0);
     }, true},
};

// --------------------------------------------------------------- version --

const char kVersionC[] = "dlls/version/tests/info.c";
const char16_t kImage[] = u"C:\\t\\image.dll";

// The version block of a versioned image, as GetFileVersionInfoW copies it.
std::vector<uint8_t> VersionBlock() {
  winsim::PutFile(kImage, winsim::MakeVersionedImage(1, 2, 3, 2093));
  std::vector<uint8_t> block(GetFileVersionInfoSizeW(kImage, nullptr));
  EXPECT_TRUE(GetFileVersionInfoW(kImage, 0, static_cast<DWORD>(block.size()), block.data()));
  return block;
}

// Queries the block; *length gets the value's length, the pointer stays
// 0xDEADBEEF when the query fails.
BOOL Query(const std::vector<uint8_t>& block, const char16_t* path, UINT* length, void** value) {
  *value = reinterpret_cast<void*>(static_cast<uintptr_t>(kPoison));
  *length = kPoison;
  return VerQueryValueW(block.data(), path, value, length);
}

const Fact kVersions[] = {
    {kVersionC, "GetFileVersionInfoSizeW of a missing file fails with ERROR_FILE_NOT_FOUND and sets the handle to 0",
     [] {
       DWORD handle = 0x55555555;
       Fails(GetFileVersionInfoSizeW(u"C:\\notexist.dll", &handle), ERROR_FILE_NOT_FOUND);
       EXPECT_EQ(0u, handle);
     }, false},
    {kVersionC, "GetFileVersionInfoSizeW of a file without version information fails with ERROR_RESOURCE_DATA_NOT_FOUND",
     [] {
       winsim::PutTextFile(u"C:\\t\\test.txt", "C:\\t\\test.txt\n");
       DWORD handle = 0xCAFE;
       Fails(GetFileVersionInfoSizeW(u"C:\\t\\test.txt", &handle), ERROR_RESOURCE_DATA_NOT_FOUND);
       EXPECT_EQ(0u, handle);
     }, false},
    {kVersionC, "GetFileVersionInfoSizeW asks for twice the version block and four bytes more",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       WORD length = static_cast<WORD>(block[0] | (block[1] << 8));
       EXPECT_EQ(2u * length + 4, block.size());
     }, false},
    {kVersionC, "VerQueryValueW of \\ gives the VS_FIXEDFILEINFO",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       ASSERT_TRUE(Query(block, u"\\", &length, &value));
       EXPECT_EQ(sizeof(VS_FIXEDFILEINFO), length);
       EXPECT_EQ(0xFEEF04BDu, static_cast<VS_FIXEDFILEINFO*>(value)->dwSignature);
     }, false},
    {kVersionC, "VerQueryValueW of an empty path gives the root value as \\ does",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       EXPECT_TRUE(Query(block, u"", &length, &value));
       EXPECT_EQ(sizeof(VS_FIXEDFILEINFO), length);
     }, false},
    {kVersionC, "VerQueryValueW of \\VarFileInfo\\Translation gives 4 bytes",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       EXPECT_TRUE(Query(block, u"\\VarFileInfo\\Translation", &length, &value));
       EXPECT_EQ(4u, length);
     }, false},
    {kVersionC, "VerQueryValueW of a missing block fails with ERROR_RESOURCE_TYPE_NOT_FOUND, a length of 0 and the pointer unchanged",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       Fails(Query(block, u"String", &length, &value), ERROR_RESOURCE_TYPE_NOT_FOUND);
       EXPECT_EQ(0u, length);
       EXPECT_EQ(reinterpret_cast<void*>(static_cast<uintptr_t>(kPoison)), value);
     }, false},
    {kVersionC, "VerQueryValueW of a block without a value of its own succeeds with a length of 0",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       for (const char16_t* path : {u"StringFileInfo", u"\\StringFileInfo", u"\\\\StringFileInfo",
                                    u"\\StringFileInfo\\\\", u"\\StringFileInfo\\040904b0"}) {
         UINT length;
         void* value;
         EXPECT_TRUE(Query(block, path, &length, &value)) << winsim::Narrow(path);
         EXPECT_EQ(0u, length);
         EXPECT_NE(reinterpret_cast<void*>(static_cast<uintptr_t>(kPoison)), value);
       }
     }, false},
    {kVersionC, "VerQueryValueW of a string gives its length in characters with the terminator",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       ASSERT_TRUE(Query(block, u"\\StringFileInfo\\040904b0\\ProductVersion", &length, &value));
       EXPECT_EQ(std::u16string(u"1.2.3.2093"), static_cast<const char16_t*>(value));
       EXPECT_EQ(11u, length);
     }, false},
    {kVersionC, "VerQueryValueW of a partial value name fails with ERROR_RESOURCE_TYPE_NOT_FOUND",
     [] {
       std::vector<uint8_t> block = VersionBlock();
       UINT length;
       void* value;
       Fails(Query(block, u"\\StringFileInfo\\040904b0\\ProductVersi", &length, &value), ERROR_RESOURCE_TYPE_NOT_FOUND);
       EXPECT_EQ(0u, length);
     }, false},
};

// ---------------------------------------------------------------- module --

const char kModuleC[] = "dlls/kernel32/tests/module.c";

const Fact kModules[] = {
    {kModuleC, "GetModuleFileNameW sets the last error to 0 on success",
     [] {
       WCHAR path[MAX_PATH];
       Succeeds(GetModuleFileNameW(nullptr, path, MAX_PATH) == winsim::InstallerPath().size(), ERROR_SUCCESS);
     }, false},
    {kModuleC, "GetModuleFileNameW into a buffer too small returns its size, cut and terminated",
     [] {
       WCHAR path[10];
       EXPECT_EQ(10u, GetModuleFileNameW(nullptr, path, 10));
       EXPECT_EQ(0, path[9]);
       EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
     }, false},
    {kModuleC, "GetModuleFileNameW of a wrong module handle fails and writes nothing",
     [] {
       WCHAR path[MAX_PATH] = {u'*'};
       EXPECT_EQ(0u, GetModuleFileNameW(reinterpret_cast<HMODULE>(0xffffffff), path, MAX_PATH));
       EXPECT_EQ(u'*', path[0]);
     }, false},
    {kModuleC, "GetModuleHandleW of a module by name finds a loaded DLL",
     [] { GetModuleHandleW(u"kernel32.dll"); }, true},
    {"GetSystemDirectoryW (Microsoft Learn, sysinfoapi.h)",
     "GetSystemDirectoryW into a buffer too small returns the size needed with the terminator",
     [] {
       WCHAR path[4];
       EXPECT_EQ(winsim::SystemDirectory().size() + 1, GetSystemDirectoryW(path, 4));
     }, false},
};

// --------------------------------------------------------------- monitors --

const char kInfoC[] = "dlls/winspool.drv/tests/info.c";
const char16_t kSystem[] = u"C:\\Windows\\System32\\";

void PutDll(const char16_t* name, const std::vector<uint8_t>& bytes) {
  winsim::PutFile(std::u16string(kSystem) + name, bytes);
}

// A monitor of its own DLL, whose one port no printer uses.
BOOL AddTestMonitor(const char16_t* dll = u"winetestmon.dll", const char16_t* name = u"winetest",
                    const char16_t* environment = u"Windows x64", LPWSTR server = nullptr) {
  if (std::u16string(dll) == u"winetestmon.dll") PutDll(dll, winsim::MakeMonitorImage(1, 0, 0, 1));
  MONITOR_INFO_2W info = {W(name), W(environment), W(dll)};
  return AddMonitorW(server, 2, reinterpret_cast<LPBYTE>(&info));
}

std::vector<uint8_t> EnumerateMonitors(DWORD level, DWORD* needed) {
  DWORD returned = 0;
  EnumMonitorsW(nullptr, level, nullptr, 0, needed, &returned);
  return std::vector<uint8_t>(*needed);
}

const Fact kMonitors[] = {
    {kInfoC, "AddMonitorW of level 1 or 3 fails with ERROR_INVALID_LEVEL",
     [] {
       Fails(AddMonitorW(nullptr, 1, nullptr), ERROR_INVALID_LEVEL);
       Fails(AddMonitorW(nullptr, 3, nullptr), ERROR_INVALID_LEVEL);
     }, false},
    {kInfoC, "AddMonitorW of level 2 without a record fails and leaves the last error",
     [] {
       EXPECT_FALSE(AddMonitorW(nullptr, 2, nullptr));
       EXPECT_EQ(kPoison, GetLastError());
     }, false},
    {kInfoC, "AddMonitorW of a zero-filled record fails with ERROR_INVALID_PARAMETER",
     [] {
       MONITOR_INFO_2W info = {};
       Fails(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), ERROR_INVALID_PARAMETER);
     }, false},
    {kInfoC, "AddMonitorW with an empty monitor name fails with ERROR_INVALID_PARAMETER",
     [] { Fails(AddTestMonitor(u"winetestmon.dll", u""), ERROR_INVALID_PARAMETER); }, false},
    {kInfoC, "AddMonitorW without a DLL name, or with an empty one, fails with ERROR_INVALID_PARAMETER",
     [] {
       MONITOR_INFO_2W info = {W(u"winetest"), W(u"Windows x64"), nullptr};
       Fails(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)), ERROR_INVALID_PARAMETER);
       Fails(AddTestMonitor(u""), ERROR_INVALID_PARAMETER);
     }, false},
    {kInfoC, "AddMonitorW of a missing DLL fails with ERROR_MOD_NOT_FOUND",
     [] { Fails(AddTestMonitor(u"does_not_exist.dll"), ERROR_MOD_NOT_FOUND); }, false},
    {kInfoC, "AddMonitorW of a DLL without the monitor entry point fails with ERROR_PROC_NOT_FOUND",
     [] {
       PutDll(u"version.dll", winsim::MakeVersionedImage(10, 0, 0, 1));
       Fails(AddTestMonitor(u"version.dll"), ERROR_PROC_NOT_FOUND);
       EXPECT_FALSE(winsim::HasMonitor(u"winetest"));
     }, false},
    {"dlls/kernel32/tests/loader.c",
     "AddMonitorW of a file that is no x64 image (plain, truncated, 32-bit) fails with ERROR_BAD_EXE_FORMAT",
     [] {
       std::vector<uint8_t> cut = winsim::MakeMonitorImage(1, 0, 0, 1);
       cut.resize(cut.size() / 2);
       winsim::ImageSetup x86;
       x86.machine = 0x14C;
       x86.exports = {winsim::kMonitorEntryPoint};
       PutDll(u"plain.dll", {'M', 'Z', 't', 'e', 'x', 't'});
       PutDll(u"cut.dll", cut);
       PutDll(u"x86.dll", winsim::MakeImage(x86));
       for (const char16_t* dll : {u"plain.dll", u"cut.dll", u"x86.dll"}) Fails(AddTestMonitor(dll), ERROR_BAD_EXE_FORMAT);
     }, false},
    {kInfoC, "AddMonitorW sets the last error to 0 on success",
     [] { Succeeds(AddTestMonitor(), ERROR_SUCCESS); }, false},
    {kInfoC, "AddMonitorW of a monitor already there fails with ERROR_PRINT_MONITOR_ALREADY_INSTALLED",
     [] {
       AddTestMonitor();
       Fails(AddTestMonitor(), ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
     }, false},
    {kInfoC, "AddMonitorW with an empty server name adds to the local spooler",
     [] { Succeeds(AddTestMonitor(u"winetestmon.dll", u"winetest", u"Windows x64", W(u""))); }, false},
    {kInfoC, "DeleteMonitorW succeeds once; again it fails with ERROR_UNKNOWN_PRINT_MONITOR",
     [] {
       AddTestMonitor();
       Succeeds(DeleteMonitorW(nullptr, W(u"Windows x64"), W(u"winetest")));
       Fails(DeleteMonitorW(nullptr, W(u"Windows x64"), W(u"winetest")), ERROR_UNKNOWN_PRINT_MONITOR);
     }, false},
    {kInfoC, "DeleteMonitorW without an environment, or with an empty one, deletes from this machine's",
     [] {
       AddTestMonitor();
       Succeeds(DeleteMonitorW(nullptr, nullptr, W(u"winetest")));
       AddTestMonitor();
       Succeeds(DeleteMonitorW(W(u""), W(u""), W(u"winetest")));
     }, false},
    {kInfoC, "DeleteMonitorW without a monitor name, or with an empty one, fails with ERROR_INVALID_PARAMETER",
     [] {
       Fails(DeleteMonitorW(nullptr, W(u"Windows x64"), nullptr), ERROR_INVALID_PARAMETER);
       Fails(DeleteMonitorW(nullptr, W(u"Windows x64"), W(u"")), ERROR_INVALID_PARAMETER);
     }, false},
    {kInfoC, "EnumMonitorsW of level 0 or 3 fails with ERROR_INVALID_LEVEL",
     [] {
       DWORD needed = 0, returned = 0;
       Fails(EnumMonitorsW(nullptr, 0, nullptr, 0, &needed, &returned), ERROR_INVALID_LEVEL);
       Fails(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &returned), ERROR_INVALID_LEVEL);
     }, false},
    {kInfoC, "EnumMonitorsW without a buffer fails with ERROR_INSUFFICIENT_BUFFER and the size; the size succeeds, one byte less does not",
     [] {
       for (DWORD level : {1u, 2u}) {
         DWORD needed = 0, returned = 0;
         Fails(EnumMonitorsW(nullptr, level, nullptr, 0, &needed, &returned), ERROR_INSUFFICIENT_BUFFER);
         std::vector<uint8_t> buffer(needed + 1);
         DWORD again = 0;
         Succeeds(EnumMonitorsW(nullptr, level, buffer.data(), needed + 1, &again, &returned));
         EXPECT_EQ(needed, again);
         Fails(EnumMonitorsW(nullptr, level, buffer.data(), needed - 1, &again, &returned), ERROR_INSUFFICIENT_BUFFER);
         EXPECT_EQ(needed, again);
       }
     }, false},
    {kInfoC, "EnumMonitorsW without a count pointer fails with RPC_X_NULL_REF_POINTER",
     [] {
       DWORD needed = 0;
       std::vector<uint8_t> buffer = EnumerateMonitors(2, &needed);
       Fails(EnumMonitorsW(nullptr, 2, buffer.data(), needed, nullptr, &needed), 1780u);
     }, false},
    {kInfoC, "Spooler calls fail with RPC_S_SERVER_UNAVAILABLE while the spooler is stopped",
     [] {
       winsim::SetSpoolerServiceState(SERVICE_STOPPED);
       DWORD needed = 0, returned = 0;
       Fails(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned), RPC_S_SERVER_UNAVAILABLE);
       Fails(AddTestMonitor(), RPC_S_SERVER_UNAVAILABLE);
     }, false},
    {"InitializePrintMonitor2 (Microsoft Learn, winsplp.h)",
     "A registered monitor whose DLL lacks InitializePrintMonitor2 is not loaded when the spooler starts",
     [] {
       PutDll(u"old.dll", winsim::MakeVersionedImage(1, 0, 0, 1));
       winsim::PutMonitor({u"Old", u"Windows x64", u"old.dll", {u"OLD:"}});
       winsim::SetSpoolerServiceState(SERVICE_STOPPED);
       winsim::SetSpoolerServiceState(SERVICE_RUNNING);
       winsim::MonitorState old = {};
       for (const winsim::MonitorState& m : winsim::Monitors()) {
         if (m.name == u"Old") old = m;
       }
       EXPECT_EQ(u"old.dll", old.dll);
       EXPECT_FALSE(old.loaded);
     }, false},
};

// ---------------------------------------------------------------- drivers --

const char16_t kPdfPrinter[] = u"Microsoft Print to PDF";

HANDLE OpenQueue(const char16_t* name, DWORD access = 0) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  HANDLE printer = nullptr;
  EXPECT_TRUE(OpenPrinterW(W(name), &printer, access != 0 ? &defaults : nullptr)) << GetLastError();
  return printer;
}

const Fact kDrivers[] = {
    {kInfoC, "EnumPrinterDriversW of levels 0, 7 and 9 fails with ERROR_INVALID_LEVEL",
     [] {
       for (DWORD level : {0u, 7u, 9u}) {
         DWORD needed = 0, returned = 0;
         Fails(EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &returned), ERROR_INVALID_LEVEL);
       }
     }, false},
    {kInfoC, "EnumPrinterDriversW of level 8 gives DRIVER_INFO_8 records",
     [] {
       DWORD needed = 0, returned = 0;
       EnumPrinterDriversW(nullptr, nullptr, 8, nullptr, 0, &needed, &returned);
     }, true},
    {kInfoC, "EnumPrinterDriversW sizes: none fails with the size, the size succeeds, one byte less fails",
     [] {
       for (DWORD level = 1; level <= 6; ++level) {
         DWORD needed = 0, returned = 0;
         Fails(EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &returned), ERROR_INSUFFICIENT_BUFFER);
         std::vector<uint8_t> buffer(needed + 4);
         DWORD again = 0;
         Succeeds(EnumPrinterDriversW(nullptr, nullptr, level, buffer.data(), needed, &again, &returned));
         EXPECT_EQ(needed, again);
         Fails(EnumPrinterDriversW(nullptr, nullptr, level, buffer.data(), needed - 1, &again, &returned),
               ERROR_INSUFFICIENT_BUFFER);
         EXPECT_EQ(needed, again);
       }
     }, false},
    {kInfoC, "EnumPrinterDriversW of the environment \"all\" lists the drivers of every environment",
     [] {
       DWORD needed = 0, returned = 0;
       Fails(EnumPrinterDriversW(nullptr, W(u"all"), 1, nullptr, 0, &needed, &returned), ERROR_INSUFFICIENT_BUFFER);
       std::vector<uint8_t> buffer(needed);
       Succeeds(EnumPrinterDriversW(nullptr, W(u"all"), 1, buffer.data(), needed, &needed, &returned));
       EXPECT_EQ(2u, returned);
     }, false},
    {"[MS-RPRN] 3.1.4.1.3 Environment Name Parameters",
     "EnumPrinterDriversW of an unknown environment fails with ERROR_INVALID_ENVIRONMENT",
     [] {
       DWORD needed = 0, returned = 0;
       Fails(EnumPrinterDriversW(nullptr, W(u"invalid_env"), 1, nullptr, 0, &needed, &returned),
             ERROR_INVALID_ENVIRONMENT);
     }, false},
    {kInfoC, "GetPrinterDriverDirectoryW sizes: none fails with the size, the size succeeds, one byte less fails with the size",
     [] {
       DWORD needed = 0, again = 0;
       Fails(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
       std::vector<uint8_t> buffer(needed * 2);
       Succeeds(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer.data(), needed * 2, &again));
       EXPECT_EQ(needed, again);
       Fails(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer.data(), needed - 1, &again), ERROR_INSUFFICIENT_BUFFER);
       EXPECT_EQ(needed, again);
     }, false},
    {kInfoC, "GetPrinterDriverDirectoryW of level 2 fails with ERROR_INVALID_LEVEL",
     [] {
       BYTE buffer[520];
       DWORD needed = 0;
       Fails(GetPrinterDriverDirectoryW(nullptr, nullptr, 2, buffer, sizeof buffer, &needed), ERROR_INVALID_LEVEL);
     }, false},
    {kInfoC, "GetPrinterDriverDirectoryW takes environments in any case, and empty server and environment names",
     [] {
       BYTE buffer[520];
       DWORD needed = 0;
       Succeeds(GetPrinterDriverDirectoryW(nullptr, W(u"windowS 4.0"), 1, buffer, sizeof buffer, &needed));
       Succeeds(GetPrinterDriverDirectoryW(W(u""), W(u""), 1, buffer, sizeof buffer, &needed));
     }, false},
    {kInfoC, "GetPrinterDriverDirectoryW without a size pointer fails with RPC_X_NULL_REF_POINTER",
     [] {
       BYTE buffer[520];
       Fails(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer, sizeof buffer, nullptr), 1780u);
     }, false},
    {kInfoC, "GetPrinterDriverW of levels -1, 0 and 7 fails with ERROR_INVALID_LEVEL",
     [] {
       HANDLE printer = OpenQueue(kPdfPrinter);
       for (DWORD level : {0xFFFFFFFFu, 0u, 7u}) {
         DWORD needed = 0;
         Fails(GetPrinterDriverW(printer, nullptr, level, nullptr, 0, &needed), ERROR_INVALID_LEVEL);
       }
     }, false},
    {kInfoC, "GetPrinterDriverW fills exactly the size it asked for",
     [] {
       HANDLE printer = OpenQueue(kPdfPrinter);
       for (DWORD level = 1; level <= 6; ++level) {
         DWORD needed = 0, filled = 0;
         Fails(GetPrinterDriverW(printer, nullptr, level, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
         std::vector<uint8_t> buffer(needed);
         Succeeds(GetPrinterDriverW(printer, nullptr, level, buffer.data(), needed, &filled));
         EXPECT_EQ(needed, filled);
       }
     }, false},
    {kInfoC, "GetPrinterDriverW zero-fills a buffer that is too small",
     [] {
       HANDLE printer = OpenQueue(kPdfPrinter);
       DWORD needed = 0;
       GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed);
       std::vector<uint8_t> buffer(needed);
       ASSERT_TRUE(GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed, &needed));
       EXPECT_FALSE(GetPrinterDriverW(printer, nullptr, 2, buffer.data(), needed - 2, &needed));
       EXPECT_EQ(nullptr, reinterpret_cast<DRIVER_INFO_2W*>(buffer.data())->pDataFile);
     }, false},
    {"[MS-RPRN] 3.1.4.4.7 RpcDeletePrinterDriverEx",
     "DeletePrinterDriverExW of a driver a printer uses fails with ERROR_PRINTER_DRIVER_IN_USE",
     [] {
       Fails(DeletePrinterDriverExW(nullptr, nullptr, W(u"Microsoft Print To PDF"), DPD_DELETE_UNUSED_FILES, 0),
             ERROR_PRINTER_DRIVER_IN_USE);
     }, false},
    {"[MS-RPRN] 3.1.4.4.7 RpcDeletePrinterDriverEx",
     "DeletePrinterDriverExW of an unknown driver, or of another version, fails with ERROR_UNKNOWN_PRINTER_DRIVER",
     [] {
       Fails(DeletePrinterDriverExW(nullptr, nullptr, W(u"No such driver"), 0, 0), ERROR_UNKNOWN_PRINTER_DRIVER);
       Fails(DeletePrinterDriverExW(nullptr, nullptr, W(u"Microsoft Print To PDF"), DPD_DELETE_SPECIFIC_VERSION, 3),
             ERROR_UNKNOWN_PRINTER_DRIVER);
     }, false},
    {"DeletePrinterDriverEx (Microsoft Learn, winspool.h)",
     "DeletePrinterDriverExW of a driver whose file another process has loaded moves the file aside for deletion at restart",
     [] {
       std::u16string file = winsim::DriverDirectory() + u"\\3\\test.dll";
       winsim::DriverSetup driver;
       driver.name = u"Test";
       driver.driverPath = file;
       driver.dataFile = file;
       driver.configFile = winsim::DriverDirectory() + u"\\3\\testui.dll";
       winsim::PutDriver(driver);
       winsim::HoldFile(file, "viewer");
       Succeeds(DeletePrinterDriverExW(nullptr, nullptr, W(u"Test"), DPD_DELETE_ALL_FILES, 0));
       std::u16string moved = winsim::DriverDirectory() + u"\\3\\Old\\1\\test.dll";
       EXPECT_FALSE(winsim::FileExists(file));
       EXPECT_TRUE(winsim::FileHeld(moved));
       EXPECT_EQ((std::vector<std::u16string>{u"\\??\\" + moved, u""}), winsim::PendingFileRenameOperations());
       EXPECT_FALSE(winsim::FileExists(driver.configFile.value()));
     }, false},
    {"[MS-RPRN] 3.1.4.4.8 RpcAddPrinterDriverEx",
     "AddPrinterDriverExW of a driver whose files are missing fails with ERROR_FILE_NOT_FOUND and adds nothing",
     [] {
       DRIVER_INFO_2W driver = {3, W(u"Test"), W(u"Windows x64"), W(u"none.dll"), W(u"none.dll"), W(u"noneui.dll")};
       Fails(AddPrinterDriverExW(nullptr, 2, reinterpret_cast<LPBYTE>(&driver), APD_COPY_NEW_FILES),
             ERROR_FILE_NOT_FOUND);
       EXPECT_FALSE(winsim::HasDriver(u"Test"));
     }, false},
    {"AddPrinterDriverEx (Microsoft Learn, winspool.h)",
     "AddPrinterDriverExW with APD_COPY_FROM_DIRECTORY takes the files from the named directory",
     [] {
       DRIVER_INFO_2W driver = {3, W(u"Test"), W(u"Windows x64"), W(u"a.dll"), W(u"a.dll"), W(u"b.dll")};
       AddPrinterDriverExW(nullptr, 2, reinterpret_cast<LPBYTE>(&driver), APD_COPY_FROM_DIRECTORY);
     }, true},
};

// --------------------------------------------------------------- printers --

const char16_t kXpsPrinter[] = u"Microsoft XPS Document Writer";

bool Listed(const char16_t* name) {
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<uint8_t> buffer(needed);
  EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &returned);
  const PRINTER_INFO_2W* records = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i)
    if (std::u16string(records[i].pPrinterName) == name) return true;
  return false;
}

// The record for a new local printer on LPT1: with the PDF driver.
// A queue of a print server that this user is not connected to.
const char16_t kServerQueue[] = u"\\\\server\\laser";

void PutServerQueue(const char16_t* driver) {
  winsim::PrinterSetup queue;
  queue.name = kServerQueue;
  queue.driverName = std::u16string(driver);
  queue.connection = true;
  queue.connected = false;
  winsim::PutPrinter(queue);
}

bool ConnectionListed() {
  DWORD needed = 0, returned = 0;
  EnumPrintersW(PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<uint8_t> buffer(needed);
  EnumPrintersW(PRINTER_ENUM_CONNECTIONS, nullptr, 2, buffer.data(), needed, &needed, &returned);
  const PRINTER_INFO_2W* records = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i)
    if (std::u16string(records[i].pPrinterName) == kServerQueue) return true;
  return false;
}

PRINTER_INFO_2W NewPrinter(const char16_t* name, const char16_t* port = u"LPT1:",
                           const char16_t* driver = u"Microsoft Print To PDF") {
  PRINTER_INFO_2W record = {};
  record.pPrinterName = W(name);
  record.pPortName = W(port);
  record.pDriverName = W(driver);
  record.pPrintProcessor = W(u"WinPrint");
  return record;
}

const Fact kPrinters[] = {
    {kInfoC, "EnumPrintersW of level 2 without a buffer fails with ERROR_INSUFFICIENT_BUFFER, a size and no records",
     [] {
       DWORD needed = 0, returned = 7;
       Fails(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned), ERROR_INSUFFICIENT_BUFFER);
       EXPECT_GT(needed, 0u);
       EXPECT_EQ(0u, returned);
     }, false},
    {kInfoC, "EnumPrintersW without printers succeeds with a size of 0 and the last error 0",
     [] {
       winsim::RemoveAllPrinters();
       DWORD needed = kPoison, returned = 7;
       Succeeds(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned), ERROR_SUCCESS);
       EXPECT_EQ(0u, needed);
       EXPECT_EQ(0u, returned);
     }, false},
    {kInfoC, "EnumPrintersW of level 1 gives PRINTER_INFO_1 records",
     [] {
       DWORD needed = 0, returned = 0;
       EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 1, nullptr, 0, &needed, &returned);
     }, true},
    {kInfoC, "OpenPrinterW without a handle pointer fails with ERROR_INVALID_PARAMETER",
     [] { Fails(OpenPrinterW(W(kPdfPrinter), nullptr, nullptr), ERROR_INVALID_PARAMETER); }, false},
    {kInfoC, "OpenPrinterW of an empty name fails with ERROR_INVALID_PRINTER_NAME",
     [] {
       HANDLE printer = nullptr;
       Fails(OpenPrinterW(W(u""), &printer, nullptr), ERROR_INVALID_PRINTER_NAME);
     }, false},
    {kInfoC, "OpenPrinterW of a name with a comma is refused as an invalid printer name",
     [] {
       HANDLE printer = nullptr;
       OpenPrinterW(W(u"illegal,name"), &printer, nullptr);
     }, true},
    {kInfoC, "OpenPrinterW without a name opens the print server",
     [] {
       HANDLE printer = nullptr;
       OpenPrinterW(nullptr, &printer, nullptr);
     }, true},
    {kInfoC, "OpenPrinterW of the default printer with access 0, PRINTER_ACCESS_USE or PRINTER_ALL_ACCESS succeeds",
     [] {
       for (DWORD access : {0u, static_cast<DWORD>(PRINTER_ACCESS_USE), static_cast<DWORD>(PRINTER_ALL_ACCESS)}) {
         PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
         HANDLE printer = nullptr;
         Succeeds(OpenPrinterW(W(kPdfPrinter), &printer, &defaults));
       }
     }, false},
    {kInfoC, "OpenPrinterW with an empty data type fails with ERROR_INVALID_DATATYPE",
     [] {
       PRINTER_DEFAULTSW defaults = {W(u""), nullptr, 0};
       HANDLE printer = nullptr;
       Fails(OpenPrinterW(W(kPdfPrinter), &printer, &defaults), ERROR_INVALID_DATATYPE);
     }, false},
    {kInfoC, "ClosePrinter of NULL or of a closed handle fails with ERROR_INVALID_HANDLE",
     [] {
       Fails(ClosePrinter(nullptr), ERROR_INVALID_HANDLE);
       HANDLE printer = OpenQueue(kPdfPrinter);
       Succeeds(ClosePrinter(printer));
       Fails(ClosePrinter(printer), ERROR_INVALID_HANDLE);
     }, false},
    {kInfoC, "GetPrinterW of level 2 fills exactly the size it asked for",
     [] {
       HANDLE printer = OpenQueue(kPdfPrinter);
       DWORD needed = 0, filled = 0;
       Fails(GetPrinterW(printer, 2, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
       std::vector<uint8_t> buffer(needed);
       Succeeds(GetPrinterW(printer, 2, buffer.data(), needed, &filled));
       EXPECT_EQ(needed, filled);
       EXPECT_NE(nullptr, reinterpret_cast<PRINTER_INFO_2W*>(buffer.data())->pDriverName);
     }, false},
    {"AddPrinter (Microsoft Learn, winspool.h)", "AddPrinterW of a name that exists fails with ERROR_PRINTER_ALREADY_EXISTS",
     [] {
       PRINTER_INFO_2W record = NewPrinter(kPdfPrinter);
       Fails(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&record)), ERROR_PRINTER_ALREADY_EXISTS);
     }, false},
    {"[MS-RPRN] 3.1.4.1.8.6 PRINTER_CONTAINER Parameters",
     "AddPrinterW on an unknown port fails with ERROR_UNKNOWN_PORT, with an unknown driver with ERROR_UNKNOWN_PRINTER_DRIVER",
     [] {
       PRINTER_INFO_2W port = NewPrinter(u"New", u"NOPORT:");
       Fails(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&port)), ERROR_UNKNOWN_PORT);
       PRINTER_INFO_2W driver = NewPrinter(u"New", u"LPT1:", u"No such driver");
       Fails(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&driver)), ERROR_UNKNOWN_PRINTER_DRIVER);
       EXPECT_FALSE(winsim::HasPrinter(u"New"));
     }, false},
    {"SetPrinter (Microsoft Learn, winspool.h)", "SetPrinterW of level 0 with PRINTER_CONTROL_PURGE deletes every job",
     [] {
       winsim::SetPrinterJobs(kXpsPrinter, 3);
       Succeeds(SetPrinterW(OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS), 0, nullptr, PRINTER_CONTROL_PURGE));
       winsim::PrinterState state;
       ASSERT_TRUE(winsim::FindPrinter(kXpsPrinter, &state));
       EXPECT_EQ(0u, state.jobs);
     }, false},
    {"SetPrinter (Microsoft Learn, winspool.h)", "SetPrinterW of level 2 with a command fails with ERROR_INVALID_PARAMETER",
     [] {
       PRINTER_INFO_2W record = NewPrinter(kXpsPrinter);
       Fails(SetPrinterW(OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS), 2, reinterpret_cast<LPBYTE>(&record),
                         PRINTER_CONTROL_PAUSE),
             ERROR_INVALID_PARAMETER);
     }, false},
    {"[MS-RPRN] 3.1.4.2.4 RpcDeletePrinter", "DeletePrinter of a printer without jobs removes it from the enumeration and from OpenPrinterW",
     [] {
       HANDLE printer = OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS);
       Succeeds(DeletePrinter(printer));
       EXPECT_FALSE(Listed(kXpsPrinter));
       HANDLE again = nullptr;
       Fails(OpenPrinterW(W(kXpsPrinter), &again, nullptr), ERROR_INVALID_PRINTER_NAME);
     }, false},
    {"[MS-RPRN] 3.1.4.2.4 RpcDeletePrinter", "DeletePrinter of a printer with jobs hides it at once: not listed, not openable",
     [] {
       winsim::SetPrinterJobs(kXpsPrinter, 2);
       Succeeds(DeletePrinter(OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS)));
       EXPECT_FALSE(Listed(kXpsPrinter));
       HANDLE again = nullptr;
       Fails(OpenPrinterW(W(kXpsPrinter), &again, nullptr), ERROR_INVALID_PRINTER_NAME);
     }, false},
    {"[MS-RPRN] 3.1.4.2.4 RpcDeletePrinter", "A handle opened before DeletePrinter goes on working",
     [] {
       HANDLE printer = OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS);
       HANDLE reader = OpenQueue(kXpsPrinter);
       ASSERT_TRUE(DeletePrinter(printer));
       DWORD needed = 0;
       Fails(GetPrinterW(reader, 2, nullptr, 0, &needed), ERROR_INSUFFICIENT_BUFFER);
     }, false},
    {"DeletePrinter (Microsoft Learn, winspool.h)", "DeletePrinter of a paused printer with jobs fails with ERROR_ACCESS_DENIED",
     [] {
       winsim::SetPrinterJobs(kXpsPrinter, 2);
       HANDLE printer = OpenQueue(kXpsPrinter, PRINTER_ALL_ACCESS);
       ASSERT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
       Fails(DeletePrinter(printer), ERROR_ACCESS_DENIED);
       EXPECT_TRUE(Listed(kXpsPrinter));
     }, false},
    {"AddPrinterConnection, DeletePrinterConnection (Microsoft Learn, winspool.h)",
     "A connection made with AddPrinterConnectionW is enumerated with PRINTER_ENUM_CONNECTIONS until DeletePrinterConnectionW removes it",
     [] {
       PutServerQueue(u"Microsoft Print To PDF");
       Succeeds(AddPrinterConnectionW(W(kServerQueue)));
       EXPECT_TRUE(ConnectionListed());
       Succeeds(DeletePrinterConnectionW(W(kServerQueue)));
       EXPECT_FALSE(ConnectionListed());
       Fails(DeletePrinterConnectionW(W(kServerQueue)), ERROR_INVALID_PRINTER_NAME);
     }, false},
    {"AddPrinterConnection (Microsoft Learn, winspool.h)",
     "AddPrinterConnectionW fails with ERROR_ACCESS_DENIED when the driver's files cannot be copied",
     [] {
       PutServerQueue(u"Driver of the server only");
       Fails(AddPrinterConnectionW(W(kServerQueue)), ERROR_ACCESS_DENIED);
       EXPECT_FALSE(ConnectionListed());
     }, false},
    {"AddPrinterConnection (Microsoft Learn, winspool.h)", "AddPrinterConnectionW of a local printer's name",
     [] { AddPrinterConnectionW(W(kPdfPrinter)); }, true},
    {kInfoC, "EnumPrintersW fails with RPC_S_SERVER_UNAVAILABLE while the spooler is stopped",
     [] {
       winsim::SetSpoolerServiceState(SERVICE_STOPPED);
       DWORD needed = 0, returned = 0;
       Fails(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned), RPC_S_SERVER_UNAVAILABLE);
     }, false},
};

// ----------------------------------------------------------------- suite --

class Conformance : public SimTest, public ::testing::WithParamInterface<Fact> {};

TEST_P(Conformance, Holds) {
  const Fact& fact = GetParam();
  SCOPED_TRACE(std::string(fact.source) + ": " + fact.says);
  SetLastError(kPoison);
  if (fact.gap) {
    EXPECT_DEATH(fact.check(), "not supported");
  } else {
    fact.check();
  }
}

// The fact's words as a test name: letters and digits, words capitalised.
std::string NameOf(const ::testing::TestParamInfo<Fact>& info) {
  std::string name;
  bool upper = true;
  for (const char* c = info.param.says; *c != 0 && name.size() < 80; ++c) {
    bool alnum = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
    if (!alnum) {
      upper = true;
      continue;
    }
    name.push_back(upper && *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c);
    upper = false;
  }
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Files, Conformance, ::testing::ValuesIn(kFiles), NameOf);
INSTANTIATE_TEST_SUITE_P(Registry, Conformance, ::testing::ValuesIn(kRegistry), NameOf);
INSTANTIATE_TEST_SUITE_P(Services, Conformance, ::testing::ValuesIn(kServices), NameOf);
INSTANTIATE_TEST_SUITE_P(Mutexes, Conformance, ::testing::ValuesIn(kMutexes), NameOf);
INSTANTIATE_TEST_SUITE_P(Versions, Conformance, ::testing::ValuesIn(kVersions), NameOf);
INSTANTIATE_TEST_SUITE_P(Modules, Conformance, ::testing::ValuesIn(kModules), NameOf);
INSTANTIATE_TEST_SUITE_P(Monitors, Conformance, ::testing::ValuesIn(kMonitors), NameOf);
INSTANTIATE_TEST_SUITE_P(Drivers, Conformance, ::testing::ValuesIn(kDrivers), NameOf);
INSTANTIATE_TEST_SUITE_P(Printers, Conformance, ::testing::ValuesIn(kPrinters), NameOf);

}  // namespace
