// Advisory locks (flock) on folders, so that two installers never work on one Applications
// folder at once and a launch never removes what a running installer is still using:
//
//   bool heldElsewhere = false;
//   std::optional<TSRFolderLock> lock = TSRFolderLock::lockApplicationsFolders(&heldElsewhere);
//   if (!lock && heldElsewhere) ... another installer is running: say so and touch nothing ...
//
// The kernel drops a lock when its holder ends, however it ends (a crash, SIGKILL), so a lock
// never outlives its process; programs the installer starts do not inherit it. Locks are
// advisory: only code that asks for them is kept out. Any thread.
#pragma once

#include <filesystem>
#include <optional>

#include "os/value/error.h"

class TSRFolderLock {
 public:
  // Takes the lock on the existing folder `folder` without waiting. nullopt when another
  // holder has it (`*heldElsewhere` set to true), or when the folder cannot be opened or locked
  // (`*heldElsewhere` false, `error` the POSIX error). `heldElsewhere` may be null.
  static std::optional<TSRFolderLock> tryLock(const std::filesystem::path& folder,
                                              bool* heldElsewhere, os::Error* error);

  // The installer's own lock, taken at launch and held until it quits: on the system
  // Applications folder, made when missing, or, when that cannot be made or opened, on the
  // user's Applications folder, made likewise. nullopt with `*heldElsewhere` true when another
  // installer holds it; nullopt with false when neither folder can be locked (logged), in which
  // case the installer goes on without one. `heldElsewhere` may be null.
  static std::optional<TSRFolderLock> lockApplicationsFolders(bool* heldElsewhere);

  TSRFolderLock(TSRFolderLock&& other) noexcept;
  TSRFolderLock& operator=(TSRFolderLock&& other) noexcept;
  TSRFolderLock(const TSRFolderLock&) = delete;
  TSRFolderLock& operator=(const TSRFolderLock&) = delete;
  // Releases the lock.
  ~TSRFolderLock();

  const std::filesystem::path& folder() const { return folder_; }

 private:
  TSRFolderLock(std::filesystem::path folder, int descriptor)
      : folder_(std::move(folder)), descriptor_(descriptor) {}

  std::filesystem::path folder_;
  int descriptor_;
};
