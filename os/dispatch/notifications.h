// Notification centres: broadcast of named events to the observers that registered for them.
//
//   auto& center = os::NotificationCenter::defaultCenter();
//   os::ObserverRegistration registration(
//       center, center.addObserver("com.example.task.resume", task.get(),
//                                  [](const os::Notification& note) { taskResumed(note); }));
//   center.post("com.example.task.resume", task.get());
//
// Delivery. A post calls the matching observers synchronously, on the posting thread, in the
// order in which they were added, and returns after the last one. Observers are called without
// the centre's lock held, so an observer may post, add and remove observers. A post delivers to
// the observers registered when it started: one added meanwhile waits for the next post.
//
// Removal. An observer removed while a post is under way, by itself or by anyone else, is not
// called by that post afterwards. Once removeObserver() has returned, no call of that observer
// starts on any thread; a call that had already started on another thread may still be
// running, so an observer that captures an object which may die meanwhile captures a weak_ptr.
//
// An exception thrown by an observer reaches the poster (the call is synchronous); the
// observers after it are not called by that post.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/sync/mutex.h"
#include "os/value/value.h"

namespace os {

// Posted by the application (os/ui) when it becomes active: when one of its windows becomes key
// while none was. Libraries without a user interface of their own observe it.
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
// Posted by the application once it has finished launching, when it loses its key window, and
// before it quits.
inline constexpr const char* kApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";

struct Notification {
  std::string name;
  // Identity of the sender, used to filter observers; may be null.
  const void* object = nullptr;
  // The payload of notifications whose object is a plain value (such as a boolean).
  Value value;
  // A dictionary, or null.
  Value userInfo;
};

// Identifies one registration; 0 is never a valid token.
using ObserverToken = uint64_t;

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification& notification)>;

  // The process-wide centre.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers `observer` for the notifications named `name` (all names when empty) posted with
  // `object` (any object when null). Thread-safe.
  ObserverToken addObserver(std::string name, const void* object, Observer observer);
  // Removes a registration; unknown and already removed tokens are ignored. Thread-safe.
  void removeObserver(ObserverToken token);

  // Delivers `notification` to the matching observers (see the header comment). Thread-safe.
  void post(const Notification& notification);
  void post(std::string name, const void* object = nullptr, Value userInfo = {});

 private:
  struct Entry;
  using EntryList = std::vector<std::shared_ptr<Entry>>;

  os::Mutex mutex_;
  // Replaced, never changed in place, so that a post can go through it without the lock.
  std::shared_ptr<const EntryList> entries_ OS_GUARDED_BY(mutex_);
  ObserverToken lastToken_ OS_GUARDED_BY(mutex_) = 0;
};

// Removes a registration when destroyed. `center` must outlive it.
class ObserverRegistration {
 public:
  ObserverRegistration() = default;
  ObserverRegistration(NotificationCenter& center, ObserverToken token);
  ~ObserverRegistration();
  ObserverRegistration(ObserverRegistration&& other) noexcept;
  ObserverRegistration& operator=(ObserverRegistration&& other) noexcept;

  // Removes the registration now.
  void reset();

 private:
  NotificationCenter* center_ = nullptr;
  ObserverToken token_ = 0;
};

}  // namespace os
