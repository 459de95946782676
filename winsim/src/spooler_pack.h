// Packing of spooler records into a caller's buffer, as the spooler does it:
// the fixed-size records one after the other from the start of the buffer,
// the strings (and device modes) they point to packed from the end of the
// buffer backwards, record by record, in field order.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <vector>

#include "spooler_model.h"

namespace winsim {
namespace spooler {

// One record before packing: its fixed part (numbers filled in, pointer
// fields zero) and the variable parts its pointer fields will point to.
struct PackedRecord {
  struct Part {
    size_t offset;               // of the pointer field in the fixed part
    std::vector<uint8_t> bytes;  // what it points to
    bool aligned;                // placed on an 8-byte boundary (device modes)
  };
  std::vector<uint8_t> fixed;
  std::vector<Part> parts;
};

size_t MonitorRecordSize(DWORD level);  // 0 for levels without a record
size_t DriverRecordSize(DWORD level);
size_t PrinterRecordSize(DWORD level);

PackedRecord MonitorRecord(const Monitor& monitor, DWORD level);
PackedRecord DriverRecord(const Driver& driver, DWORD level);
PackedRecord PrinterRecord(const Printer& printer, DWORD level);

// Packs the records. Sets *needed to the bytes the records take. When the
// buffer is too small: FALSE, ERROR_INSUFFICIENT_BUFFER, *returned 0.
// Otherwise TRUE and *returned (when given) the record count.
BOOL PackRecords(const std::vector<PackedRecord>& records, size_t fixedSize, bool withDevMode,
                 LPBYTE buffer, DWORD cbBuf, LPDWORD needed, LPDWORD returned);

// The bytes of a text with its terminator.
std::vector<uint8_t> TextBytes(const std::u16string& text);

}  // namespace spooler
}  // namespace winsim
