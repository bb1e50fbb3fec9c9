#include "net/reachability_manager.h"

#include <netinet/in.h>

#include <utility>

#include "os/bundle/bundle.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/sync/mutex.h"

const std::shared_ptr<NKNetworkReachabilityManager>& NKNetworkReachabilityManager::sharedManager() {
  static const std::shared_ptr<NKNetworkReachabilityManager> shared = manager();
  return shared;
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::manager() {
  sockaddr_in6 anyAddress{};
  anyAddress.sin6_family = AF_INET6;
  return managerForAddress(reinterpret_cast<const sockaddr*>(&anyAddress));
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::managerForDomain(
    std::string_view domain) {
  return managerWithReachability(os::NetworkReachability::withName(std::string(domain)));
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::managerForAddress(
    const sockaddr* address) {
  return managerWithReachability(os::NetworkReachability::withAddress(address));
}

std::shared_ptr<NKNetworkReachabilityManager> NKNetworkReachabilityManager::managerWithReachability(
    std::shared_ptr<os::ReachabilityFlagSource> reachability) {
  return std::make_shared<NKNetworkReachabilityManager>(Private{}, std::move(reachability));
}

NKNetworkReachabilityManager::NKNetworkReachabilityManager(
    Private, std::shared_ptr<os::ReachabilityFlagSource> reachability)
    : reachability_(std::move(reachability)) {}

NKNetworkReachabilityManager::~NKNetworkReachabilityManager() { stopMonitoring(); }

NKNetworkReachabilityStatus NKNetworkReachabilityManager::statusForFlags(
    os::ReachabilityFlags flags) {
  if (!(flags & os::kReachabilityFlagReachable)) return NKNetworkReachabilityStatus::NotReachable;
  if (flags & os::kReachabilityFlagConnectionRequired) {
    bool madeAutomatically = flags & (os::kReachabilityFlagConnectionOnTraffic |
                                      os::kReachabilityFlagConnectionOnDemand);
    bool needsUser = flags & os::kReachabilityFlagInterventionRequired;
    if (!madeAutomatically || needsUser) return NKNetworkReachabilityStatus::NotReachable;
  }
  return NKNetworkReachabilityStatus::ReachableViaWiFi;
}

NKNetworkReachabilityStatus NKNetworkReachabilityManager::networkReachabilityStatus() const {
  return status_.load();
}

bool NKNetworkReachabilityManager::isReachable() const {
  return isReachableViaWWAN() || isReachableViaWiFi();
}

bool NKNetworkReachabilityManager::isReachableViaWWAN() const {
  return networkReachabilityStatus() == NKNetworkReachabilityStatus::ReachableViaWWAN;
}

bool NKNetworkReachabilityManager::isReachableViaWiFi() const {
  return networkReachabilityStatus() == NKNetworkReachabilityStatus::ReachableViaWiFi;
}

std::string NKNetworkReachabilityManager::localizedNetworkReachabilityStatusString() const {
  const char* text;
  switch (networkReachabilityStatus()) {
    case NKNetworkReachabilityStatus::NotReachable:
      text = "Not Reachable";
      break;
    case NKNetworkReachabilityStatus::ReachableViaWWAN:
      text = "Reachable via WWAN";
      break;
    case NKNetworkReachabilityStatus::ReachableViaWiFi:
      text = "Reachable via WiFi";
      break;
    default:
      text = "Unknown";
      break;
  }
  return os::Bundle::main().localizedString(text, "", "NKNetworking");
}

void NKNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
  StatusBlock replaced;  // released outside the lock: it may own anything
  os::MutexLock lock(mutex_);
  replaced = std::exchange(statusBlock_, std::move(block));
}

void NKNetworkReachabilityManager::startMonitoring() {
  stopMonitoring();
  if (!reachability_) return;
  // Neither the source nor the background reading keeps the manager alive.
  std::weak_ptr<NKNetworkReachabilityManager> weakSelf = weak_from_this();
  reachability_->schedule(
      [weakSelf](os::ReachabilityFlags flags) { postStatus(weakSelf, statusForFlags(flags)); });
  os::DispatchQueue::global(os::DispatchPriority::Low)
      ->async([reachability = reachability_, weakSelf] {
        if (auto flags = reachability->currentFlags()) postStatus(weakSelf, statusForFlags(*flags));
      });
}

void NKNetworkReachabilityManager::stopMonitoring() {
  if (reachability_) reachability_->unschedule();
}

void NKNetworkReachabilityManager::postStatus(std::weak_ptr<NKNetworkReachabilityManager> manager,
                                              NKNetworkReachabilityStatus status) {
  os::DispatchQueue::main()->async([manager = std::move(manager), status] {
    if (auto self = manager.lock()) self->statusChanged(status);
    os::NotificationCenter::defaultCenter().post(
        kNKNetworkingReachabilityDidChangeNotification, nullptr,
        os::Dictionary{
            {kNKNetworkingReachabilityNotificationStatusItem, static_cast<int>(status)}});
  });
}

void NKNetworkReachabilityManager::statusChanged(NKNetworkReachabilityStatus status) {
  status_.store(status);
  StatusBlock block;
  {
    os::MutexLock lock(mutex_);
    block = statusBlock_;
  }
  if (block) block(status);
}
