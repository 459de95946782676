// Writes the binary seeds of the version-resource target: images the way the
// machine makes them, with and without a version resource, and a few builds.
// Usage: fuzz_seed_writer <directory>
#include <winsim/control.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  bool ok = Write(dir + "/versioned_2093.dll", winsim::MakeVersionedImage(1, 0, 0, 2093)) &&
            Write(dir + "/versioned_2072.dll", winsim::MakeVersionedImage(1, 0, 0, 2072)) &&
            Write(dir + "/versioned_max.dll", winsim::MakeVersionedImage(65535, 65535, 65535, 65535)) &&
            Write(dir + "/unversioned.dll", winsim::MakeUnversionedImage());
  return ok ? 0 : 1;
}
