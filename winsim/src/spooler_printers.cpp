// The spooler's printer calls: enumeration, handles, creation, changes,
// deletion, connections, printer data and the default printer. Validation
// and error codes follow [MS-RPRN] 3.1.4.2 (RpcEnumPrinters, RpcOpenPrinter,
// RpcAddPrinter, RpcSetPrinter, RpcDeletePrinter, RpcGetPrinterData(Ex),
// RpcSetPrinterData(Ex)) and the winspool documentation.
#include <windows.h>
#include <winspool.h>

#include <cstring>

#include "core.h"
#include "spooler_calls.h"
#include "spooler_model.h"
#include "spooler_pack.h"

namespace winsim {
namespace spooler {
namespace {

const size_t kMaxPrinterName = 220;  // MAX_PRINTER_NAME
const DWORD kMaxPriority = 99;       // MAX_PRIORITY
const char kPlainDataKey[] = "PrinterDriverData";

// The data types of the WinPrint print processor.
const char16_t* const kDatatypes[] = {
    u"RAW",          u"RAW [FF appended]", u"RAW [FF auto]", u"NT EMF 1.003", u"NT EMF 1.006",
    u"NT EMF 1.007", u"NT EMF 1.008",      u"TEXT",          u"XPS2GDI"};

Text TextOf(LPCWSTR text) {
  if (text == nullptr) return std::nullopt;
  return std::u16string(text);
}

bool Empty(LPCWSTR text) { return text == nullptr || text[0] == 0; }

bool KnownDatatype(const std::u16string& datatype, std::u16string* canonical) {
  for (const char16_t* known : kDatatypes) {
    if (SameName(datatype, known)) {
      *canonical = known;
      return true;
    }
  }
  return false;
}

bool Granted(const PrinterHandle& handle, ACCESS_MASK right) {
  if ((handle.access & right) == right) return true;
  SetError(ERROR_ACCESS_DENIED);
  return false;
}

// Checks a PRINTER_INFO_2W for a new local printer (existing: none) or for
// a change of one, and fills `out` with the printer it describes. Returns 0
// or the error code.
DWORD ValidatePrinterRecord(const PRINTER_INFO_2W& pi, const Printer* existing, Printer* out) {
  if (Empty(pi.pPrinterName)) return ERROR_INVALID_PRINTER_NAME;
  std::u16string name = pi.pPrinterName;
  if (name.size() > kMaxPrinterName || name.find_first_of(u"\\,") != std::u16string::npos)
    return ERROR_INVALID_PRINTER_NAME;

  if (Empty(pi.pPrintProcessor)) return ERROR_UNKNOWN_PRINTPROCESSOR;
  const std::u16string* processor = FindPrintProcessor(pi.pPrintProcessor);
  if (processor == nullptr) return ERROR_UNKNOWN_PRINTPROCESSOR;

  std::u16string datatype = u"RAW";
  if (!Empty(pi.pDatatype) && !KnownDatatype(pi.pDatatype, &datatype))
    return ERROR_INVALID_DATATYPE;

  if (!Empty(pi.pSepFile) && !files::IsFile(pi.pSepFile)) return ERROR_INVALID_SEPARATOR_FILE;

  if (pi.Priority > kMaxPriority || pi.DefaultPriority > kMaxPriority)
    return ERROR_INVALID_PRIORITY;

  if (Empty(pi.pDriverName)) return ERROR_UNKNOWN_PRINTER_DRIVER;
  const Driver* driver = FindDriver(pi.pDriverName, kLocalEnvironment);
  if (driver == nullptr) return ERROR_UNKNOWN_PRINTER_DRIVER;

  std::vector<std::u16string> ports = SplitPortList(FromW(pi.pPortName));
  if (ports.empty()) return ERROR_UNKNOWN_PORT;
  std::vector<std::u16string> canonicalPorts;
  for (const std::u16string& port : ports) {
    std::u16string canonical;
    if (!PortExists(port, &canonical)) return ERROR_UNKNOWN_PORT;
    bool seen = false;
    for (const std::u16string& p : canonicalPorts) seen = seen || SameName(p, canonical);
    if (!seen) canonicalPorts.push_back(canonical);
  }

  Printer* other = FindAnyPrinter(name);
  if (other != nullptr && other != existing) return ERROR_PRINTER_ALREADY_EXISTS;

  std::optional<std::vector<uint8_t>> devMode;
  if (pi.pDevMode != nullptr) {
    if (pi.pDevMode->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD))
      return ERROR_INVALID_PARAMETER;
    size_t size = size_t(pi.pDevMode->dmSize) + pi.pDevMode->dmDriverExtra;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(pi.pDevMode);
    devMode = std::vector<uint8_t>(bytes, bytes + size);
  } else if (existing != nullptr) {
    devMode = existing->devMode;
  } else {
    devMode = DefaultDevMode(name);
  }

  out->name = name;
  out->serverName = std::nullopt;
  out->shareName = TextOf(pi.pShareName);
  out->ports = canonicalPorts;
  out->driverName = driver->name;
  out->comment = TextOf(pi.pComment);
  out->location = TextOf(pi.pLocation);
  out->devMode = devMode;
  out->sepFile = TextOf(pi.pSepFile);
  out->printProcessor = *processor;
  out->datatype = datatype;
  out->parameters = TextOf(pi.pParameters);
  // The default printer belongs to the user, not to the queue.
  out->attributes = (pi.Attributes & ~(PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_NETWORK)) |
                    PRINTER_ATTRIBUTE_LOCAL;
  out->priority = pi.Priority == 0 ? 1 : pi.Priority;
  out->defaultPriority = pi.DefaultPriority;
  out->startTime = pi.StartTime;
  out->untilTime = pi.UntilTime;
  return 0;
}

// A connection's record lives on its server; this machine stores what the
// caller sets.
void ApplyToConnection(const PRINTER_INFO_2W& pi, Printer* p) {
  p->shareName = TextOf(pi.pShareName);
  p->ports = SplitPortList(FromW(pi.pPortName));
  if (pi.pDriverName) p->driverName = std::u16string(pi.pDriverName);
  p->comment = TextOf(pi.pComment);
  p->location = TextOf(pi.pLocation);
  p->sepFile = TextOf(pi.pSepFile);
  p->parameters = TextOf(pi.pParameters);
  p->priority = pi.Priority == 0 ? p->priority : pi.Priority;
  p->defaultPriority = pi.DefaultPriority;
  p->startTime = pi.StartTime;
  p->untilTime = pi.UntilTime;
}

DataKey* FindKey(Printer& p, const std::string& key) {
  for (DataKey& k : p.data)
    if (SameNameA(k.name, key)) return &k;
  return nullptr;
}

DataValue* FindValue(DataKey& key, const std::string& value) {
  for (DataValue& v : key.values)
    if (SameNameA(v.name, value)) return &v;
  return nullptr;
}

DWORD Fail(DWORD error) {
  SetError(error);
  return error;
}

DWORD GetData(const char* api, HANDLE hPrinter, LPCSTR key, LPCSTR value, LPDWORD pType,
              LPBYTE pData, DWORD nSize, LPDWORD pcbNeeded) {
  if (DWORD injected = Enter(api, ShowHandle(hPrinter) + ", " + ShowA(key) + ", " + ShowA(value) +
                                      ", " + std::to_string(nSize) + " bytes"))
    return injected;
  if (!SpoolerAvailable()) return RPC_S_SERVER_UNAVAILABLE;
  Printer* p = PrinterOfHandle(hPrinter, nullptr);
  if (p == nullptr) return ERROR_INVALID_HANDLE;
  if (pcbNeeded == nullptr) return Fail(kRpcNullRefPointer);
  if (key == nullptr || value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DataKey* k = FindKey(*p, key);
  DataValue* v = k ? FindValue(*k, value) : nullptr;
  if (v == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  if (pType) *pType = v->type;
  *pcbNeeded = static_cast<DWORD>(v->bytes.size());
  if (nSize < v->bytes.size()) return Fail(ERROR_MORE_DATA);
  if (pData == nullptr && !v->bytes.empty()) return Fail(kRpcNullRefPointer);
  if (!v->bytes.empty()) std::memcpy(pData, v->bytes.data(), v->bytes.size());
  return ERROR_SUCCESS;
}

DWORD SetData(const char* api, HANDLE hPrinter, LPCSTR key, LPCSTR value, DWORD type, LPBYTE pData,
              DWORD cbData) {
  if (DWORD injected =
          Enter(api, ShowHandle(hPrinter) + ", " + ShowA(key) + ", " + ShowA(value) + ", type " +
                         std::to_string(type) + ", " + std::to_string(cbData) + " bytes"))
    return injected;
  if (!SpoolerAvailable()) return RPC_S_SERVER_UNAVAILABLE;
  PrinterHandle* handle = nullptr;
  Printer* p = PrinterOfHandle(hPrinter, &handle);
  if (p == nullptr) return ERROR_INVALID_HANDLE;
  if (!Granted(*handle, PRINTER_ACCESS_ADMINISTER)) return ERROR_ACCESS_DENIED;
  if (key == nullptr || key[0] == 0 || value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (pData == nullptr && cbData != 0) return Fail(ERROR_INVALID_PARAMETER);
  DataKey* k = FindKey(*p, key);
  if (k == nullptr) {
    p->data.push_back(DataKey{key, {}});
    k = &p->data.back();
  }
  DataValue* v = FindValue(*k, value);
  if (v == nullptr) {
    k->values.push_back(DataValue{value, 0, {}});
    v = &k->values.back();
  }
  v->type = type;
  v->bytes.assign(pData, pData + cbData);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace spooler
}  // namespace winsim

using namespace winsim::spooler;
using winsim::Enter;
using winsim::SetError;

// -------------------------------------------------------------- printers --

const winsim::DocumentedErrors kEnumPrintersWErrors{
    "EnumPrintersW", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}};

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (Enter("EnumPrintersW", "flags " + winsim::Hex(Flags) + ", " + Show(Name) + ", level " +
                                 std::to_string(Level) + ", " + std::to_string(cbBuf) + " bytes"))
    return FALSE;
  if (Name != nullptr && Name[0] != 0)
    winsim::Unsupported("EnumPrintersW", "a printer or server name " + Show(Name));
  const DWORD kModelled = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS | PRINTER_ENUM_NAME;
  if (Flags & ~kModelled)
    winsim::Unsupported("EnumPrintersW", "the flags " + winsim::Hex(Flags & ~kModelled));
  if (!SpoolerAvailable()) return FALSE;
  if (pcbNeeded == nullptr || pcReturned == nullptr || (pPrinterEnum == nullptr && cbBuf != 0)) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  if (Level == 1 || Level == 4 || Level == 5)
    winsim::Unsupported("EnumPrintersW", "level " + std::to_string(Level));
  if (Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  bool local = (Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME)) != 0;
  bool connections = (Flags & PRINTER_ENUM_CONNECTIONS) != 0;
  std::vector<PackedRecord> records;
  for (const auto& p : Get().printers)
    if (local && !p->connection && Listed(*p)) records.push_back(PrinterRecord(*p, 2));
  for (const auto& p : Get().printers)
    if (connections && p->connection && Listed(*p)) records.push_back(PrinterRecord(*p, 2));
  BOOL packed = PackRecords(records, sizeof(PRINTER_INFO_2W), true, pPrinterEnum, cbBuf,
                            pcbNeeded, pcReturned);
  // An empty set succeeds with the last error reset (winspool info.c).
  if (packed && records.empty()) SetError(ERROR_SUCCESS);
  return packed;
}

const winsim::DocumentedErrors kOpenPrinterWErrors{
    "OpenPrinterW", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_PRINTER_NAME}};

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
  std::string detail = Show(pPrinterName);
  if (pDefault) detail += ", access " + winsim::Hex(pDefault->DesiredAccess);
  if (Enter("OpenPrinterW", detail)) return FALSE;
  if (phPrinter == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phPrinter = nullptr;
  if (pPrinterName == nullptr) winsim::Unsupported("OpenPrinterW", "a print server handle");
  if (std::u16string(pPrinterName).find(u',') != std::u16string::npos)
    winsim::Unsupported("OpenPrinterW", "a printer name with options: " + Show(pPrinterName));
  if (!SpoolerAvailable()) return FALSE;
  // A print server's queue opens by its "\\server\share" name whether or not
  // this user has a connection to it; the handle acts on the server's queue.
  Printer* p = pPrinterName[0] != 0 ? FindVisiblePrinter(pPrinterName) : nullptr;
  if (p == nullptr) {
    SetError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  if (p->openError != 0) {
    SetError(p->openError);
    return FALSE;
  }
  std::u16string datatype;
  if (pDefault != nullptr && pDefault->pDatatype != nullptr &&
      !KnownDatatype(pDefault->pDatatype, &datatype)) {
    SetError(ERROR_INVALID_DATATYPE);
    return FALSE;
  }
  *phPrinter = NewPrinterHandle(*p, MapPrinterAccess(pDefault ? pDefault->DesiredAccess : 0));
  return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  if (Enter("ClosePrinter", ShowHandle(hPrinter))) return FALSE;
  PrinterHandle* entry = LookupPrinterHandle(hPrinter);
  if (entry == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool stale = entry->session != Get().session;
  // The client lets go of its handle whatever the spooler answers.
  ClosePrinterHandle(hPrinter);
  if (!SpoolerAvailable()) return FALSE;
  if (stale) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

const winsim::DocumentedErrors kAddPrinterWErrors{
    "AddPrinterW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_PRINTER_ALREADY_EXISTS,
     ERROR_UNKNOWN_PRINTER_DRIVER, ERROR_UNKNOWN_PORT}};

HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
  const PRINTER_INFO_2W* pi = reinterpret_cast<const PRINTER_INFO_2W*>(pPrinter);
  std::string detail = "level " + std::to_string(Level);
  if (pi != nullptr && Level == 2)
    detail += ", " + Show(pi->pPrinterName) + ", port " + Show(pi->pPortName) + ", driver " +
              Show(pi->pDriverName);
  if (Enter("AddPrinterW", detail)) return nullptr;
  RequireLocalServer("AddPrinterW", pName);
  if (!SpoolerAvailable()) return nullptr;
  if (Level == 1) winsim::Unsupported("AddPrinterW", "level 1");
  if (Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return nullptr;
  }
  if (pi == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Windows takes back a printer of the name that waits for its deletion
  // and configures it anew; that is not modelled.
  if (!Empty(pi->pPrinterName)) {
    Printer* pending = FindAnyPrinter(pi->pPrinterName);
    if (pending != nullptr && pending->pendingDeletion)
      winsim::Unsupported("AddPrinterW", "a printer of the name of one pending deletion");
  }
  auto printer = std::make_unique<Printer>();
  if (DWORD error = ValidatePrinterRecord(*pi, nullptr, printer.get())) {
    SetError(error);
    return nullptr;
  }
  State& s = Get();
  printer->id = s.nextPrinterId++;
  Printer& added = *printer;
  s.printers.push_back(std::move(printer));
  // "If we create a printer we have Administer access to it."
  return NewPrinterHandle(added, PRINTER_ALL_ACCESS);
}

const winsim::DocumentedErrors kGetPrinterWErrors{
    "GetPrinterW", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}};

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf,
                        LPDWORD pcbNeeded) {
  if (Enter("GetPrinterW",
            "level " + std::to_string(Level) + ", " + std::to_string(cbBuf) + " bytes"))
    return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  Printer* p = PrinterOfHandle(hPrinter, nullptr);
  if (p == nullptr) return FALSE;
  if (pcbNeeded == nullptr || (pPrinter == nullptr && cbBuf != 0)) {
    SetError(kRpcNullRefPointer);
    return FALSE;
  }
  if (Level >= 1 && Level <= 9 && Level != 2)
    winsim::Unsupported("GetPrinterW", "level " + std::to_string(Level));
  if (Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  return PackRecords({PrinterRecord(*p, 2)}, sizeof(PRINTER_INFO_2W), true, pPrinter, cbBuf,
                     pcbNeeded, nullptr);
}

const winsim::DocumentedErrors kSetPrinterWErrors{
    "SetPrinterW", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_PRINTER_COMMAND}};

BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
  const PRINTER_INFO_2W* pi = reinterpret_cast<const PRINTER_INFO_2W*>(pPrinter);
  std::string detail = "level " + std::to_string(Level) + ", command " + std::to_string(Command);
  if (pi != nullptr && Level == 2)
    detail += ", " + Show(pi->pPrinterName) + ", port " + Show(pi->pPortName);
  if (Enter("SetPrinterW", detail)) return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  PrinterHandle* handle = nullptr;
  Printer* p = PrinterOfHandle(hPrinter, &handle);
  if (p == nullptr) return FALSE;

  if (Level == 0) {
    if (!Granted(*handle, PRINTER_ACCESS_ADMINISTER)) return FALSE;
    switch (Command) {
      case PRINTER_CONTROL_PURGE:
        p->jobs = 0;
        CollectDeletedPrinters();
        return TRUE;
      case PRINTER_CONTROL_PAUSE:
        p->status |= PRINTER_STATUS_PAUSED;
        return TRUE;
      case PRINTER_CONTROL_RESUME:
        p->status &= ~DWORD(PRINTER_STATUS_PAUSED);
        return TRUE;
      case PRINTER_CONTROL_SET_STATUS:
        if (pPrinter == nullptr) {
          SetError(ERROR_INVALID_PARAMETER);
          return FALSE;
        }
        std::memcpy(&p->status, pPrinter, sizeof(DWORD));
        return TRUE;
      default:
        SetError(ERROR_INVALID_PRINTER_COMMAND);
        return FALSE;
    }
  }
  if (Level >= 1 && Level <= 9 && Level != 2)
    winsim::Unsupported("SetPrinterW", "level " + std::to_string(Level));
  if (Level != 2) {
    SetError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (!Granted(*handle, PRINTER_ACCESS_ADMINISTER)) return FALSE;
  // "If the Level parameter is nonzero, set the value of this parameter to zero."
  if (Command != 0 || pi == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (p->pendingDeletion) {
    SetError(ERROR_PRINTER_DELETED);
    return FALSE;
  }
  if (p->connection) {
    ApplyToConnection(*pi, p);
    return TRUE;
  }
  Printer changed;
  if (DWORD error = ValidatePrinterRecord(*pi, p, &changed)) {
    SetError(error);
    return FALSE;
  }
  State& s = Get();
  if (!SameName(changed.name, p->name) && SameName(s.defaultPrinter, p->name))
    s.defaultPrinter = changed.name;
  changed.id = p->id;
  changed.status = p->status;
  changed.averagePpm = p->averagePpm;
  changed.jobs = p->jobs;
  changed.connection = false;
  changed.openError = p->openError;
  changed.pendingDeletion = p->pendingDeletion;
  changed.openHandles = p->openHandles;
  changed.data = std::move(p->data);
  *p = std::move(changed);
  return TRUE;
}

const winsim::DocumentedErrors kDeletePrinterErrors{
    "DeletePrinter", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_PRINTER_DELETED}};

BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  if (Enter("DeletePrinter", ShowHandle(hPrinter))) return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  PrinterHandle* handle = nullptr;
  Printer* p = PrinterOfHandle(hPrinter, &handle);
  if (p == nullptr || !Granted(*handle, DELETE)) return FALSE;
  // "If the printer is held and there are jobs for the printer,
  // DeletePrinter fails with ERROR_ACCESS_DENIED."
  if ((p->status & PRINTER_STATUS_PAUSED) != 0 && p->jobs > 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // "If there are print jobs remaining to be processed, DeletePrinter marks
  // the printer for pending deletion and then deletes it when all the print
  // jobs have been printed." The open handle keeps the record until it is
  // closed, but nobody can open or enumerate the printer once it has no jobs.
  p->pendingDeletion = true;
  CollectDeletedPrinters();
  return TRUE;
}

// ----------------------------------------------------------- connections --

namespace {

// "\\server\share": the only names a connection can have.
bool IsServerQueueName(LPCWSTR name) {
  std::u16string text = name;
  size_t share = text.size() > 2 ? text.find(u'\\', 2) : std::u16string::npos;
  return text.rfind(u"\\\\", 0) == 0 && share != std::u16string::npos && share > 2 &&
         share + 1 < text.size() && text.find(u'\\', share + 1) == std::u16string::npos;
}

}  // namespace

const winsim::DocumentedErrors kAddPrinterConnectionWErrors{
    "AddPrinterConnectionW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_PRINTER_NAME}};

// Connects this user to an existing queue of a print server again. The
// queue's driver must be installed here: the machine does not download
// drivers from servers (Point and Print), and fails as Windows documents for
// a user who may not copy the driver's files (ERROR_ACCESS_DENIED).
BOOL WINAPI AddPrinterConnectionW(LPWSTR pName) {
  if (Enter("AddPrinterConnectionW", Show(pName))) return FALSE;
  if (pName != nullptr && pName[0] != 0 && !IsServerQueueName(pName))
    winsim::Unsupported("AddPrinterConnectionW", "a name of a local printer: " + Show(pName));
  if (!SpoolerAvailable()) return FALSE;
  Printer* p = pName != nullptr && pName[0] != 0 ? FindVisiblePrinter(pName) : nullptr;
  if (p == nullptr || !p->connection) {
    SetError(ERROR_INVALID_PRINTER_NAME);  // no such server, or no such queue on it
    return FALSE;
  }
  if (p->openError != 0) {
    SetError(p->openError);
    return FALSE;
  }
  if (!p->driverName || FindDriver(*p->driverName, kLocalEnvironment) == nullptr) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  p->connected = true;
  return TRUE;
}

const winsim::DocumentedErrors kDeletePrinterConnectionWErrors{
    "DeletePrinterConnectionW",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_PRINTER_NAME}};

// Removes this user's connection; the server's queue, its jobs and its data
// stay on the server, which need not be reachable.
BOOL WINAPI DeletePrinterConnectionW(LPWSTR pName) {
  if (Enter("DeletePrinterConnectionW", Show(pName))) return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  Printer* p = pName != nullptr && pName[0] != 0 ? FindListedPrinter(pName) : nullptr;
  if (p == nullptr || !p->connection) {
    SetError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  p->connected = false;
  State& s = Get();
  if (SameName(s.defaultPrinter, p->name)) s.defaultPrinter.clear();
  return TRUE;
}

// ---------------------------------------------------------- printer data --

const winsim::DocumentedErrors kGetPrinterDataAErrors{
    "GetPrinterDataA",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}};

DWORD WINAPI GetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, LPDWORD pType, LPBYTE pData,
                             DWORD nSize, LPDWORD pcbNeeded) {
  return GetData("GetPrinterDataA", hPrinter, kPlainDataKey, pValueName, pType, pData, nSize,
                 pcbNeeded);
}

const winsim::DocumentedErrors kGetPrinterDataExAErrors{
    "GetPrinterDataExA",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}};

DWORD WINAPI GetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, LPDWORD pType,
                               LPBYTE pData, DWORD nSize, LPDWORD pcbNeeded) {
  return GetData("GetPrinterDataExA", hPrinter, pKeyName, pValueName, pType, pData, nSize,
                 pcbNeeded);
}

const winsim::DocumentedErrors kSetPrinterDataAErrors{
    "SetPrinterDataA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}};

DWORD WINAPI SetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, DWORD Type, LPBYTE pData,
                             DWORD cbData) {
  return SetData("SetPrinterDataA", hPrinter, kPlainDataKey, pValueName, Type, pData, cbData);
}

const winsim::DocumentedErrors kSetPrinterDataExAErrors{
    "SetPrinterDataExA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}};

DWORD WINAPI SetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, DWORD Type,
                               LPBYTE pData, DWORD cbData) {
  return SetData("SetPrinterDataExA", hPrinter, pKeyName, pValueName, Type, pData, cbData);
}

// ------------------------------------------------------- default printer --

const winsim::DocumentedErrors kGetDefaultPrinterByOrdinalErrors{
    "GetDefaultPrinterByOrdinal",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_FILE_NOT_FOUND, ERROR_INSUFFICIENT_BUFFER}};

// winspool ordinal 203 (GetDefaultPrinterW). The default printer is part of
// the user's profile: it can be read while the spooler is stopped.
extern "C" BOOL WINAPI GetDefaultPrinterByOrdinal(LPWSTR buffer, LPDWORD count) {
  if (Enter("GetDefaultPrinterByOrdinal",
            count ? std::to_string(*count) + " characters" : std::string("(null)")))
    return FALSE;
  if (count == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string& name = Get().defaultPrinter;
  if (name.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *count < needed) {
    *count = needed;
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), needed * sizeof(WCHAR));
  *count = needed;
  return TRUE;
}

const winsim::DocumentedErrors kSetDefaultPrinterByOrdinalErrors{
    "SetDefaultPrinterByOrdinal",
    {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED, ERROR_INVALID_PRINTER_NAME}};

// winspool ordinal 204 (SetDefaultPrinterW).
extern "C" BOOL WINAPI SetDefaultPrinterByOrdinal(LPCWSTR name) {
  if (Enter("SetDefaultPrinterByOrdinal", Show(name))) return FALSE;
  if (!SpoolerAvailable()) return FALSE;
  State& s = Get();
  if (name == nullptr || name[0] == 0) {
    // "If this parameter is NULL or an empty string, SetDefaultPrinter does
    // nothing if there is already a default printer. However, if there is no
    // default printer, SetDefaultPrinter sets the default printer to the
    // first printer, if any, in an enumeration of printers installed on the
    // local computer."
    if (!s.defaultPrinter.empty()) return TRUE;
    for (const auto& p : s.printers) {
      if (!p->connection && Visible(*p)) {
        s.defaultPrinter = p->name;
        return TRUE;
      }
    }
    SetError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  Printer* p = FindListedPrinter(name);
  if (p == nullptr) {
    SetError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
  }
  s.defaultPrinter = p->name;
  return TRUE;
}
