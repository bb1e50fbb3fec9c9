// Product archives come from the network: any bytes must unzip or fail cleanly, and nothing may
// ever be written outside the destination folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "os/zip/zip.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "zip-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return fs::path(pattern);
  }();
  const fs::path archive = root / "input.zip";
  const fs::path destination = root / "out" / "inside";
  fs::remove_all(root / "out");
  fs::create_directories(destination);
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  os::Error error;
  (void)os::SSZipArchive::unzipFileAtPath(archive.string(), destination.string(), true, "", &error);
  // The only thing beside the destination may be the destination itself.
  for (const auto& entry : fs::directory_iterator(root / "out")) {
    if (entry.path() != destination) std::abort();
  }
  return 0;
}
