// The stand-in's version-resource reader over any file contents: the
// fuzzer's bytes are a file; GetFileVersionInfoSizeW, GetFileVersionInfoW and
// VerQueryValueW read it the way the program does (and a little more), and
// svd::GetFileBuildNumber reads its build number. Every value VerQueryValueW
// hands out must lie inside the block the caller passed, with its length.
#include "fuzz_common.h"

#include <winver.h>

#include <cstring>

#include "components/file_staging.h"

namespace {

const char16_t kPath[] = u"C:\\Program Files\\Solvendale\\Setup\\qrlmon64.dll";

// Reads the value at sub-block path and checks that it lies within the block.
// Text values count UTF-16 units, the others bytes; the reader does not say
// which, so at least the length as bytes must be inside.
void QueryInside(const uint8_t* block, size_t blockSize, const char16_t* path) {
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block, path, &value, &length)) return;
  FUZZ_CHECK(value != nullptr);
  const uint8_t* at = static_cast<const uint8_t*>(value);
  FUZZ_CHECK(at >= block && at <= block + blockSize);
  size_t bytes = length;
  FUZZ_CHECK(bytes <= static_cast<size_t>(block + blockSize - at));
  volatile uint8_t sink = 0;
  for (size_t i = 0; i < bytes; ++i) sink = sink ^ at[i];
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ReuseMachine();
  winsim::PutFile(kPath, std::vector<uint8_t>(data, data + size));
  size_t blocksBefore = winsim::LiveBlocks();

  DWORD handle = 1;
  DWORD infoSize = GetFileVersionInfoSizeW(kPath, &handle);
  FUZZ_CHECK(handle == 0);
  if (infoSize != 0) {
    // Exactly the size asked for, on the host heap, so that any read past it
    // is caught.
    uint8_t* block = new uint8_t[infoSize];
    std::memset(block, 0xCD, infoSize);
    if (GetFileVersionInfoW(kPath, 0, infoSize, block)) {
      QueryInside(block, infoSize, u"\\");
      QueryInside(block, infoSize, u"\\VarFileInfo\\Translation");
      QueryInside(block, infoSize, u"\\StringFileInfo\\040904b0\\FileVersion");
      QueryInside(block, infoSize, u"\\StringFileInfo\\040904B0\\ProductVersion");
    }
    delete[] block;
  }

  int build = svd::GetFileBuildNumber(kPath);
  FUZZ_CHECK(build >= -1 && build <= 0xFFFF);
  FUZZ_CHECK(winsim::LiveBlocks() == blocksBefore);
  return 0;
}
