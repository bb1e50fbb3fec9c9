#include "installer/engine/install_steps.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "installer/engine/folder_lock.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/zip/zip.h"

namespace TSRInstallSteps {
namespace {

namespace fs = std::filesystem;

// A new, empty hidden folder in `folder` named `prefix` and six random characters.
std::optional<fs::path> makeHiddenFolder(const fs::path& folder, std::string_view prefix,
                                         os::Error* error) {
  std::string pattern = (folder / (std::string(prefix) + "XXXXXX")).string();
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

// Removes a folder of ours that should be gone; a failure leaves only a hidden leftover, which
// the next launch tries again, so it is logged rather than reported.
void removeLeftover(const fs::path& folder) {
  os::Error error;
  if (!os::files::removeItem(folder, &error)) logFailure("remove", folder, error);
}

// A staging folder, locked while it lives so that no launch's recovery takes it away, and
// removed when it goes, whatever ends the installation (an exception such as std::bad_alloc
// included): it then holds either the new bundle that did not go in, or the old copy that the
// new one replaced.
class StagingFolder {
 public:
  explicit StagingFolder(fs::path path) : path_(std::move(path)) {}
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() {
    // Running out of memory may have been what ended the installation: once more when the
    // first removal runs out too, and after that the next launch removes it, as no lock
    // holds it then.
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        removeLeftover(path_);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    // lock_ is released after the removal, as members go after this body.
  }

  const fs::path& path() const { return path_; }

  bool lock(os::Error* error) {
    lock_ = TSRFolderLock::tryLock(path_, nullptr, error);
    return lock_.has_value();
  }

 private:
  const fs::path path_;
  std::optional<TSRFolderLock> lock_;
};

bool failWithErrno(os::Error* error, int code, const fs::path& path) {
  return os::fail(error, os::posixError(code, path.string()));
}

// True when the staging folder holds the product's bundle as a folder of its own (not a link
// that could lead anywhere). The other top-level items are logged as left out.
bool holdsBundle(const fs::path& staging, const std::string& bundleName, os::Error* error) {
  std::optional<std::vector<std::string>> names = os::files::contentsOfDirectory(staging, error);
  if (!names) return false;
  bool found = false;
  for (const std::string& name : *names) {
    std::error_code ignored;
    if (name == bundleName && fs::is_directory(fs::symlink_status(staging / name, ignored))) {
      found = true;
    } else {
      os::log::write(os::log::Level::Warning, "Left out of the installation of " + bundleName +
                                                  ": " + name + " from the archive");
    }
  }
  if (!found) {
    os::fail(error, os::Error(kErrorDomain, kErrorBundleMissing,
                              "The archive holds no " + bundleName + " at its top level"));
  }
  return found;
}

}  // namespace

bool itemExists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

bool canReplace(const fs::path& path, os::Error* error) {
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  struct stat item {};
  struct stat parent {};
  if (::lstat(path.c_str(), &item) != 0) return failWithErrno(error, errno, path);
  if (::stat(folder.c_str(), &parent) != 0) return failWithErrno(error, errno, folder);
  // faccessat without AT_EACCESS is the kernel's own check, which also refuses a write for
  // root on an immutable item or a read-only file system.
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, 0) != 0) {
    return failWithErrno(error, errno, folder);
  }
  const uid_t user = ::geteuid();
  if ((parent.st_mode & S_ISVTX) != 0 && user != 0 && user != item.st_uid &&
      user != parent.st_uid) {
    return failWithErrno(error, EPERM, path);
  }
  if (S_ISDIR(item.st_mode) && ::faccessat(AT_FDCWD, path.c_str(), W_OK, 0) != 0) {
    return failWithErrno(error, errno, path);
  }
  return true;
}

std::optional<SetAsideItem> SetAsideItem::setAside(const fs::path& path, os::Error* error) {
  std::optional<fs::path> holder = makeHiddenFolder(
      path.parent_path(), "." + path.filename().string() + std::string(kSetAsideInfix), error);
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

bool putInPlace(const fs::path& replacement, const fs::path& target, os::Error* error) {
  if (!itemExists(target)) return os::files::moveItem(replacement, target, error);
  os::Error exchangeError;
  if (os::files::exchangeItems(replacement, target, &exchangeError)) return true;
  if (exchangeError.code != EINVAL) return os::fail(error, exchangeError);
  return replaceByTwoRenames(replacement, target, error);
}

bool replaceByTwoRenames(const fs::path& replacement, const fs::path& target, os::Error* error) {
  std::optional<SetAsideItem> old = SetAsideItem::setAside(target, error);
  if (!old) return false;
  if (!os::files::moveItem(replacement, target, error)) {
    os::Error ignored;
    if (!old->restore(&ignored)) logFailure("put back", target, ignored);
    return false;
  }
  os::Error ignored;
  if (!old->discard(&ignored)) logFailure("remove the replaced", target, ignored);
  return true;
}

bool installBundle(const std::string& zipPath, const fs::path& destination,
                   const std::string& bundleName, os::Error* error) {
  if (!os::files::createDirectory(destination, /*withIntermediates=*/true, error)) return false;
  std::optional<fs::path> made = makeHiddenFolder(destination, kStagingPrefix, error);
  if (!made) return false;
  // Moved, not copied: nothing can fail between making the folder and guarding it.
  StagingFolder staging(std::move(*made));
  if (!staging.lock(error)) return false;
  // The bundle is all that leaves the staging folder: a link in it must not lead beside it.
  return os::SSZipArchive::unzipFileAtPath(zipPath, staging.path().string(), /*overwrite=*/true,
                                           /*password=*/"",
                                           os::SSZipArchive::LinkScope::kTopLevelFolder, error) &&
         holdsBundle(staging.path(), bundleName, error) &&
         putInPlace(staging.path() / bundleName, destination / bundleName, error);
}

}  // namespace TSRInstallSteps
