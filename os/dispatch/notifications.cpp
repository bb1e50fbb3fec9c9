#include "os/dispatch/notifications.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "os/sync/mutex.h"

namespace os {

struct NotificationCenter::Entry {
  ObserverToken token;
  std::string name;
  const void* object;
  Observer observer;
  // Set under the centre's lock by removeObserver; a post checks it right before each call.
  std::atomic<bool> removed{false};

  bool matches(const Notification& notification) const {
    return (name.empty() || name == notification.name) &&
           (!object || object == notification.object);
  }
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may still be posted to while the process exits.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() : entries_(std::make_shared<const EntryList>()) {}

NotificationCenter::~NotificationCenter() = default;

ObserverToken NotificationCenter::addObserver(std::string name, const void* object,
                                              Observer observer) {
  os::MutexLock lock(mutex_);
  auto entry = std::make_shared<Entry>();
  entry->token = ++lastToken_;
  entry->name = std::move(name);
  entry->object = object;
  entry->observer = std::move(observer);
  auto entries = std::make_shared<EntryList>(*entries_);
  entries->push_back(std::move(entry));
  entries_ = std::move(entries);
  return lastToken_;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  // The old list dies outside the lock: it may hold the last reference to an observer whose
  // captures have destructors of their own.
  std::shared_ptr<const EntryList> old;
  os::MutexLock lock(mutex_);
  auto entry = std::find_if(entries_->begin(), entries_->end(),
                            [token](const auto& entry) { return entry->token == token; });
  if (entry == entries_->end()) return;
  (*entry)->removed = true;
  auto entries = std::make_shared<EntryList>();
  entries->reserve(entries_->size() - 1);
  for (const auto& other : *entries_) {
    if (other->token != token) entries->push_back(other);
  }
  old = std::exchange(entries_, std::move(entries));
}

void NotificationCenter::post(const Notification& notification) {
  std::shared_ptr<const EntryList> entries;
  {
    os::MutexLock lock(mutex_);
    entries = entries_;
  }
  for (const auto& entry : *entries) {
    if (entry->matches(notification) && !entry->removed) entry->observer(notification);
  }
}

void NotificationCenter::post(std::string name, const void* object, Value userInfo) {
  post(Notification{std::move(name), object, {}, std::move(userInfo)});
}

ObserverRegistration::ObserverRegistration(NotificationCenter& center, ObserverToken token)
    : center_(&center), token_(token) {}

ObserverRegistration::~ObserverRegistration() { reset(); }

ObserverRegistration::ObserverRegistration(ObserverRegistration&& other) noexcept
    : center_(std::exchange(other.center_, nullptr)), token_(std::exchange(other.token_, 0)) {}

ObserverRegistration& ObserverRegistration::operator=(ObserverRegistration&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = std::exchange(other.center_, nullptr);
    token_ = std::exchange(other.token_, 0);
  }
  return *this;
}

void ObserverRegistration::reset() {
  if (center_) center_->removeObserver(token_);
  center_ = nullptr;
  token_ = 0;
}

}  // namespace os
