#include "platform/utilities/logger.h"

#include <memory>
#include <string>

#include "os/dispatch/dispatch.h"
#include "os/log/syslog_client.h"
#include "os/sync/mutex.h"
#include "os/text/format.h"
#include "platform/utilities/app_environment_util.h"

namespace vdu_logger_internal {

std::atomic<bool> gSetUp{false};
std::atomic<VDULoggerLevel> gMaxLevel{kVDULoggerLevelNotice};
std::atomic<bool> gDebugMode{false};

struct CaptureAccess {
  static void record(VDULoggerCapture& capture, VDULoggerLevel level, std::string text) {
    os::MutexLock lock(capture.mutex_);
    capture.lines_.push_back({level, std::move(text)});
  }
};

namespace {

// The client and the queue that alone writes to it, created by the set-up and never freed.
struct Sink {
  std::shared_ptr<os::DispatchQueue> queue;
  std::unique_ptr<os::SyslogClient> client;  // touched on queue only
  VDULoggerCapture* capture = nullptr;       // touched on queue only
};

os::DispatchOnce gSetUpOnce;
Sink* gSink = nullptr;  // set once by the set-up, before gSetUp

constexpr uint32_t filterFor(VDULoggerLevel level) {
  return os::SyslogClient::maskUpTo(static_cast<int>(level));
}

Sink& sink() {
  VDULoggerSetUpASL();
  return *gSink;
}

// Runs `block` on the logging queue and waits for it (and so for every line queued before).
void onQueueAndWait(const std::function<void(Sink&)>& block) {
  Sink& target = sink();
  target.queue->sync([&] { block(target); });
}

}  // namespace
}  // namespace vdu_logger_internal

using namespace vdu_logger_internal;

namespace {

os::Mutex gVersionMutex;
std::string gVersion OS_GUARDED_BY(gVersionMutex);

std::string currentVersion() {
  os::MutexLock lock(gVersionMutex);
  return gVersion;
}

}  // namespace

void VDULoggerSetUpASL() {
  gSetUpOnce([] {
    long major = std::stol(VDUAppEnvironmentUtil::systemVersion());
    auto* created = new Sink;
    created->client = std::make_unique<os::SyslogClient>(
        "com.vedodo.utilities.logger", major < 10 ? os::SyslogClient::kOptionStderr : 0);
    created->client->setFilter(filterFor(kVDULoggerLevelNotice));
    created->queue = os::DispatchQueue::serial("VDULoggingClientQueue", os::DispatchPriority::Low);
    gMaxLevel.store(kVDULoggerLevelNotice);
    gSink = created;
    gSetUp.store(true, std::memory_order_release);
  });
}

int VDULoggerAddStderr() {
  int status = 0;
  onQueueAndWait([&](Sink& target) { status = target.client->addStderr(); });
  return status;
}

void VDULoggerForceDebugLevel() {
  if (VDUAppEnvironmentUtil::isFromAppStore()) return;
  gDebugMode.store(true);
  VDUSetMaxLoggerLevel(kVDULoggerLevelDebug);
}

void VDUSetMaxLoggerLevel(VDULoggerLevel level) {
  if (level < kVDULoggerLevelError || level > kVDULoggerLevelDebug) {
    VDULogAtError("[VDULogger]", false, "I-COR000023", "Invalid logger level, %ld", level);
    return;
  }
  Sink& target = sink();
  if (level >= kVDULoggerLevelNotice && VDUAppEnvironmentUtil::isFromAppStore()) return;
  gMaxLevel.store(level);
  target.queue->async([&target, level] {
    OS_CHECK_ON(target.queue);
    target.client->setFilter(filterFor(level));
  });
}

VDULoggerLevel VDUCurrentLoggerLevel() {
  VDULoggerSetUpASL();
  return gMaxLevel.load();
}

bool VDULevelIsLoggable(VDULoggerLevel level) { return passes(level, false); }

void VDULoggerSetVersion(std::string version) {
  os::MutexLock lock(gVersionMutex);
  gVersion = std::move(version);
}

void VDULogWithLevel(VDULoggerLevel level, std::string_view service, bool forced,
                     std::string_view messageCode, std::string_view message,
                     const os::Array* arguments) {
  if (!passes(level, forced)) return;
  std::string text = arguments ? os::formatPrintf(message, *arguments) : std::string(message);
  std::string line = currentVersion();
  line.append(" - ").append(service).append("[").append(messageCode).append("] ").append(text);
  Sink& target = *gSink;
  target.queue->async([&target, level, line = std::move(line)]() mutable {
    OS_CHECK_ON(target.queue);
    if (target.capture) {
      CaptureAccess::record(*target.capture, level, std::move(line));
    } else {
      target.client->log(static_cast<int>(level), line);
    }
  });
}

VDULoggerCapture::VDULoggerCapture() {
  onQueueAndWait([this](Sink& target) { target.capture = this; });
}

VDULoggerCapture::~VDULoggerCapture() {
  onQueueAndWait([](Sink& target) { target.capture = nullptr; });
}

std::vector<VDULoggedLine> VDULoggerCapture::lines() const {
  onQueueAndWait([](Sink&) {});
  os::MutexLock lock(mutex_);
  return lines_;
}

bool VDULoggerCapture::contains(std::string_view text) const {
  for (const VDULoggedLine& line : lines()) {
    if (line.text.find(text) != std::string::npos) return true;
  }
  return false;
}

uint32_t VDULoggerCapture::filterMask() const {
  uint32_t mask = 0;
  onQueueAndWait([&](Sink& target) { mask = target.client->filter(); });
  return mask;
}

void VDULoggerResetForTesting() {
  VDULoggerSetVersion("");
  gDebugMode.store(false);
  gMaxLevel.store(kVDULoggerLevelNotice);
  onQueueAndWait([](Sink& target) { target.client->setFilter(filterFor(kVDULoggerLevelNotice)); });
}
