// Conformance tests of the simulated service control manager and print
// spooler, in the manner of Wine's winspool tests: poison the last error,
// make the call, check the result and the error code.
#include <unistd.h>
#include <winsim/spooler_control.h>
#include <winspool.h>
#include <winsvc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "sim_test.h"

extern "C" {
BOOL WINAPI GetDefaultPrinterByOrdinal(LPWSTR buffer, LPDWORD count);
BOOL WINAPI SetDefaultPrinterByOrdinal(LPCWSTR printerName);
}

namespace {

const DWORD kPoison = 0xdeadbeef;

// A writable copy of a text for the spooler's LPWSTR parameters.
class Wide {
 public:
  Wide(const char16_t* text) : text_(text) {}
  operator LPWSTR() { return &text_[0]; }

 private:
  std::u16string text_;
};

const char16_t kDriverDir[] = u"C:\\Windows\\System32\\spool\\drivers\\x64";
const char16_t kDriverVersionDir[] = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3";
const char16_t kMonitorDll[] = u"C:\\Windows\\System32\\qrlmon64.dll";

class SpoolerTest : public SimTest {
 protected:
  // A writable text that lives as long as the test, for record fields.
  LPWSTR Keep(const char16_t* text) {
    kept_.emplace_back(text);
    return &kept_.back()[0];
  }
  std::deque<std::u16string> kept_;

  static std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
  }

  static bool Holds(const std::u16string& path) {
    for (const std::u16string& held : winsim::SpoolerHeldFiles())
      if (held == path) return true;
    return false;
  }

  // The product's monitor, registered the way an installer does it.
  BOOL AddProductMonitor() {
    winsim::PutFile(kMonitorDll, winsim::MakeMonitorImage(1, 0, 0, 1));
    MONITOR_INFO_2W mi = {Keep(u"Solvendale:"), Keep(u"Windows x64"), Keep(u"qrlmon64.dll")};
    return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&mi));
  }

  // Driver files staged in the driver directory, then installed.
  BOOL AddProductDriver(DWORD flags = APD_COPY_ALL_FILES) {
    std::u16string dir = std::u16string(kDriverDir) + u"\\";
    winsim::PutFile(dir + u"qrldrv64.dll", Bytes("driver"));
    winsim::PutFile(dir + u"qrlui64.dll", Bytes("ui"));
    winsim::PutFile(dir + u"qrlhelp.chm", Bytes("help"));
    std::u16string driver = dir + u"qrldrv64.dll", ui = dir + u"qrlui64.dll",
                   help = dir + u"qrlhelp.chm";
    DRIVER_INFO_6W di;
    std::memset(&di, 0, sizeof di);
    di.cVersion = 3;
    di.pName = Keep(u"Solvendale printer");
    di.pEnvironment = Keep(u"Windows x64");
    di.pDriverPath = &driver[0];
    di.pDataFile = &driver[0];
    di.pConfigFile = &ui[0];
    di.pHelpFile = &help[0];
    di.pszMfgName = Keep(u"Quarlen Software Kft.");
    di.pszProvider = Keep(u"Quarlen Software Kft.");
    return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&di), flags);
  }

  HANDLE AddQueue(const char16_t* name, const char16_t* port, const char16_t* driver,
                  const char16_t* processor = u"WinPrint") {
    Wide n(name), p(port), d(driver), pp(processor), comment(u"");
    PRINTER_INFO_2W pi;
    std::memset(&pi, 0, sizeof pi);
    pi.pPrinterName = n;
    pi.pPortName = p;
    pi.pDriverName = d;
    pi.pComment = comment;
    pi.pPrintProcessor = pp;
    return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&pi));
  }

  HANDLE Open(const char16_t* name, ACCESS_MASK access) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    HANDLE h = nullptr;
    if (!OpenPrinterW(Wide(name), &h, &defaults)) return nullptr;
    return h;
  }

  std::vector<BYTE> EnumPrinters(DWORD* count) {
    DWORD needed = 0;
    *count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed,
                  count);
    std::vector<BYTE> buffer(needed + 8);
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2,
                              buffer.data(), needed, &needed, count));
    return buffer;
  }

  std::vector<std::u16string> EnumPrinterNames() {
    DWORD count = 0;
    std::vector<BYTE> buffer = EnumPrinters(&count);
    std::vector<std::u16string> names;
    auto* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) names.push_back(records[i].pPrinterName);
    return names;
  }

  DWORD ServiceState() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, u"spooler", SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState;
  }
};

// ------------------------------------------------------ service manager --

class ServiceTest : public SpoolerTest {
 protected:
  void SetUp() override {
    SpoolerTest::SetUp();
    manager_ = OpenSCManagerW(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    CloseServiceHandle(manager_);
    SpoolerTest::TearDown();
  }
  SC_HANDLE Service(DWORD access) { return OpenServiceW(manager_, u"spooler", access); }
  SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceTest, OpensTheSpoolerByAnyCaseAndRefusesUnknownNames) {
  SC_HANDLE a = OpenServiceW(manager_, u"Spooler", SERVICE_QUERY_STATUS);
  SC_HANDLE b = OpenServiceW(manager_, u"SPOOLER", SERVICE_QUERY_STATUS);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  SetLastError(kPoison);
  EXPECT_EQ(OpenServiceW(manager_, u"spoolerx", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SetLastError(kPoison);
  EXPECT_EQ(OpenServiceW(nullptr, u"spooler", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(winsim::OpenServiceHandles(), 3u);
  EXPECT_TRUE(CloseServiceHandle(a));
  EXPECT_TRUE(CloseServiceHandle(b));
  SetLastError(kPoison);
  EXPECT_FALSE(CloseServiceHandle(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(winsim::OpenServiceHandles(), 1u);
}

TEST_F(ServiceTest, AccessSwitchesAndRightsAreEnforced) {
  winsim::ServiceBehaviour denied;
  denied.managerAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  SetLastError(kPoison);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, 0xF0001), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  denied.managerAccessDenied = false;
  denied.serviceAccessDenied = true;
  winsim::SetServiceBehaviour(denied);
  SetLastError(kPoison);
  EXPECT_EQ(Service(0x34), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  winsim::SetServiceBehaviour(winsim::ServiceBehaviour());

  // Opened for query and start only (0x14): it cannot stop the spooler.
  SC_HANDLE service = Service(SERVICE_QUERY_STATUS | SERVICE_START);
  SERVICE_STATUS status = {};
  SetLastError(kPoison);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  CloseServiceHandle(service);

  service = Service(SERVICE_STOP);
  SetLastError(kPoison);
  EXPECT_FALSE(QueryServiceStatus(service, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseServiceHandle(service);
}

TEST_F(ServiceTest, StopAndStartPassThroughPendingStatesOnTheVirtualClock) {
  winsim::ServiceBehaviour slow;
  slow.stopDelayMs = 1000;
  slow.startDelayMs = 500;
  winsim::SetServiceBehaviour(slow);
  SC_HANDLE service = Service(0x34);
  SERVICE_STATUS status = {};

  SetLastError(kPoison);
  EXPECT_FALSE(StartServiceW(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  // A second stop while stopping cannot be accepted; a start is refused too.
  SetLastError(kPoison);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  SetLastError(kPoison);
  EXPECT_FALSE(StartServiceW(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

  Sleep(999);
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  Sleep(1);
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // Stopping a stopped service fails, and still reports the status.
  std::memset(&status, 0xCC, sizeof status);
  SetLastError(kPoison);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  EXPECT_TRUE(StartServiceW(service, 0, nullptr));
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  SetLastError(kPoison);
  EXPECT_FALSE(StartServiceW(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  Sleep(500);
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(winsim::SpoolerStopCount(), 1);
  EXPECT_EQ(winsim::SpoolerStartCount(), 1);
  CloseServiceHandle(service);
}

TEST_F(ServiceTest, ADelayOfNeverLeavesTheServicePending) {
  winsim::ServiceBehaviour stuck;
  stuck.stopDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(stuck);
  SC_HANDLE service = Service(0x34);
  SERVICE_STATUS status = {};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  Sleep(3600 * 100);
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_NE(status.dwCheckPoint, 0u);

  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  stuck.startDelayMs = winsim::kNeverMs;
  winsim::SetServiceBehaviour(stuck);
  EXPECT_TRUE(StartServiceW(service, 0, nullptr));
  Sleep(3600 * 100);
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_START_PENDING));
  CloseServiceHandle(service);
}

// --------------------------------------------------- stopped spooler --

TEST_F(SpoolerTest, EverySpoolerCallFailsWithServerUnavailableWhileNotRunning) {
  HANDLE printer = Open(u"Microsoft Print to PDF", PRINTER_ALL_ACCESS);
  ASSERT_NE(printer, nullptr);
  winsim::ServiceBehaviour slow;
  slow.stopDelayMs = 100;
  winsim::SetServiceBehaviour(slow);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE service = OpenServiceW(manager, u"spooler", 0x34);
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));

  for (int pass = 0; pass < 2; ++pass) {  // stop pending, then stopped
    DWORD needed = 0, count = 0;
    BYTE buffer[64];
    HANDLE h = nullptr;
    const DWORD expected = RPC_S_SERVER_UNAVAILABLE;
    SetLastError(kPoison);
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(
        EnumPrinterDriversW(nullptr, Wide(u"Windows x64"), 6, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer, sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(OpenPrinterW(Wide(u"Microsoft Print to PDF"), &h, nullptr));
    EXPECT_EQ(GetLastError(), expected);
    EXPECT_EQ(h, nullptr);
    SetLastError(kPoison);
    EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_EQ(AddQueue(u"New", u"FILE:", u"Microsoft Print To PDF"), nullptr);
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(DeletePrinter(printer));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, Wide(u"Local Port")));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(AddProductMonitor());
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(AddProductDriver());
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, Wide(u"Microsoft Print To PDF"),
                                        DPD_DELETE_ALL_FILES, 0));
    EXPECT_EQ(GetLastError(), expected);
    EXPECT_EQ(GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), nullptr, buffer, sizeof buffer,
                              &needed),
              expected);
    EXPECT_EQ(SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, buffer, 1), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(AddPrinterConnectionW(Wide(u"\\\\server\\laser")));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(DeletePrinterConnectionW(Wide(u"\\\\server\\laser")));
    EXPECT_EQ(GetLastError(), expected);
    SetLastError(kPoison);
    EXPECT_FALSE(SetDefaultPrinterByOrdinal(u"Microsoft XPS Document Writer"));
    EXPECT_EQ(GetLastError(), expected);
    Sleep(100);
  }
  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_STOPPED));

  // The default printer lives in the user's profile and stays readable.
  WCHAR name[64];
  DWORD chars = 64;
  EXPECT_TRUE(GetDefaultPrinterByOrdinal(name, &chars));

  // A handle from before the stop is dead once the spooler runs again.
  EXPECT_TRUE(StartServiceW(service, 0, nullptr));
  DWORD needed = 0;
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(winsim::OpenPrinterHandles(), 1u);
  SetLastError(kPoison);
  EXPECT_FALSE(ClosePrinter(printer));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(winsim::OpenPrinterHandles(), 0u);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(SpoolerTest, StoppingReleasesEveryHeldFileAndStartingHoldsThemAgain) {
  ASSERT_TRUE(AddProductMonitor());
  ASSERT_TRUE(AddProductDriver());
  const std::u16string installedDriver = std::u16string(kDriverVersionDir) + u"\\qrldrv64.dll";
  const std::u16string installedUi = std::u16string(kDriverVersionDir) + u"\\qrlui64.dll";
  EXPECT_TRUE(Holds(kMonitorDll));
  EXPECT_TRUE(Holds(installedDriver));
  EXPECT_TRUE(Holds(installedUi));
  EXPECT_TRUE(Holds(u"C:\\Windows\\System32\\localspl.dll"));
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(kMonitorDll));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  const std::u16string staged = std::u16string(kDriverDir) + u"\\qrldrv64.dll";
  winsim::HoldFile(staged, "spooler");  // a file the spooler happens to have open

  winsim::ServiceBehaviour slow;
  slow.stopDelayMs = 300;
  winsim::SetServiceBehaviour(slow);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE service = OpenServiceW(manager, u"spooler", 0x34);
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(winsim::FileHeld(kMonitorDll)) << "a stopping spooler still has its DLLs";
  Sleep(300);
  EXPECT_TRUE(winsim::SpoolerHeldFiles().empty());
  EXPECT_FALSE(winsim::FileHeld(kMonitorDll));
  EXPECT_FALSE(winsim::FileHeld(installedDriver));
  EXPECT_FALSE(winsim::FileHeld(staged));

  ASSERT_TRUE(StartServiceW(service, 0, nullptr));
  EXPECT_TRUE(Holds(kMonitorDll));
  EXPECT_TRUE(Holds(installedDriver));
  EXPECT_TRUE(Holds(installedUi));
  EXPECT_FALSE(Holds(std::u16string(kDriverVersionDir) + u"\\qrlhelp.chm"));

  // A monitor whose DLL is gone when the spooler starts is not loaded.
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  ASSERT_TRUE(DeleteFileW(kMonitorDll));
  winsim::SetSpoolerServiceState(SERVICE_RUNNING);
  EXPECT_FALSE(winsim::FileHeld(kMonitorDll));
  std::vector<std::u16string> ports = winsim::Ports();
  EXPECT_EQ(std::find(ports.begin(), ports.end(), u"Solvendale:"), ports.end());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// ------------------------------------------------- packing and sizing --

TEST_F(SpoolerTest, EnumMonitorsSizesAndPacksStringsFromTheEndBackwards) {
  DWORD needed = kPoison, count = kPoison;
  SetLastError(kPoison);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 0u);
  // Two records and six strings with their terminators.
  const DWORD strings = (11 + 12 + 13 + 21 + 12 + 11) * 2;
  EXPECT_EQ(needed, 2 * sizeof(MONITOR_INFO_2W) + strings);

  std::vector<BYTE> buffer(needed + 40, 0xAB);
  count = kPoison;
  SetLastError(kPoison);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 2, buffer.data(), needed - 1, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(EnumMonitorsW(nullptr, 2, buffer.data(), needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  auto* m = reinterpret_cast<MONITOR_INFO_2W*>(buffer.data());
  EXPECT_EQ(std::u16string(m[0].pName), u"Local Port");
  EXPECT_EQ(std::u16string(m[0].pEnvironment), u"Windows x64");
  EXPECT_EQ(std::u16string(m[0].pDLLName), u"localspl.dll");
  EXPECT_EQ(std::u16string(m[1].pName), u"Standard TCP/IP Port");
  EXPECT_EQ(std::u16string(m[1].pDLLName), u"tcpmon.dll");
  // The first record's first string ends the block; each record's strings
  // lie below those of the record before.
  BYTE* end = buffer.data() + needed;
  EXPECT_EQ(reinterpret_cast<BYTE*>(m[0].pName), end - 11 * 2);
  EXPECT_EQ(reinterpret_cast<BYTE*>(m[0].pEnvironment), end - (11 + 12) * 2);
  EXPECT_EQ(reinterpret_cast<BYTE*>(m[1].pDLLName), buffer.data() + 2 * sizeof(MONITOR_INFO_2W));
  EXPECT_EQ(buffer[needed], 0xAB) << "nothing written past the given size";

  // Level 1 and an unknown level.
  ASSERT_TRUE(
      EnumMonitorsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count));
  EXPECT_EQ(needed, 2 * sizeof(MONITOR_INFO_1W) + (11 + 21) * 2);
  EXPECT_EQ(reinterpret_cast<BYTE*>(reinterpret_cast<MONITOR_INFO_1W*>(buffer.data())[0].pName),
            buffer.data() + buffer.size() - 22)
      << "packed from the end of the caller's buffer";
  SetLastError(kPoison);
  EXPECT_FALSE(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(SpoolerTest, EnumPrintersPacksEveryFieldWithAnAlignedDeviceMode) {
  winsim::RemoveAllPrinters();
  DWORD needed = kPoison, count = kPoison;
  EXPECT_TRUE(EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count)) << "nothing to list";
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);

  winsim::PrinterSetup local;
  local.name = u"Office";
  local.ports = u"LPT1:,FILE:";
  local.driverName = std::u16string(u"Microsoft Print To PDF");
  local.comment = std::u16string(u"second floor");
  local.location = std::u16string(u"room 12");
  local.jobs = 3;
  winsim::PutPrinter(local);
  winsim::PrinterSetup remote;
  remote.name = u"\\\\server\\laser";
  remote.serverName = std::u16string(u"\\\\server");
  remote.ports = u"IP_10.0.0.9";
  remote.driverName = std::u16string(u"Solvendale printer");
  remote.connection = true;
  remote.devMode = false;
  winsim::PutPrinter(remote);

  SetLastError(kPoison);
  EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buffer(needed + 32);
  ASSERT_TRUE(EnumPrintersW(6, nullptr, 2, buffer.data(), needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  auto* p = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  EXPECT_EQ(p[0].pServerName, nullptr);
  EXPECT_EQ(std::u16string(p[0].pPrinterName), u"Office");
  EXPECT_EQ(std::u16string(p[0].pPortName), u"LPT1:,FILE:");
  EXPECT_EQ(std::u16string(p[0].pComment), u"second floor");
  EXPECT_EQ(std::u16string(p[0].pLocation), u"room 12");
  EXPECT_EQ(std::u16string(p[0].pPrintProcessor), u"WinPrint");
  EXPECT_EQ(p[0].Attributes & PRINTER_ATTRIBUTE_LOCAL, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL));
  EXPECT_EQ(p[0].cJobs, 3u);
  ASSERT_NE(p[0].pDevMode, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p[0].pDevMode) % 8, 0u);
  EXPECT_EQ(p[0].pDevMode->dmSize, sizeof(DEVMODEW));
  EXPECT_EQ(std::u16string(p[0].pDevMode->dmDeviceName), u"Office");
  EXPECT_EQ(std::u16string(p[1].pPrinterName), u"\\\\server\\laser");
  EXPECT_EQ(std::u16string(p[1].pServerName), u"\\\\server");
  EXPECT_EQ(p[1].pDevMode, nullptr);
  EXPECT_EQ(p[1].Attributes & PRINTER_ATTRIBUTE_NETWORK,
            static_cast<DWORD>(PRINTER_ATTRIBUTE_NETWORK));
  // Every pointer lies inside the block, past the records.
  BYTE* low = buffer.data() + 2 * sizeof(PRINTER_INFO_2W);
  BYTE* high = buffer.data() + needed;
  for (DWORD i = 0; i < count; ++i) {
    for (LPWSTR text : {p[i].pPrinterName, p[i].pPortName, p[i].pDriverName, p[i].pComment}) {
      EXPECT_GE(reinterpret_cast<BYTE*>(text), low);
      EXPECT_LT(reinterpret_cast<BYTE*>(text), high);
    }
  }
  EXPECT_EQ(reinterpret_cast<BYTE*>(p[0].pPrinterName), high - 7 * 2) << "server name is NULL";

  // Only the connections.
  std::vector<BYTE> small(needed);
  ASSERT_TRUE(
      EnumPrintersW(PRINTER_ENUM_CONNECTIONS, nullptr, 2, small.data(), needed, &needed, &count));
  EXPECT_EQ(count, 1u);
  SetLastError(kPoison);
  EXPECT_FALSE(EnumPrintersW(6, nullptr, 3, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(SpoolerTest, DriverRecordsAtEveryLevel) {
  ASSERT_TRUE(AddProductDriver());
  DWORD needed = 0, count = 0;
  for (DWORD level = 1; level <= 6; ++level) {
    SetLastError(kPoison);
    EXPECT_FALSE(
        EnumPrinterDriversW(nullptr, Wide(u"Windows x64"), level, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << level;
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumPrinterDriversW(nullptr, Wide(u"Windows x64"), level, buffer.data(), needed,
                                    &needed, &count));
    EXPECT_EQ(count, 3u);
    if (level == 1) {
      EXPECT_EQ(std::u16string(reinterpret_cast<DRIVER_INFO_1W*>(buffer.data())[2].pName),
                u"Solvendale printer");
    }
    if (level == 6) {
      const DRIVER_INFO_6W& d = reinterpret_cast<DRIVER_INFO_6W*>(buffer.data())[2];
      EXPECT_EQ(d.cVersion, 3u);
      EXPECT_EQ(std::u16string(d.pName), u"Solvendale printer");
      EXPECT_EQ(std::u16string(d.pEnvironment), u"Windows x64");
      EXPECT_EQ(std::u16string(d.pDriverPath),
                std::u16string(kDriverVersionDir) + u"\\qrldrv64.dll");
      EXPECT_EQ(std::u16string(d.pDataFile), std::u16string(kDriverVersionDir) + u"\\qrldrv64.dll");
      EXPECT_EQ(std::u16string(d.pConfigFile),
                std::u16string(kDriverVersionDir) + u"\\qrlui64.dll");
      EXPECT_EQ(std::u16string(d.pHelpFile), std::u16string(kDriverVersionDir) + u"\\qrlhelp.chm");
      EXPECT_EQ(d.pDependentFiles, nullptr);
      EXPECT_EQ(std::u16string(d.pszMfgName), u"Quarlen Software Kft.");
      EXPECT_EQ(std::u16string(d.pszProvider), u"Quarlen Software Kft.");
      EXPECT_EQ(d.pszOEMUrl, nullptr);
    }
    if (level == 3) {
      // The built-in driver's dependent files: a multi-string list.
      const DRIVER_INFO_3W& d = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data())[0];
      std::u16string first(d.pDependentFiles);
      EXPECT_EQ(first, std::u16string(kDriverVersionDir) + u"\\MXDW-manifest.ini");
      EXPECT_EQ(d.pDependentFiles[first.size() + 1], 0);
    }
  }
  SetLastError(kPoison);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, Wide(u"Windows x64"), 7, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  SetLastError(kPoison);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, Wide(u"Windows 95"), 6, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  // Another environment has no drivers: the sizing call succeeds.
  EXPECT_TRUE(
      EnumPrinterDriversW(nullptr, Wide(u"Windows NT x86"), 6, nullptr, 0, &needed, &count));
  EXPECT_EQ(count, 0u);

  // GetPrinterDriverW of a queue: sized, then filled.
  HANDLE q = AddQueue(u"Solvendale", u"FILE:", u"Solvendale printer");
  ASSERT_NE(q, nullptr);
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterDriverW(q, Wide(u"Windows x64"), 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterDriverW(q, nullptr, 2, buffer.data(), needed, &needed));
  EXPECT_EQ(std::u16string(reinterpret_cast<DRIVER_INFO_2W*>(buffer.data())->pDriverPath),
            std::u16string(kDriverVersionDir) + u"\\qrldrv64.dll");
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterDriverW(q, Wide(u"Windows NT x86"), 2, buffer.data(), needed, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  ClosePrinter(q);
}

TEST_F(SpoolerTest, DriverDirectoryTellsTheNeededBytes) {
  DWORD needed = 0;
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, Wide(u"Windows x64"), 1, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, 76u);
  WCHAR path[MAX_PATH];
  EXPECT_TRUE(GetPrinterDriverDirectoryW(nullptr, Wide(u"Windows x64"), 1,
                                         reinterpret_cast<LPBYTE>(path), 76, &needed));
  EXPECT_EQ(std::u16string(path), kDriverDir);
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, Wide(u"Windows XP"), 1,
                                          reinterpret_cast<LPBYTE>(path), sizeof path, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  SetLastError(kPoison);
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(path),
                                          sizeof path, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

// ------------------------------------------------------------- monitors --

TEST_F(SpoolerTest, AddMonitorLoadsTheDllFromTheSystemDirectory) {
  MONITOR_INFO_2W mi = {Keep(u"Solvendale:"), Keep(u"Windows x64"), Keep(u"qrlmon64.dll")};
  SetLastError(kPoison);
  EXPECT_FALSE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&mi)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));

  ASSERT_TRUE(AddProductMonitor());
  EXPECT_TRUE(Holds(kMonitorDll));
  std::vector<std::u16string> ports = winsim::Ports();
  EXPECT_NE(std::find(ports.begin(), ports.end(), u"Solvendale:"), ports.end());

  SetLastError(kPoison);
  EXPECT_FALSE(AddProductMonitor());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  MONITOR_INFO_2W other = {Keep(u"Other"), Keep(u"Windows NT x86"), Keep(u"qrlmon64.dll")};
  SetLastError(kPoison);
  EXPECT_FALSE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&other)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  SetLastError(kPoison);
  EXPECT_FALSE(AddMonitorW(nullptr, 1, reinterpret_cast<LPBYTE>(&other)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  // A fixture monitor's port is configurable.
  winsim::PutFile(u"C:\\Windows\\System32\\fixture.dll", winsim::MakeMonitorImage(1, 0, 0, 1));
  winsim::SetMonitorDllPorts(u"fixture.dll", {u"FX1:", u"FX2:"});
  MONITOR_INFO_2W fixture = {Keep(u"Fixture"), Keep(u"Windows x64"), Keep(u"fixture.dll")};
  ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&fixture)));
  ports = winsim::Ports();
  EXPECT_EQ(ports.back(), u"FX2:");
}

TEST_F(SpoolerTest, DeleteMonitorIsRefusedWhileAQueuePrintsToItsPort) {
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteMonitorW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale:")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));

  ASSERT_TRUE(AddProductMonitor());
  HANDLE q = AddQueue(u"Queue", u"LPT1:,Solvendale:", u"Microsoft Print To PDF");
  ASSERT_NE(q, nullptr);
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteMonitorW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale:")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteMonitorW(nullptr, Wide(u"Windows 4.1"), Wide(u"Solvendale:")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));

  // Switch the queue to "file:" through its own record, as the installer does.
  DWORD needed = 0;
  GetPrinterW(q, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(q, 2, buffer.data(), needed, &needed));
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  std::memcpy(pi->pPortName + 6, u"file:", 6 * sizeof(WCHAR));
  ASSERT_TRUE(SetPrinterW(q, 2, buffer.data(), 0));
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Queue", &state));
  EXPECT_EQ(state.ports, u"LPT1:,FILE:") << "ports are kept by their own names";

  ASSERT_TRUE(DeleteMonitorW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale:")));
  ClosePrinter(q);
  EXPECT_FALSE(winsim::HasMonitor(u"Solvendale:"));
  EXPECT_TRUE(winsim::FileExists(kMonitorDll)) << "the DLL stays";

  // The spooler keeps the removed monitor's DLL loaded, also in a saved
  // machine, until it stops.
  char pattern[] = "/tmp/winsim_spooler_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  ASSERT_TRUE(winsim::SaveMachine(pattern));
  winsim::ResetMachine();
  ASSERT_TRUE(winsim::LoadMachine(pattern));
  std::system((std::string("rm -rf ") + pattern).c_str());
  EXPECT_TRUE(Holds(kMonitorDll));
  SetLastError(kPoison);
  EXPECT_FALSE(DeleteFileW(Wide(kMonitorDll)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);
  winsim::SetSpoolerServiceState(SERVICE_RUNNING);
  EXPECT_FALSE(winsim::FileHeld(kMonitorDll));
}

// -------------------------------------------------------------- drivers --

TEST_F(SpoolerTest, AddPrinterDriverCopiesTheFilesIntoTheVersionDirectory) {
  DRIVER_INFO_6W missing;
  std::memset(&missing, 0, sizeof missing);
  missing.cVersion = 3;
  missing.pName = Keep(u"Missing");
  missing.pEnvironment = Keep(u"Windows x64");
  missing.pDriverPath = Keep(u"C:\\nowhere\\a.dll");
  missing.pDataFile = Keep(u"C:\\nowhere\\a.dll");
  missing.pConfigFile = Keep(u"C:\\nowhere\\b.dll");
  SetLastError(kPoison);
  EXPECT_FALSE(
      AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&missing), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  missing.pEnvironment = Keep(u"Windows 3.1");
  SetLastError(kPoison);
  EXPECT_FALSE(
      AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&missing), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  SetLastError(kPoison);
  EXPECT_FALSE(
      AddPrinterDriverExW(nullptr, 5, reinterpret_cast<LPBYTE>(&missing), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  ASSERT_TRUE(AddProductDriver());
  const std::u16string installed = std::u16string(kDriverVersionDir) + u"\\qrldrv64.dll";
  EXPECT_EQ(winsim::FileBytes(installed), Bytes("driver"));
  EXPECT_TRUE(Holds(installed));
  // The staged copies are the caller's to delete.
  EXPECT_TRUE(DeleteFileW((std::u16string(kDriverDir) + u"\\qrldrv64.dll").c_str()));

  // Installing again replaces the driver and its files.
  ASSERT_TRUE(AddProductDriver());
  std::vector<winsim::DriverState> drivers = winsim::Drivers();
  EXPECT_EQ(
      std::count_if(drivers.begin(), drivers.end(),
                    [](const winsim::DriverState& d) { return d.name == u"Solvendale printer"; }),
      1);
  EXPECT_TRUE(Holds(installed));

  // A file another program keeps open cannot be replaced; the old driver stays.
  winsim::HoldFile(installed, "viewer");
  SetLastError(kPoison);
  EXPECT_FALSE(AddProductDriver());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(winsim::HasDriver(u"Solvendale printer"));
  EXPECT_TRUE(Holds(installed));
}

TEST_F(SpoolerTest, DeletePrinterDriverChecksUseAndDeletesItsFiles) {
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale printer"),
                                      DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));

  ASSERT_TRUE(AddProductDriver());
  HANDLE q = AddQueue(u"Solvendale", u"FILE:", u"Solvendale printer");
  ASSERT_NE(q, nullptr);
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale printer"),
                                      DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  ASSERT_TRUE(DeletePrinter(q));
  ASSERT_TRUE(ClosePrinter(q));

  // The built-in drivers share files: neither can go with all its files.
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, Wide(u"Windows x64"),
                                      Wide(u"Microsoft XPS Document Writer v4"),
                                      DPD_DELETE_ALL_FILES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));

  ASSERT_TRUE(DeletePrinterDriverExW(nullptr, Wide(u"Windows x64"), Wide(u"Solvendale printer"),
                                     DPD_DELETE_ALL_FILES, 0));
  EXPECT_FALSE(winsim::HasDriver(u"Solvendale printer"));
  for (const char16_t* file : {u"\\qrldrv64.dll", u"\\qrlui64.dll", u"\\qrlhelp.chm"})
    EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverVersionDir) + file)) << U8(file);
  EXPECT_TRUE(winsim::FileExists(std::u16string(kDriverVersionDir) + u"\\mxdwdrv.dll"));
}

// ------------------------------------------------------------- printers --

TEST_F(SpoolerTest, AddPrinterValidatesTheRecord) {
  ASSERT_TRUE(AddProductDriver());
  ASSERT_TRUE(AddProductMonitor());
  struct Case {
    const char16_t* name;
    const char16_t* port;
    const char16_t* driver;
    const char16_t* processor;
    DWORD error;
  } cases[] = {
      {u"Microsoft Print to PDF", u"FILE:", u"Solvendale printer", u"WinPrint",
       ERROR_PRINTER_ALREADY_EXISTS},
      {u"Q", u"FILE:", u"Solvendale Printer2", u"WinPrint", ERROR_UNKNOWN_PRINTER_DRIVER},
      {u"Q", u"LPT1:,Nowhere:", u"Solvendale printer", u"WinPrint", ERROR_UNKNOWN_PORT},
      {u"Q", u"", u"Solvendale printer", u"WinPrint", ERROR_UNKNOWN_PORT},
      {u"Q", u"FILE:", u"Solvendale printer", u"NoPrint", ERROR_UNKNOWN_PRINTPROCESSOR},
      {u"", u"FILE:", u"Solvendale printer", u"WinPrint", ERROR_INVALID_PRINTER_NAME},
      {u"a\\b", u"FILE:", u"Solvendale printer", u"WinPrint", ERROR_INVALID_PRINTER_NAME},
  };
  for (const Case& c : cases) {
    SetLastError(kPoison);
    EXPECT_EQ(AddQueue(c.name, c.port, c.driver, c.processor), nullptr) << U8(c.name);
    EXPECT_EQ(GetLastError(), c.error) << U8(c.name) << " " << U8(c.port);
  }

  HANDLE q = AddQueue(u"Solvendale", u"Solvendale:", u"Solvendale printer", u"winprint");
  ASSERT_NE(q, nullptr);
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Solvendale", &state));
  EXPECT_EQ(state.ports, u"Solvendale:");
  EXPECT_EQ(state.comment, std::optional<std::u16string>(u""));
  EXPECT_EQ(state.location, std::nullopt);
  EXPECT_EQ(state.printProcessor, std::optional<std::u16string>(u"WinPrint"));
  EXPECT_EQ(state.datatype, std::optional<std::u16string>(u"RAW"));
  EXPECT_EQ(state.priority, 1u);
  EXPECT_TRUE(state.hasDevMode);
  // The new queue's handle has every right.
  EXPECT_EQ(SetPrinterDataA(q, const_cast<LPSTR>("SubKey"), REG_SZ,
                            reinterpret_cast<LPBYTE>(const_cast<char*>("a")), 2),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(DeletePrinter(q));
  EXPECT_TRUE(ClosePrinter(q));
}

TEST_F(SpoolerTest, HandlesCarryTheRightsAskedFor) {
  HANDLE h = nullptr;
  SetLastError(kPoison);
  EXPECT_FALSE(OpenPrinterW(Wide(u"No such printer"), &h, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

  ASSERT_TRUE(OpenPrinterW(Wide(u"microsoft print to pdf"), &h, nullptr));
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(h, 2, buffer.data(), needed, &needed)) << "a USE handle may read";
  SetLastError(kPoison);
  EXPECT_FALSE(SetPrinterW(h, 2, buffer.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinter(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kPoison);
  EXPECT_FALSE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ,
                              reinterpret_cast<LPBYTE>(const_cast<char*>("a")), 2),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(ClosePrinter(h));
  SetLastError(kPoison);
  EXPECT_FALSE(ClosePrinter(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // DELETE | PRINTER_ACCESS_ADMINISTER may delete and change.
  h = Open(u"Microsoft Print to PDF", DELETE | PRINTER_ACCESS_ADMINISTER);
  ASSERT_NE(h, nullptr);
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  pi->pComment = Keep(u"changed");
  EXPECT_TRUE(SetPrinterW(h, 2, buffer.data(), 0));
  std::memcpy(pi->pPortName, u"LPT9:", 6 * sizeof(WCHAR));
  SetLastError(kPoison);
  EXPECT_FALSE(SetPrinterW(h, 2, buffer.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_TRUE(DeletePrinter(h));
  EXPECT_TRUE(ClosePrinter(h));
  EXPECT_FALSE(winsim::HasPrinter(u"Microsoft Print to PDF"));
}

TEST_F(SpoolerTest, AQueueWithJobsGoesOnlyWithItsLastJob) {
  winsim::SetPrinterJobs(u"Microsoft Print to PDF", 2);
  HANDLE h = Open(u"Microsoft Print to PDF", PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(DeletePrinter(h));
  // Hidden at once, but kept while its jobs remain.
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"Microsoft Print to PDF", &state));
  EXPECT_TRUE(state.pendingDeletion);
  EXPECT_EQ(state.status & PRINTER_STATUS_PENDING_DELETION,
            static_cast<DWORD>(PRINTER_STATUS_PENDING_DELETION));
  EXPECT_EQ(EnumPrinterNames(), std::vector<std::u16string>{u"Microsoft XPS Document Writer"});
  HANDLE again = nullptr;
  SetLastError(kPoison);
  EXPECT_FALSE(OpenPrinterW(Wide(u"Microsoft Print to PDF"), &again, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  // Windows would take the printer back for a new one of its name.
  EXPECT_DEATH(AddQueue(u"Microsoft Print to PDF", u"FILE:", u"Microsoft Print To PDF"), "not supported");

  // Purging through the handle lets it go once the handle is closed.
  ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_TRUE(winsim::FindPrinter(u"Microsoft Print to PDF", nullptr));
  ASSERT_TRUE(ClosePrinter(h));
  EXPECT_FALSE(winsim::FindPrinter(u"Microsoft Print to PDF", nullptr));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"") << "the default printer went with it";
}

// A connection is this user's link to a print server's queue: what is done
// through its handle is done to the server's queue, removing the connection
// leaves that queue alone, and connecting again needs the queue and the
// driver.
TEST_F(SpoolerTest, ConnectionsLeaveTheQueueToItsServer) {
  ASSERT_TRUE(AddProductDriver());
  winsim::PrinterSetup remote;
  remote.name = u"\\\\server\\laser";
  remote.ports = u"IP_10.0.0.9";
  remote.driverName = std::u16string(u"Solvendale printer");
  remote.connection = true;
  remote.jobs = 3;
  winsim::PutPrinter(remote);
  winsim::PutPrinterString(u"\\\\server\\laser", "PrinterDriverData", "SubKey", "shared");
  winsim::SetDefaultPrinterName(u"\\\\server\\laser");
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, Wide(u"Solvendale printer"), 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));

  // Removing the connection: gone from this machine and its default, kept
  // by the server with its jobs and data, still open by name.
  ASSERT_TRUE(DeletePrinterConnectionW(Wide(u"\\\\server\\laser")));
  EXPECT_EQ(EnumPrinterNames().size(), 2u);
  EXPECT_FALSE(winsim::HasPrinter(u"\\\\server\\laser"));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"");
  winsim::PrinterState state;
  ASSERT_TRUE(winsim::FindPrinter(u"\\\\server\\laser", &state));
  EXPECT_FALSE(state.connected);
  EXPECT_EQ(state.jobs, 3u);
  EXPECT_EQ(state.serverName, std::optional<std::u16string>(u"\\\\server"));
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterConnectionW(Wide(u"\\\\server\\laser")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  SetLastError(kPoison);
  EXPECT_FALSE(DeletePrinterConnectionW(Wide(u"Microsoft Print to PDF")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  ASSERT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, Wide(u"Solvendale printer"), 0, 0));

  // Connecting again needs the queue on its server and its driver here.
  for (const char16_t* missing : {u"\\\\server\\other", u"\\\\nowhere\\laser"}) {
    SetLastError(kPoison);
    EXPECT_FALSE(AddPrinterConnectionW(Wide(missing)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  }
  SetLastError(kPoison);
  EXPECT_FALSE(AddPrinterConnectionW(Wide(u"\\\\server\\laser")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "no driver to use";
  ASSERT_TRUE(AddProductDriver());
  ASSERT_TRUE(AddPrinterConnectionW(Wide(u"\\\\server\\laser")));
  EXPECT_TRUE(winsim::HasPrinter(u"\\\\server\\laser"));
  ASSERT_TRUE(AddPrinterConnectionW(Wide(u"\\\\server\\laser"))) << "connected already";

  // Through the connection's handle: the server's data, purge and deletion.
  HANDLE h = Open(u"\\\\server\\laser", PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  BYTE buffer[16];
  DWORD type = 0, needed = 0;
  EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), &type, buffer, sizeof buffer, &needed),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "shared");
  ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
  ASSERT_TRUE(DeletePrinter(h));
  ASSERT_TRUE(ClosePrinter(h));
  EXPECT_FALSE(winsim::FindPrinter(u"\\\\server\\laser", nullptr)) << "deleted on the server";
}

TEST_F(SpoolerTest, PrinterDataIsKeptByKeyWithItsType) {
  HANDLE h = Open(u"Microsoft Print to PDF", PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  char value[] = "Printer_01";
  EXPECT_EQ(SetPrinterDataA(h, const_cast<LPSTR>("SubKey"), REG_SZ, reinterpret_cast<LPBYTE>(value),
                            sizeof value),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(
      SetPrinterDataExA(h, "DsUser", "SubKey", REG_BINARY, reinterpret_cast<LPBYTE>(value), 4),
      static_cast<DWORD>(ERROR_SUCCESS));

  BYTE buffer[64];
  DWORD type = kPoison, needed = kPoison;
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("subkey"), &type, buffer, sizeof buffer, &needed),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(needed, sizeof value);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "Printer_01");
  // The plain values are the ones under "PrinterDriverData".
  EXPECT_EQ(
      GetPrinterDataExA(h, "PrinterDriverData", "SubKey", &type, buffer, sizeof buffer, &needed),
      static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(GetPrinterDataExA(h, "DsUser", "SubKey", &type, buffer, sizeof buffer, &needed),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(needed, 4u);

  needed = kPoison;
  EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), &type, buffer, 5, &needed),
            static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(needed, sizeof value);
  EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("Other"), &type, buffer, sizeof buffer, &needed),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetPrinterDataExA(h, "DsSpooler", "SubKey", &type, buffer, sizeof buffer, &needed),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  winsim::PrinterDataEntry entry;
  ASSERT_TRUE(winsim::GetPrinterDataEntry(u"Microsoft Print to PDF", "DsUser", "SubKey", &entry));
  EXPECT_EQ(entry.bytes.size(), 4u);
  ClosePrinter(h);
}

TEST_F(SpoolerTest, DefaultPrinterOrdinals) {
  WCHAR name[64];
  DWORD chars = 5;
  SetLastError(kPoison);
  EXPECT_FALSE(GetDefaultPrinterByOrdinal(name, &chars));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(chars, 23u) << "the characters needed, terminator included";
  EXPECT_TRUE(GetDefaultPrinterByOrdinal(name, &chars));
  EXPECT_EQ(std::u16string(name), u"Microsoft Print to PDF");

  SetLastError(kPoison);
  EXPECT_FALSE(SetDefaultPrinterByOrdinal(u"Nobody"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_TRUE(SetDefaultPrinterByOrdinal(u"microsoft xps document writer"));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"Microsoft XPS Document Writer");

  winsim::SetDefaultPrinterName(u"");
  chars = 64;
  SetLastError(kPoison);
  EXPECT_FALSE(GetDefaultPrinterByOrdinal(name, &chars));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SpoolerTest, RenamedQueuesKeepTheDefaultAndOfflineConnectionsCannotOpen) {
  HANDLE h = Open(u"Microsoft Print to PDF", PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(h, 2, buffer.data(), needed, &needed));
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  pi->pPrinterName = Keep(u"Microsoft XPS Document Writer");
  SetLastError(kPoison);
  EXPECT_FALSE(SetPrinterW(h, 2, buffer.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
  pi->pPrinterName = Keep(u"PDF");
  ASSERT_TRUE(SetPrinterW(h, 2, buffer.data(), 0));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"PDF");
  ClosePrinter(h);

  winsim::PrinterSetup remote;
  remote.name = u"\\\\server\\laser";
  remote.ports = u"IP_10.0.0.9";
  remote.driverName = std::u16string(u"Solvendale printer");
  remote.connection = true;
  remote.openError = ERROR_INVALID_PRINTER_NAME;
  winsim::PutPrinter(remote);
  ASSERT_TRUE(SetDefaultPrinterByOrdinal(u"\\\\server\\laser"));
  HANDLE c = nullptr;
  SetLastError(kPoison);
  EXPECT_FALSE(OpenPrinterW(Wide(u"\\\\server\\laser"), &c, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

  // An empty name keeps a default printer, and picks the first local one
  // when there is none.
  EXPECT_TRUE(SetDefaultPrinterByOrdinal(u""));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"\\\\server\\laser");
  winsim::SetDefaultPrinterName(u"");
  EXPECT_TRUE(SetDefaultPrinterByOrdinal(nullptr));
  EXPECT_EQ(winsim::DefaultPrinterName(), u"PDF");
}

TEST_F(SpoolerTest, FaultsCanBeInjectedIntoSpoolerCalls) {
  winsim::FailCall("OpenPrinterW", ERROR_ACCESS_DENIED);
  HANDLE h = nullptr;
  SetLastError(kPoison);
  EXPECT_FALSE(OpenPrinterW(Wide(u"Microsoft Print to PDF"), &h, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(OpenPrinterW(Wide(u"Microsoft Print to PDF"), &h, nullptr));
  winsim::FailCall("GetPrinterDataA", ERROR_INVALID_DATA);
  BYTE buffer[8];
  DWORD needed = 0;
  EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), nullptr, buffer, 8, &needed),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  ClosePrinter(h);
}

// ------------------------------------------------------------ save/load --

TEST_F(SpoolerTest, TheCatalogueSurvivesSavingAndLoadingTheMachine) {
  ASSERT_TRUE(AddProductMonitor());
  ASSERT_TRUE(AddProductDriver());
  HANDLE q = AddQueue(u"Solvendale", u"LPT1:,Solvendale:", u"Solvendale printer");
  ASSERT_NE(q, nullptr);
  char value[] = "Printer_01";
  SetPrinterDataExA(q, "DsUser", "SubKey", REG_SZ, reinterpret_cast<LPBYTE>(value), sizeof value);
  ClosePrinter(q);
  winsim::SetPrinterJobs(u"Solvendale", 4);
  winsim::SetDefaultPrinterName(u"Solvendale");
  winsim::PrinterSetup remote;
  remote.name = u"\\\\server\\laser";
  remote.driverName = std::u16string(u"Solvendale printer");
  remote.connection = true;
  remote.connected = false;
  winsim::PutPrinter(remote);
  winsim::ServiceBehaviour slow;
  slow.stopDelayMs = 700;
  winsim::SetServiceBehaviour(slow);
  winsim::SetSpoolerServiceState(SERVICE_STOPPED);

  char pattern[] = "/tmp/winsim_spooler_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  ASSERT_TRUE(winsim::SaveMachine(dir));
  std::vector<winsim::PrinterState> printers = winsim::Printers();
  std::vector<winsim::MonitorState> monitors = winsim::Monitors();
  winsim::ResetMachine();
  ASSERT_TRUE(winsim::LoadMachine(dir));
  std::system(("rm -rf " + dir).c_str());

  EXPECT_EQ(winsim::SpoolerServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(winsim::SpoolerHeldFiles().empty());
  ASSERT_EQ(winsim::Printers().size(), printers.size());
  winsim::PrinterState loaded;
  ASSERT_TRUE(winsim::FindPrinter(u"Solvendale", &loaded));
  EXPECT_EQ(loaded.ports, u"LPT1:,Solvendale:");
  EXPECT_EQ(loaded.jobs, 4u);
  EXPECT_EQ(loaded.comment, std::optional<std::u16string>(u""));
  EXPECT_EQ(loaded.location, std::nullopt);
  EXPECT_TRUE(loaded.hasDevMode);
  ASSERT_EQ(loaded.data.size(), 1u);
  EXPECT_EQ(loaded.data[0].key, "DsUser");
  EXPECT_EQ(loaded.data[0].bytes.size(), sizeof value);
  EXPECT_EQ(winsim::DefaultPrinterName(), u"Solvendale");
  ASSERT_TRUE(winsim::FindPrinter(u"\\\\server\\laser", &loaded));
  EXPECT_FALSE(loaded.connected);
  EXPECT_EQ(winsim::Monitors().size(), monitors.size());
  winsim::DriverState driver;
  ASSERT_TRUE(winsim::FindDriver(u"Solvendale printer", u"Windows x64", &driver));
  EXPECT_EQ(driver.helpFile,
            std::optional<std::u16string>(std::u16string(kDriverVersionDir) + u"\\qrlhelp.chm"));

  // The loaded stop delay applies, and a start loads the monitor again.
  winsim::SetSpoolerServiceState(SERVICE_RUNNING);
  EXPECT_TRUE(Holds(kMonitorDll));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
  SC_HANDLE service = OpenServiceW(manager, u"spooler", 0x34);
  SERVICE_STATUS status = {};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

}  // namespace
