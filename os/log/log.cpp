#include "os/log/log.h"

#include <fmt/format.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "os/sync/mutex.h"

namespace os::log {
namespace {

// Where write() sends its lines: the innermost capture, else the console and the system log.
struct Sink {
  os::Mutex mutex;
  Capture* capture OS_GUARDED_BY(mutex) = nullptr;
};

Sink& sink() {
  static Sink sink;
  return sink;
}

std::string programName() {
  std::string name = program_invocation_short_name ? program_invocation_short_name : "tessaro";
  return name;
}

std::string consoleLine(std::string_view message) {
  return fmt::format("{} {}[{}:{}] {}\n", timestampNow(), programName(), getpid(),
                     static_cast<long>(syscall(SYS_gettid)), message);
}

}  // namespace

std::string timestampNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return fmt::format("{}.{:03d}", stamp, millis);
}

void write(Level level, std::string_view message) {
  Sink& out = sink();
  os::MutexLock lock(out.mutex);
  if (Capture* capture = out.capture) {
    capture->record(level, message);
    return;
  }
  std::string line = consoleLine(message);
  std::fwrite(line.data(), 1, line.size(), stderr);
  static const bool opened = [] {
    openlog(nullptr, LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
  syslog(static_cast<int>(level), "%.*s", static_cast<int>(message.size()), message.data());
}

void console(std::string_view message) { write(Level::Notice, message); }

Capture::Capture() {
  Sink& out = sink();
  os::MutexLock lock(out.mutex);
  previous_ = out.capture;
  out.capture = this;
}

Capture::~Capture() {
  Sink& out = sink();
  os::MutexLock lock(out.mutex);
  out.capture = previous_;
}

std::vector<Line> Capture::lines() const {
  os::MutexLock lock(mutex_);
  return lines_;
}

bool Capture::contains(std::string_view text) const {
  os::MutexLock lock(mutex_);
  for (const Line& line : lines_) {
    if (line.message.find(text) != std::string::npos) return true;
  }
  return false;
}

void Capture::record(Level level, std::string_view message) {
  os::MutexLock lock(mutex_);
  lines_.push_back({level, std::string(message)});
}

}  // namespace os::log
