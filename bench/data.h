// Input files for benchmarks: pseudo-random bytes (testsupport/random.h) that nothing can
// shortcut, the same on every run.
//
//   if (!bench::writePseudoRandomFile(folder / "large.bin", uint64_t{1} << 30)) return 1;
#pragma once

#include <cstdint>
#include <filesystem>

namespace bench {

// Writes `size` pseudo-random bytes to `path`, replacing it. False, with a message on standard
// error, when it cannot.
bool writePseudoRandomFile(const std::filesystem::path& path, uint64_t size);

}  // namespace bench
