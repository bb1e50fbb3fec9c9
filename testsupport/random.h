// Pseudo-random bytes for tests, tools and benchmarks: the same on every run for a given seed,
// and nothing that a compressor or a file system could shortcut (no runs of zeros).
//
//   testsupport::PseudoRandom random(7);
//   random.fill(buffer.data(), buffer.size());
//   const std::string body = testsupport::randomBytes(1 << 20, 11);
//   testsupport::writeRandomFile(folder / "large.bin", uint64_t{1} << 30);
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace testsupport {

// A linear congruential generator: fast, and plenty for inputs that only must not repeat.
class PseudoRandom {
 public:
  static constexpr uint32_t kDefaultSeed = 0x9E3779B9;

  explicit PseudoRandom(uint32_t seed = kDefaultSeed) : state_(seed) {}
  uint32_t next() {
    state_ = state_ * 1664525 + 1013904223;
    return state_;
  }
  // The high bits: the low ones of such a generator repeat with short periods.
  uint8_t nextByte() { return static_cast<uint8_t>(next() >> 24); }
  void fill(void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) bytes[i] = nextByte();
  }

 private:
  uint32_t state_;
};

// `size` pseudo-random bytes.
std::string randomBytes(size_t size, uint32_t seed = PseudoRandom::kDefaultSeed);

// Writes `size` pseudo-random bytes to `path`, replacing it, a piece at a time (a file larger
// than memory is fine). False when the file cannot be written.
bool writeRandomFile(const std::filesystem::path& path, uint64_t size,
                     uint32_t seed = PseudoRandom::kDefaultSeed);

}  // namespace testsupport
