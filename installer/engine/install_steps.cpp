#include "installer/engine/install_steps.h"

#include <stdlib.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "os/files.h"
#include "os/log.h"
#include "os/zip.h"

namespace TSRInstallSteps {
namespace {

namespace fs = std::filesystem;

// A new, empty hidden folder in `folder` whose name starts with `prefix`.
std::optional<fs::path> makeHiddenFolder(const fs::path& folder, const std::string& prefix,
                                         os::Error* error) {
  std::string pattern = (folder / ("." + prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    os::fail(error, os::posixError(errno, pattern));
    return std::nullopt;
  }
  return fs::path(pattern);
}

void logFailure(std::string_view action, const fs::path& path, const os::Error& error) {
  os::log::write(os::log::Level::Warning, "Could not " + std::string(action) + " " + path.string() +
                                              ": " + error.localizedDescription());
}

// Removes a folder of ours that should be gone; a failure leaves only a hidden leftover, so it
// is logged rather than reported.
void removeLeftover(const fs::path& folder) {
  os::Error error;
  if (!os::files::removeItem(folder, &error)) logFailure("remove", folder, error);
}

}  // namespace

bool itemExists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::optional<SetAsideItem> SetAsideItem::setAside(const fs::path& path, os::Error* error) {
  std::optional<fs::path> holder =
      makeHiddenFolder(path.parent_path(), path.filename().string() + ".old", error);
  if (!holder) return std::nullopt;
  if (!os::files::moveItem(path, *holder / path.filename(), error)) {
    removeLeftover(*holder);
    return std::nullopt;
  }
  return SetAsideItem(path, *holder);
}

bool SetAsideItem::restore(os::Error* error) const {
  if (!os::files::moveItem(holder_ / original_.filename(), original_, error)) return false;
  removeLeftover(holder_);
  return true;
}

bool SetAsideItem::discard(os::Error* error) const { return os::files::removeItem(holder_, error); }

bool unzipStaged(const std::string& zipPath, const fs::path& destination, os::Error* error) {
  if (!os::files::createDirectory(destination, /*withIntermediates=*/true, error)) return false;
  std::optional<fs::path> staging = makeHiddenFolder(destination, "tessaro-staging", error);
  if (!staging) return false;

  std::optional<std::vector<std::string>> names;
  if (!os::SSZipArchive::unzipFileAtPath(zipPath, staging->string(), /*overwrite=*/true,
                                         /*password=*/"", error) ||
      !(names = os::files::contentsOfDirectory(*staging, error))) {
    removeLeftover(*staging);
    return false;
  }

  std::vector<SetAsideItem> displaced;
  std::vector<std::string> placed;
  bool moved = true;
  for (const std::string& name : *names) {
    const fs::path target = destination / name;
    if (itemExists(target)) {
      std::optional<SetAsideItem> item = SetAsideItem::setAside(target, error);
      if (!item) {
        moved = false;
        break;
      }
      displaced.push_back(*item);
    }
    if (!os::files::moveItem(*staging / name, target, error)) {
      moved = false;
      break;
    }
    placed.push_back(name);
  }

  os::Error ignored;
  if (moved) {
    for (const SetAsideItem& item : displaced) {
      if (!item.discard(&ignored)) logFailure("remove the replaced", item.originalPath(), ignored);
    }
  } else {
    // Back to how it was: the new items into staging (removed below), the displaced ones home.
    for (const std::string& name : placed) {
      os::files::moveItem(destination / name, *staging / name, nullptr);
    }
    for (const SetAsideItem& item : displaced) {
      if (!item.restore(&ignored)) logFailure("put back", item.originalPath(), ignored);
    }
  }
  removeLeftover(*staging);
  return moved;
}

}  // namespace TSRInstallSteps
