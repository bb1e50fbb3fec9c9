// The file moves of an installation, made so that a failure never leaves a half-unpacked product
// or loses the old copy: the old copy is set aside (moved into a hidden folder beside it) instead
// of being removed, the archive is unpacked into a hidden staging folder inside the destination,
// and only a complete result is moved into place.
//
//   os::Error error;
//   std::optional<TSRInstallSteps::SetAsideItem> old;
//   if (TSRInstallSteps::itemExists(applications / "Brevalo.app")) {
//     old = TSRInstallSteps::SetAsideItem::setAside(applications / "Brevalo.app", &error);
//   }
//   if (TSRInstallSteps::unzipStaged(zip, applications, &error)) {
//     if (old) old->discard(nullptr);
//   } else if (old) {
//     old->restore(nullptr);
//   }
//
// Set-aside and staging folders sit in the same folder as the item they concern, so every move is
// a rename within one file system. Functions may be called from any thread; two installations
// into the same folder at once are not supported.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "os/error.h"

namespace TSRInstallSteps {

// True when something is at `path`, a symbolic link whose destination is missing included.
bool itemExists(const std::filesystem::path& path);

// An item moved out of its place so that it can be put back.
class SetAsideItem {
 public:
  // Moves the item at `path` (a symbolic link as the link) into a new hidden folder beside it.
  // nullopt, with the error, when the folder cannot be made or the item cannot be moved (for
  // example when the folder that holds it is not writable); nothing has changed then.
  static std::optional<SetAsideItem> setAside(const std::filesystem::path& path, os::Error* error);

  // Where the item was, and goes back to.
  const std::filesystem::path& originalPath() const { return original_; }

  // Moves the item back to its place and removes the hidden folder. Fails, leaving the item set
  // aside, when something now occupies the place.
  bool restore(os::Error* error) const;
  // Removes the item and its hidden folder for good.
  bool discard(os::Error* error) const;

 private:
  SetAsideItem(std::filesystem::path original, std::filesystem::path holder)
      : original_(std::move(original)), holder_(std::move(holder)) {}

  std::filesystem::path original_;
  // The hidden folder that holds the item under its own name.
  std::filesystem::path holder_;
};

// Unpacks the zip archive at `zipPath` into a new hidden staging folder inside `destination`
// (which is created with its parents when missing), then moves each top-level item of the
// archive into `destination`, setting aside an item of the same name that is there and removing
// it once all are in place. False, with the error (the unzip's, or the POSIX error of a move),
// when any step fails; `destination` then holds what it held before and no staging folder.
bool unzipStaged(const std::string& zipPath, const std::filesystem::path& destination,
                 os::Error* error);

}  // namespace TSRInstallSteps
