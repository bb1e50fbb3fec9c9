// The unpacking behind SSZipArchive::unzipFileAtPath (os/zip/zip.h, which states what it
// guarantees), with the knobs that tests and benchmarks turn: how many threads write entries,
// which entries are inflated in one piece, and where the destination's free space comes from.
//
//   os::internal::UnzipOptions options;
//   options.threads = 1;                                   // everything on the calling thread
//   options.freeSpace = [](const std::filesystem::path&) { return uint64_t{1} << 20; };
//   os::internal::unzip(zipPath, destination, true, "", options, &error);
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "os/value/error.h"
#include "os/zip/zip.h"

namespace os::internal {

struct UnzipOptions {
  // Threads that write file entries; 0 picks as many as the machine and the archive make
  // useful. Folders are made before any file and links after every file, on the calling thread.
  unsigned threads = 0;
  // Entries up to this size (packed and unpacked) are read and inflated in one piece; larger
  // ones in bounded pieces. Each writing thread's buffers grow to this size: a larger limit
  // saves little time per entry and costs every thread fresh pages.
  uint64_t wholeBufferLimit = uint64_t{256} << 10;
  // The bytes free to an unprivileged writer on the file system that holds `folder` (an
  // existing folder); nullopt when unknown. statvfs when unset.
  std::function<std::optional<uint64_t>(const std::filesystem::path& folder)> freeSpace;
  // The caps of SSZipArchive (os/zip/zip.h); smaller in tests.
  uint64_t maxEntries;
  uint64_t maxTotalBytes;
  uint64_t freeSpaceMargin;
  size_t maxNameLength;
  size_t maxPathDepth;
  // Where a symbolic link's target must stay.
  SSZipArchive::LinkScope linkScope = SSZipArchive::LinkScope::kDestination;

  UnzipOptions();
};

// SSZipArchive::unzipFileAtPath with `options`.
bool unzip(const std::string& path, const std::string& destination, bool overwrite,
           const std::string& password, const UnzipOptions& options, Error* error);

}  // namespace os::internal
