#include "bench/data.h"

#include <cstdio>

#include "testsupport/random.h"

namespace bench {

bool writePseudoRandomFile(const std::filesystem::path& path, uint64_t size) {
  if (testsupport::writeRandomFile(path, size)) return true;
  std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return false;
}

}  // namespace bench
