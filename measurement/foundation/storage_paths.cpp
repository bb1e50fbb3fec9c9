#include "measurement/foundation/storage_paths.h"

#include <filesystem>

#include "measurement/foundation/measurement_error.h"
#include "os/files/files.h"
#include "os/files/paths.h"

namespace measurement {
namespace {

std::filesystem::path measurementFolder() {
  return os::paths::applicationSupport() / "Vedodo" / "Measurement";
}

}  // namespace

std::string preferencesPlistPath(std::string_view name) {
  if (name.empty()) return "";
  return (os::paths::preferences() / (std::string(name) + ".plist")).string();
}

std::string measurementDataPath(std::string_view name) {
  if (name.empty()) return "";
  return (measurementFolder() / std::string(name)).string();
}

std::string measurementPlistPath(std::string_view name) {
  if (name.empty()) return "";
  std::string fileName(name);
  if (std::filesystem::path(fileName).extension() != ".plist") fileName += ".plist";
  return measurementDataPath(fileName);
}

bool excludePathFromBackup(std::string_view, os::Error*) { return true; }

bool deleteFileAtPath(std::string_view path, os::Error* error) {
  if (!requireOrSetError(!path.empty(), error, kInvalidInput,
                         "Received empty path for deleting file")) {
    return false;
  }
  return os::files::removeItem(std::filesystem::path(path), error);
}

bool migratePreferencesSuite(std::string_view name) {
  const std::string oldPath = preferencesPlistPath(name);
  const std::string newPath = measurementPlistPath(name);
  if (oldPath.empty() || newPath.empty()) return false;
  if (os::files::exists(oldPath)) {
    if (os::files::isDirectory(oldPath)) return false;
    if (os::files::exists(newPath)) {
      // Moved before: the older copy is stale.
      if (os::files::isDirectory(newPath) || !os::files::removeItem(oldPath, nullptr)) return false;
    } else if (!os::files::createDirectory(std::filesystem::path(newPath).parent_path(), true,
                                           nullptr) ||
               !os::files::moveItem(oldPath, newPath, nullptr)) {
      return false;
    }
  }
  // Detaching the suite from the application needs nothing more here: its preferences were that
  // file.
  return true;
}

}  // namespace measurement
