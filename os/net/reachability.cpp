#include "os/net/reachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"

namespace os {
namespace {

// Long enough for the link, address and route messages of one interface change to arrive
// together, short enough that the change is told without a noticeable delay.
constexpr double kSettleSeconds = 0.1;
// A kernel that leaves a routing request unanswered this long is treated as unreadable.
constexpr time_t kReplyTimeoutSeconds = 2;
// Larger than any datagram of a routing dump, so that none is truncated.
constexpr size_t kReceiveBufferSize = 64 * 1024;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;

  int get() const { return fd_; }

 private:
  int fd_;
};

// Calls `visit` for each complete netlink message in `bytes`.
template <typename Visit>
void forEachMessage(const char* bytes, size_t size, Visit&& visit) {
  size_t offset = 0;
  while (size - offset >= sizeof(nlmsghdr)) {
    const auto* message = reinterpret_cast<const nlmsghdr*>(bytes + offset);
    if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > size - offset) return;
    if (!visit(*message)) return;
    offset += NLMSG_ALIGN(message->nlmsg_len);
  }
}

// Calls `visit` for each complete route attribute in `bytes`.
template <typename Visit>
void forEachAttribute(const char* bytes, size_t size, Visit&& visit) {
  size_t offset = 0;
  while (size - offset >= sizeof(rtattr)) {
    const auto* attribute = reinterpret_cast<const rtattr*>(bytes + offset);
    if (attribute->rta_len < sizeof(rtattr) || attribute->rta_len > size - offset) return;
    visit(*attribute, static_cast<size_t>(attribute->rta_len - RTA_LENGTH(0)));
    offset += RTA_ALIGN(attribute->rta_len);
  }
}

uint32_t attributeU32(const rtattr& attribute, size_t payload) {
  uint32_t value = 0;
  if (payload >= sizeof value) std::memcpy(&value, RTA_DATA(&attribute), sizeof value);
  return value;
}

// What the kernel's routing tables say about one route.
struct Route {
  unsigned char family = AF_UNSPEC;
  unsigned char type = RTN_UNSPEC;
  unsigned char destinationBits = 0;
  uint32_t table = RT_TABLE_UNSPEC;
  bool hasGateway = false;
  // The interfaces it leaves through: one, or those of a multipath route.
  std::vector<int> interfaces;
};

Route parseRoute(const nlmsghdr& message) {
  Route route;
  if (message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return route;
  const auto* header = static_cast<const rtmsg*>(NLMSG_DATA(&message));
  route.family = header->rtm_family;
  route.type = header->rtm_type;
  route.destinationBits = header->rtm_dst_len;
  route.table = header->rtm_table;
  const char* attributes = reinterpret_cast<const char*>(RTM_RTA(header));
  forEachAttribute(attributes, RTM_PAYLOAD(&message), [&](const rtattr& attribute, size_t size) {
    switch (attribute.rta_type) {
      case RTA_TABLE:
        route.table = attributeU32(attribute, size);
        break;
      case RTA_GATEWAY:
      case RTA_VIA:
        route.hasGateway = true;
        break;
      case RTA_OIF:
        route.interfaces.push_back(static_cast<int>(attributeU32(attribute, size)));
        break;
      case RTA_MULTIPATH: {
        const char* hops = static_cast<const char*>(RTA_DATA(&attribute));
        size_t offset = 0;
        while (size - offset >= sizeof(rtnexthop)) {
          const auto* hop = reinterpret_cast<const rtnexthop*>(hops + offset);
          if (hop->rtnh_len < sizeof(rtnexthop) || hop->rtnh_len > size - offset) break;
          route.interfaces.push_back(hop->rtnh_ifindex);
          if (hop->rtnh_len > sizeof(rtnexthop)) {
            forEachAttribute(
                reinterpret_cast<const char*>(RTNH_DATA(hop)), hop->rtnh_len - sizeof(rtnexthop),
                [&](const rtattr& hopAttribute, size_t) {
                  if (hopAttribute.rta_type == RTA_GATEWAY || hopAttribute.rta_type == RTA_VIA) {
                    route.hasGateway = true;
                  }
                });
          }
          offset += RTNH_ALIGN(hop->rtnh_len);
        }
        break;
      }
      default:
        break;
    }
  });
  return route;
}

// Requests and answers on a NETLINK_ROUTE socket of its own, which hears nothing else.
class RoutingSocket {
 public:
  // nullopt, logged, when the socket cannot be opened.
  static std::optional<RoutingSocket> open() {
    Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) {
      log::write(log::Level::Error,
                 std::string("Cannot open a routing socket: ") + std::strerror(errno));
      return std::nullopt;
    }
    timeval timeout{kReplyTimeoutSeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return RoutingSocket(std::move(fd));
  }

  // Sends `request`, a complete netlink message, and hands each message of the answer to
  // `handle`: all of them up to the end of a dump (NLM_F_DUMP), else the first. Returns false
  // when the exchange failed; a request that the kernel refused returns true with its errno in
  // `*refusal` (0 otherwise).
  template <typename Handle>
  bool exchange(nlmsghdr& request, Handle&& handle, int* refusal) {
    *refusal = 0;
    request.nlmsg_seq = ++sequence_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
      sent = ::sendto(fd_.get(), &request, request.nlmsg_len, 0,
                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return false;

    const bool dump = request.nlmsg_flags & NLM_F_DUMP;
    for (;;) {
      sockaddr_nl sender{};
      socklen_t senderLength = sizeof sender;
      ssize_t received = ::recvfrom(fd_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
      if (received < 0 && errno == EINTR) continue;
      if (received < 0 || static_cast<size_t>(received) > buffer_.size()) return false;
      if (sender.nl_pid != 0) continue;  // not from the kernel

      enum class State { More, Done } state = State::More;
      forEachMessage(buffer_.data(), static_cast<size_t>(received), [&](const nlmsghdr& message) {
        if (message.nlmsg_seq != request.nlmsg_seq) return true;
        if (message.nlmsg_type == NLMSG_DONE) {
          state = State::Done;
        } else if (message.nlmsg_type == NLMSG_ERROR) {
          if (message.nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            *refusal = -static_cast<const nlmsgerr*>(NLMSG_DATA(&message))->error;
          }
          state = State::Done;
        } else {
          handle(message);
          if (!dump) state = State::Done;
        }
        return state == State::More;
      });
      if (state == State::Done) return true;
    }
  }

 private:
  explicit RoutingSocket(Descriptor fd) : fd_(std::move(fd)), buffer_(kReceiveBufferSize) {}

  Descriptor fd_;
  uint32_t sequence_ = 0;
  std::vector<char> buffer_;
};

bool isUnspecified(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
  }
  return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

// Reads flags through one routing socket; the interfaces are read once, when first needed.
class FlagReader {
 public:
  explicit FlagReader(RoutingSocket socket) : socket_(std::move(socket)) {}

  std::optional<ReachabilityFlags> forAddress(const sockaddr_storage& address) {
    return isUnspecified(address) ? forAnyAddress() : forRouteTo(address);
  }

  // The flags of the first address of `name` that is reachable; 0 when none is or the name
  // does not resolve.
  std::optional<ReachabilityFlags> forName(const std::string& name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &addresses) != 0) return 0;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(addresses, &::freeaddrinfo);
    for (const addrinfo* entry = addresses; entry; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
      sockaddr_storage address{};
      std::memcpy(&address, entry->ai_addr, std::min<size_t>(entry->ai_addrlen, sizeof address));
      auto flags = forAddress(address);
      if (!flags) return std::nullopt;
      if (*flags & kReachabilityFlagReachable) return flags;
    }
    return 0;
  }

 private:
  // The network in general: reachable through the best default route of the main table.
  std::optional<ReachabilityFlags> forAnyAddress() {
    struct {
      nlmsghdr header;
      rtmsg route;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.route.rtm_family = AF_UNSPEC;
    std::vector<Route> defaults;
    int refusal = 0;
    bool answered = socket_.exchange(
        request.header,
        [&](const nlmsghdr& message) {
          if (message.nlmsg_type != RTM_NEWROUTE) return;
          Route route = parseRoute(message);
          if ((route.family == AF_INET || route.family == AF_INET6) &&
              route.table == RT_TABLE_MAIN && route.destinationBits == 0 &&
              route.type == RTN_UNICAST) {
            defaults.push_back(std::move(route));
          }
        },
        &refusal);
    if (!answered || refusal != 0) return std::nullopt;

    ReachabilityFlags best = 0;
    for (const Route& route : defaults) {
      for (int index : route.interfaces) {
        auto interface = interfaceFlags(index);
        if (!interface) return std::nullopt;
        ReachabilityFlags flags = leavingThrough(*interface);
        // A default route of its own beats one through a transient connection.
        if ((flags & kReachabilityFlagReachable) &&
            (!(best & kReachabilityFlagReachable) ||
             (best & kReachabilityFlagTransientConnection))) {
          best = flags;
        }
      }
    }
    return best;
  }

  // One address: where the kernel would send a packet for it now.
  std::optional<ReachabilityFlags> forRouteTo(const sockaddr_storage& address) {
    const void* bytes;
    size_t size;
    uint32_t scope = 0;
    if (address.ss_family == AF_INET) {
      bytes = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
      size = sizeof(in_addr);
    } else {
      const auto& address6 = reinterpret_cast<const sockaddr_in6&>(address);
      bytes = &address6.sin6_addr;
      size = sizeof(in6_addr);
      scope = address6.sin6_scope_id;  // a link-local address names its interface
    }
    struct {
      nlmsghdr header;
      rtmsg route;
      char attributes[RTA_SPACE(sizeof(in6_addr)) + RTA_SPACE(sizeof(uint32_t))];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = address.ss_family;
    request.route.rtm_dst_len = static_cast<unsigned char>(size * 8);
    auto append = [&request](unsigned short type, const void* data, size_t length) {
      auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                                  NLMSG_ALIGN(request.header.nlmsg_len));
      attribute->rta_type = type;
      attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
      std::memcpy(RTA_DATA(attribute), data, length);
      request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_SPACE(length);
    };
    append(RTA_DST, bytes, size);
    if (scope != 0) append(RTA_OIF, &scope, sizeof scope);

    std::optional<Route> found;
    int refusal = 0;
    bool answered = socket_.exchange(
        request.header,
        [&](const nlmsghdr& message) {
          if (message.nlmsg_type == RTM_NEWROUTE) found = parseRoute(message);
        },
        &refusal);
    if (!answered) return std::nullopt;
    // Refusals are the kernel's "unreachable", "prohibited" and "blackhole" answers.
    if (refusal != 0 || !found) return 0;

    if (found->interfaces.empty()) return 0;
    auto interface = interfaceFlags(found->interfaces.front());
    if (!interface) return std::nullopt;
    switch (found->type) {
      case RTN_LOCAL:
        // Delivered through the loopback, which must be running for that (the kernel keeps
        // the local routes of a loopback that is down).
        if (!isRunning(*interface)) return 0;
        return kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress |
               kReachabilityFlagIsDirect;
      case RTN_UNICAST:
      case RTN_BROADCAST:
      case RTN_MULTICAST:
      case RTN_ANYCAST: {
        ReachabilityFlags flags = leavingThrough(*interface);
        if ((flags & kReachabilityFlagReachable) && !found->hasGateway) {
          flags |= kReachabilityFlagIsDirect;
        }
        return flags;
      }
      default:
        return 0;
    }
  }

  static bool isRunning(unsigned interface) {
    return (interface & IFF_UP) && (interface & IFF_RUNNING);
  }

  // The flags of a path that leaves this machine through an interface with the flags
  // `interface`: reachable when it is up and running and not the loopback; transient when it
  // is point-to-point.
  static ReachabilityFlags leavingThrough(unsigned interface) {
    if (!isRunning(interface) || (interface & IFF_LOOPBACK)) return 0;
    ReachabilityFlags flags = kReachabilityFlagReachable;
    if (interface & IFF_POINTOPOINT) flags |= kReachabilityFlagTransientConnection;
    return flags;
  }

  // The flags (IFF_...) of interface `index`, 0 for an interface that is gone; nullopt when the
  // interfaces cannot be read.
  std::optional<unsigned> interfaceFlags(int index) {
    if (!interfaces_ && !readInterfaces()) return std::nullopt;
    auto entry = interfaces_->find(index);
    return entry == interfaces_->end() ? 0u : entry->second;
  }

  bool readInterfaces() {
    struct {
      nlmsghdr header;
      ifinfomsg link;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.link.ifi_family = AF_UNSPEC;
    std::map<int, unsigned> interfaces;
    int refusal = 0;
    bool answered = socket_.exchange(
        request.header,
        [&](const nlmsghdr& message) {
          if (message.nlmsg_type != RTM_NEWLINK ||
              message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            return;
          }
          const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
          interfaces[link->ifi_index] = link->ifi_flags;
        },
        &refusal);
    if (!answered || refusal != 0) return false;
    interfaces_ = std::move(interfaces);
    return true;
  }

  RoutingSocket socket_;
  // Interface flags (IFF_...) by interface index.
  std::optional<std::map<int, unsigned>> interfaces_;
};

}  // namespace

// Hears the kernel's link, address and route messages on the main run loop, and tells its owner
// once a burst of them has settled.
class NetworkReachability::RouteMessageSource final : public RunLoopSource {
 public:
  // nullptr, logged, when the kernel's messages cannot be subscribed to.
  static std::shared_ptr<RouteMessageSource> subscribe(std::weak_ptr<NetworkReachability> owner) {
    Descriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR |
                       RTMGRP_IPV6_IFADDR;
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
      log::write(log::Level::Error,
                 std::string("Cannot listen to routing changes: ") + std::strerror(errno));
      return nullptr;
    }
    return std::make_shared<RouteMessageSource>(std::move(fd), std::move(owner));
  }

  RouteMessageSource(Descriptor fd, std::weak_ptr<NetworkReachability> owner)
      : fd_(std::move(fd)), owner_(std::move(owner)) {}

  double poll() override {
    auto now = MonotonicClock::now();
    if (drain() && !settleDeadline_) {
      settleDeadline_ = now + std::chrono::duration_cast<MonotonicClock::duration>(
                                  std::chrono::duration<double>(kSettleSeconds));
    }
    if (!settleDeadline_) return kWaitForever;
    if (now < *settleDeadline_) {
      return std::chrono::duration<double>(*settleDeadline_ - now).count();
    }
    settleDeadline_.reset();
    if (auto owner = owner_.lock()) owner->routesChanged();
    return kWaitForever;
  }

  int fileDescriptor() const override { return fd_.get(); }

 private:
  // Reads every pending message; true when there was at least one. Their content does not
  // matter: any of them may change the flags, which are read afresh anyway.
  bool drain() {
    bool changed = false;
    char discard[4096];
    for (;;) {
      ssize_t received = ::recv(fd_.get(), discard, sizeof discard, MSG_DONTWAIT);
      if (received > 0) {
        changed = true;
      } else if (received < 0 && errno == ENOBUFS) {
        changed = true;  // the kernel dropped messages: something happened
      } else if (!(received < 0 && errno == EINTR)) {
        return changed;
      }
    }
  }

  Descriptor fd_;
  std::weak_ptr<NetworkReachability> owner_;
  // When the burst in progress counts as settled; main thread only.
  std::optional<MonotonicClock::time_point> settleDeadline_;
};

std::shared_ptr<NetworkReachability> NetworkReachability::withName(std::string name) {
  if (name.empty()) return nullptr;
  sockaddr_storage none{};
  none.ss_family = AF_UNSPEC;
  return std::make_shared<NetworkReachability>(Private{}, std::move(name), none);
}

std::shared_ptr<NetworkReachability> NetworkReachability::withAddress(const sockaddr* address) {
  if (!address) return nullptr;
  sockaddr_storage copy{};
  if (address->sa_family == AF_INET) {
    std::memcpy(&copy, address, sizeof(sockaddr_in));
  } else if (address->sa_family == AF_INET6) {
    std::memcpy(&copy, address, sizeof(sockaddr_in6));
  } else {
    return nullptr;
  }
  return std::make_shared<NetworkReachability>(Private{}, std::string(), copy);
}

NetworkReachability::NetworkReachability(Private, std::string name, const sockaddr_storage& address)
    : name_(std::move(name)),
      address_(address),
      queue_(DispatchQueue::serial("os.network-reachability", DispatchPriority::Low)) {}

NetworkReachability::~NetworkReachability() { unschedule(); }

std::optional<ReachabilityFlags> NetworkReachability::currentFlags() {
  auto socket = RoutingSocket::open();
  if (!socket) return std::nullopt;
  FlagReader reader(std::move(*socket));
  return name_.empty() ? reader.forAddress(address_) : reader.forName(name_);
}

bool NetworkReachability::schedule(Callback callback) {
  uint64_t generation;
  Callback replaced;
  {
    os::MutexLock lock(mutex_);
    if (!watch_) {
      watch_ = RouteMessageSource::subscribe(weak_from_this());
      if (!watch_) return false;
      RunLoop::main().addSource(watch_);
    }
    replaced = std::exchange(callback_, std::move(callback));
    generation = ++generation_;
  }
  queue_->async([weak = weak_from_this(), generation] {
    if (auto self = weak.lock()) self->readFlags(generation, false);
  });
  return true;
}

void NetworkReachability::unschedule() {
  Callback removed;  // released outside the lock: it may own anything
  os::MutexLock lock(mutex_);
  ++generation_;
  removed = std::move(callback_);
  callback_ = nullptr;
  if (watch_) {
    RunLoop::main().removeSource(watch_.get());
    watch_.reset();
  }
}

void NetworkReachability::routesChanged() {
  uint64_t generation;
  {
    os::MutexLock lock(mutex_);
    generation = generation_;
  }
  queue_->async([weak = weak_from_this(), generation] {
    if (auto self = weak.lock()) self->readFlags(generation, true);
  });
}

void NetworkReachability::readFlags(uint64_t generation, bool announce) {
  {
    os::MutexLock lock(mutex_);
    if (generation != generation_) return;
  }
  auto flags = currentFlags();
  if (!announce) {
    lastFlags_ = flags;
    return;
  }
  if (!flags || flags == lastFlags_) return;
  lastFlags_ = flags;
  DispatchQueue::main()->async([weak = weak_from_this(), generation, flags = *flags] {
    if (auto self = weak.lock()) self->announce(generation, flags);
  });
}

void NetworkReachability::announce(uint64_t generation, ReachabilityFlags flags) {
  Callback callback;
  {
    os::MutexLock lock(mutex_);
    if (generation != generation_) return;
    callback = callback_;
  }
  if (callback) callback(flags);
}

}  // namespace os
