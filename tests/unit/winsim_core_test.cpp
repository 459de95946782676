// Tests of the simulated machine's core: command-line splitting, message
// texts, heaps, files with holders, registry, delete-at-reboot, version
// resources, clock, faults, and saving and loading a machine.
#include "sim_test.h"

#include <shellapi.h>

#include "../../winsim/src/core.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

struct Args {
  int count = -1;
  std::vector<std::u16string> items;
};

class CoreTest : public SimTest {
 protected:
  Args Split(const std::u16string& line) {
    Args args;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &args.count);
    EXPECT_NE(argv, nullptr);
    if (argv == nullptr) return args;
    for (int i = 0; i < args.count; ++i) args.items.push_back(argv[i]);
    EXPECT_EQ(argv[args.count], nullptr);
    EXPECT_EQ(LocalFree(argv), nullptr);
    return args;
  }

  std::u16string Message(DWORD code, DWORD language = 0x0409) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, language, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n == 0) return u"<none>";
    std::u16string out(text, n);
    LocalFree(text);
    return out;
  }

  HANDLE Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, 0, nullptr);
  }

  int BuildOf(const std::u16string& path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return -1;
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return -1;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), u"\\", reinterpret_cast<LPVOID*>(&info), &length)) return -1;
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    return static_cast<int>(info->dwProductVersionLS & 0xFFFF);
  }
};

const char16_t kRunKey[] = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// --------------------------------------------------------- command line --

TEST_F(CoreTest, ProgramNameFollowsItsOwnRules) {
  Args a = Split(u"\"C:\\Program Files\\x\\setup.exe\" un 7");
  ASSERT_EQ(a.count, 3);
  EXPECT_EQ(a.items[0], u"C:\\Program Files\\x\\setup.exe");
  EXPECT_EQ(a.items[1], u"un");
  EXPECT_EQ(a.items[2], u"7");
  // Backslashes before the closing quote of the program name are literal,
  // and text right after that quote begins the next argument.
  a = Split(u"\"C:\\dir\\\"in");
  ASSERT_EQ(a.count, 2);
  EXPECT_EQ(a.items[0], u"C:\\dir\\");
  EXPECT_EQ(a.items[1], u"in");
  // Unquoted, the name ends at the first blank; a leading blank gives an
  // empty name.
  a = Split(u" in");
  ASSERT_EQ(a.count, 2);
  EXPECT_EQ(a.items[0], u"");
  EXPECT_EQ(a.items[1], u"in");
}

TEST_F(CoreTest, QuotesAndBackslashesInArguments) {
  Args a = Split(u"p a\\\\\\\"b c\\\\\"d e\" f\\g \"\" \"x\"\"y\"");
  // a\\\"b -> a\"b ; c\\"d e" -> c\d e ; f\g literal ; "" -> empty ;
  // "x""y" -> x"y (a doubled quote inside quotes gives one quote).
  ASSERT_EQ(a.count, 6);
  EXPECT_EQ(a.items[1], u"a\\\"b");
  EXPECT_EQ(a.items[2], u"c\\d e");
  EXPECT_EQ(a.items[3], u"f\\g");
  EXPECT_EQ(a.items[4], u"");
  EXPECT_EQ(a.items[5], u"x\"y");
  a = Split(u"p  one\t two   ");
  ASSERT_EQ(a.count, 3);
  EXPECT_EQ(a.items[2], u"two");
}

TEST_F(CoreTest, EmptyCommandLineGivesTheProgramPath) {
  Args a = Split(u"");
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.items[0], winsim::InstallerPath());
  EXPECT_EQ(winsim::LiveBlocks(winsim::Memory::Local), 0u);
  int count = 0;
  EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CoreTest, CommandLineIsTheMachines) {
  winsim::SetCommandLine(u"\"C:\\a.exe\" install");
  EXPECT_EQ(std::u16string(GetCommandLineW()), u"\"C:\\a.exe\" install");
}

// ------------------------------------------------------------- messages --

TEST_F(CoreTest, SystemMessagesInEnglish) {
  EXPECT_EQ(Message(5), u"Access is denied.\r\n");
  EXPECT_EQ(Message(2), u"The system cannot find the file specified.\r\n");
  EXPECT_EQ(Message(32),
            u"The process cannot access the file because it is being used by another "
            u"process.\r\n");
  EXPECT_EQ(Message(1722), u"The RPC server is unavailable.\r\n");
  EXPECT_EQ(Message(3008), u"The specified print monitor is currently in use.\r\n");
  EXPECT_EQ(Message(1062), u"The service has not been started.\r\n");
  EXPECT_EQ(Message(0x80070005), u"Access is denied.\r\n");
  EXPECT_EQ(winsim::LiveBlocks(winsim::Memory::Local), 0u);
}

TEST_F(CoreTest, NoMessageForUnknownCodesOrOtherLanguages) {
  EXPECT_EQ(Message(0x12345), u"<none>");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(Message(5, 0x0407), u"<none>");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
  winsim::MessageBehaviour noTexts;
  noTexts.englishTexts = false;
  winsim::SetMessageBehaviour(noTexts);
  EXPECT_EQ(Message(5), u"<none>");
  EXPECT_EQ(winsim::LiveBlocks(), 0u);
}

TEST_F(CoreTest, MessageIntoCallerBuffer) {
  WCHAR small[8];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                           0, small, 8, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  WCHAR big[64];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                           0, big, 64, nullptr),
            19u);
  EXPECT_EQ(std::u16string(big), u"Access is denied.\r\n");
}

// ---------------------------------------------------------------- heaps --

TEST_F(CoreTest, HeapCallsAndBlocksAreCounted) {
  HANDLE heap = GetProcessHeap();
  auto* block = static_cast<uint8_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 10));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], 0);
  block[9] = 7;
  block = static_cast<uint8_t*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 40));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[9], 7);
  EXPECT_EQ(block[39], 0);
  EXPECT_EQ(winsim::LiveBlocks(winsim::Memory::Heap), 1u);
  EXPECT_EQ(winsim::MemoryCalls(winsim::Memory::Heap), 2u);
  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_EQ(winsim::LiveBlocks(winsim::Memory::Heap), 0u);
  EXPECT_EQ(winsim::MemoryCalls(winsim::Memory::Heap), 3u);

  auto* global = static_cast<uint8_t*>(GlobalAlloc(GPTR, 16));
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(global[15], 0);
  EXPECT_EQ(winsim::LiveBlocks(winsim::Memory::Global), 1u);
  EXPECT_EQ(GlobalFree(global), nullptr);
  EXPECT_EQ(winsim::LiveBlocks(), 0u);
  winsim::ClearMemoryCalls();
  EXPECT_EQ(winsim::MemoryCalls(), 0u);
}

TEST_F(CoreTest, InjectedAllocationFailure) {
  winsim::FailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
  void* first = GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  void* third = GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_NE(third, nullptr);
  GlobalFree(first);
  GlobalFree(third);
  EXPECT_EQ(winsim::LiveBlocks(), 0u);
}

TEST_F(CoreTest, FreeingAForeignBlockStopsTheMachine) {
  void* block = HeapAlloc(GetProcessHeap(), 0, 8);
  EXPECT_DEATH(GlobalFree(block), "allocated by HeapAlloc");
  HeapFree(GetProcessHeap(), 0, block);
  EXPECT_DEATH(HeapFree(GetProcessHeap(), 0, block), "not a live block");
}

// ---------------------------------------------------------------- files --

TEST_F(CoreTest, FileRoundTripThroughHandles) {
  HANDLE out = Open(u"c:/program files/SOLVENDALE/new.bin", GENERIC_WRITE, FILE_SHARE_READ,
                    CREATE_ALWAYS);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(out, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(winsim::LiveHandles("file"), 1u);
  EXPECT_TRUE(CloseHandle(out));
  EXPECT_EQ(winsim::LiveHandles(), 0u);
  EXPECT_FALSE(CloseHandle(out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE in = Open(u"\\??\\C:\\Program Files\\Solvendale\\.\\x\\..\\NEW.BIN", GENERIC_READ,
                   FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::string(buffer, read), "hello");
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  CloseHandle(in);

  // Appending: every write goes to the end, wherever the handle stood.
  HANDLE tail = Open(u"C:\\Program Files\\Solvendale\\new.bin", FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                     OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  LARGE_INTEGER size = {};
  EXPECT_TRUE(GetFileSizeEx(tail, &size));
  EXPECT_EQ(size.QuadPart, 5);
  EXPECT_TRUE(WriteFile(tail, "!", 1, &written, nullptr));
  EXPECT_EQ(Open(u"C:\\Program Files\\Solvendale\\new.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(tail);
  std::vector<uint8_t> bytes = winsim::FileBytes(u"C:\\Program Files\\Solvendale\\new.bin");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "hello!");
}

TEST_F(CoreTest, MissingFilesAndDirectories) {
  EXPECT_EQ(Open(u"C:\\nowhere\\f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open(u"C:\\Windows\\f.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\f.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(u"C:\\nowhere\\f.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"C:\\nowhere\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Windows\\System32"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(winsim::InstallerPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(CoreTest, HeldFilesResistDeletionAndWriting) {
  const std::u16string path = u"C:\\Windows\\System32\\qrlmon64.dll";
  winsim::PutFile(path, winsim::MakeVersionedImage(1, 0, 0, 2080));
  winsim::HoldFile(path, "spooler");
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(BuildOf(path), 2080);  // reading stays possible

  winsim::HoldFile(path, "process:42", ERROR_SHARING_VIOLATION);
  winsim::ReleaseHolder("spooler");
  EXPECT_FALSE(DeleteFileW(u"c:\\windows\\system32\\QRLMON64.DLL"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  winsim::ReleaseFile(path, "process:42");
  EXPECT_FALSE(winsim::FileHeld(path));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(winsim::FileExists(path));
}

TEST_F(CoreTest, ShareModesOfOpenHandles) {
  const std::u16string path = u"C:\\Windows\\data.txt";
  winsim::PutTextFile(path, "abc");
  HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A reader must let the writer go on writing.
  EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(reader);
  CloseHandle(writer);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// DeleteFile's documentation: the file is marked for deletion and goes when
// its last handle closes; until then opening it again, CREATE_ALWAYS
// included, fails with ERROR_ACCESS_DENIED. A read-only file can be read
// but neither written nor deleted.
TEST_F(CoreTest, DeletePendingAndReadOnlyFilesRefuseWriting) {
  const std::u16string path = u"C:\\Windows\\Temp\\scan.dll";
  winsim::PutTextFile(path, "abc");
  HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_TRUE(winsim::FileExists(path));
  EXPECT_TRUE(winsim::FileDeletePending(path));
  EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(reader);
  EXPECT_FALSE(winsim::FileExists(path));

  // A holder that shares delete keeps the name, in a saved machine too,
  // until it lets go; one that does not share delete refuses the deletion.
  winsim::PutTextFile(path, "abc");
  winsim::HoldFile(path, "indexer", 0);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  winsim::PutTextFile(u"C:\\Windows\\locked.txt", "r");
  winsim::SetFileReadOnly(u"C:\\Windows\\locked.txt", true);
  char pattern[] = "/tmp/winsim_files_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  ASSERT_TRUE(winsim::SaveMachine(pattern));
  winsim::ResetMachine();
  ASSERT_TRUE(winsim::LoadMachine(pattern));
  std::system((std::string("rm -rf ") + pattern).c_str());
  EXPECT_TRUE(winsim::FileDeletePending(path));
  winsim::ReleaseHolder("indexer");
  EXPECT_FALSE(winsim::FileExists(path));

  const std::u16string locked = u"C:\\Windows\\locked.txt";
  EXPECT_EQ(GetFileAttributesW(locked.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING, OPEN_EXISTING}) {
    EXPECT_EQ(Open(locked, GENERIC_WRITE, FILE_SHARE_READ, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_FALSE(DeleteFileW(locked.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE file = Open(locked, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  winsim::SetFileReadOnly(locked, false);
  EXPECT_TRUE(DeleteFileW(locked.c_str()));
}

TEST_F(CoreTest, InjectedReadAndWriteFaults) {
  const std::u16string source = u"C:\\Windows\\src.bin";
  winsim::PutFile(source, std::vector<uint8_t>(100, 1));
  winsim::FailReadAt(source, 50, ERROR_READ_FAULT);
  HANDLE in = Open(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  char buffer[40];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(in, buffer, 40, &n, nullptr));
  EXPECT_EQ(n, 40u);
  EXPECT_FALSE(ReadFile(in, buffer, 40, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  CloseHandle(in);

  const std::u16string target = u"C:\\Windows\\dst.bin";
  winsim::FailWriteAt(target, 30, 0);
  HANDLE out = Open(target, GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_TRUE(WriteFile(out, buffer, 20, &n, nullptr));
  EXPECT_EQ(n, 20u);
  EXPECT_TRUE(WriteFile(out, buffer, 20, &n, nullptr));
  EXPECT_EQ(n, 10u);
  CloseHandle(out);
  EXPECT_EQ(winsim::FileBytes(target).size(), 30u);
}

// ------------------------------------------------------------- registry --

TEST_F(CoreTest, RegistryQueriesLikeWindows) {
  winsim::SetRegString(kRunKey, u"SolvendaleTray", u"C:\\A\\soltray.exe");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"solvendaletray", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 34u);
  WCHAR small[4];
  DWORD smallSize = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"SolvendaleTray", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(small), &smallSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, 34u);
  WCHAR text[32];
  DWORD textSize = sizeof text;
  EXPECT_EQ(RegQueryValueExW(key, u"SolvendaleTray", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(text), &textSize),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"C:\\A\\soltray.exe");
  char ansi[32];
  DWORD ansiSize = sizeof ansi;
  EXPECT_EQ(RegQueryValueExA(key, "SolvendaleTray", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(ansi), &ansiSize),
            ERROR_SUCCESS);
  EXPECT_EQ(ansiSize, 17u);
  EXPECT_STREQ(ansi, "C:\\A\\soltray.exe");
  // A key opened for reading refuses writes.
  EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"y"), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key, "SolvendaleTray"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(winsim::OpenRegistryKeys(), 1u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(winsim::OpenRegistryKeys(), 0u);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(CoreTest, RegistryWritesAndRefusals) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quarlen Software KFT\\Solvendale", 0,
                          KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const std::u16string path = u"C:\\A\\soltray.exe";
  EXPECT_EQ(RegSetValueExW(key, u"SolvendaleTray", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>((path.size() + 1) * 2)),
            ERROR_SUCCESS);
  std::u16string stored;
  EXPECT_TRUE(winsim::GetRegString(kRunKey, u"SolvendaleTray", &stored));
  EXPECT_EQ(stored, path);
  EXPECT_EQ(RegDeleteValueA(key, "SolvendaleTray"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "SolvendaleTray"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  winsim::DenyRegistryWrite(kRunKey, true);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// A run that creates a key below one that refuses writes, lists, flushes
// and deletes keys; ended at its last call (killed, or by a power loss), or
// not at all.
TEST_F(CoreTest, RegistryTreesAndWhatARunEndedAtACallLeaves) {
  winsim::DenyRegistryWrite(u"HKLM\\Software\\Locked", true);
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Locked\\New", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_ACCESS_DENIED);
  const std::u16string tree = u"HKLM\\Software\\Tree";
  auto run = [] {
    HKEY a = nullptr;
    DWORD one = 1;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tree\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &a, nullptr);
    RegSetValueExW(a, u"flushed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    RegFlushKey(a);
    RegSetValueExW(a, u"unflushed", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Tree");
  };
  for (int ending = 0; ending < 3; ++ending) {
    winsim::ResetMachine();
    winsim::CreateRegKey(tree + u"\\A");
    winsim::RunEnd end;
    end.atCall = ending < 2 ? 5 : 6;
    end.powerLoss = ending == 1;
    EXPECT_EQ(ending < 2, winsim::RunUntilEnded(end, run));
    EXPECT_EQ(ending < 2, winsim::RegValueExists(tree + u"\\B", u"flushed"));
    EXPECT_EQ(ending == 0, winsim::RegValueExists(tree + u"\\B", u"unflushed"));
  }
  winsim::ResetMachine();
  winsim::CreateRegKey(tree + u"\\B");
  winsim::CreateRegKey(tree + u"\\a");
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tree", 0, KEY_READ, &key), ERROR_SUCCESS);
  char16_t name[2] = {};
  DWORD units = 2;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(u"a"), name);
  units = 1;
  EXPECT_EQ(RegEnumKeyExW(key, 1, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  units = 2;
  EXPECT_EQ(RegEnumKeyExW(key, 2, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteTreeW(key, u"a"), ERROR_ACCESS_DENIED);  // opened without DELETE
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Tree"), ERROR_SUCCESS);
  EXPECT_FALSE(winsim::RegKeyExists(tree));
}

// ------------------------------------------------------ delete at reboot --

TEST_F(CoreTest, DelayedDeletionsJoinPendingOperations) {
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\old.tmp", u"", u"\\??\\C:\\a", u"!\\??\\C:\\b"});
  EXPECT_TRUE(MoveFileExW(u"C:/Windows/System32/qrlmon64.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  std::vector<std::u16string> expected = {u"\\??\\C:\\old.tmp", u"", u"\\??\\C:\\a", u"!\\??\\C:\\b",
                                          u"\\??\\C:\\Windows\\System32\\qrlmon64.dll", u""};
  EXPECT_EQ(winsim::PendingFileRenameOperations(), expected);
  // The value is a REG_MULTI_SZ closed by an extra terminator.
  DWORD type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(winsim::GetRegValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                  u"PendingFileRenameOperations", &type, &data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  ASSERT_GE(data.size(), 6u);
  EXPECT_EQ(std::vector<uint8_t>(data.end() - 6, data.end()), std::vector<uint8_t>(6, 0));

  winsim::DenyRegistryWrite(winsim::SessionManagerKey(), true);
  EXPECT_FALSE(MoveFileExW(u"C:\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(winsim::PendingFileRenameOperations().size(), 6u);
}

TEST_F(CoreTest, OtherMovesAreNotSupported) {
  EXPECT_DEATH(MoveFileExW(u"C:\\a", u"C:\\b", MOVEFILE_REPLACE_EXISTING), "not supported");
}

// -------------------------------------------------------------- version --

TEST_F(CoreTest, VersionFromGeneratedImages) {
  winsim::PutFile(u"C:\\v\\a.dll", winsim::MakeVersionedImage(1, 2, 3, 2093));
  winsim::PutFile(u"C:\\v\\b.dll", winsim::MakeVersionedImage(2093, 0, 0, 0));
  winsim::PutFile(u"C:\\v\\none.dll", winsim::MakeUnversionedImage());
  winsim::PutTextFile(u"C:\\v\\text.txt", "not an image at all, but long enough to be read as one");
  std::vector<uint8_t> cut = winsim::MakeVersionedImage(1, 0, 0, 5);
  cut.resize(0x220);
  winsim::PutFile(u"C:\\v\\cut.dll", cut);

  EXPECT_EQ(BuildOf(u"C:\\v\\a.dll"), 2093);
  EXPECT_EQ(BuildOf(u"C:\\v\\b.dll"), 0);
  EXPECT_EQ(BuildOf(u"C:\\v\\none.dll"), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(BuildOf(u"C:\\v\\text.txt"), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(BuildOf(u"C:\\v\\cut.dll"), -1);
  EXPECT_EQ(BuildOf(u"C:\\v\\missing.dll"), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (const char16_t* name : {u"qrlmon64.dll", u"qrldrv64.dll", u"qrlui64.dll"})
    EXPECT_EQ(BuildOf(winsim::InstallerDirectory() + u"\\" + name), 2093);
}

TEST_F(CoreTest, VersionStrings) {
  winsim::PutFile(u"C:\\v\\a.dll", winsim::MakeVersionedImage(1, 2, 3, 2093));
  DWORD size = GetFileVersionInfoSizeW(u"C:\\v\\a.dll", nullptr);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(u"C:\\v\\a.dll", 0, size, block.data()));
  LPVOID value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\ProductVersion", &value,
                             &length));
  EXPECT_EQ(std::u16string(static_cast<WCHAR*>(value)), u"1.2.3.2093");
  EXPECT_EQ(length, 11u);
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
  EXPECT_EQ(*static_cast<DWORD*>(value), 0x04B00409u);
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\Nothing", &value, &length));
}

// ------------------------------------------------ clock, faults, machine --

TEST_F(CoreTest, SleepMovesTheClockAndFiresEvents) {
  std::vector<int> fired;
  winsim::clock::After(100, [&] { fired.push_back(1); }, "first");
  winsim::clock::After(50, [&] {
    fired.push_back(0);
    winsim::clock::After(20, [&] { fired.push_back(2); }, "nested");
  }, "zero");
  winsim::clock::EventId late = winsim::clock::After(500, [&] { fired.push_back(9); }, "late");
  DWORD before = GetTickCount();
  Sleep(200);
  EXPECT_EQ(GetTickCount() - before, 200u);
  EXPECT_EQ(fired, (std::vector<int>{0, 2, 1}));
  winsim::clock::Cancel(late);
  Sleep(1000);
  EXPECT_EQ(fired.size(), 3u);

  winsim::ClockBehaviour wrapping;
  wrapping.tickBase = static_cast<DWORD>(0xFFFFFF00u - winsim::NowMs());
  winsim::SetClockBehaviour(wrapping);
  DWORD start = GetTickCount();
  Sleep(0x200);
  EXPECT_LT(GetTickCount(), start);
  EXPECT_EQ(GetTickCount() - start, 0x200u);
}

TEST_F(CoreTest, LocalTimeFollowsTheClock) {
  winsim::ClockBehaviour clock;
  clock.localTimeAtStartMs = 951782399000;  // 2000-02-28 23:59:59
  clock.timeLimitMs = 2 * 86400 * 1000;
  winsim::SetClockBehaviour(clock);
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  EXPECT_EQ((std::vector<int>{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wDayOfWeek}),
            (std::vector<int>{2000, 2, 28, 23, 59, 59, 1}));
  Sleep(86400 * 1000 + 1000);  // a leap day later
  GetLocalTime(&now);
  EXPECT_EQ((std::vector<int>{now.wMonth, now.wDay, now.wHour, now.wSecond}), (std::vector<int>{3, 1, 0, 0}));
}

TEST_F(CoreTest, WaitUntilStopsAtTheDeadline) {
  bool done = false;
  winsim::clock::After(300, [&] { done = true; }, "done");
  uint64_t t0 = winsim::NowMs();
  EXPECT_FALSE(winsim::clock::WaitUntil([&] { return done; }, 100));
  EXPECT_EQ(winsim::NowMs() - t0, 100u);
  EXPECT_TRUE(winsim::clock::WaitUntil([&] { return done; }, INFINITE));
  EXPECT_EQ(winsim::NowMs() - t0, 300u);
}

TEST_F(CoreTest, SlowCallsTakeMachineTime) {
  winsim::SetCallDuration("CreateFileW", 300);
  uint64_t t0 = winsim::NowMs();
  EXPECT_EQ(Open(u"C:\\none", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::NowMs() - t0, 300u);
  winsim::SetCallDuration("CreateFileW", 0);
  EXPECT_EQ(Open(u"C:\\none", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::NowMs() - t0, 300u);
}

TEST_F(CoreTest, RunawayTimeStopsTheMachine) {
  winsim::ClockBehaviour limited;
  limited.timeLimitMs = 1000;
  winsim::SetClockBehaviour(limited);
  EXPECT_DEATH(for (;;) Sleep(50), "virtual time limit exceeded");
}

TEST_F(CoreTest, FaultsSkipCountAndRepeat) {
  winsim::FailCall("DeleteFileW", ERROR_ACCESS_DENIED, 2, 1);
  const std::u16string path = u"C:\\Windows\\f";
  for (int i = 0; i < 4; ++i) winsim::PutTextFile(path + char16_t(u'0' + i), "x");
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\f0"));
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\f1"));
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\f2"));
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\f3"));
  EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\f1"));
  EXPECT_EQ(winsim::CallCount("DeleteFileW"), 4u);
  EXPECT_EQ(winsim::CallDetails("DeleteFileW")[1],
            "C:\\Windows\\f1 -> injected error 5");

  winsim::FailCall("DeleteFileW", ERROR_SHARING_VIOLATION, -1, 0, "f3");
  winsim::PutTextFile(u"C:\\Windows\\f3", "x");
  EXPECT_TRUE(DeleteFileW(u"C:\\Windows\\f1"));
  EXPECT_FALSE(DeleteFileW(u"C:\\Windows\\f3"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  winsim::FailCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, -1);
  HKEY key = nullptr;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  winsim::ClearFaults();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(CoreTest, DefaultMachineAndProcess) {
  WCHAR buffer[MAX_PATH];
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 19u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\System32");
  EXPECT_EQ(GetSystemDirectoryW(buffer, 5), 20u);
  EXPECT_EQ(GetModuleFileNameW(winsim::ProgramInstance(), buffer, MAX_PATH),
            winsim::InstallerPath().size());
  EXPECT_EQ(std::u16string(buffer), winsim::InstallerPath());
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 6), 6u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(buffer), u"C:\\Pr");
  EXPECT_TRUE(winsim::DirectoryExists(winsim::DriverDirectory() + u"\\3"));
  EXPECT_TRUE(winsim::FileExists(winsim::InstallerDirectory() + u"\\qrlhelp.chm"));
  EXPECT_TRUE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_TRUE(winsim::RegKeyExists(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"));
  EXPECT_TRUE(winsim::RegKeyExists(kRunKey));
  EXPECT_TRUE(winsim::RegKeyExists(u"HKCU\\Software"));
  EXPECT_TRUE(winsim::PendingFileRenameOperations().empty());
  winsim::SystemBehaviour system;
  system.systemDirectory = u"";
  winsim::SetSystemBehaviour(system);
  EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
}

TEST_F(CoreTest, DefaultDllDirectoriesTakeOnlyTheSearchFlags) {
  EXPECT_TRUE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_TRUE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS));
  for (DWORD flags : {0x0u, 0x1u, 0x808u}) {
    SetLastError(0);
    EXPECT_FALSE(SetDefaultDllDirectories(flags)) << flags;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << flags;
  }
  EXPECT_EQ(winsim::CallDetails("SetDefaultDllDirectories").front(), "0x800");
}

TEST_F(CoreTest, MachineSurvivesSaveAndLoad) {
  char pattern[] = "/tmp/winsim-core-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::vector<uint8_t> bytes = {0, 1, 2, '\n', '\t', 255};
  winsim::PutFile(u"C:\\Data\\odd name%\u00fc.bin", bytes);
  winsim::RemoveFile(winsim::TrayPath());
  winsim::HoldFile(winsim::InstallerPath(), "spooler", ERROR_SHARING_VIOLATION);
  winsim::SetRegDword(u"HKCU\\Software\\Quarlen Software KFT\\Solvendale", u"deleted", 1);
  winsim::SetPendingFileRenameOperations({u"\\??\\C:\\x", u""});
  winsim::DenyRegistryWrite(kRunKey, true);
  winsim::FailReadAt(u"C:\\Data\\odd name%\u00fc.bin", 2, ERROR_READ_FAULT);
  winsim::MessageBehaviour noTexts;
  noTexts.englishTexts = false;
  winsim::SetMessageBehaviour(noTexts);
  winsim::AdvanceMs(1234);
  ASSERT_TRUE(winsim::SaveMachine(dir));

  winsim::ResetMachine();
  EXPECT_FALSE(winsim::FileExists(u"C:\\Data\\odd name%\u00fc.bin"));
  ASSERT_TRUE(winsim::LoadMachine(dir));
  EXPECT_EQ(winsim::FileBytes(u"C:\\data\\ODD NAME%\u00fc.bin"), bytes);
  EXPECT_FALSE(winsim::FileExists(winsim::TrayPath()));
  EXPECT_TRUE(winsim::FileExists(winsim::InstallerDirectory() + u"\\qrlui64.dll"));
  EXPECT_FALSE(DeleteFileW(winsim::InstallerPath().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  DWORD value = 0;
  EXPECT_TRUE(winsim::GetRegDword(u"HKCU\\Software\\Quarlen Software KFT\\Solvendale", u"deleted",
                                  &value));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(winsim::PendingFileRenameOperations(),
            (std::vector<std::u16string>{u"\\??\\C:\\x", u""}));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                          0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(winsim::NowMs(), 1234u);
  EXPECT_FALSE(winsim::GetMessageBehaviour().englishTexts);
  HANDLE file = Open(u"C:\\Data\\odd name%\u00fc.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  char buffer[4];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  CloseHandle(file);
  EXPECT_FALSE(winsim::LoadMachine(dir + "/nothing-here"));
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

TEST_F(CoreTest, CodePageConversions) {
  const char ansi[] = "Gr\xfc\xdf \x80";
  int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, ansi, -1, nullptr, 0);
  EXPECT_EQ(n, 7);
  WCHAR wide[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, ansi, -1, wide, 8), 7);
  EXPECT_EQ(std::u16string(wide), u"Gr\u00fc\u00df \u20ac");
  char back[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 8, nullptr, nullptr), 7);
  EXPECT_STREQ(back, ansi);
  EXPECT_EQ(CompareStringOrdinal(u"Un", -1, u"uN", -1, TRUE), CSTR_EQUAL);
  EXPECT_EQ(CompareStringOrdinal(u"Un", -1, u"uN", -1, FALSE), CSTR_LESS_THAN);
}

}  // namespace
