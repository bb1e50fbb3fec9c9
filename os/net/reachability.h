// Network reachability: whether a host name, an address, or the network as a whole can be reached
// from this machine, as a set of flags, read once or watched for changes.
//
//   auto target = os::NetworkReachability::withName("updates.example.com");
//   // Off the main thread: a host name is resolved first.
//   std::optional<os::ReachabilityFlags> flags = target->currentFlags();
//   bool up = flags && (*flags & os::kReachabilityFlagReachable);
//
//   target->schedule([](os::ReachabilityFlags flags) { /* main thread, on every change */ });
//   ...
//   target->unschedule();
//
// Code that reacts to reachability takes a ReachabilityFlagSource, so that tests can hand it
// flags of their own instead of the machine's.
//
// How the flags are found on Linux. The target "any address" (0.0.0.0 or ::) is reachable when a
// default route of the main table leaves through an interface that is up and running and is not
// the loopback. Any other address is reachable when the kernel's route lookup for it leaves
// through an interface that is up and running (directly when no gateway is involved), or ends on
// this machine itself while its loopback is up (local and direct). A host name is resolved with
// getaddrinfo(3) and takes the flags of the first of its addresses that is reachable; a name that
// does not resolve is not reachable. Connections on demand and cellular interfaces do not exist
// here, so the flags that speak of them are never set by NetworkReachability; they are part of the
// vocabulary for sources that do set them.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

namespace os {

// A set of the kReachabilityFlag... bits below (the platform's own values).
using ReachabilityFlags = uint32_t;

// The target is reached through a connection that may go away by itself: here, an interface
// without a broadcast network of its own (point-to-point: PPP, tunnels, VPNs).
inline constexpr ReachabilityFlags kReachabilityFlagTransientConnection = 1u << 0;
// A packet sent now to the target would leave this machine on a usable path.
inline constexpr ReachabilityFlags kReachabilityFlagReachable = 1u << 1;
// The target can be reached, but a connection has to be established first.
inline constexpr ReachabilityFlags kReachabilityFlagConnectionRequired = 1u << 2;
// That connection is established by any traffic to the target.
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnTraffic = 1u << 3;
// That connection needs the user (a password, a dial-up prompt).
inline constexpr ReachabilityFlags kReachabilityFlagInterventionRequired = 1u << 4;
// That connection is established on demand by the platform's own programming interfaces.
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnDemand = 1u << 5;
// The target is an address of this machine.
inline constexpr ReachabilityFlags kReachabilityFlagIsLocalAddress = 1u << 16;
// Traffic to the target goes straight to an interface, through no gateway.
inline constexpr ReachabilityFlags kReachabilityFlagIsDirect = 1u << 17;

// Where reachability flags come from: the machine's routing state (NetworkReachability) or,
// in tests, flags set by hand.
class ReachabilityFlagSource {
 public:
  using Callback = std::function<void(ReachabilityFlags flags)>;

  virtual ~ReachabilityFlagSource() = default;

  // The target's flags now; nullopt when they cannot be read. May block (a host name is
  // resolved), so callers on the main thread must hop to another queue first. Thread-safe.
  virtual std::optional<ReachabilityFlags> currentFlags() = 0;

  // From now on calls `callback` on the main thread, from the main run loop, each time the
  // target's flags change, until unschedule(). Replaces the callback of an earlier schedule().
  // Returns false, and calls nothing, when the source cannot watch. Thread-safe.
  virtual bool schedule(Callback callback) = 0;

  // Stops the calls of schedule(). Called on the main thread, no call starts after it returns.
  // Does nothing when not scheduled. Thread-safe.
  virtual void unschedule() = 0;
};

// The machine's reachability of one target, from the kernel's routing tables (rtnetlink).
// While scheduled, it listens to the kernel's link, address and route messages on the main run
// loop, lets a burst of them settle for a moment, and then reads the flags again on its own
// serial queue (where host names are resolved); a change reaches the callback on the main queue.
class NetworkReachability final : public ReachabilityFlagSource,
                                  public std::enable_shared_from_this<NetworkReachability> {
  struct Private {};

 public:
  // The reachability of `name` (a host name, or an address in text form). nullptr when `name`
  // is empty.
  static std::shared_ptr<NetworkReachability> withName(std::string name);
  // The reachability of `address`, an AF_INET or AF_INET6 socket address; the unspecified
  // address of either family (0.0.0.0, ::) stands for the network in general. nullptr for any
  // other family. `address` is copied.
  static std::shared_ptr<NetworkReachability> withAddress(const sockaddr* address);

  NetworkReachability(Private, std::string name, const sockaddr_storage& address);
  // Unschedules.
  ~NetworkReachability() override;
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  std::optional<ReachabilityFlags> currentFlags() override;
  // Fails when the kernel's routing messages cannot be subscribed to.
  bool schedule(Callback callback) override;
  void unschedule() override;

 private:
  class RouteMessageSource;

  // Main thread: the routing messages of a burst have settled.
  void routesChanged();
  // On queue_: reads the flags for the scheduling `generation`; with `announce`, passes a
  // change to the main queue, else only remembers them as the flags to compare with.
  void readFlags(uint64_t generation, bool announce);
  // Main thread: calls the callback when `generation` is still the scheduled one.
  void announce(uint64_t generation, ReachabilityFlags flags);

  const std::string name_;          // empty for an address target
  const sockaddr_storage address_;  // AF_UNSPEC for a name target
  const std::shared_ptr<DispatchQueue> queue_;

  os::Mutex mutex_;
  // Counts schedule() and unschedule() calls, so that work begun for an earlier scheduling
  // recognises that it is stale.
  uint64_t generation_ OS_GUARDED_BY(mutex_) = 0;
  Callback callback_ OS_GUARDED_BY(mutex_);                          // empty when not scheduled
  std::shared_ptr<RouteMessageSource> watch_ OS_GUARDED_BY(mutex_);  // on the main run loop

  std::optional<ReachabilityFlags> lastFlags_;  // touched on queue_ only
};

}  // namespace os
