// bench_file_server: a static HTTP/1.1 server on 127.0.0.1 for benchmarks, fast enough that the
// client is what gets measured. It runs in its own process, so it costs the client nothing.
//
//   bench_file_server <folder>     prints the port it listens on, then serves until killed
//
// GET and HEAD send the file under <folder> named by the path (sendfile, keep-alive), with an
// ETag made of its size and modification time. A GET with "Range: bytes=N-" gets the rest from
// byte N as a 206, unless its If-Range names another validator. "?cut=N" sends the headers of
// the whole file but only its first N bytes, then hangs up (a transfer broken off, for resume
// comparisons); a ranged request for the same address gets its whole range. Any other method reads the request body (Content-Length or chunked, after a
// "100 Continue" when asked) and throws it away, answering 200 with an empty body. A path with
// ".." or a missing file gets 404. One thread per connection.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr size_t kMaxHeadSize = 64 * 1024;
constexpr size_t kBodyBufferSize = 256 * 1024;

std::string folder;

bool sendAll(int socket, std::string_view bytes, int flags = 0) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | flags);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

// Bytes read from a connection but not used yet, in front of what the socket still holds.
class Connection {
 public:
  explicit Connection(int socket) : socket_(socket) {}

  // Reads up to the blank line that ends a request head.
  bool readHead(std::string* head) { return readUntil("\r\n\r\n", head); }
  // Reads one line (chunked framing).
  bool readLine(std::string* line) { return readUntil("\r\n", line); }

  // Reads and drops `count` bytes.
  bool skip(uint64_t count) {
    size_t fromPending = static_cast<size_t>(std::min<uint64_t>(count, pending_.size()));
    pending_.erase(0, fromPending);
    count -= fromPending;
    static thread_local char buffer[kBodyBufferSize];
    while (count > 0) {
      ssize_t got = ::recv(socket_, buffer, std::min<uint64_t>(count, sizeof buffer), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      count -= static_cast<uint64_t>(got);
    }
    return true;
  }

 private:
  // Reads up to `delimiter` into `text`, without it; false at the end of the connection.
  bool readUntil(std::string_view delimiter, std::string* text) {
    while (true) {
      size_t end = pending_.find(delimiter);
      if (end != std::string::npos) {
        *text = pending_.substr(0, end);
        pending_.erase(0, end + delimiter.size());
        return true;
      }
      if (pending_.size() > kMaxHeadSize || !fill()) return false;
    }
  }

  bool fill() {
    char buffer[16 * 1024];
    ssize_t got;
    do {
      got = ::recv(socket_, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  int socket_;
  std::string pending_;
};

// The value of header `name` (lower case) in `head`, or "".
std::string header(const std::string& head, std::string_view name) {
  size_t line = head.find("\r\n");
  while (line != std::string::npos && line + 2 < head.size()) {
    size_t start = line + 2;
    line = head.find("\r\n", start);
    std::string_view text(head.data() + start,
                          (line == std::string::npos ? head.size() : line) - start);
    size_t colon = text.find(':');
    if (colon != name.size()) continue;
    bool same = std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) {
      return a == std::tolower(static_cast<unsigned char>(b));
    });
    if (!same) continue;
    text.remove_prefix(colon + 1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return std::string(text);
  }
  return {};
}

bool discardBody(Connection& connection, int socket, const std::string& head) {
  if (header(head, "expect") == "100-continue" &&
      !sendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n")) {
    return false;
  }
  if (header(head, "transfer-encoding") == "chunked") {
    std::string line;
    while (connection.readLine(&line)) {
      uint64_t size = std::strtoull(line.c_str(), nullptr, 16);
      if (size == 0) return connection.readLine(&line);  // no trailers expected
      if (!connection.skip(size) || !connection.readLine(&line)) return false;
    }
    return false;
  }
  return connection.skip(std::strtoull(header(head, "content-length").c_str(), nullptr, 10));
}

// The offset of a "bytes=N-" range, or -1 for no range or another form.
off_t rangeStart(const std::string& range) {
  if (!range.starts_with("bytes=") || !range.ends_with("-")) return -1;
  char* end = nullptr;
  long long start = std::strtoll(range.c_str() + 6, &end, 10);
  return end == range.c_str() + range.size() - 1 && start >= 0 ? static_cast<off_t>(start) : -1;
}

bool sendFile(int socket, const std::string& target, const std::string& head, bool withBody) {
  const std::string path = target.substr(0, target.find('?'));
  const bool escapes = path.find("..") != std::string::npos;
  int file = escapes ? -1 : ::open((folder + path).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (file < 0 || ::fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (file >= 0) ::close(file);
    return sendAll(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  }
  const std::string tag = "\"" + std::to_string(info.st_size) + "-" +
                          std::to_string(info.st_mtim.tv_sec) + "." +
                          std::to_string(info.st_mtim.tv_nsec) + "\"";
  off_t offset = rangeStart(header(head, "range"));
  const std::string ifRange = header(head, "if-range");
  if (offset >= info.st_size || (!ifRange.empty() && ifRange != tag)) offset = -1;
  off_t end = info.st_size;
  size_t cut = target.find("?cut=");
  if (offset < 0 && cut != std::string::npos) {
    end = std::min<off_t>(end, std::strtoll(target.c_str() + cut + 5, nullptr, 10));
  }
  std::string response = offset < 0
                             ? "HTTP/1.1 200 OK\r\n"
                             : "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                   std::to_string(offset) + "-" + std::to_string(info.st_size - 1) +
                                   "/" + std::to_string(info.st_size) + "\r\n";
  offset = std::max<off_t>(offset, 0);
  response += "Content-Type: application/octet-stream\r\nETag: " + tag +
              "\r\nContent-Length: " + std::to_string(info.st_size - offset) + "\r\n\r\n";
  bool ok = sendAll(socket, response, withBody && offset < end ? MSG_MORE : 0);
  while (ok && withBody && offset < end) {
    ssize_t sent = ::sendfile(socket, file, &offset, static_cast<size_t>(end - offset));
    if (sent < 0 && errno == EINTR) continue;
    ok = sent > 0;
  }
  ::close(file);
  // A cut transfer ends its connection.
  return ok && end == info.st_size;
}

void serve(int socket) {
  int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Connection connection(socket);
  std::string head;
  while (connection.readHead(&head)) {
    size_t methodEnd = head.find(' ');
    size_t targetEnd = methodEnd == std::string::npos ? methodEnd : head.find(' ', methodEnd + 1);
    if (targetEnd == std::string::npos) break;
    std::string method = head.substr(0, methodEnd);
    std::string target = head.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    bool ok = method == "GET" || method == "HEAD"
                  ? sendFile(socket, target, head, method == "GET")
                  : discardBody(connection, socket, head) &&
                        sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    if (!ok || header(head, "connection") == "close" ||
        head.compare(targetEnd + 1, 8, "HTTP/1.0") == 0) {
      break;
    }
  }
  ::close(socket);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_file_server <folder>\n");
    return 2;
  }
  folder = argv[1];
  ::signal(SIGPIPE, SIG_IGN);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 256) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench_file_server");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  while (true) {
    int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("bench_file_server: accept");
      return 1;
    }
    std::thread(serve, socket).detach();
  }
}
