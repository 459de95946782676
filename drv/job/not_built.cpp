#include "job/not_built.h"
#include <cstdio>
#include <cstdlib>

namespace svd {

void NotBuiltYet(const char* operation) {
  std::fprintf(stderr, "%s is not built yet\n", operation);
  std::abort();
}

}  // namespace svd
