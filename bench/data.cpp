#include "bench/data.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace bench {

bool writePseudoRandomFile(const std::filesystem::path& path, uint64_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::vector<char> piece(1 << 20);
  PseudoRandom random;
  for (uint64_t written = 0; file && written < size; written += piece.size()) {
    random.fill(piece.data(), piece.size());
    file.write(piece.data(),
               static_cast<std::streamsize>(std::min<uint64_t>(piece.size(), size - written)));
  }
  file.close();
  if (!file) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return static_cast<bool>(file);
}

}  // namespace bench
