// The file moves of an installation, made so that a failure, a crash or a kill at any moment
// leaves the product's path naming one complete bundle, old or new: the archive is unpacked into
// a hidden staging folder beside the product while the old copy stays in place; the product's
// bundle is checked there and exchanged with the old copy in one step; the old copy, now in the
// staging folder, is removed last.
//
//   os::Error error;
//   const std::filesystem::path old = applications / "Brevalo.app";
//   if (TSRInstallSteps::itemExists(old) && !TSRInstallSteps::canReplace(old, &error)) {
//     ... ask the user to deal with the old copy ...
//   }
//   if (!TSRInstallSteps::installBundle(zip, applications, "Brevalo.app", &error)) {
//     ... `applications` holds what it held before ...
//   }
//
// Staging and set-aside folders sit in the folder of the item they concern, so every move is a
// rename within one file system. What a kill leaves of them is repaired at the next launch
// (installer/engine/install_recovery.h), which knows them by the names below and leaves alone a
// staging folder that a running installation holds locked (installer/engine/folder_lock.h).
// Functions may be called from any thread; two installations into the same folder at once are
// kept apart by the installer's own lock (TSRFolderLock::lockApplicationsFolders), not here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/error.h"

namespace TSRInstallSteps {

// A staging folder is named kStagingPrefix followed by six random letters or digits.
inline constexpr std::string_view kStagingPrefix = ".tessaro-staging-";
// An item "X" set aside lives in ".X" + kSetAsideInfix + six random letters or digits, as "X".
inline constexpr std::string_view kSetAsideInfix = ".old-";

// The errors of installBundle() that are not the zip layer's or the file system's.
inline constexpr const char* kErrorDomain = "com.tessaro.installer.InstallSteps";
// The archive does not hold the product's bundle at its top level.
inline constexpr int64_t kErrorBundleMissing = 1;

// True when something is at `path`, a symbolic link whose destination is missing included.
bool itemExists(const std::filesystem::path& path);

// True when this process could move the existing item at `path` out of its folder and remove
// it, proven without moving it: the folder is writable and searchable (and, when it is sticky,
// the process owns the item or the folder), and a folder at `path` is itself writable (moving
// a folder to another parent rewrites its ".."). Read-only file systems and immutable items fail
// too. Otherwise false with the POSIX error the move would meet (EACCES, EPERM, EROFS, ...).
// Nothing changes either way.
bool canReplace(const std::filesystem::path& path, os::Error* error);

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

// Puts the item at `replacement` in the place of `target`, both in one file system.
//  - Nothing at `target`: a rename.
//  - An item at `target`: the two are exchanged in one step, so `target` always names one of
//    them whole; the old item ends at `replacement`'s path, for the caller to remove.
//  - Where the file system cannot exchange: replaceByTwoRenames(), which removes the old item.
// False, with the POSIX error, when the move fails; both items are then where they were.
bool putInPlace(const std::filesystem::path& replacement, const std::filesystem::path& target,
                os::Error* error);

// The fallback of putInPlace(): the old item at `target` is set aside, the replacement renamed
// into its place, and the set-aside item removed. Between the two renames `target` names
// nothing; a kill there leaves the old item set aside, for the launch recovery to put back.
// False, with the POSIX error, when a rename fails; the old item is then back at `target` and
// the replacement where it was. A set-aside item that cannot be removed stays hidden (logged).
bool replaceByTwoRenames(const std::filesystem::path& replacement,
                         const std::filesystem::path& target, os::Error* error);

// Installs the bundle `bundleName` ("Brevalo.app") of the zip archive at `zipPath` into
// `destination`, which is created with its parents when missing:
//  1. the whole archive is unpacked into a new staging folder in `destination`, locked while
//     it exists, the old copy staying in place; an archive with a symbolic link that leads out
//     of its own top-level folder is refused (os::SSZipArchive::LinkScope::kTopLevelFolder), as
//     the bundle leaves its siblings behind;
//  2. the staging folder must hold a folder named `bundleName` at its top; other top-level
//     items of the archive are left out (logged), so that an archive can never replace anything
//     in `destination` but the product;
//  3. that bundle is put in place of `destination`/`bundleName` (putInPlace());
//  4. the staging folder is removed, with the old copy that the exchange put there.
// False, with the error (the unzip's; kErrorBundleMissing in kErrorDomain; the POSIX error of
// a step), when step 1, 2 or 3 fails: `destination` then holds what it held before and no
// staging folder; an exception (std::bad_alloc) leaves the same before it goes on up. After success `destination`/`bundleName` is the new bundle; an old copy that
// cannot be removed in step 4 stays in its hidden staging folder (logged).
bool installBundle(const std::string& zipPath, const std::filesystem::path& destination,
                   const std::string& bundleName, os::Error* error);

}  // namespace TSRInstallSteps
