// The spooler's control surface for tests and tools, and the saving and
// loading of its catalogue with the machine.
#include "winsim/spooler_control.h"


#include "core.h"
#include "saved_record.h"
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
  s.connected = p.connected;
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

void ResetSpooler() { spooler::ResetState(); }

// The ports that a monitor DLL provides, as saved.
struct SavedDllPorts {
  std::u16string dll;
  std::vector<std::u16string> ports;
};

// A value of a printer's data, saved after its printer.
struct SavedData {
  std::string key;
  std::string value;
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

const SavedFields<State>& CatalogueFields() {
  static const SavedFields<State> fields = {
      Field("defaultPrinter", &State::defaultPrinter),
      Field("addedMonitorPorts", &State::addedMonitorPorts),
      Field("retainedDlls", &State::retainedDlls),
  };
  return fields;
}

const SavedFields<spooler::Monitor>& MonitorFields() {
  static const SavedFields<spooler::Monitor> fields = {
      Field("name", &spooler::Monitor::name),
      Field("environment", &spooler::Monitor::environment),
      Field("dll", &spooler::Monitor::dll),
      Field("ports", &spooler::Monitor::ports),
  };
  return fields;
}

const SavedFields<std::u16string>& ProcessorFields() {
  static const SavedFields<std::u16string> fields = {
      Field<std::u16string>("name", [](auto& name) -> auto& { return name; }),
  };
  return fields;
}

const SavedFields<SavedDllPorts>& DllPortsFields() {
  static const SavedFields<SavedDllPorts> fields = {
      Field("dll", &SavedDllPorts::dll),
      Field("ports", &SavedDllPorts::ports),
  };
  return fields;
}

const SavedFields<spooler::Driver>& DriverFields() {
  using spooler::Driver;
  static const SavedFields<Driver> fields = {
      Field("name", &Driver::name),
      Field("environment", &Driver::environment),
      Field("version", &Driver::version),
      Field("driverPath", &Driver::driverPath),
      Field("dataFile", &Driver::dataFile),
      Field("configFile", &Driver::configFile),
      Field("helpFile", &Driver::helpFile),
      Field("dependentFiles", &Driver::dependentFiles),
      Field("monitorName", &Driver::monitorName),
      Field("defaultDataType", &Driver::defaultDataType),
      Field("previousNames", &Driver::previousNames),
      Field<Driver>("dateLow", [](auto& d) -> auto& { return d.driverDate.dwLowDateTime; }),
      Field<Driver>("dateHigh", [](auto& d) -> auto& { return d.driverDate.dwHighDateTime; }),
      Field("driverVersion", &Driver::driverVersion),
      Field("manufacturer", &Driver::manufacturer),
      Field("oemUrl", &Driver::oemUrl),
      Field("hardwareId", &Driver::hardwareId),
      Field("provider", &Driver::provider),
  };
  return fields;
}

const SavedFields<Printer>& PrinterFields() {
  static const SavedFields<Printer> fields = {
      Field("name", &Printer::name),
      Field("serverName", &Printer::serverName),
      Field("shareName", &Printer::shareName),
      Field("ports", &Printer::ports),
      Field("driverName", &Printer::driverName),
      Field("comment", &Printer::comment),
      Field("location", &Printer::location),
      Field("devMode", &Printer::devMode),
      Field("sepFile", &Printer::sepFile),
      Field("printProcessor", &Printer::printProcessor),
      Field("datatype", &Printer::datatype),
      Field("parameters", &Printer::parameters),
      Field("attributes", &Printer::attributes),
      Field("priority", &Printer::priority),
      Field("defaultPriority", &Printer::defaultPriority),
      Field("startTime", &Printer::startTime),
      Field("untilTime", &Printer::untilTime),
      Field("status", &Printer::status),
      Field("averagePpm", &Printer::averagePpm),
      Field("jobs", &Printer::jobs),
      Field("connection", &Printer::connection),
      Field("connected", &Printer::connected),
      Field("openError", &Printer::openError),
      Field("pendingDeletion", &Printer::pendingDeletion),
  };
  return fields;
}

const SavedFields<SavedData>& DataFields() {
  static const SavedFields<SavedData> fields = {
      Field("key", &SavedData::key),
      Field("value", &SavedData::value),
      Field("type", &SavedData::type),
      Field("bytes", &SavedData::bytes),
  };
  return fields;
}

// spooler.txt: the catalogue, one line per monitor, print processor, DLL's
// ports, driver, printer and value of a printer's data (after its printer).
void SaveSpooler(const std::string& dir) {
  const State& s = Get();
  std::string out = SavedLine("catalogue", s, CatalogueFields());
  for (const spooler::Monitor& m : s.monitors) out += SavedLine("monitor", m, MonitorFields());
  for (const std::u16string& p : s.printProcessors)
    out += SavedLine("processor", p, ProcessorFields());
  for (const auto& entry : s.dllPorts)
    out += SavedLine("dllports", SavedDllPorts{entry.first, entry.second}, DllPortsFields());
  for (const spooler::Driver& d : s.drivers) out += SavedLine("driver", d, DriverFields());
  for (const auto& printer : s.printers) {
    out += SavedLine("printer", *printer, PrinterFields());
    for (const spooler::DataKey& k : printer->data)
      for (const spooler::DataValue& v : k.values)
        out += SavedLine("data", SavedData{k.name, v.name, v.type, v.bytes}, DataFields());
  }
  WriteTextFile(dir + kSaveFile, out);
}

void LoadLine(State& s, const std::vector<std::string>& line, const std::string& file) {
  const std::string& kind = line[0];
  if (kind == "catalogue") {
    ReadSavedLine(line, CatalogueFields(), &s, file);
  } else if (kind == "monitor") {
    spooler::Monitor m;
    ReadSavedLine(line, MonitorFields(), &m, file);
    s.monitors.push_back(m);
  } else if (kind == "processor") {
    std::u16string name;
    ReadSavedLine(line, ProcessorFields(), &name, file);
    s.printProcessors.push_back(name);
  } else if (kind == "dllports") {
    SavedDllPorts saved;
    ReadSavedLine(line, DllPortsFields(), &saved, file);
    s.dllPorts[saved.dll] = saved.ports;
  } else if (kind == "driver") {
    spooler::Driver d;
    ReadSavedLine(line, DriverFields(), &d, file);
    s.drivers.push_back(d);
  } else if (kind == "printer") {
    auto p = std::make_unique<Printer>();
    ReadSavedLine(line, PrinterFields(), p.get(), file);
    p->id = s.nextPrinterId++;
    s.printers.push_back(std::move(p));
  } else if (kind == "data" && !s.printers.empty()) {
    SavedData saved;
    ReadSavedLine(line, DataFields(), &saved, file);
    spooler::DataValue* v = DataValueOf(*s.printers.back(), saved.key, saved.value, true);
    v->type = saved.type;
    v->bytes = saved.bytes;
  } else {
    Fatal(file + ": a damaged line in the saved machine (" + kind + ")");
  }
}

void LoadSpooler(const std::string& dir) {
  const std::string file = dir + kSaveFile;
  // The files, with their holds, were loaded before; the spooler takes its
  // files again once the service control manager (loaded next) has its state.
  State loaded;
  bool found = ReadSaveFile(file, [&](const std::vector<std::string>& line) {
    LoadLine(loaded, line, file);
  });
  if (!found) return;
  Get() = std::move(loaded);
  spooler::CollectDeletedPrinters();
}

ModuleRegistrar spoolerRegistrar{"spooler", 35, &ResetSpooler, &SaveSpooler, &LoadSpooler};

}  // namespace

// -------------------------------------------------------- port monitors --

void PutMonitor(const MonitorSetup& setup) {
  State& s = Get();
  spooler::Monitor m{setup.name, CanonicalEnvironment(setup.environment), setup.dll, setup.ports,
                     false};
  m.loaded = spooler::ProcessAlive() && spooler::MonitorDllLoads(m.dll);
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
  if (setup.connection && !p->serverName && setup.name.rfind(u"\\\\", 0) == 0)
    p->serverName = setup.name.substr(0, setup.name.find(u'\\', 2));
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
  p->connected = setup.connected;
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
    if (p->connection && p->connected) out.push_back(StateOf(*p));
  return out;
}

bool HasPrinter(const std::u16string& name) { return spooler::FindListedPrinter(name) != nullptr; }

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
