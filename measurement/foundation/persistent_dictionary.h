// A property-list file of the measurement code's own, held whole in memory and written whole,
// at most once a second: the first change after a write schedules the next write one second
// later, and every change until then rides on it.
//
//   std::shared_ptr<PersistentDictionary> state =
//       PersistentDictionary::create("com.vedodo.gmp.measurement");
//   state->setInteger(4, "/vedodo/measurement/session_number");   // on disk within a second
//
// The file lives at measurementPlistPath(name) and holds one dictionary (XML property list).
// Each write replaces it atomically, so a crash or a kill mid-write leaves the previous file or
// the new one, never a mixture. A write that fails is logged (43000) and stays pending: it is
// tried again a second later, and no change is lost while the process lives. Dropping the last
// reference with a write pending writes at once.
//
// Refusals are logged through the utilities' logger under the tag "<ZadOdavodivezi>" and change
// nothing: an empty key (43001 on read, 43002 on write), a value the file cannot hold (43003:
// no property-list form, or text with invalid UTF-8, NUL or control characters), which would
// otherwise make every later write fail. This store never logs through the monitor.
//
// Threads: every member may be called from any thread. The contents and the pending mark are
// guarded by a mutex; scheduled writes run on the private serial queue "APMPersistentDictionary",
// and writes never overlap, so the file always ends with the latest contents written.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/foundation/config_store.h"
#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

namespace measurement {

class PersistentDictionary final : public ConfigStore,
                                   public std::enable_shared_from_this<PersistentDictionary> {
  struct Private {};

 public:
  // Runs `block` once `seconds` have passed. The default waits on the dictionary's queue; a test
  // passes its own to decide when the second is over.
  using Delay = std::function<void(double seconds, os::DispatchBlock block)>;

  // Reads the file of `fileName` (an empty dictionary when it is missing, unreadable or not a
  // dictionary) after creating its folder. nullptr for an empty name, or when the folder cannot
  // be created (43004).
  static std::shared_ptr<PersistentDictionary> create(std::string_view fileName, Delay delay = {});

  PersistentDictionary(Private, std::string path, os::Dictionary contents, Delay delay);
  ~PersistentDictionary() override;
  PersistentDictionary(const PersistentDictionary&) = delete;
  PersistentDictionary& operator=(const PersistentDictionary&) = delete;

  const std::string& path() const { return path_; }

  os::Value objectForKey(std::string_view key) const override;
  // Schedules a write only when the stored contents change.
  void setObject(os::Value value, std::string_view key) override;
  void clearAllData() override;
  // The scheduled write is the only way to the disk: nothing to do.
  void synchronize() override {}

  // Schedules a write one second from now unless one is pending.
  void schedulePersistToDisk();
  // Writes the contents now and clears the pending mark; on failure the mark stays and a retry is
  // scheduled. Returns whether the file was written.
  bool persistToDisk();
  // Writes now when a change is pending; true when nothing was pending or the write succeeded.
  bool persistToDiskIfPending();

 private:
  void scheduleWriteLocked() OS_REQUIRES(mutex_);

  const std::string path_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  const Delay delay_;
  mutable os::Mutex mutex_;
  os::Dictionary contents_ OS_GUARDED_BY(mutex_);
  bool hasPendingPersistence_ OS_GUARDED_BY(mutex_) = false;
  // Held across a write so that two writes never overlap: the later one always has the later
  // contents and lands last.
  os::Mutex writeMutex_;
};

}  // namespace measurement
