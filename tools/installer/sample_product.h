// A sample product for the installer to install: an application bundle laid out as the maker
// ships one, zipped as the maker zips it, and the damaged archives that the failure tests and
// the resource server's faults need.
//
//   os::Error error;
//   tools::makeSampleProductArchive("/tmp/Brevalo.zip", {}, &error);
//   // Brevalo.app/Contents/Info.plist            CFBundleExecutable "Brevalo", ...
//   // Brevalo.app/Contents/MacOS/Brevalo          mode 0755, records that it was started
//   // Brevalo.app/Contents/Resources/...          strings tables and a payload
//   // Brevalo.app/Contents/Frameworks/BrevaloKit.framework/...   with internal links
//
// The executable is a shell script that, when started, writes its process id and its own path
// to a marker file and quits. The marker's path comes from the environment variable
// TESSARO_PRODUCT_MARKER, else it is $HOME/.tessaro-product-started (kMarkerFileName).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "os/value/error.h"

namespace tools {

inline constexpr const char* kMarkerEnvironmentVariable = "TESSARO_PRODUCT_MARKER";
inline constexpr const char* kMarkerFileName = ".tessaro-product-started";

struct SampleProduct {
  // The bundle is "<name>.app" and its executable "<name>".
  std::string name = "Brevalo";
  std::string identifier = "com.tessaro.brevalo";
  // Size of the incompressible payload resource, which sets the archive's size.
  uint64_t payloadBytes = 256 * 1024;
  // Further files "Contents/Resources/data/<n / 1000>/<n>.dat", n from 0, each of
  // `resourceFileBytes` repeated bytes: a product of many files that is cheap to make and
  // compresses well.
  uint32_t resourceFiles = 0;
  uint64_t resourceFileBytes = 0;
};

// The path of resource file `index` inside the bundle ("Contents/Resources/data/3/3042.dat").
std::string sampleResourceFile(uint32_t index);

// Writes the bundle into the folder `folder` (created when missing; an existing bundle of the
// same name is replaced). Returns the bundle's path.
std::optional<std::filesystem::path> makeSampleProduct(const std::filesystem::path& folder,
                                                       const SampleProduct& product,
                                                       os::Error* error);

// Writes the zipped bundle to `archive` ("<name>.app/..." entries, modes and links kept).
bool makeSampleProductArchive(const std::filesystem::path& archive, const SampleProduct& product,
                              os::Error* error);

// Copies the archive `from` to `to` with the middle of its largest entry's data damaged, so
// that the archive still opens but that entry fails its checksum.
bool makeCorruptArchive(const std::filesystem::path& from, const std::filesystem::path& to,
                        os::Error* error);

// Writes an archive whose first entries are a harmless "<name>.app" bundle start and whose later
// entries try to leave the destination: "../tessaro-escaped.txt" and a link inside the bundle
// pointing four levels up.
bool makeEscapingArchive(const std::filesystem::path& archive, const SampleProduct& product,
                         os::Error* error);

}  // namespace tools
