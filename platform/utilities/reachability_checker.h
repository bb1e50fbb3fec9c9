// VDUReachabilityChecker: whether one host can be reached, told to a delegate on every change,
// as one of four statuses; and VDUNetworkInfo, the mobile-network questions this host cannot
// answer.
//
//   auto checker = VDUReachabilityChecker::initWithReachabilityDelegate(delegate, "example.test");
//   if (checker && checker->start()) { ... }   // delegate->reachability(...) on the main thread
//   checker->stop();
//
// The platform's reachability service is reached through a table of five operations
// (VDUReachabilityApi) that a test may replace while the checker is not running; the default
// table watches the machine's routing state (os::NetworkReachability), delivering on the main
// run loop. Flags reduce to a status thus: not reachable (1) without the reachable flag; else
// reachable (2) without the connection-required flag, or when a connection comes by itself
// (on traffic or on demand) without intervention; else not reachable. Cellular (3) is never
// produced here.
//
// Threads: created, started and stopped by its owner on one thread; flag changes are handled on
// the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/net/reachability.h"

enum class VDUReachabilityStatus : int32_t {
  Unknown = 0,
  NotReachable = 1,
  ViaWifi = 2,
  ViaCellular = 3,
};

// "Reachability Unknown", "Not reachable", "Reachable via Wifi", "Reachable via Cellular Data";
// "Invalid reachability status <n>" for any other number.
std::string VDUReachabilityStatusString(int32_t status);

class VDUReachabilityChecker;

class VDUReachabilityDelegate {
 public:
  virtual ~VDUReachabilityDelegate() = default;
  virtual void reachability(VDUReachabilityChecker& checker, VDUReachabilityStatus status) = 0;
};

// A reachability handle of the platform service: the flag source and the call-back set on it.
struct VDUReachabilityRef {
  std::shared_ptr<os::ReachabilityFlagSource> source;
  std::function<void(os::ReachabilityFlags)> callback;
};

// The five platform operations, in the platform's order. Each answers false on failure.
struct VDUReachabilityApi {
  std::function<std::shared_ptr<VDUReachabilityRef>(const std::string& host)> createWithNameFn;
  std::function<bool(VDUReachabilityRef&, std::function<void(os::ReachabilityFlags)>)>
      setCallbackFn;
  std::function<bool(VDUReachabilityRef&)> scheduleWithRunLoopFn;
  std::function<void(VDUReachabilityRef&)> unscheduleFromRunLoopFn;
  std::function<void(std::shared_ptr<VDUReachabilityRef>)> releaseFn;

  // The table over the machine's routing state.
  static VDUReachabilityApi defaultApi();
};

class VDUReachabilityChecker : public std::enable_shared_from_this<VDUReachabilityChecker> {
  struct Private {};

 public:
  // A checker for `host`, not yet running; nullptr (after logging "I-REA902001") for an empty
  // host.
  static std::shared_ptr<VDUReachabilityChecker> initWithReachabilityDelegate(
      std::weak_ptr<VDUReachabilityDelegate> delegate, const std::string& host);

  VDUReachabilityChecker(Private, std::weak_ptr<VDUReachabilityDelegate> delegate,
                         std::string host);
  // Clears the delegate, then stops.
  ~VDUReachabilityChecker();
  VDUReachabilityChecker(const VDUReachabilityChecker&) = delete;
  VDUReachabilityChecker& operator=(const VDUReachabilityChecker&) = delete;

  // Starts monitoring; true when running afterwards.
  bool start();
  // Stops monitoring and forgets the status.
  void stop();
  bool isActive() const { return reachability_ != nullptr; }

  VDUReachabilityStatus reachabilityStatus() const { return status_; }
  const std::string& host() const { return host_; }

  // Replaced only while not running; while running "I-REA902000" is logged and the old table
  // kept.
  void setReachabilityApi(VDUReachabilityApi api);
  void setReachabilityDelegate(std::weak_ptr<VDUReachabilityDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  static VDUReachabilityStatus statusForFlags(os::ReachabilityFlags flags);
  // Main thread: a call-back with new flags; the delegate hears of a changed status only.
  void reachabilityFlagsChanged(os::ReachabilityFlags flags);

 private:
  const std::string host_;
  std::weak_ptr<VDUReachabilityDelegate> delegate_;
  VDUReachabilityApi api_ = VDUReachabilityApi::defaultApi();
  std::shared_ptr<VDUReachabilityRef> reachability_;
  VDUReachabilityStatus status_ = VDUReachabilityStatus::Unknown;
};

class VDUNetworkInfo {
 public:
  static std::optional<std::string> getNetworkMobileCountryCode() { return std::nullopt; }
  static std::optional<std::string> getNetworkMobileNetworkCode() { return std::nullopt; }
  static int32_t getNetworkType() { return -1; }
  static std::string getNetworkRadioType() { return ""; }
  // The country code followed by the network code when the first has exactly 3 characters, the
  // second 2 or 3, and the joined text only decimal digits; else nullopt.
  static std::optional<std::string> formatMcc(const std::optional<std::string>& mcc,
                                              const std::optional<std::string>& mnc);
};
