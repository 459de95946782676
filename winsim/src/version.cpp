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

DWORD ReadVersionResource(LPCWSTR path, std::vector<uint8_t>* resource) {
  std::u16string canonical;
  DWORD error = 0;
  if (!files::Canonical(path, &canonical, &error)) return error;
  std::vector<uint8_t> bytes;
  if (!files::ReadBytes(canonical, &bytes)) {
    if (files::IsDirectory(canonical)) return ERROR_ACCESS_DENIED;
    size_t slash = canonical.find_last_of(u'\\');
    std::u16string parent = canonical.substr(0, slash == 2 ? 3 : slash);
    return files::IsDirectory(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
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

// A PE32+ DLL image: headers, one ".rsrc" section holding the resource
// directory (RT_VERSION / 1 / 0x0409) and the version data when given.
std::vector<uint8_t> Image(const std::vector<uint8_t>* versionInfo) {
  const uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kRsrcRva = 0x1000;
  const uint32_t peOffset = 0x80;
  std::vector<uint8_t> rsrc;
  if (versionInfo) {
    // Three directories with one entry each, one data entry, then the data.
    auto dir = [&](uint32_t id, uint32_t target) {
      for (int i = 0; i < 12; ++i) rsrc.push_back(0);  // characteristics, time, versions
      Append16(rsrc, 0);                                 // named entries
      Append16(rsrc, 1);                                 // id entries
      Append32(rsrc, id);
      Append32(rsrc, target);
    };
    dir(16, 0x80000000u | 24);        // type RT_VERSION -> directory at 24
    dir(VS_VERSION_INFO, 0x80000000u | 48);  // name 1 -> directory at 48
    dir(0x0409, 72);                   // language -> data entry at 72
    Append32(rsrc, kRsrcRva + 88);     // data RVA
    Append32(rsrc, static_cast<uint32_t>(versionInfo->size()));
    Append32(rsrc, 0);                 // code page
    Append32(rsrc, 0);                 // reserved
    rsrc.insert(rsrc.end(), versionInfo->begin(), versionInfo->end());
  }
  uint32_t rawSize = static_cast<uint32_t>((rsrc.size() + kFileAlign - 1) / kFileAlign * kFileAlign);
  uint32_t sections = versionInfo ? 1 : 0;
  std::vector<uint8_t> b(kFileAlign + rawSize, 0);
  // DOS header.
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, peOffset);
  // PE signature and file header.
  std::memcpy(&b[peOffset], "PE\0\0", 4);
  size_t fh = peOffset + 4;
  Put16(b, fh + 0, 0x8664);     // Machine: AMD64
  Put16(b, fh + 2, sections);   // NumberOfSections
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
  Put32(b, oh + 56, kRsrcRva + (rawSize ? (rawSize + kSectionAlign - 1) / kSectionAlign * kSectionAlign : 0));
  Put32(b, oh + 60, kFileAlign);        // SizeOfHeaders
  Put16(b, oh + 68, 2);                 // Subsystem: Windows GUI
  Put16(b, oh + 70, 0x0160);            // DllCharacteristics: high entropy VA, dynamic base, NX
  Put32(b, oh + 72, 0x100000);          // SizeOfStackReserve
  Put32(b, oh + 80, 0x1000);            // SizeOfStackCommit
  Put32(b, oh + 88, 0x100000);          // SizeOfHeapReserve
  Put32(b, oh + 96, 0x1000);            // SizeOfHeapCommit
  Put32(b, oh + 108, 16);               // NumberOfRvaAndSizes
  if (versionInfo) {
    Put32(b, oh + 112 + 2 * 8, kRsrcRva);
    Put32(b, oh + 112 + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
    size_t sh = oh + 240;
    std::memcpy(&b[sh], ".rsrc\0\0\0", 8);
    Put32(b, sh + 8, static_cast<uint32_t>(rsrc.size()));  // VirtualSize
    Put32(b, sh + 12, kRsrcRva);                            // VirtualAddress
    Put32(b, sh + 16, rawSize);                             // SizeOfRawData
    Put32(b, sh + 20, kFileAlign);                          // PointerToRawData
    Put32(b, sh + 36, 0x40000040u);                         // initialized data, readable
    std::memcpy(&b[kFileAlign], rsrc.data(), rsrc.size());
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

std::vector<uint8_t> MakeVersionedImage(WORD a, WORD b, WORD c, WORD d) {
  std::vector<uint8_t> info = VersionInfo(a, b, c, d);
  return Image(&info);
}

std::vector<uint8_t> MakeUnversionedImage() { return Image(nullptr); }

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
      winsim::SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    block = view;
  }
  if (block.valueLength == 0) return FALSE;
  *lplpBuffer = const_cast<uint8_t*>(block.value);
  if (puLen) *puLen = block.valueLength;
  return TRUE;
}

}  // extern "C"
