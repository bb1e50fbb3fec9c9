// Input data for benchmarks: pseudo-random bytes that nothing can shortcut (no run of zeros for
// a file system or a compressor to skip), the same on every run.
//
//   bench::PseudoRandom random;
//   random.fill(buffer.data(), buffer.size());
//   bench::writePseudoRandomFile(folder / "large.bin", uint64_t{1} << 30, &error);
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace bench {

// A linear congruential generator: fast, and plenty for filling benchmark inputs.
class PseudoRandom {
 public:
  explicit PseudoRandom(uint32_t seed = 0x9E3779B9) : state_(seed) {}
  uint8_t nextByte() {
    state_ = state_ * 1664525 + 1013904223;
    return static_cast<uint8_t>(state_ >> 24);
  }
  void fill(void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) bytes[i] = nextByte();
  }

 private:
  uint32_t state_;
};

// Writes `size` pseudo-random bytes to `path`, replacing it. False, with a message on standard
// error, when it cannot.
bool writePseudoRandomFile(const std::filesystem::path& path, uint64_t size);

}  // namespace bench
