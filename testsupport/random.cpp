#include "testsupport/random.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace testsupport {

std::string randomBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  PseudoRandom(seed).fill(bytes.data(), bytes.size());
  return bytes;
}

bool writeRandomFile(const std::filesystem::path& path, uint64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  PseudoRandom random(seed);
  std::vector<char> piece(1 << 16);
  for (uint64_t written = 0; written < size && out; written += piece.size()) {
    random.fill(piece.data(), piece.size());
    out.write(piece.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(piece.size(), size - written)));
  }
  out.close();
  return static_cast<bool>(out);
}

}  // namespace testsupport
