// The spooler's catalogue, its fresh-machine contents, the files it keeps
// loaded and the printer handles it gives out.
#include "spooler_model.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "core.h"

#include <winsim/control.h>

namespace winsim {
namespace spooler {

const char kHolder[] = "spooler";
const char16_t kLocalEnvironment[] = u"Windows x64";

namespace {

const char16_t kDriversSubdirectory[] = u"\\spool\\drivers\\";

struct EnvironmentName {
  const char16_t* name;
  const char16_t* directory;
};

// The environments Windows knows ([MS-RPRN] 2.2.4.4) and their directories
// under spool\drivers.
const EnvironmentName kEnvironments[] = {
    {u"Windows x64", u"x64"},     {u"Windows NT x86", u"W32X86"}, {u"Windows IA64", u"IA64"},
    {u"Windows ARM64", u"ARM64"}, {u"Windows 4.0", u"WIN40"},
};

const char16_t* const kLocalPorts[] = {u"LPT1:", u"LPT2:", u"LPT3:", u"COM1:",      u"COM2:",
                                       u"COM3:", u"COM4:", u"FILE:", u"PORTPROMPT:"};

std::vector<std::u16string> LocalPortList() {
  std::vector<std::u16string> ports;
  for (const char16_t* port : kLocalPorts) ports.push_back(port);
  return ports;
}

std::vector<uint8_t> PlaceholderImage(const std::string& name) {
  std::string text = "MZ simulated image: " + name;
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Windows' own monitor DLLs.
void PutMonitorDll(const std::u16string& path) {
  if (!files::IsFile(path)) files::WriteBytes(path, MakeMonitorImage(10, 0, 19041, 1));
}

std::u16string InDriverDir(const char16_t* subdirectory, const char16_t* file) {
  return DriverDirectoryOf(kLocalEnvironment) + u"\\" + subdirectory + u"\\" + file;
}

void PutBuiltInFile(const std::u16string& path) {
  if (!files::IsFile(path)) files::WriteBytes(path, PlaceholderImage(Narrow(FileNamePart(path))));
}

Driver BuiltInDriver(const std::u16string& name, const char16_t* dataFile,
                     const char16_t* hardwareId) {
  Driver d;
  d.name = name;
  d.environment = kLocalEnvironment;
  d.version = 4;
  d.driverPath = InDriverDir(u"3", u"mxdwdrv.dll");
  d.dataFile = InDriverDir(u"3", dataFile);
  d.configFile = InDriverDir(u"3", u"PrintConfig.dll");
  d.helpFile = std::nullopt;
  d.dependentFiles = std::vector<std::u16string>{InDriverDir(u"3", u"MXDW-manifest.ini")};
  d.monitorName = std::nullopt;
  d.defaultDataType = std::u16string(u"RAW");
  d.previousNames = std::nullopt;
  d.driverDate = FILETIME{0xD5E7C000u, 0x01D1E5A2u};  // 21 June 2006
  d.driverVersion = (DWORDLONG(10) << 48) | (DWORDLONG(0) << 32) | (DWORDLONG(19041) << 16) | 1;
  d.manufacturer = std::u16string(u"Microsoft");
  d.oemUrl = std::u16string(u"http://www.microsoft.com/");
  d.hardwareId = std::u16string(hardwareId);
  d.provider = std::u16string(u"Microsoft");
  return d;
}

std::unique_ptr<Printer> BuiltInPrinter(State& s, const std::u16string& name,
                                        const std::u16string& driver) {
  auto p = std::make_unique<Printer>();
  p->id = s.nextPrinterId++;
  p->name = name;
  p->shareName = std::u16string();
  p->ports = {u"PORTPROMPT:"};
  p->driverName = driver;
  p->comment = std::u16string();
  p->location = std::u16string();
  p->devMode = DefaultDevMode(name);
  p->sepFile = std::u16string();
  p->printProcessor = std::u16string(u"WinPrint");
  p->datatype = std::u16string(u"RAW");
  p->parameters = std::u16string();
  p->attributes = PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST;
  p->priority = 1;
  return p;
}

// The files the running spooler should keep loaded now.
std::map<std::u16string, std::u16string> WantedHolds(const State& s) {
  std::map<std::u16string, std::u16string> wanted;
  if (!ProcessAlive()) return wanted;
  for (const Monitor& m : s.monitors) {
    if (!m.loaded) continue;
    std::u16string path = MonitorDllPath(m.dll);
    wanted[files::Key(path)] = path;
  }
  for (const std::u16string& path : s.retainedDlls)
    if (files::IsFile(path)) wanted[files::Key(path)] = path;
  for (const Driver& d : s.drivers)
    for (const std::u16string& path : DriverLoadedFiles(d))
      if (files::IsFile(path)) wanted[files::Key(path)] = path;
  return wanted;
}

}  // namespace

State& Get() {
  static State state;
  return state;
}

void ResetState() {
  State& s = Get();
  s = State();

  files::MakeDirectories(DriverDirectoryOf(kLocalEnvironment) + u"\\3");
  files::MakeDirectories(DriverDirectoryOf(u"Windows NT x86") + u"\\3");
  files::MakeDirectories(std::u16string(machine::kSystemDirectory) + u"\\spool\\PRINTERS");

  s.monitors.push_back(
      Monitor{u"Local Port", kLocalEnvironment, u"localspl.dll", LocalPortList(), false});
  s.monitors.push_back(
      Monitor{u"Standard TCP/IP Port", kLocalEnvironment, u"tcpmon.dll", {}, false});
  s.dllPorts[u"LOCALSPL.DLL"] = LocalPortList();
  s.dllPorts[u"TCPMON.DLL"] = {};
  s.addedMonitorPorts = {u"Solvendale:"};
  for (const Monitor& m : s.monitors) PutMonitorDll(MonitorDllPath(m.dll));

  s.printProcessors.push_back(u"WinPrint");

  s.drivers.push_back(
      BuiltInDriver(u"Microsoft Print To PDF", u"MPDW-PDC.xml", u"microsoftmicrosoft_printa8f8"));
  s.drivers.push_back(BuiltInDriver(u"Microsoft XPS Document Writer v4", u"MXDW-PDC.xml",
                                    u"microsoftmicrosoft_xps_3a69"));
  for (const Driver& d : s.drivers)
    for (const std::u16string& path : DriverFiles(d)) PutBuiltInFile(path);

  s.printers.push_back(BuiltInPrinter(s, u"Microsoft Print to PDF", u"Microsoft Print To PDF"));
  s.printers.push_back(
      BuiltInPrinter(s, u"Microsoft XPS Document Writer", u"Microsoft XPS Document Writer v4"));
  s.defaultPrinter = u"Microsoft Print to PDF";
}

// ----------------------------------------------------------- service link --

void ProcessStarted() {
  State& s = Get();
  for (Monitor& m : s.monitors) m.loaded = MonitorDllLoads(m.dll);
  SyncHolds();
}

void ProcessStopped() {
  State& s = Get();
  for (auto& entry : s.handles) {
    PrinterHandle& h = entry.second;
    if (h.session != s.session) continue;
    if (Printer* p = PrinterById(h.printerId)) --p->openHandles;
  }
  ++s.session;
  for (Monitor& m : s.monitors) m.loaded = false;
  s.retainedDlls.clear();
  CollectDeletedPrinters();
  // The process is gone: nothing stays held in its name, also not the files
  // a test made it hold (HoldFile with the holder "spooler").
  files::ReleaseAll(kHolder);
  s.held.clear();
}

void SyncHolds() {
  State& s = Get();
  std::map<std::u16string, std::u16string> wanted = WantedHolds(s);
  for (auto it = s.held.begin(); it != s.held.end();) {
    if (wanted.count(it->first) == 0) {
      files::Release(it->second, kHolder);
      it = s.held.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& entry : wanted) {
    if (s.held.count(entry.first) != 0) continue;
    files::Hold(entry.second, kHolder, ERROR_ACCESS_DENIED);
    s.held[entry.first] = entry.second;
  }
}

// ------------------------------------------------------------- lookups --

std::u16string UpperText(const std::u16string& text) { return UpperAscii(text); }

bool SameName(const std::u16string& a, const std::u16string& b) { return EqualsNoCase(a, b); }

bool SameNameA(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool ResolveEnvironment(LPCWSTR given, std::u16string* canonical) {
  if (given == nullptr || given[0] == 0) {
    *canonical = kLocalEnvironment;
    return true;
  }
  for (const EnvironmentName& env : kEnvironments) {
    if (SameName(given, env.name)) {
      *canonical = env.name;
      return true;
    }
  }
  return false;
}

std::u16string EnvironmentDirectory(const std::u16string& environment) {
  for (const EnvironmentName& env : kEnvironments)
    if (SameName(environment, env.name)) return env.directory;
  Fatal("spooler: no directory for the environment " + Narrow(environment));
}

std::u16string DriverDirectoryOf(const std::u16string& environment) {
  return std::u16string(machine::kSystemDirectory) + kDriversSubdirectory +
         EnvironmentDirectory(environment);
}

std::u16string FileNamePart(const std::u16string& path) {
  size_t cut = path.find_last_of(u"\\/:");
  return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

std::u16string MonitorDllPath(const std::u16string& dll) {
  if (dll.find_first_of(u"\\/:") != std::u16string::npos) {
    std::u16string canonical;
    if (files::Canonical(dll, &canonical)) return canonical;
    return dll;
  }
  return std::u16string(machine::kSystemDirectory) + u"\\" + dll;
}

Monitor* FindMonitor(const std::u16string& name) {
  for (Monitor& m : Get().monitors)
    if (SameName(m.name, name)) return &m;
  return nullptr;
}

Monitor* MonitorOfPort(const std::u16string& port) {
  for (Monitor& m : Get().monitors) {
    if (!m.loaded) continue;
    for (const std::u16string& p : m.ports)
      if (SameName(p, port)) return &m;
  }
  return nullptr;
}

bool PortExists(const std::u16string& port, std::u16string* canonical) {
  Monitor* m = MonitorOfPort(port);
  if (m == nullptr) return false;
  for (const std::u16string& p : m->ports) {
    if (SameName(p, port)) {
      if (canonical) *canonical = p;
      return true;
    }
  }
  return false;
}

std::vector<std::u16string> AllPorts() {
  std::vector<std::u16string> ports;
  for (const Monitor& m : Get().monitors) {
    if (!m.loaded) continue;
    for (const std::u16string& p : m.ports) {
      bool seen = false;
      for (const std::u16string& q : ports) seen = seen || SameName(p, q);
      if (!seen) ports.push_back(p);
    }
  }
  return ports;
}

const std::u16string* FindPrintProcessor(const std::u16string& name) {
  for (const std::u16string& p : Get().printProcessors)
    if (SameName(p, name)) return &p;
  return nullptr;
}

Driver* FindDriver(const std::u16string& name, const std::u16string& environment) {
  for (Driver& d : Get().drivers)
    if (SameName(d.name, name) && SameName(d.environment, environment)) return &d;
  return nullptr;
}

// [MS-RPRN] 3.1.4.2.4: a printer marked "Delete Pending" is left out of
// every later enumeration and open, also while jobs keep it.
bool Visible(const Printer& printer) { return !printer.pendingDeletion; }

bool Listed(const Printer& printer) {
  return Visible(printer) && (!printer.connection || printer.connected);
}

Printer* FindListedPrinter(const std::u16string& name) {
  for (auto& p : Get().printers)
    if (Listed(*p) && SameName(p->name, name)) return p.get();
  return nullptr;
}

Printer* FindVisiblePrinter(const std::u16string& name) {
  for (auto& p : Get().printers)
    if (Visible(*p) && SameName(p->name, name)) return p.get();
  return nullptr;
}

Printer* FindAnyPrinter(const std::u16string& name) {
  for (auto& p : Get().printers)
    if (SameName(p->name, name)) return p.get();
  return nullptr;
}

Printer* PrinterById(uint64_t id) {
  for (auto& p : Get().printers)
    if (p->id == id) return p.get();
  return nullptr;
}

bool MonitorInUse(const Monitor& monitor) {
  for (const auto& p : Get().printers) {
    if (p->connection) continue;
    for (const std::u16string& port : p->ports)
      for (const std::u16string& own : monitor.ports)
        if (SameName(port, own)) return true;
  }
  return false;
}

bool DriverInUse(const Driver& driver) {
  if (!SameName(driver.environment, kLocalEnvironment)) return false;
  for (const auto& p : Get().printers)
    if ((!p->connection || p->connected) && p->driverName && SameName(*p->driverName, driver.name))
      return true;
  return false;
}

void CollectDeletedPrinters() {
  State& s = Get();
  for (auto it = s.printers.begin(); it != s.printers.end();) {
    Printer& p = **it;
    if (p.pendingDeletion && p.jobs == 0 && p.openHandles <= 0) {
      if (!s.defaultPrinter.empty() && SameName(s.defaultPrinter, p.name)) s.defaultPrinter.clear();
      it = s.printers.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<std::u16string> DriverFiles(const Driver& d) {
  std::vector<std::u16string> out;
  auto add = [&out](const std::u16string& path) {
    if (path.empty()) return;
    for (const std::u16string& seen : out)
      if (SameName(seen, path)) return;
    out.push_back(path);
  };
  for (const Text* t : {&d.driverPath, &d.dataFile, &d.configFile, &d.helpFile})
    if (*t) add(**t);
  if (d.dependentFiles)
    for (const std::u16string& f : *d.dependentFiles) add(f);
  return out;
}

std::vector<std::u16string> DriverLoadedFiles(const Driver& d) {
  std::vector<std::u16string> out;
  if (d.driverPath && !d.driverPath->empty()) out.push_back(*d.driverPath);
  if (d.configFile && !d.configFile->empty() &&
      !(d.driverPath && SameName(*d.driverPath, *d.configFile)))
    out.push_back(*d.configFile);
  return out;
}

std::vector<std::u16string> SplitPortList(const std::u16string& list) {
  std::vector<std::u16string> ports;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(u',', start);
    if (comma == std::u16string::npos) comma = list.size();
    std::u16string item = list.substr(start, comma - start);
    size_t first = item.find_first_not_of(u' ');
    size_t last = item.find_last_not_of(u' ');
    if (first != std::u16string::npos) ports.push_back(item.substr(first, last - first + 1));
    start = comma + 1;
  }
  return ports;
}

bool MonitorDllLoads(const std::u16string& dll) {
  images::ImageInfo image;
  return images::Load(MonitorDllPath(dll), &image) == 0 && images::Exports(image, kMonitorEntryPoint);
}

std::vector<std::u16string> PortsOfDll(const std::u16string& dll) {
  State& s = Get();
  auto it = s.dllPorts.find(UpperText(FileNamePart(dll)));
  if (it != s.dllPorts.end()) return it->second;
  return s.addedMonitorPorts;
}

std::vector<uint8_t> DefaultDevMode(const std::u16string& printerName) {
  DEVMODEW dm;
  std::memset(&dm, 0, sizeof dm);
  size_t n = std::min<size_t>(printerName.size(), CCHDEVICENAME - 1);
  for (size_t i = 0; i < n; ++i) dm.dmDeviceName[i] = printerName[i];
  dm.dmSpecVersion = DM_SPECVERSION;
  dm.dmSize = sizeof(DEVMODEW);
  dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmPaperSize = DMPAPER_A4;
  dm.dmCopies = 1;
  std::vector<uint8_t> bytes(sizeof dm);
  std::memcpy(bytes.data(), &dm, sizeof dm);
  return bytes;
}

// ------------------------------------------------------------- handles --

HANDLE NewPrinterHandle(Printer& printer, ACCESS_MASK access) {
  State& s = Get();
  uintptr_t value = s.nextHandle;
  s.nextHandle += 4;
  s.handles[value] = PrinterHandle{printer.id, access, s.session};
  ++printer.openHandles;
  return reinterpret_cast<HANDLE>(value);
}

PrinterHandle* LookupPrinterHandle(HANDLE handle) {
  State& s = Get();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == s.handles.end() ? nullptr : &it->second;
}

Printer* PrinterOfHandle(HANDLE handle, PrinterHandle** entry) {
  PrinterHandle* h = LookupPrinterHandle(handle);
  Printer* p = nullptr;
  if (h != nullptr && h->session == Get().session) p = PrinterById(h->printerId);
  if (p == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (entry) *entry = h;
  return p;
}

void ClosePrinterHandle(HANDLE handle) {
  State& s = Get();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end()) return;
  if (it->second.session == s.session)
    if (Printer* p = PrinterById(it->second.printerId)) --p->openHandles;
  s.handles.erase(it);
  CollectDeletedPrinters();
}

ACCESS_MASK MapPrinterAccess(ACCESS_MASK desired) {
  const ACCESS_MASK kMaximumAllowed = 0x02000000;
  ACCESS_MASK granted =
      desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kMaximumAllowed);
  if (desired & GENERIC_READ) granted |= PRINTER_READ;
  if (desired & GENERIC_WRITE) granted |= PRINTER_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= PRINTER_EXECUTE;
  if (desired & (GENERIC_ALL | kMaximumAllowed)) granted |= PRINTER_ALL_ACCESS;
  if (granted == 0) granted = PRINTER_READ;
  return granted;
}

}  // namespace spooler
}  // namespace winsim
