#include "os/log/syslog_client.h"

#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace os {

SyslogClient::SyslogClient(std::string ident, int options, std::string socketPath)
    : ident_(std::move(ident)),
      socketPath_(std::move(socketPath)),
      copyToStderr_((options & kOptionStderr) != 0) {
  socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

SyslogClient::~SyslogClient() {
  if (socket_ >= 0) ::close(socket_);
}

int SyslogClient::addStderr() {
  copyToStderr_ = true;
  return 0;
}

void SyslogClient::log(int level, std::string_view text) {
  if (level < 0 || level > 7 || (filter_ & (1u << level)) == 0) return;
  if (copyToStderr_) {
    std::string line = fmt::format("{}\n", text);
    ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    (void)written;  // nowhere to report a failing standard error
  }
  if (socket_ < 0) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  constexpr int kUserFacility = 1 << 3;
  std::string datagram =
      fmt::format("<{}>{} {}[{}]: {}", kUserFacility | level, stamp, ident_, getpid(), text);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
  ::sendto(socket_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace os
