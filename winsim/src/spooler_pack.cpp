// Record packing for EnumMonitorsW, EnumPrinterDriversW, EnumPrintersW,
// GetPrinterW and GetPrinterDriverW.
#include "spooler_pack.h"

#include <cstddef>
#include <cstring>

#include "core.h"

namespace winsim {
namespace spooler {

namespace {

const DWORD kErrorInvalidUserBuffer = 1784;  // ERROR_INVALID_USER_BUFFER

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t(7); }
uintptr_t AlignDown(uintptr_t value, uintptr_t alignment) { return value & ~(alignment - 1); }

class RecordBuilder {
 public:
  explicit RecordBuilder(size_t size) { record_.fixed.assign(size, 0); }

  void Text(size_t offset, const spooler::Text& text) {
    if (text) record_.parts.push_back(PackedRecord::Part{offset, TextBytes(*text), false});
  }
  void MultiText(size_t offset, const TextList& list) {
    if (!list) return;
    std::vector<uint8_t> bytes;
    for (const std::u16string& item : *list) {
      std::vector<uint8_t> one = TextBytes(item);
      bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    record_.parts.push_back(PackedRecord::Part{offset, bytes, false});
  }
  void Blob(size_t offset, const std::optional<std::vector<uint8_t>>& bytes) {
    if (bytes) record_.parts.push_back(PackedRecord::Part{offset, *bytes, true});
  }
  void Dword(size_t offset, DWORD value) {
    std::memcpy(record_.fixed.data() + offset, &value, sizeof value);
  }
  void Qword(size_t offset, uint64_t value) {
    std::memcpy(record_.fixed.data() + offset, &value, sizeof value);
  }
  void Time(size_t offset, const FILETIME& value) {
    std::memcpy(record_.fixed.data() + offset, &value, sizeof value);
  }
  PackedRecord Take() { return std::move(record_); }

 private:
  PackedRecord record_;
};

size_t VariableSize(const PackedRecord& record, bool withDevMode) {
  size_t strings = 0, blobs = 0;
  for (const PackedRecord::Part& part : record.parts) {
    if (part.aligned)
      blobs += RoundUp8(part.bytes.size());
    else
      strings += part.bytes.size();
  }
  return withDevMode ? RoundUp8(strings) + blobs : strings;
}

spooler::Text OptionalText(const std::u16string& text) { return text; }

}  // namespace

std::vector<uint8_t> TextBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes((text.size() + 1) * sizeof(WCHAR), 0);
  std::memcpy(bytes.data(), text.data(), text.size() * sizeof(WCHAR));
  return bytes;
}

size_t MonitorRecordSize(DWORD level) {
  switch (level) {
    case 1:
      return sizeof(MONITOR_INFO_1W);
    case 2:
      return sizeof(MONITOR_INFO_2W);
    default:
      return 0;
  }
}

size_t DriverRecordSize(DWORD level) {
  switch (level) {
    case 1:
      return sizeof(DRIVER_INFO_1W);
    case 2:
      return sizeof(DRIVER_INFO_2W);
    case 3:
      return sizeof(DRIVER_INFO_3W);
    case 4:
      return sizeof(DRIVER_INFO_4W);
    case 5:
      return sizeof(DRIVER_INFO_5W);
    case 6:
      return sizeof(DRIVER_INFO_6W);
    default:
      return 0;
  }
}

size_t PrinterRecordSize(DWORD level) { return level == 2 ? sizeof(PRINTER_INFO_2W) : 0; }

PackedRecord MonitorRecord(const Monitor& m, DWORD level) {
  RecordBuilder b(MonitorRecordSize(level));
  if (level == 1) {
    b.Text(offsetof(MONITOR_INFO_1W, pName), OptionalText(m.name));
  } else {
    b.Text(offsetof(MONITOR_INFO_2W, pName), OptionalText(m.name));
    b.Text(offsetof(MONITOR_INFO_2W, pEnvironment), OptionalText(m.environment));
    b.Text(offsetof(MONITOR_INFO_2W, pDLLName), OptionalText(m.dll));
  }
  return b.Take();
}

PackedRecord DriverRecord(const Driver& d, DWORD level) {
  RecordBuilder b(DriverRecordSize(level));
  if (level == 1) {
    b.Text(offsetof(DRIVER_INFO_1W, pName), OptionalText(d.name));
    return b.Take();
  }
  // Levels 2 to 6 share their leading fields with DRIVER_INFO_2W.
  b.Dword(offsetof(DRIVER_INFO_2W, cVersion), d.version);
  b.Text(offsetof(DRIVER_INFO_2W, pName), OptionalText(d.name));
  b.Text(offsetof(DRIVER_INFO_2W, pEnvironment), OptionalText(d.environment));
  b.Text(offsetof(DRIVER_INFO_2W, pDriverPath), d.driverPath);
  b.Text(offsetof(DRIVER_INFO_2W, pDataFile), d.dataFile);
  b.Text(offsetof(DRIVER_INFO_2W, pConfigFile), d.configFile);
  if (level == 5) {
    b.Dword(offsetof(DRIVER_INFO_5W, dwDriverAttributes), 0);
    b.Dword(offsetof(DRIVER_INFO_5W, dwConfigVersion), 0);
    b.Dword(offsetof(DRIVER_INFO_5W, dwDriverVersion), 0);
    return b.Take();
  }
  if (level >= 3) {
    b.Text(offsetof(DRIVER_INFO_3W, pHelpFile), d.helpFile);
    b.MultiText(offsetof(DRIVER_INFO_3W, pDependentFiles), d.dependentFiles);
    b.Text(offsetof(DRIVER_INFO_3W, pMonitorName), d.monitorName);
    b.Text(offsetof(DRIVER_INFO_3W, pDefaultDataType), d.defaultDataType);
  }
  if (level >= 4) b.MultiText(offsetof(DRIVER_INFO_4W, pszzPreviousNames), d.previousNames);
  if (level == 6) {
    b.Time(offsetof(DRIVER_INFO_6W, ftDriverDate), d.driverDate);
    b.Qword(offsetof(DRIVER_INFO_6W, dwlDriverVersion), d.driverVersion);
    b.Text(offsetof(DRIVER_INFO_6W, pszMfgName), d.manufacturer);
    b.Text(offsetof(DRIVER_INFO_6W, pszOEMUrl), d.oemUrl);
    b.Text(offsetof(DRIVER_INFO_6W, pszHardwareID), d.hardwareId);
    b.Text(offsetof(DRIVER_INFO_6W, pszProvider), d.provider);
  }
  return b.Take();
}

PackedRecord PrinterRecord(const Printer& p, DWORD level) {
  if (level != 2) Fatal("spooler: printer records exist at level 2 only here");
  RecordBuilder b(sizeof(PRINTER_INFO_2W));
  std::u16string ports;
  for (const std::u16string& port : p.ports) {
    if (!ports.empty()) ports += u",";
    ports += port;
  }
  b.Text(offsetof(PRINTER_INFO_2W, pServerName), p.serverName);
  b.Text(offsetof(PRINTER_INFO_2W, pPrinterName), OptionalText(p.name));
  b.Text(offsetof(PRINTER_INFO_2W, pShareName), p.shareName);
  b.Text(offsetof(PRINTER_INFO_2W, pPortName), OptionalText(ports));
  b.Text(offsetof(PRINTER_INFO_2W, pDriverName), p.driverName);
  b.Text(offsetof(PRINTER_INFO_2W, pComment), p.comment);
  b.Text(offsetof(PRINTER_INFO_2W, pLocation), p.location);
  b.Text(offsetof(PRINTER_INFO_2W, pSepFile), p.sepFile);
  b.Text(offsetof(PRINTER_INFO_2W, pPrintProcessor), p.printProcessor);
  b.Text(offsetof(PRINTER_INFO_2W, pDatatype), p.datatype);
  b.Text(offsetof(PRINTER_INFO_2W, pParameters), p.parameters);
  b.Blob(offsetof(PRINTER_INFO_2W, pDevMode), p.devMode);
  b.Dword(offsetof(PRINTER_INFO_2W, Attributes), p.attributes);
  b.Dword(offsetof(PRINTER_INFO_2W, Priority), p.priority);
  b.Dword(offsetof(PRINTER_INFO_2W, DefaultPriority), p.defaultPriority);
  b.Dword(offsetof(PRINTER_INFO_2W, StartTime), p.startTime);
  b.Dword(offsetof(PRINTER_INFO_2W, UntilTime), p.untilTime);
  b.Dword(offsetof(PRINTER_INFO_2W, Status),
          p.status | (p.pendingDeletion ? PRINTER_STATUS_PENDING_DELETION : 0));
  b.Dword(offsetof(PRINTER_INFO_2W, cJobs), p.jobs);
  b.Dword(offsetof(PRINTER_INFO_2W, AveragePPM), p.averagePpm);
  return b.Take();
}

BOOL PackRecords(const std::vector<PackedRecord>& records, size_t fixedSize, bool withDevMode,
                 LPBYTE buffer, DWORD cbBuf, LPDWORD needed, LPDWORD returned) {
  size_t total = records.size() * fixedSize;
  for (const PackedRecord& r : records) total += VariableSize(r, withDevMode);
  if (total > 0xFFFFFFFFu) Fatal("spooler: records larger than a DWORD can count");
  *needed = static_cast<DWORD>(total);
  if (returned) *returned = 0;
  if (cbBuf < total) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (total > 0 && buffer == nullptr) {
    SetError(kErrorInvalidUserBuffer);
    return FALSE;
  }

  // Where every part goes, before anything is written: a buffer whose
  // address is not suitably aligned may lack the room after all.
  const uintptr_t alignment = withDevMode ? 8 : 2;
  const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
  const uintptr_t fixedEnd = start + records.size() * fixedSize;
  std::vector<std::vector<uintptr_t>> places(records.size());
  uintptr_t end = AlignDown(start + cbBuf, alignment);
  for (size_t i = 0; i < records.size(); ++i) {
    for (const PackedRecord::Part& part : records[i].parts) {
      end = part.aligned ? AlignDown(end - part.bytes.size(), 8) : end - part.bytes.size();
      places[i].push_back(end);
    }
    end = AlignDown(end, alignment);
  }
  if (end < fixedEnd) {
    *needed = static_cast<DWORD>(total + alignment);
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }

  for (size_t i = 0; i < records.size(); ++i) {
    LPBYTE fixed = buffer + i * fixedSize;
    std::memcpy(fixed, records[i].fixed.data(), fixedSize);
    for (size_t k = 0; k < records[i].parts.size(); ++k) {
      const PackedRecord::Part& part = records[i].parts[k];
      LPBYTE place = reinterpret_cast<LPBYTE>(places[i][k]);
      std::memcpy(place, part.bytes.data(), part.bytes.size());
      std::memcpy(fixed + part.offset, &place, sizeof place);
    }
  }
  if (returned) *returned = static_cast<DWORD>(records.size());
  return TRUE;
}

}  // namespace spooler
}  // namespace winsim
