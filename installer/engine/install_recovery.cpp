#include "installer/engine/install_recovery.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "installer/engine/folder_lock.h"
#include "installer/engine/install_steps.h"
#include "os/files/files.h"
#include "os/log/log.h"

namespace TSRInstallRecovery {
namespace {

namespace fs = std::filesystem;

// The six random characters that end the hidden folders' names.
constexpr size_t kRandomSuffixLength = 6;

bool isRandomSuffix(std::string_view text) {
  return text.size() == kRandomSuffixLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
         });
}

bool isRealFolder(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(fs::symlink_status(path, ignored));
}

bool isStagingFolder(std::string_view name) {
  return name.starts_with(TSRInstallSteps::kStagingPrefix) &&
         isRandomSuffix(name.substr(TSRInstallSteps::kStagingPrefix.size()));
}

// "X" for a set-aside folder's name ".X.old-XXXXXX", else nullopt.
std::optional<std::string> setAsideItemName(std::string_view name) {
  const size_t infixLength = TSRInstallSteps::kSetAsideInfix.size();
  if (name.size() < 2 + infixLength + kRandomSuffixLength || name.front() != '.') {
    return std::nullopt;
  }
  const size_t infix = name.size() - kRandomSuffixLength - infixLength;
  if (name.substr(infix, infixLength) != TSRInstallSteps::kSetAsideInfix ||
      !isRandomSuffix(name.substr(infix + infixLength))) {
    return std::nullopt;
  }
  return std::string(name.substr(1, infix - 1));
}

void removeLeftover(const fs::path& item) {
  os::Error error;
  if (os::files::removeItem(item, &error)) {
    os::log::console("Removed what an interrupted installation left: " + item.string());
  } else {
    os::log::write(os::log::Level::Warning,
                   "Could not remove " + item.string() + ": " + error.localizedDescription());
  }
}

// Removes a staging folder unless a running installation holds its lock; the lock is kept
// while removing, so that none can take it meanwhile.
void recoverStaging(const fs::path& folder) {
  bool inUse = false;
  std::optional<TSRFolderLock> lock = TSRFolderLock::tryLock(folder, &inUse, nullptr);
  if (inUse) {
    os::log::console("Left alone what a running installation is unpacking: " + folder.string());
    return;
  }
  removeLeftover(folder);
}

void recoverSetAside(const fs::path& holder, const fs::path& place) {
  std::optional<std::vector<std::string>> contents =
      os::files::contentsOfDirectory(holder, nullptr);
  const std::string itemName = place.filename().string();
  const bool ours =
      contents && (contents->empty() || (contents->size() == 1 && contents->front() == itemName));
  if (!ours) return;
  if (!contents->empty() && !TSRInstallSteps::itemExists(place)) {
    os::Error error;
    if (!os::files::moveItem(holder / itemName, place, &error)) {
      os::log::write(os::log::Level::Error,
                     "Could not put back " + place.string() + ": " + error.localizedDescription());
      return;
    }
    os::log::console("Put back the copy that an interrupted installation set aside: " +
                     place.string());
  }
  removeLeftover(holder);
}

}  // namespace

void recoverInterruptedInstallations(const fs::path& folder) {
  std::optional<std::vector<std::string>> names = os::files::contentsOfDirectory(folder, nullptr);
  if (!names) return;
  for (const std::string& name : *names) {
    const fs::path path = folder / name;
    if (!isRealFolder(path)) continue;
    if (isStagingFolder(name)) {
      recoverStaging(path);
    } else if (std::optional<std::string> item = setAsideItemName(name)) {
      recoverSetAside(path, folder / *item);
    }
  }
}

void removeFinishedDownloads(const fs::path& cacheFolder) {
  std::optional<std::vector<std::string>> names =
      os::files::contentsOfDirectory(cacheFolder, nullptr);
  if (!names) return;
  for (const std::string& name : *names) {
    const fs::path path = cacheFolder / name;
    std::error_code ignored;
    if (!name.ends_with(".zip") || !fs::is_regular_file(fs::symlink_status(path, ignored))) {
      continue;
    }
    removeLeftover(path);
  }
}

}  // namespace TSRInstallRecovery
