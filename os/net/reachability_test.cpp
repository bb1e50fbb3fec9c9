#include "os/net/reachability.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "os/dispatch/runloop.h"

extern char** environ;

namespace os {
namespace {

constexpr ReachabilityFlags kLocal =
    kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress | kReachabilityFlagIsDirect;

sockaddr_storage socketAddress(const char* text) {
  sockaddr_storage address{};
  auto* address4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* address6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, text, &address4->sin_addr) == 1) {
    address4->sin_family = AF_INET;
  } else if (inet_pton(AF_INET6, text, &address6->sin6_addr) == 1) {
    address6->sin6_family = AF_INET6;
  } else {
    ADD_FAILURE() << "not an address: " << text;
  }
  return address;
}

std::shared_ptr<NetworkReachability> forAddress(const char* text) {
  sockaddr_storage address = socketAddress(text);
  return NetworkReachability::withAddress(reinterpret_cast<const sockaddr*>(&address));
}

bool hasIPv6() { return std::filesystem::exists("/proc/net/if_inet6"); }

TEST(NetworkReachability, LoopbackTargetsAreLocalAndDirect) {
  std::vector<std::pair<std::string, std::shared_ptr<NetworkReachability>>> targets = {
      {"address 127.0.0.1", forAddress("127.0.0.1")},
      {"address 127.0.0.53", forAddress("127.0.0.53")},
      {"name 127.0.0.1", NetworkReachability::withName("127.0.0.1")},
  };
  if (hasIPv6()) {
    targets.emplace_back("address ::1", forAddress("::1"));
    targets.emplace_back("name ::1", NetworkReachability::withName("::1"));
  }
  for (const auto& [label, target] : targets) {
    SCOPED_TRACE(label);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->currentFlags(), kLocal);
  }
}

TEST(NetworkReachability, AnyAddressIsReachableOrNotButNeverLocal) {
  // Whether this machine has a default route is not the test's business; the answer's shape is.
  for (const char* any : {"0.0.0.0", "::"}) {
    SCOPED_TRACE(any);
    auto target = forAddress(any);
    ASSERT_NE(target, nullptr);
    auto flags = target->currentFlags();
    ASSERT_TRUE(flags.has_value());
    EXPECT_EQ(*flags & ~(kReachabilityFlagReachable | kReachabilityFlagTransientConnection), 0u);
    if (*flags & kReachabilityFlagTransientConnection) {
      EXPECT_TRUE(*flags & kReachabilityFlagReachable);
    }
  }
}

TEST(NetworkReachability, RefusesTargetsItCannotName) {
  EXPECT_EQ(NetworkReachability::withName(""), nullptr);
  EXPECT_EQ(NetworkReachability::withAddress(nullptr), nullptr);
  sockaddr local{};
  local.sa_family = AF_UNIX;
  EXPECT_EQ(NetworkReachability::withAddress(&local), nullptr);
}

TEST(NetworkReachability, SchedulesOnTheMainRunLoopAndUnschedules) {
  auto target = forAddress("127.0.0.1");
  int calls = 0;
  ASSERT_TRUE(target->schedule([&](ReachabilityFlags) { ++calls; }));
  ASSERT_TRUE(target->schedule([&](ReachabilityFlags) { ++calls; }));  // replaces the first
  RunLoop::main().runUntil([] { return false; }, 0.2);
  target->unschedule();
  target->unschedule();
  // Nothing changed the loopback meanwhile.
  EXPECT_EQ(calls, 0);
  target.reset();
  RunLoop::main().runUntil([] { return false; }, 0.05);
}

// The scenario below changes interfaces and routes, so it runs in a child process of its own in
// a fresh network namespace, where nothing but the loopback exists (down) and nothing it does
// reaches the machine's own network.
constexpr const char* kInsideFreshNamespace = "TESSARO_REACHABILITY_IN_FRESH_NETWORK_NAMESPACE";
constexpr int kNoNamespaceExitCode = 77;

// Runs this test binary again with `filter`, unshared into a fresh network namespace; returns
// its wait status, or kNoNamespaceExitCode when namespaces are not permitted here.
int runInFreshNetworkNamespace(const std::string& filter) {
  std::string filterArgument = "--gtest_filter=" + filter;
  std::string marker = std::string(kInsideFreshNamespace) + "=1";
  std::vector<char*> arguments = {const_cast<char*>("/proc/self/exe"), filterArgument.data(),
                                  nullptr};
  std::vector<char*> environment;
  for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
  environment.push_back(marker.data());
  environment.push_back(nullptr);

  pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(kNoNamespaceExitCode);
    execve("/proc/self/exe", arguments.data(), environment.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Changes interfaces the way `ip` does, through the classic ioctls.
class InterfaceControl {
 public:
  InterfaceControl() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~InterfaceControl() { close(fd_); }

  bool setUp(const char* name, bool up) {
    ifreq request = named(name);
    if (ioctl(fd_, SIOCGIFFLAGS, &request) != 0) return false;
    if (up) {
      request.ifr_flags |= IFF_UP;
    } else {
      request.ifr_flags &= ~IFF_UP;
    }
    return ioctl(fd_, SIOCSIFFLAGS, &request) == 0;
  }

  bool setAddress(const char* name, const char* address, const char* mask) {
    ifreq request = named(name);
    setIPv4(&request.ifr_addr, address);
    if (ioctl(fd_, SIOCSIFADDR, &request) != 0) return false;
    setIPv4(&request.ifr_netmask, mask);
    return ioctl(fd_, SIOCSIFNETMASK, &request) == 0;
  }

  bool addDefaultRoute(const char* name) {
    rtentry route{};
    setIPv4(&route.rt_dst, "0.0.0.0");
    setIPv4(&route.rt_genmask, "0.0.0.0");
    route.rt_flags = RTF_UP;
    std::string device = name;
    route.rt_dev = device.data();
    return ioctl(fd_, SIOCADDRT, &route) == 0;
  }

 private:
  static ifreq named(const char* name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return request;
  }
  static void setIPv4(sockaddr* into, const char* text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    std::memcpy(into, &address, sizeof address);
  }

  int fd_;
};

// Keeps a TUN interface (point-to-point, running while its descriptor is open) alive.
class TunInterface {
 public:
  explicit TunInterface(const char* name) : fd_(open("/dev/net/tun", O_RDWR | O_CLOEXEC)) {
    if (fd_ < 0) return;
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(fd_, TUNSETIFF, &request) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~TunInterface() {
    if (fd_ >= 0) close(fd_);
  }
  bool exists() const { return fd_ >= 0; }

 private:
  int fd_;
};

struct Changes {
  std::vector<ReachabilityFlags> flags;
  bool allOnMainThread = true;

  ReachabilityFlagSource::Callback recorder() {
    return [this](ReachabilityFlags changed) {
      allOnMainThread = allOnMainThread && isMainThread();
      flags.push_back(changed);
    };
  }
};

TEST(NetworkReachabilityWatch, FollowsRoutingChangesInAFreshNetworkNamespace) {
  const char* self = "NetworkReachabilityWatch.FollowsRoutingChangesInAFreshNetworkNamespace";
  if (!std::getenv(kInsideFreshNamespace)) {
    int status = runInFreshNetworkNamespace(self);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespaceExitCode) {
      GTEST_SKIP() << "network namespaces are not permitted here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return;
  }

  // In the child: only a loopback that is down.
  auto loopback = forAddress("127.0.0.1");
  auto network = forAddress("0.0.0.0");
  EXPECT_EQ(loopback->currentFlags(), 0u);
  EXPECT_EQ(network->currentFlags(), 0u);

  Changes loopbackChanges, networkChanges;
  ASSERT_TRUE(loopback->schedule(loopbackChanges.recorder()));
  ASSERT_TRUE(network->schedule(networkChanges.recorder()));
  // Let the first readings, which are only remembered, happen before anything changes.
  RunLoop::main().runUntil([] { return false; }, 0.5);

  // The loopback coming up is a burst of link, address and route messages: told once.
  InterfaceControl control;
  ASSERT_TRUE(control.setUp("lo", true));
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !loopbackChanges.flags.empty(); }, 10.0));
  RunLoop::main().runUntil([] { return false; }, 0.5);
  EXPECT_EQ(loopbackChanges.flags, std::vector<ReachabilityFlags>{kLocal});
  EXPECT_TRUE(loopbackChanges.allOnMainThread);
  // A loopback is not a network.
  EXPECT_TRUE(networkChanges.flags.empty());

  // A default route through a point-to-point interface: the network becomes reachable through a
  // transient connection, and an address beyond it is reached directly (no gateway).
  TunInterface tunnel("tsr0");
  if (!tunnel.exists()) GTEST_SKIP() << "no TUN devices here";
  ASSERT_TRUE(control.setAddress("tsr0", "10.200.0.1", "255.255.255.0"));
  ASSERT_TRUE(control.setUp("tsr0", true));
  ASSERT_TRUE(control.addDefaultRoute("tsr0"));
  const ReachabilityFlags kThroughTunnel =
      kReachabilityFlagReachable | kReachabilityFlagTransientConnection;
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !networkChanges.flags.empty(); }, 10.0));
  EXPECT_EQ(networkChanges.flags.back(), kThroughTunnel);
  EXPECT_EQ(forAddress("::")->currentFlags(), kThroughTunnel);  // either family's default
  EXPECT_EQ(forAddress("198.51.100.7")->currentFlags(), kThroughTunnel | kReachabilityFlagIsDirect);
  EXPECT_EQ(forAddress("10.200.0.1")->currentFlags(), kLocal);

  // The interface going down takes the network with it.
  networkChanges.flags.clear();
  ASSERT_TRUE(control.setUp("tsr0", false));
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !networkChanges.flags.empty(); }, 10.0));
  EXPECT_EQ(networkChanges.flags.back(), 0u);
  EXPECT_EQ(forAddress("198.51.100.7")->currentFlags(), 0u);

  // Unscheduled: the loopback going down is not told.
  loopback->unschedule();
  ASSERT_TRUE(control.setUp("lo", false));
  RunLoop::main().runUntil([] { return false; }, 0.5);
  EXPECT_EQ(loopbackChanges.flags.size(), 1u);
  EXPECT_EQ(loopback->currentFlags(), 0u);
  EXPECT_TRUE(networkChanges.allOnMainThread);
}

}  // namespace
}  // namespace os
