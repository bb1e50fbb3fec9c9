#include "os/log/syslog_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "testsupport/sandbox.h"

namespace os {
namespace {

// A syslog socket of the test's own, in the sandbox.
class FakeSyslog {
 public:
  explicit FakeSyslog(std::string path) : path_(std::move(path)) {
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~FakeSyslog() { ::close(socket_); }
  const std::string& path() const { return path_; }
  // The next datagram, or "" when none is waiting (the client sends synchronously).
  std::string next() {
    char buffer[4096];
    ssize_t size = ::recv(socket_, buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : std::string();
  }

 private:
  std::string path_;
  int socket_;
};

TEST(SyslogClient, SendsLinesWithItsIdentityAndLevel) {
  testsupport::Sandbox sandbox;
  FakeSyslog syslog((sandbox.root() / "log.sock").string());
  SyslogClient client("com.example.library", 0, syslog.path());
  client.log(3, "disk full");
  std::string datagram = syslog.next();
  EXPECT_EQ(datagram.substr(0, 4), "<11>");  // user facility, error
  EXPECT_NE(datagram.find(" com.example.library[" + std::to_string(getpid()) + "]: disk full"),
            std::string::npos)
      << datagram;
}

TEST(SyslogClient, TheFilterDropsLevelsItClears) {
  testsupport::Sandbox sandbox;
  FakeSyslog syslog((sandbox.root() / "log.sock").string());
  SyslogClient client("id", 0, syslog.path());
  EXPECT_EQ(SyslogClient::maskUpTo(3), 0x0Fu);
  EXPECT_EQ(SyslogClient::maskUpTo(7), 0xFFu);
  client.setFilter(SyslogClient::maskUpTo(5));
  client.log(6, "info");
  EXPECT_EQ(syslog.next(), "");
  client.log(5, "notice");
  EXPECT_NE(syslog.next().find("notice"), std::string::npos);
  client.log(9, "no such level");
  EXPECT_EQ(syslog.next(), "");
}

TEST(SyslogClient, AMissingSocketDropsLinesQuietly) {
  testsupport::Sandbox sandbox;
  SyslogClient client("id", 0, (sandbox.root() / "none.sock").string());
  client.log(3, "nowhere");  // nothing to see: it must simply not fail
  EXPECT_EQ(client.addStderr(), 0);
}

}  // namespace
}  // namespace os
