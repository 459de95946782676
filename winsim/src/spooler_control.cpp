// The spooler's control surface for tests and tools, and the saving and
// loading of its catalogue with the machine.
#include "winsim/spooler_control.h"

#include <sstream>

#include "core.h"
#include "spooler_model.h"

namespace winsim {

namespace {

using spooler::Get;
using spooler::Printer;
using spooler::State;

std::u16string CanonicalEnvironment(const std::u16string& given) {
  std::u16string canonical;
  if (!spooler::ResolveEnvironment(given.c_str(), &canonical))
    Fatal("spooler control: unknown environment " + Narrow(given));
  return canonical;
}

std::u16string JoinPorts(const std::vector<std::u16string>& ports) {
  std::u16string out;
  for (const std::u16string& p : ports) {
    if (!out.empty()) out += u",";
    out += p;
  }
  return out;
}

void PutPlaceholder(const std::optional<std::u16string>& path) {
  if (path && !path->empty() && !files::IsFile(*path)) {
    std::string text = "MZ simulated image: " + Narrow(spooler::FileNamePart(*path));
    files::WriteBytes(*path, std::vector<uint8_t>(text.begin(), text.end()));
  }
}

spooler::DataValue* DataValueOf(Printer& p, const std::string& key, const std::string& value,
                                bool create) {
  spooler::DataKey* k = nullptr;
  for (spooler::DataKey& candidate : p.data)
    if (spooler::SameNameA(candidate.name, key)) k = &candidate;
  if (k == nullptr) {
    if (!create) return nullptr;
    p.data.push_back(spooler::DataKey{key, {}});
    k = &p.data.back();
  }
  for (spooler::DataValue& v : k->values)
    if (spooler::SameNameA(v.name, value)) return &v;
  if (!create) return nullptr;
  k->values.push_back(spooler::DataValue{value, 0, {}});
  return &k->values.back();
}

Printer& RequirePrinter(const std::u16string& name) {
  Printer* p = spooler::FindAnyPrinter(name);
  if (p == nullptr) Fatal("spooler control: no printer " + Narrow(name));
  return *p;
}

PrinterState StateOf(const Printer& p) {
  PrinterState s;
  s.name = p.name;
  s.serverName = p.serverName;
  s.shareName = p.shareName;
  s.ports = JoinPorts(p.ports);
  s.driverName = p.driverName;
  s.comment = p.comment;
  s.location = p.location;
  s.sepFile = p.sepFile;
  s.printProcessor = p.printProcessor;
  s.datatype = p.datatype;
  s.parameters = p.parameters;
  s.attributes = p.attributes;
  s.priority = p.priority;
  s.defaultPriority = p.defaultPriority;
  s.startTime = p.startTime;
  s.untilTime = p.untilTime;
  s.status = p.status | (p.pendingDeletion ? PRINTER_STATUS_PENDING_DELETION : 0);
  s.averagePpm = p.averagePpm;
  s.jobs = p.jobs;
  s.connection = p.connection;
  s.hasDevMode = p.devMode.has_value();
  s.openError = p.openError;
  s.pendingDeletion = p.pendingDeletion;
  s.openHandles = p.openHandles;
  for (const spooler::DataKey& k : p.data)
    for (const spooler::DataValue& v : k.values)
      s.data.push_back(PrinterDataEntry{k.name, v.name, v.type, v.bytes});
  return s;
}

DriverState StateOf(const spooler::Driver& d) {
  DriverState s;
  s.name = d.name;
  s.environment = d.environment;
  s.version = d.version;
  s.driverPath = d.driverPath;
  s.dataFile = d.dataFile;
  s.configFile = d.configFile;
  s.helpFile = d.helpFile;
  s.dependentFiles = d.dependentFiles;
  s.monitorName = d.monitorName;
  s.defaultDataType = d.defaultDataType;
  s.previousNames = d.previousNames;
  s.driverDate = d.driverDate;
  s.driverVersion = d.driverVersion;
  s.manufacturer = d.manufacturer;
  s.oemUrl = d.oemUrl;
  s.hardwareId = d.hardwareId;
  s.provider = d.provider;
  s.createFiles = false;
  return s;
}

// ------------------------------------------------------------ save files --

const char kSaveFile[] = "/spooler.txt";
const char kListSeparator = '\x1e';

std::string TextField(const spooler::Text& text) {
  return text ? "+" + EscapeField(Narrow(*text)) : std::string("-");
}

spooler::Text ParseText(const std::string& field) {
  if (field.empty() || field[0] == '-') return std::nullopt;
  return Widen(UnescapeField(field.substr(1)));
}

std::string ListField(const spooler::TextList& list) {
  if (!list) return "-";
  std::string out = "+";
  for (size_t i = 0; i < list->size(); ++i) {
    if (i) out += kListSeparator;
    out += EscapeField(Narrow((*list)[i]));
  }
  return out;
}

spooler::TextList ParseList(const std::string& field) {
  if (field.empty() || field[0] == '-') return std::nullopt;
  std::vector<std::u16string> list;
  std::string rest = field.substr(1);
  if (rest.empty()) return list;
  size_t start = 0;
  for (;;) {
    size_t cut = rest.find(kListSeparator, start);
    list.push_back(Widen(UnescapeField(rest.substr(start, cut - start))));
    if (cut == std::string::npos) break;
    start = cut + 1;
  }
  return list;
}


uint64_t Number(const std::string& field) { return std::stoull(field); }

void ResetSpooler() { spooler::ResetState(); }

void SaveSpooler(const std::string& dir) {
  const State& s = Get();
  std::ostringstream out;
  for (const spooler::Monitor& m : s.monitors)
    out << "monitor\t" << EscapeText(m.name) << "\t" << EscapeText(m.environment) << "\t"
        << EscapeText(m.dll) << "\t" << ListField(m.ports) << "\n";
  for (const std::u16string& p : s.printProcessors) out << "processor\t" << EscapeText(p) << "\n";
  for (const auto& entry : s.dllPorts)
    out << "dllports\t" << EscapeText(entry.first) << "\t" << ListField(entry.second) << "\n";
  out << "addedports\t" << ListField(s.addedMonitorPorts) << "\n";
  for (const spooler::Driver& d : s.drivers) {
    out << "driver\t" << EscapeText(d.name) << "\t" << EscapeText(d.environment) << "\t"
        << d.version << "\t"
        << TextField(d.driverPath) << "\t" << TextField(d.dataFile) << "\t"
        << TextField(d.configFile) << "\t" << TextField(d.helpFile) << "\t"
        << ListField(d.dependentFiles) << "\t" << TextField(d.monitorName) << "\t"
        << TextField(d.defaultDataType) << "\t" << ListField(d.previousNames) << "\t"
        << d.driverDate.dwLowDateTime << "\t" << d.driverDate.dwHighDateTime << "\t"
        << d.driverVersion << "\t" << TextField(d.manufacturer) << "\t" << TextField(d.oemUrl)
        << "\t" << TextField(d.hardwareId) << "\t" << TextField(d.provider) << "\n";
  }
  for (const auto& holder : s.printers) {
    const Printer& p = *holder;
    out << "printer\t" << EscapeText(p.name) << "\t" << TextField(p.serverName) << "\t"
        << TextField(p.shareName) << "\t" << ListField(p.ports) << "\t" << TextField(p.driverName)
        << "\t" << TextField(p.comment) << "\t" << TextField(p.location) << "\t"
        << (p.devMode ? "+" + HexBytes(*p.devMode) : std::string("-")) << "\t"
        << TextField(p.sepFile) << "\t" << TextField(p.printProcessor) << "\t"
        << TextField(p.datatype) << "\t" << TextField(p.parameters) << "\t" << p.attributes << "\t"
        << p.priority << "\t" << p.defaultPriority << "\t" << p.startTime << "\t" << p.untilTime
        << "\t" << p.status << "\t" << p.averagePpm << "\t" << p.jobs << "\t" << p.connection
        << "\t" << p.openError << "\t" << p.pendingDeletion << "\n";
    for (const spooler::DataKey& k : p.data)
      for (const spooler::DataValue& v : k.values)
        out << "data\t" << EscapeField(k.name) << "\t" << EscapeField(v.name) << "\t" << v.type
            << "\t" << HexBytes(v.bytes) << "\n";
  }
  out << "default\t" << EscapeText(s.defaultPrinter) << "\n";
  WriteTextFile(dir + kSaveFile, out.str());
}

void LoadLine(State& s, const std::vector<std::string>& f) {
  const std::string& kind = f[0];
  if (kind == "monitor" && f.size() == 5) {
    s.monitors.push_back(spooler::Monitor{UnescapeText(f[1]), UnescapeText(f[2]),
                                          UnescapeText(f[3]),
                                          ParseList(f[4]).value_or(std::vector<std::u16string>()),
                                          false});
  } else if (kind == "processor" && f.size() == 2) {
    s.printProcessors.push_back(UnescapeText(f[1]));
  } else if (kind == "dllports" && f.size() == 3) {
    s.dllPorts[UnescapeText(f[1])] = ParseList(f[2]).value_or(std::vector<std::u16string>());
  } else if (kind == "addedports" && f.size() == 2) {
    s.addedMonitorPorts = ParseList(f[1]).value_or(std::vector<std::u16string>());
  } else if (kind == "driver" && f.size() == 19) {
    spooler::Driver d;
    d.name = UnescapeText(f[1]);
    d.environment = UnescapeText(f[2]);
    d.version = static_cast<DWORD>(Number(f[3]));
    d.driverPath = ParseText(f[4]);
    d.dataFile = ParseText(f[5]);
    d.configFile = ParseText(f[6]);
    d.helpFile = ParseText(f[7]);
    d.dependentFiles = ParseList(f[8]);
    d.monitorName = ParseText(f[9]);
    d.defaultDataType = ParseText(f[10]);
    d.previousNames = ParseList(f[11]);
    d.driverDate.dwLowDateTime = static_cast<DWORD>(Number(f[12]));
    d.driverDate.dwHighDateTime = static_cast<DWORD>(Number(f[13]));
    d.driverVersion = Number(f[14]);
    d.manufacturer = ParseText(f[15]);
    d.oemUrl = ParseText(f[16]);
    d.hardwareId = ParseText(f[17]);
    d.provider = ParseText(f[18]);
    s.drivers.push_back(d);
  } else if (kind == "printer" && f.size() == 24) {
    auto p = std::make_unique<Printer>();
    p->id = s.nextPrinterId++;
    p->name = UnescapeText(f[1]);
    p->serverName = ParseText(f[2]);
    p->shareName = ParseText(f[3]);
    p->ports = ParseList(f[4]).value_or(std::vector<std::u16string>());
    p->driverName = ParseText(f[5]);
    p->comment = ParseText(f[6]);
    p->location = ParseText(f[7]);
    if (!f[8].empty() && f[8][0] == '+') p->devMode = UnhexBytes(f[8].substr(1));
    p->sepFile = ParseText(f[9]);
    p->printProcessor = ParseText(f[10]);
    p->datatype = ParseText(f[11]);
    p->parameters = ParseText(f[12]);
    p->attributes = static_cast<DWORD>(Number(f[13]));
    p->priority = static_cast<DWORD>(Number(f[14]));
    p->defaultPriority = static_cast<DWORD>(Number(f[15]));
    p->startTime = static_cast<DWORD>(Number(f[16]));
    p->untilTime = static_cast<DWORD>(Number(f[17]));
    p->status = static_cast<DWORD>(Number(f[18]));
    p->averagePpm = static_cast<DWORD>(Number(f[19]));
    p->jobs = static_cast<DWORD>(Number(f[20]));
    p->connection = Number(f[21]) != 0;
    p->openError = static_cast<DWORD>(Number(f[22]));
    p->pendingDeletion = Number(f[23]) != 0;
    s.printers.push_back(std::move(p));
  } else if (kind == "data" && f.size() == 5 && !s.printers.empty()) {
    spooler::DataValue* v =
        DataValueOf(*s.printers.back(), UnescapeField(f[1]), UnescapeField(f[2]), true);
    v->type = static_cast<DWORD>(Number(f[3]));
    v->bytes = UnhexBytes(f[4]);
  } else if (kind == "default" && f.size() == 2) {
    s.defaultPrinter = UnescapeText(f[1]);
  } else {
    Fatal("spooler: a damaged line in the saved machine (" + kind + ")");
  }
}

void LoadSpooler(const std::string& dir) {
  std::string text;
  if (!ReadTextFile(dir + kSaveFile, &text)) return;
  // The files, with their holds, were loaded before; the spooler takes its
  // files again once the service control manager (loaded next) has its state.
  State& s = Get();
  s = State();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) LoadLine(s, SplitTabs(line));
  spooler::CollectDeletedPrinters();
}

ModuleRegistrar spoolerRegistrar{"spooler", 35, &ResetSpooler, &SaveSpooler, &LoadSpooler};

}  // namespace

// -------------------------------------------------------- port monitors --

void PutMonitor(const MonitorSetup& setup) {
  State& s = Get();
  spooler::Monitor m{setup.name, CanonicalEnvironment(setup.environment), setup.dll, setup.ports,
                     false};
  m.loaded = spooler::ProcessAlive() && files::IsFile(spooler::MonitorDllPath(m.dll));
  if (spooler::Monitor* old = spooler::FindMonitor(setup.name))
    *old = m;
  else
    s.monitors.push_back(m);
  spooler::SyncHolds();
}

void RemoveMonitor(const std::u16string& name) {
  State& s = Get();
  spooler::Monitor* m = spooler::FindMonitor(name);
  if (m == nullptr) Fatal("spooler control: no monitor " + Narrow(name));
  s.monitors.erase(s.monitors.begin() + (m - s.monitors.data()));
  spooler::SyncHolds();
}

std::vector<MonitorState> Monitors() {
  std::vector<MonitorState> out;
  for (const spooler::Monitor& m : Get().monitors)
    out.push_back(MonitorState{m.name, m.environment, m.dll, spooler::MonitorDllPath(m.dll),
                               m.ports, m.loaded});
  return out;
}

bool HasMonitor(const std::u16string& name) { return spooler::FindMonitor(name) != nullptr; }

std::vector<std::u16string> Ports() { return spooler::AllPorts(); }

void SetMonitorDllPorts(const std::u16string& dll, const std::vector<std::u16string>& ports) {
  Get().dllPorts[spooler::UpperText(spooler::FileNamePart(dll))] = ports;
}

void SetAddedMonitorPorts(const std::vector<std::u16string>& ports) {
  Get().addedMonitorPorts = ports;
}

// ------------------------------------------------------ printer drivers --

void PutDriver(const DriverSetup& setup) {
  spooler::Driver d;
  d.name = setup.name;
  d.environment = CanonicalEnvironment(setup.environment);
  d.version = setup.version;
  d.driverPath = setup.driverPath;
  d.dataFile = setup.dataFile;
  d.configFile = setup.configFile;
  d.helpFile = setup.helpFile;
  d.dependentFiles = setup.dependentFiles;
  d.monitorName = setup.monitorName;
  d.defaultDataType = setup.defaultDataType;
  d.previousNames = setup.previousNames;
  d.driverDate = setup.driverDate;
  d.driverVersion = setup.driverVersion;
  d.manufacturer = setup.manufacturer;
  d.oemUrl = setup.oemUrl;
  d.hardwareId = setup.hardwareId;
  d.provider = setup.provider;
  if (setup.createFiles)
    for (const std::u16string& f : spooler::DriverFiles(d)) PutPlaceholder(f);
  State& s = Get();
  if (spooler::Driver* old = spooler::FindDriver(d.name, d.environment))
    *old = d;
  else
    s.drivers.push_back(d);
  spooler::SyncHolds();
}

void RemoveDriver(const std::u16string& name, const std::u16string& environment) {
  State& s = Get();
  spooler::Driver* d = spooler::FindDriver(name, CanonicalEnvironment(environment));
  if (d == nullptr) Fatal("spooler control: no driver " + Narrow(name));
  s.drivers.erase(s.drivers.begin() + (d - s.drivers.data()));
  spooler::SyncHolds();
}

std::vector<DriverState> Drivers() {
  std::vector<DriverState> out;
  for (const spooler::Driver& d : Get().drivers) out.push_back(StateOf(d));
  return out;
}

bool HasDriver(const std::u16string& name, const std::u16string& environment) {
  return spooler::FindDriver(name, CanonicalEnvironment(environment)) != nullptr;
}

bool FindDriver(const std::u16string& name, const std::u16string& environment,
                DriverState* driver) {
  const spooler::Driver* d = spooler::FindDriver(name, CanonicalEnvironment(environment));
  if (d == nullptr) return false;
  if (driver) *driver = StateOf(*d);
  return true;
}

std::vector<std::u16string> PrintProcessors() { return Get().printProcessors; }

// ------------------------------------------------------------- printers --

void PutPrinter(const PrinterSetup& setup) {
  State& s = Get();
  auto p = std::make_unique<Printer>();
  p->id = s.nextPrinterId++;
  p->serverName = setup.serverName;
  p->name = setup.name;
  p->shareName = setup.shareName;
  p->ports = spooler::SplitPortList(setup.ports);
  p->driverName = setup.driverName;
  p->comment = setup.comment;
  p->location = setup.location;
  if (setup.devMode) p->devMode = spooler::DefaultDevMode(setup.name);
  p->sepFile = setup.sepFile;
  p->printProcessor = setup.printProcessor;
  p->datatype = setup.datatype;
  p->parameters = setup.parameters;
  p->attributes =
      setup.attributes | (setup.connection ? PRINTER_ATTRIBUTE_NETWORK : PRINTER_ATTRIBUTE_LOCAL);
  p->priority = setup.priority;
  p->defaultPriority = setup.defaultPriority;
  p->startTime = setup.startTime;
  p->untilTime = setup.untilTime;
  p->status = setup.status;
  p->averagePpm = setup.averagePpm;
  p->jobs = setup.jobs;
  p->connection = setup.connection;
  p->openError = setup.openError;
  for (const PrinterDataEntry& e : setup.data) {
    spooler::DataValue* v = DataValueOf(*p, e.key, e.value, true);
    v->type = e.type;
    v->bytes = e.bytes;
  }
  for (auto& old : s.printers) {
    if (spooler::SameName(old->name, setup.name)) {
      p->id = old->id;  // its handles stay valid
      p->openHandles = old->openHandles;
      old = std::move(p);
      return;
    }
  }
  s.printers.push_back(std::move(p));
}

void RemovePrinter(const std::u16string& name) {
  State& s = Get();
  Printer& p = RequirePrinter(name);
  if (spooler::SameName(s.defaultPrinter, p.name)) s.defaultPrinter.clear();
  for (auto it = s.printers.begin(); it != s.printers.end(); ++it) {
    if (it->get() == &p) {
      s.printers.erase(it);
      return;
    }
  }
}

void RemoveAllPrinters() {
  State& s = Get();
  s.printers.clear();
  s.defaultPrinter.clear();
}

std::vector<PrinterState> Printers() {
  std::vector<PrinterState> out;
  for (const auto& p : Get().printers)
    if (!p->connection) out.push_back(StateOf(*p));
  for (const auto& p : Get().printers)
    if (p->connection) out.push_back(StateOf(*p));
  return out;
}

bool HasPrinter(const std::u16string& name) { return spooler::FindVisiblePrinter(name) != nullptr; }

bool FindPrinter(const std::u16string& name, PrinterState* printer) {
  const Printer* p = spooler::FindAnyPrinter(name);
  if (p == nullptr) return false;
  if (printer) *printer = StateOf(*p);
  return true;
}

void SetPrinterJobs(const std::u16string& name, DWORD jobs) {
  RequirePrinter(name).jobs = jobs;
  spooler::CollectDeletedPrinters();
}

void PutPrinterData(const std::u16string& printer, const std::string& key, const std::string& value,
                    DWORD type, const std::vector<uint8_t>& bytes) {
  spooler::DataValue* v = DataValueOf(RequirePrinter(printer), key, value, true);
  v->type = type;
  v->bytes = bytes;
}

void PutPrinterString(const std::u16string& printer, const std::string& key,
                      const std::string& value, const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  PutPrinterData(printer, key, value, REG_SZ, bytes);
}

bool GetPrinterDataEntry(const std::u16string& printer, const std::string& key,
                         const std::string& value, PrinterDataEntry* entry) {
  Printer* p = spooler::FindAnyPrinter(printer);
  if (p == nullptr) return false;
  spooler::DataValue* v = DataValueOf(*p, key, value, false);
  if (v == nullptr) return false;
  if (entry) {
    for (const spooler::DataKey& k : p->data)
      if (spooler::SameNameA(k.name, key)) entry->key = k.name;
    entry->value = v->name;
    entry->type = v->type;
    entry->bytes = v->bytes;
  }
  return true;
}

size_t OpenPrinterHandles() { return Get().handles.size(); }

std::u16string DefaultPrinterName() { return Get().defaultPrinter; }
void SetDefaultPrinterName(const std::u16string& name) { Get().defaultPrinter = name; }

std::vector<std::u16string> SpoolerHeldFiles() {
  std::vector<std::u16string> out;
  for (const auto& entry : Get().held) out.push_back(entry.second);
  return out;
}

}  // namespace winsim
