// File version resources: GetFileVersionInfoSizeW, GetFileVersionInfoW and
// VerQueryValueW read the RT_VERSION resource out of the file's own bytes
// (a PE image: DOS header, PE header, section table, resource directory),
// and MakeVersionedImage builds such images for the machine and for tests.
#include "core.h"

#include <winsim/control.h>

#include <cstring>

namespace winsim {
namespace {

// ------------------------------------------------------------- reading --

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
bool Fits(const std::vector<uint8_t>& b, uint64_t at, uint64_t length) {
  return at <= b.size() && length <= b.size() - at;
}

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

// Maps an RVA to a file offset through the section table.
bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint32_t* offset) {
  for (const Section& s : sections) {
    uint32_t extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (rva >= s.virtualAddress && rva - s.virtualAddress < extent &&
        rva - s.virtualAddress < s.rawSize) {
      *offset = s.rawOffset + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

// One IMAGE_RESOURCE_DIRECTORY: the entry with the given id (or, with id 0,
// the first entry). Returns the entry's OffsetToData field.
bool FindResourceEntry(const std::vector<uint8_t>& b, uint32_t base, uint32_t dir, uint16_t id,
                       uint32_t* target) {
  if (!Fits(b, uint64_t(base) + dir, 16)) return false;
  uint32_t at = base + dir;
  uint32_t named = U16(b, at + 12);
  uint32_t ids = U16(b, at + 14);
  for (uint32_t i = 0; i < named + ids; ++i) {
    uint64_t entry = uint64_t(at) + 16 + 8 * i;
    if (!Fits(b, entry, 8)) return false;
    uint32_t name = U32(b, entry);
    bool isId = !(name & 0x80000000u);
    if ((id == 0 && (i == 0)) || (isId && name == id)) {
      *target = U32(b, entry + 4);
      return true;
    }
  }
  return false;
}

// The bytes of the image's VS_VERSIONINFO resource; 0 or an error code.
DWORD VersionResource(const std::vector<uint8_t>& b, std::vector<uint8_t>* out) {
  if (!Fits(b, 0, 64) || b[0] != 'M' || b[1] != 'Z') return ERROR_BAD_FORMAT;
  uint32_t pe = U32(b, 0x3C);
  if (!Fits(b, pe, 24) || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return ERROR_BAD_FORMAT;
  uint16_t sectionCount = U16(b, pe + 6);
  uint16_t optionalSize = U16(b, pe + 20);
  uint64_t optional = uint64_t(pe) + 24;
  if (!Fits(b, optional, optionalSize) || optionalSize < 2) return ERROR_BAD_FORMAT;
  uint16_t magic = U16(b, optional);
  uint32_t countAt = magic == 0x20B ? 108 : (magic == 0x10B ? 92 : 0);
  if (countAt == 0 || optionalSize < countAt + 4) return ERROR_BAD_FORMAT;
  uint32_t dirCount = U32(b, optional + countAt);
  uint32_t resourceDirAt = countAt + 4 + 2 * 8;  // data directory 2: resources
  if (dirCount < 3 || optionalSize < resourceDirAt + 8) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t resourceRva = U32(b, optional + resourceDirAt);
  if (resourceRva == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::vector<Section> sections;
  uint64_t table = optional + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint64_t s = table + 40ull * i;
    if (!Fits(b, s, 40)) return ERROR_BAD_FORMAT;
    sections.push_back(Section{U32(b, s + 12), U32(b, s + 8), U32(b, s + 16), U32(b, s + 20)});
  }
  uint32_t base = 0;
  if (!RvaToOffset(sections, resourceRva, &base)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t typeDir = 0, nameDir = 0, langEntry = 0;
  if (!FindResourceEntry(b, base, 0, 16, &typeDir) || !(typeDir & 0x80000000u))
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!FindResourceEntry(b, base, typeDir & 0x7FFFFFFF, VS_VERSION_INFO, &nameDir) &&
      !FindResourceEntry(b, base, typeDir & 0x7FFFFFFF, 0, &nameDir))
    return ERROR_RESOURCE_NAME_NOT_FOUND;
  if (!(nameDir & 0x80000000u)) return ERROR_RESOURCE_NAME_NOT_FOUND;
  if (!FindResourceEntry(b, base, nameDir & 0x7FFFFFFF, 0, &langEntry) ||
      (langEntry & 0x80000000u))
    return ERROR_RESOURCE_LANG_NOT_FOUND;
  if (!Fits(b, uint64_t(base) + langEntry, 16)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t dataRva = U32(b, base + langEntry);
  uint32_t dataSize = U32(b, base + langEntry + 4);
  uint32_t dataOffset = 0;
  if (!RvaToOffset(sections, dataRva, &dataOffset) || !Fits(b, dataOffset, dataSize) ||
      dataSize < 6)
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  // The root block's length is what VerQueryValueW walks: it must lie within
  // the resource, or queries would read past the caller's copy of it.
  if (U16(b, dataOffset) > dataSize) return ERROR_RESOURCE_DATA_NOT_FOUND;
  out->assign(b.begin() + dataOffset, b.begin() + dataOffset + dataSize);
  return 0;
}

// The file offset and size of a data directory entry through the sections;
// false when it is absent or lies outside the file.
bool DirectoryAt(const std::vector<uint8_t>& b, const std::vector<Section>& sections, uint64_t entry,
                 uint32_t* offset, uint32_t* size) {
  uint32_t rva = U32(b, entry);
  *size = U32(b, entry + 4);
  return rva != 0 && RvaToOffset(sections, rva, offset) && Fits(b, *offset, *size);
}

std::string NameAt(const std::vector<uint8_t>& b, uint32_t offset) {
  std::string name;
  while (offset < b.size() && b[offset] != 0 && name.size() < 256) name.push_back(static_cast<char>(b[offset++]));
  return name;
}

DWORD ReadVersionResource(LPCWSTR path, std::vector<uint8_t>* resource) {
  std::u16string canonical;
  DWORD error = 0;
  if (!files::Canonical(path, &canonical, &error)) return error;
  if (files::DeletePending(canonical)) return ERROR_ACCESS_DENIED;  // cannot be opened
  std::vector<uint8_t> bytes;
  if (!files::ReadBytes(canonical, &bytes)) {
    if (files::IsDirectory(canonical)) return ERROR_ACCESS_DENIED;
    size_t slash = canonical.find_last_of(u'\\');
    std::u16string parent = canonical.substr(0, slash == 2 ? 3 : slash);
    return files::IsDirectory(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  // A file that is no image has no resources to find.
  images::ImageInfo info;
  if (!images::Inspect(bytes, &info)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  return VersionResource(bytes, resource);
}

// ------------------------------------------------------------- writing --

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Align4(std::vector<uint8_t>& b) {
  while (b.size() % 4) b.push_back(0);
}
void AppendText(std::vector<uint8_t>& b, const std::u16string& text) {
  for (char16_t c : text) Append16(b, c);
  Append16(b, 0);
}

// One version block: wLength, wValueLength, wType, szKey, padding, value,
// padding, children.
std::vector<uint8_t> VersionBlock(const std::u16string& key, const std::vector<uint8_t>& value,
                                  WORD valueLength, WORD type,
                                  const std::vector<std::vector<uint8_t>>& children) {
  std::vector<uint8_t> b;
  Append16(b, 0);
  Append16(b, valueLength);
  Append16(b, type);
  AppendText(b, key);
  Align4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const std::vector<uint8_t>& child : children) {
    Align4(b);
    b.insert(b.end(), child.begin(), child.end());
  }
  Put16(b, 0, static_cast<uint32_t>(b.size()));
  return b;
}

std::vector<uint8_t> StringBlock(const std::u16string& key, const std::u16string& text) {
  std::vector<uint8_t> value;
  AppendText(value, text);
  return VersionBlock(key, value, static_cast<WORD>(text.size() + 1), 1, {});
}

std::vector<uint8_t> VersionInfo(WORD a, WORD b, WORD c, WORD d) {
  std::vector<uint8_t> fixed;
  uint32_t ms = (uint32_t(a) << 16) | b;
  uint32_t ls = (uint32_t(c) << 16) | d;
  for (uint32_t v : {uint32_t(VS_FFI_SIGNATURE), uint32_t(VS_FFI_STRUCVERSION), ms, ls, ms, ls,
                     uint32_t(VS_FFI_FILEFLAGSMASK), 0u, uint32_t(VOS_NT_WINDOWS32),
                     uint32_t(VFT_DLL), 0u, 0u, 0u})
    Append32(fixed, v);
  std::u16string number = Widen(std::to_string(a) + "." + std::to_string(b) + "." +
                                std::to_string(c) + "." + std::to_string(d));
  std::vector<uint8_t> table = VersionBlock(
      u"040904b0", {}, 0, 1,
      {StringBlock(u"CompanyName", u"Solvendale"), StringBlock(u"FileVersion", number),
       StringBlock(u"ProductName", u"Solvendale"), StringBlock(u"ProductVersion", number)});
  std::vector<uint8_t> strings = VersionBlock(u"StringFileInfo", {}, 0, 1, {table});
  std::vector<uint8_t> translation;
  Append32(translation, 0x04B00409);
  std::vector<uint8_t> vars = VersionBlock(
      u"VarFileInfo", {}, 0, 1, {VersionBlock(u"Translation", translation, 4, 0, {})});
  return VersionBlock(u"VS_VERSION_INFO", fixed, static_cast<WORD>(fixed.size()), 0,
                      {strings, vars});
}

// The ".rsrc" section's bytes at the RVA: the resource directory
// (RT_VERSION / 1 / 0x0409) and the version data.
std::vector<uint8_t> ResourceSection(const std::vector<uint8_t>& versionInfo, uint32_t rva) {
  std::vector<uint8_t> rsrc;
  // Three directories with one entry each, one data entry, then the data.
  auto dir = [&](uint32_t id, uint32_t target) {
    for (int i = 0; i < 12; ++i) rsrc.push_back(0);  // characteristics, time, versions
    Append16(rsrc, 0);                                 // named entries
    Append16(rsrc, 1);                                 // id entries
    Append32(rsrc, id);
    Append32(rsrc, target);
  };
  dir(16, 0x80000000u | 24);               // type RT_VERSION -> directory at 24
  dir(VS_VERSION_INFO, 0x80000000u | 48);  // name 1 -> directory at 48
  dir(0x0409, 72);                         // language -> data entry at 72
  Append32(rsrc, rva + 88);                // data RVA
  Append32(rsrc, static_cast<uint32_t>(versionInfo.size()));
  Append32(rsrc, 0);  // code page
  Append32(rsrc, 0);  // reserved
  rsrc.insert(rsrc.end(), versionInfo.begin(), versionInfo.end());
  return rsrc;
}

// The ".edata" section's bytes at the RVA: an export directory naming the
// functions, and behind it (outside the directory's extent, so that no
// export reads as a forwarder) one "ret" that every function points at.
// *directorySize receives the directory's extent.
std::vector<uint8_t> ExportSection(const std::vector<std::string>& names, uint32_t rva,
                                   uint32_t* directorySize) {
  const uint32_t n = static_cast<uint32_t>(names.size());
  const uint32_t functions = 40, nameTable = functions + 4 * n, ordinals = nameTable + 4 * n;
  uint32_t strings = ordinals + 2 * n;
  std::vector<uint8_t> e(strings, 0);
  std::string blob = std::string("image.dll") + '\0';
  std::vector<uint32_t> nameAt;
  for (const std::string& name : names) {
    nameAt.push_back(strings + static_cast<uint32_t>(blob.size()));
    blob += name + '\0';
  }
  e.insert(e.end(), blob.begin(), blob.end());
  Align4(e);
  *directorySize = static_cast<uint32_t>(e.size());
  uint32_t code = rva + static_cast<uint32_t>(e.size());
  e.push_back(0xC3);
  Align4(e);
  Put32(e, 12, rva + strings);  // Name
  Put32(e, 16, 1);              // Base
  Put32(e, 20, n);              // NumberOfFunctions
  Put32(e, 24, n);              // NumberOfNames
  Put32(e, 28, rva + functions);
  Put32(e, 32, rva + nameTable);
  Put32(e, 36, rva + ordinals);
  for (uint32_t i = 0; i < n; ++i) {
    Put32(e, functions + 4 * i, code);
    Put32(e, nameTable + 4 * i, rva + nameAt[i]);
    Put16(e, ordinals + 2 * i, i);
  }
  return e;
}

struct SectionBytes {
  const char* name;
  uint32_t rva;
  std::vector<uint8_t> bytes;
};

// A PE32+ DLL image for the machine: headers, then a ".rsrc" section with
// the version resource when one is given and an ".edata" section with the
// exports when any are named.
std::vector<uint8_t> Image(const ImageSetup& setup) {
  const uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000;
  const uint32_t peOffset = 0x80;
  auto alignUp = [](uint32_t v, uint32_t a) { return (v + a - 1) / a * a; };
  std::vector<SectionBytes> sections;
  uint32_t nextRva = kSectionAlign;
  uint32_t exportSize = 0;
  if (setup.versioned) {
    std::vector<uint8_t> info =
        VersionInfo(setup.version[0], setup.version[1], setup.version[2], setup.version[3]);
    sections.push_back({".rsrc", nextRva, ResourceSection(info, nextRva)});
    nextRva += alignUp(static_cast<uint32_t>(sections.back().bytes.size()), kSectionAlign);
  }
  if (!setup.exports.empty()) {
    sections.push_back({".edata", nextRva, ExportSection(setup.exports, nextRva, &exportSize)});
    nextRva += alignUp(static_cast<uint32_t>(sections.back().bytes.size()), kSectionAlign);
  }
  uint32_t fileSize = kFileAlign;
  for (const SectionBytes& s : sections)
    fileSize += alignUp(static_cast<uint32_t>(s.bytes.size()), kFileAlign);
  std::vector<uint8_t> b(fileSize, 0);
  // DOS header.
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, peOffset);
  // PE signature and file header.
  std::memcpy(&b[peOffset], "PE\0\0", 4);
  size_t fh = peOffset + 4;
  Put16(b, fh + 0, setup.machine);
  Put16(b, fh + 2, static_cast<uint32_t>(sections.size()));  // NumberOfSections
  Put16(b, fh + 16, 240);       // SizeOfOptionalHeader
  Put16(b, fh + 18, 0x2022);    // EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE | DLL
  // Optional header, PE32+.
  size_t oh = fh + 20;
  Put16(b, oh + 0, 0x20B);
  Put32(b, oh + 16, 0);                 // AddressOfEntryPoint
  Put32(b, oh + 24, 0x80000000u);       // ImageBase low
  Put32(b, oh + 28, 0x00000001u);       // ImageBase high: 0x180000000
  Put32(b, oh + 32, kSectionAlign);
  Put32(b, oh + 36, kFileAlign);
  Put16(b, oh + 40, 6);                 // MajorOperatingSystemVersion
  Put16(b, oh + 48, 6);                 // MajorSubsystemVersion
  Put32(b, oh + 56, nextRva);           // SizeOfImage
  Put32(b, oh + 60, kFileAlign);        // SizeOfHeaders
  Put16(b, oh + 68, 2);                 // Subsystem: Windows GUI
  Put16(b, oh + 70, 0x0160);            // DllCharacteristics: high entropy VA, dynamic base, NX
  Put32(b, oh + 72, 0x100000);          // SizeOfStackReserve
  Put32(b, oh + 80, 0x1000);            // SizeOfStackCommit
  Put32(b, oh + 88, 0x100000);          // SizeOfHeapReserve
  Put32(b, oh + 96, 0x1000);            // SizeOfHeapCommit
  Put32(b, oh + 108, 16);               // NumberOfRvaAndSizes
  uint32_t raw = kFileAlign;
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionBytes& s = sections[i];
    uint32_t size = static_cast<uint32_t>(s.bytes.size());
    bool exports = std::string(s.name) == ".edata";
    Put32(b, oh + 112 + (exports ? 0 : 2) * 8, s.rva);
    Put32(b, oh + 112 + (exports ? 0 : 2) * 8 + 4, exports ? exportSize : size);
    size_t sh = oh + 240 + 40 * i;
    std::memcpy(&b[sh], s.name, std::strlen(s.name));
    Put32(b, sh + 8, size);                                  // VirtualSize
    Put32(b, sh + 12, s.rva);                                // VirtualAddress
    Put32(b, sh + 16, alignUp(size, kFileAlign));            // SizeOfRawData
    Put32(b, sh + 20, raw);                                  // PointerToRawData
    Put32(b, sh + 36, exports ? 0x60000020u : 0x40000040u);  // code / initialized data
    std::memcpy(&b[raw], s.bytes.data(), s.bytes.size());
    raw += alignUp(size, kFileAlign);
  }
  return b;
}

// ------------------------------------------------------ VerQueryValueW --

struct BlockView {
  const uint8_t* start;
  WORD length;
  WORD valueLength;
  WORD type;
  std::u16string key;
  const uint8_t* value;
  const uint8_t* children;
};

size_t AlignUp4(size_t v) { return (v + 3) & ~size_t(3); }

bool ReadBlock(const uint8_t* start, const uint8_t* limit, BlockView* view) {
  if (limit - start < 6) return false;
  view->start = start;
  view->length = static_cast<WORD>(start[0] | (start[1] << 8));
  view->valueLength = static_cast<WORD>(start[2] | (start[3] << 8));
  view->type = static_cast<WORD>(start[4] | (start[5] << 8));
  if (view->length < 6 || view->length > limit - start) return false;
  const uint8_t* end = start + view->length;
  const uint8_t* p = start + 6;
  view->key.clear();
  for (;;) {
    if (end - p < 2) return false;
    char16_t c = static_cast<char16_t>(p[0] | (p[1] << 8));
    p += 2;
    if (c == 0) break;
    view->key.push_back(c);
  }
  view->value = start + AlignUp4(p - start);
  size_t valueBytes = view->type == 1 ? size_t(view->valueLength) * 2 : view->valueLength;
  if (view->value > end || valueBytes > size_t(end - view->value)) {
    // A value that runs past its block is no value: handing it out would
    // let the caller read past the block.
    valueBytes = 0;
    view->valueLength = 0;
    view->value = end;
  }
  view->children = start + AlignUp4((view->value - start) + valueBytes);
  if (view->children > end) view->children = end;
  return true;
}

}  // namespace

const char kMonitorEntryPoint[] = "InitializePrintMonitor2";

namespace images {

bool Inspect(const std::vector<uint8_t>& b, ImageInfo* info) {
  if (!Fits(b, 0, 64) || b[0] != 'M' || b[1] != 'Z') return false;
  uint32_t pe = U32(b, 0x3C);
  if (!Fits(b, pe, 24) || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return false;
  uint16_t sectionCount = U16(b, pe + 6);
  uint16_t optionalSize = U16(b, pe + 20);
  uint64_t optional = uint64_t(pe) + 24;
  if (optionalSize < 112 || !Fits(b, optional, optionalSize) || U16(b, optional) != 0x20B) return false;
  std::vector<Section> sections;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint64_t s = optional + optionalSize + 40ull * i;
    if (!Fits(b, s, 40)) return false;
    Section section{U32(b, s + 12), U32(b, s + 8), U32(b, s + 16), U32(b, s + 20)};
    // A section whose data lies past the end of the file: a truncated image.
    if (section.rawSize != 0 && !Fits(b, section.rawOffset, section.rawSize)) return false;
    sections.push_back(section);
  }
  info->machine = U16(b, pe + 4);
  info->dll = (U16(b, pe + 22) & 0x2000) != 0;
  info->exports.clear();
  uint32_t at = 0, size = 0;
  if (U32(b, optional + 108) >= 1 && DirectoryAt(b, sections, optional + 112, &at, &size) &&
      size >= 40) {
    uint32_t names = U32(b, at + 24), nameTable = 0;
    if (RvaToOffset(sections, U32(b, at + 32), &nameTable) && Fits(b, nameTable, 4ull * names)) {
      for (uint32_t i = 0; i < names; ++i) {
        uint32_t name = 0;
        if (RvaToOffset(sections, U32(b, nameTable + 4 * i), &name)) info->exports.push_back(NameAt(b, name));
      }
    }
  }
  return true;
}

DWORD Load(const std::u16string& path, ImageInfo* info) {
  std::vector<uint8_t> bytes;
  if (!files::ReadBytes(path, &bytes)) return ERROR_MOD_NOT_FOUND;
  if (!Inspect(bytes, info) || info->machine != 0x8664) return ERROR_BAD_EXE_FORMAT;
  return 0;
}

bool Exports(const ImageInfo& info, const std::string& name) {
  for (const std::string& e : info.exports)
    if (e == name) return true;
  return false;
}

}  // namespace images

std::vector<uint8_t> MakeImage(const ImageSetup& setup) { return Image(setup); }

std::vector<uint8_t> MakeVersionedImage(WORD a, WORD b, WORD c, WORD d) {
  ImageSetup setup;
  setup.version = {a, b, c, d};
  return Image(setup);
}

std::vector<uint8_t> MakeUnversionedImage() {
  ImageSetup setup;
  setup.versioned = false;
  return Image(setup);
}

std::vector<uint8_t> MakeMonitorImage(WORD a, WORD b, WORD c, WORD d) {
  ImageSetup setup;
  setup.version = {a, b, c, d};
  setup.exports = {kMonitorEntryPoint};
  return Image(setup);
}

}  // namespace winsim

extern "C" {

const winsim::DocumentedErrors kGetFileVersionInfoSizeWErrors{
    "GetFileVersionInfoSizeW",
    {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_RESOURCE_TYPE_NOT_FOUND}};

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  if (winsim::Enter("GetFileVersionInfoSizeW", winsim::Narrow(lptstrFilename))) return 0;
  if (lptstrFilename == nullptr) winsim::Unsupported("GetFileVersionInfoSizeW", "a null path");
  std::vector<uint8_t> resource;
  DWORD error = winsim::ReadVersionResource(lptstrFilename, &resource);
  if (error != 0) {
    winsim::SetError(error);
    return 0;
  }
  // Like Windows, ask for twice the resource and four bytes more: room for
  // the ANSI conversions of the A calls.
  return static_cast<DWORD>(resource.size() * 2 + 4);
}

const winsim::DocumentedErrors kGetFileVersionInfoWErrors{
    "GetFileVersionInfoW",
    {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_RESOURCE_TYPE_NOT_FOUND}};

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                LPVOID lpData) {
  if (winsim::Enter("GetFileVersionInfoW", winsim::Narrow(lptstrFilename))) return FALSE;
  if (lptstrFilename == nullptr) winsim::Unsupported("GetFileVersionInfoW", "a null path");
  if (lpData == nullptr) {
    winsim::SetError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::vector<uint8_t> resource;
  DWORD error = winsim::ReadVersionResource(lptstrFilename, &resource);
  if (error != 0) {
    winsim::SetError(error);
    return FALSE;
  }
  size_t n = resource.size() < dwLen ? resource.size() : dwLen;
  std::memcpy(lpData, resource.data(), n);
  if (dwLen >= resource.size() + 4) std::memcpy(static_cast<char*>(lpData) + resource.size(), "FE2X", 4);
  return TRUE;
}

const winsim::DocumentedErrors kVerQueryValueWErrors{
    "VerQueryValueW", {ERROR_RESOURCE_TYPE_NOT_FOUND}};

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (winsim::Enter("VerQueryValueW", winsim::Narrow(lpSubBlock))) return FALSE;
  if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) return FALSE;
  const auto* start = static_cast<const uint8_t*>(pBlock);
  WORD total = static_cast<WORD>(start[0] | (start[1] << 8));
  winsim::BlockView block;
  if (!winsim::ReadBlock(start, start + total, &block)) return FALSE;
  std::u16string path = lpSubBlock;
  size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == u'\\') ++pos;
    if (pos >= path.size()) break;
    size_t end = path.find(u'\\', pos);
    if (end == std::u16string::npos) end = path.size();
    std::u16string name = path.substr(pos, end - pos);
    pos = end;
    const uint8_t* child = block.children;
    const uint8_t* limit = block.start + block.length;
    bool found = false;
    winsim::BlockView view;
    while (child < limit && winsim::ReadBlock(child, limit, &view)) {
      if (winsim::EqualsNoCase(view.key, name)) {
        found = true;
        break;
      }
      child = view.start + winsim::AlignUp4(view.length);
    }
    if (!found) {
      // The pointer stays as it was; the length is 0 (version info.c).
      if (puLen) *puLen = 0;
      winsim::SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    block = view;
  }
  // A block without a value of its own (a string table, a key without data)
  // is found, with a length of 0.
  *lplpBuffer = const_cast<uint8_t*>(block.value);
  if (puLen) *puLen = block.valueLength;
  return TRUE;
}

}  // extern "C"
