// A client of the system log with its own identity and level filter, for a library that keeps
// its lines apart from the process's own console lines (os/log/log.h).
//
//   os::SyslogClient client("com.example.library");
//   client.setFilter(os::SyslogClient::maskUpTo(5));   // error .. notice
//   client.addStderr();                                // also copy every line to fd 2
//   client.log(3, "disk full");
//
// Lines go to the local syslog socket (/dev/log, or the path given) as RFC 3164 datagrams
// "<PRI>Mmm dd hh:mm:ss ident[pid]: text" with the user facility. A level whose bit the filter
// clears is dropped before anything is written. A missing or refusing socket drops the line
// silently, as syslog(3) does.
//
// Threads: not thread-safe; its owner calls it from one queue.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

class SyslogClient {
 public:
  // Copy every line to standard error as well, from the start.
  static constexpr int kOptionStderr = 1;

  // The filter bits of the levels 0 through `level`: (1 << (level + 1)) - 1.
  static constexpr uint32_t maskUpTo(int level) { return (1u << (level + 1)) - 1; }

  explicit SyslogClient(std::string ident, int options = 0, std::string socketPath = "/dev/log");
  ~SyslogClient();
  SyslogClient(const SyslogClient&) = delete;
  SyslogClient& operator=(const SyslogClient&) = delete;

  // The levels that pass: bit n for level n. All levels pass until the first setFilter.
  uint32_t filter() const { return filter_; }
  void setFilter(uint32_t mask) { filter_ = mask; }

  // Adds standard error (file descriptor 2) as a further output; 0, as the platform's call
  // answers on success.
  int addStderr();

  // Writes `text` at `level` (0 emergency .. 7 debug) when the filter lets the level through.
  void log(int level, std::string_view text);

 private:
  const std::string ident_;
  const std::string socketPath_;
  uint32_t filter_ = 0xFF;
  bool copyToStderr_ = false;
  int socket_ = -1;
};

}  // namespace os
