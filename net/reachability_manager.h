// NKNetworkReachabilityManager watches whether a host name, an address or the network as a whole
// can be reached, and tells a block and the notification centre on the main queue whenever the
// answer changes.
//
//   auto reachability = NKNetworkReachabilityManager::managerForDomain("updates.example.com");
//   reachability->setReachabilityStatusChangeBlock([](NKNetworkReachabilityStatus status) {
//     if (status == NKNetworkReachabilityStatus::NotReachable) showOfflineBanner();
//   });
//   reachability->startMonitoring();  // the current status follows shortly, then every change
//
// Or by notification, from any manager that monitors:
//
//   center.addObserver(kNKNetworkingReachabilityDidChangeNotification, nullptr,
//                      [](const os::Notification& note) {
//                        auto status =
//                        note.userInfo[kNKNetworkingReachabilityNotificationStatusItem]
//                                          .integerValue();
//                      });
//
// Nothing happens until startMonitoring(). The status, the block and the notification always run
// on the main queue, so the main run loop must turn. Tests hand managerWithReachability() a
// flag source of their own instead of the machine's (os/net/reachability.h).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "os/net/reachability.h"
#include "os/sync/mutex.h"

// Posted on the main queue after each status that a monitoring manager learns, with no object.
inline constexpr const char* kNKNetworkingReachabilityDidChangeNotification =
    "com.netkit.networking.reachability.change";
// User-info key of that notification: the status, as an integer.
inline constexpr const char* kNKNetworkingReachabilityNotificationStatusItem =
    "NKNetworkingReachabilityNotificationStatusItem";

enum class NKNetworkReachabilityStatus : int {
  Unknown = -1,
  NotReachable = 0,
  // Never produced on this platform, which has no cellular connections of its own.
  ReachableViaWWAN = 1,
  ReachableViaWiFi = 2,
};

class NKNetworkReachabilityManager
    : public std::enable_shared_from_this<NKNetworkReachabilityManager> {
  struct Private {};

 public:
  using StatusBlock = std::function<void(NKNetworkReachabilityStatus status)>;

  // The process's manager of the network in general, made by manager() on first use and kept
  // for the life of the process. Every session manager holds it; nobody starts it for them.
  static const std::shared_ptr<NKNetworkReachabilityManager>& sharedManager();
  // A new manager of the network in general (the unspecified IPv6 address).
  static std::shared_ptr<NKNetworkReachabilityManager> manager();
  // A new manager of the host `domain`, which is resolved off the main thread on every reading.
  static std::shared_ptr<NKNetworkReachabilityManager> managerForDomain(std::string_view domain);
  // A new manager of `address` (AF_INET or AF_INET6; copied). For any other address, or an
  // empty domain above, the manager has no source: it stays Unknown and monitoring does nothing.
  static std::shared_ptr<NKNetworkReachabilityManager> managerForAddress(const sockaddr* address);
  // A new manager that reads its flags from `reachability` (may be null) and keeps it for its
  // life. The status starts Unknown. The others above end here.
  static std::shared_ptr<NKNetworkReachabilityManager> managerWithReachability(
      std::shared_ptr<os::ReachabilityFlagSource> reachability);

  NKNetworkReachabilityManager(Private, std::shared_ptr<os::ReachabilityFlagSource> reachability);
  // Stops monitoring.
  ~NKNetworkReachabilityManager();
  NKNetworkReachabilityManager(const NKNetworkReachabilityManager&) = delete;
  NKNetworkReachabilityManager& operator=(const NKNetworkReachabilityManager&) = delete;

  // The reduction of reachability flags to a status: not reachable without the reachable flag,
  // or when a connection is required that can only be made by the user (intervention required,
  // or neither on traffic nor on demand); reachable via Wi-Fi otherwise.
  static NKNetworkReachabilityStatus statusForFlags(os::ReachabilityFlags flags);

  // The last status delivered on the main queue; Unknown before the first. Thread-safe.
  NKNetworkReachabilityStatus networkReachabilityStatus() const;
  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;

  // "Not Reachable", "Reachable via WWAN", "Reachable via WiFi" or "Unknown" for the current
  // status, translated by the main bundle's "NKNetworking" strings table when it has them.
  std::string localizedNetworkReachabilityStatusString() const;

  // The block called on the main queue with each status, after it is stored and before the
  // notification; an empty function removes it. Thread-safe.
  void setReachabilityStatusChangeBlock(StatusBlock block);

  // Stops, then watches the source: the current status is read once on a background queue and
  // every change the source reports follows, each delivered on the main queue (status stored,
  // block called, notification posted). Starting again replaces the earlier watch. A reading
  // already under way when monitoring stops is still delivered. Thread-safe.
  void startMonitoring();
  // Stops the watch: called on the main thread, no change reported afterwards is delivered.
  // Thread-safe.
  void stopMonitoring();

 private:
  // Delivers `status` on the main queue: to the manager behind `manager` while it lives, then to
  // the notification centre.
  static void postStatus(std::weak_ptr<NKNetworkReachabilityManager> manager,
                         NKNetworkReachabilityStatus status);
  // Main thread: stores `status` and calls the block.
  void statusChanged(NKNetworkReachabilityStatus status);

  const std::shared_ptr<os::ReachabilityFlagSource> reachability_;
  std::atomic<NKNetworkReachabilityStatus> status_{NKNetworkReachabilityStatus::Unknown};
  mutable os::Mutex mutex_;
  StatusBlock statusBlock_ OS_GUARDED_BY(mutex_);
};
