#include "installer/engine/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"

namespace fs = std::filesystem;

std::optional<TSRFolderLock> TSRFolderLock::tryLock(const fs::path& folder, bool* heldElsewhere,
                                                    os::Error* error) {
  if (heldElsewhere != nullptr) *heldElsewhere = false;
  // A descriptor of its own: flock belongs to the open file, so two locks taken in one process
  // exclude each other too.
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    os::fail(error, os::posixError(errno, folder.string()));
    return std::nullopt;
  }
  int result;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int code = errno;
    ::close(descriptor);
    if (code == EWOULDBLOCK && heldElsewhere != nullptr) *heldElsewhere = true;
    os::fail(error, os::posixError(code, folder.string()));
    return std::nullopt;
  }
  return TSRFolderLock(folder, descriptor);
}

std::optional<TSRFolderLock> TSRFolderLock::lockApplicationsFolders(bool* heldElsewhere) {
  if (heldElsewhere != nullptr) *heldElsewhere = false;
  for (const fs::path& folder : {os::paths::systemApplications(), os::paths::userApplications()}) {
    os::Error error;
    bool held = false;
    if (os::files::createDirectory(folder, /*withIntermediates=*/true, &error)) {
      std::optional<TSRFolderLock> lock = tryLock(folder, &held, &error);
      if (lock || held) {
        if (heldElsewhere != nullptr) *heldElsewhere = held;
        return lock;
      }
    }
    os::log::write(os::log::Level::Warning,
                   "Cannot lock " + folder.string() + ": " + error.localizedDescription());
  }
  return std::nullopt;
}

TSRFolderLock::TSRFolderLock(TSRFolderLock&& other) noexcept
    : folder_(std::move(other.folder_)), descriptor_(std::exchange(other.descriptor_, -1)) {}

TSRFolderLock& TSRFolderLock::operator=(TSRFolderLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    folder_ = std::move(other.folder_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

TSRFolderLock::~TSRFolderLock() {
  if (descriptor_ >= 0) ::close(descriptor_);
}
