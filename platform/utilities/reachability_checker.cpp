#include "platform/utilities/reachability_checker.h"

#include <fmt/format.h>

#include "os/dispatch/dispatch.h"
#include "platform/utilities/logger.h"

namespace {

constexpr const char* kService = "[VDUReachability]";

}  // namespace

std::string VDUReachabilityStatusString(int32_t status) {
  switch (status) {
    case 0:
      return "Reachability Unknown";
    case 1:
      return "Not reachable";
    case 2:
      return "Reachable via Wifi";
    case 3:
      return "Reachable via Cellular Data";
    default:
      return fmt::format("Invalid reachability status {}", status);
  }
}

VDUReachabilityApi VDUReachabilityApi::defaultApi() {
  VDUReachabilityApi api;
  api.createWithNameFn = [](const std::string& host) -> std::shared_ptr<VDUReachabilityRef> {
    auto source = os::NetworkReachability::withName(host);
    if (!source) return nullptr;
    return std::make_shared<VDUReachabilityRef>(VDUReachabilityRef{source, {}});
  };
  api.setCallbackFn = [](VDUReachabilityRef& ref,
                         std::function<void(os::ReachabilityFlags)> callback) {
    ref.callback = std::move(callback);
    return true;
  };
  api.scheduleWithRunLoopFn = [](VDUReachabilityRef& ref) {
    if (!ref.source->schedule(ref.callback)) return false;
    // The routing state reports changes only, and a name's flags are known once it resolves:
    // the first reading is taken here, off the main thread, and delivered like a change.
    // Without it the status stays unknown (offline) until the routes happen to change.
    os::DispatchQueue::global(os::DispatchPriority::Low)
        ->async([source = ref.source, callback = ref.callback] {
          std::optional<os::ReachabilityFlags> flags = source->currentFlags();
          if (!flags || !callback) return;
          os::DispatchQueue::main()->async([callback, flags = *flags] { callback(flags); });
        });
    return true;
  };
  api.unscheduleFromRunLoopFn = [](VDUReachabilityRef& ref) { ref.source->unschedule(); };
  api.releaseFn = [](std::shared_ptr<VDUReachabilityRef> ref) { ref.reset(); };
  return api;
}

std::shared_ptr<VDUReachabilityChecker> VDUReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<VDUReachabilityDelegate> delegate, const std::string& host) {
  if (host.empty()) {
    VDULogAtError(kService, false, "I-REA902001", "Invalid host specified");
    return nullptr;
  }
  return std::make_shared<VDUReachabilityChecker>(Private{}, std::move(delegate), host);
}

VDUReachabilityChecker::VDUReachabilityChecker(Private,
                                               std::weak_ptr<VDUReachabilityDelegate> delegate,
                                               std::string host)
    : host_(std::move(host)), delegate_(std::move(delegate)) {}

VDUReachabilityChecker::~VDUReachabilityChecker() {
  delegate_.reset();
  stop();
}

bool VDUReachabilityChecker::start() {
  if (!reachability_) {
    std::shared_ptr<VDUReachabilityRef> handle = api_.createWithNameFn(host_);
    if (!handle) return false;
    std::weak_ptr<VDUReachabilityChecker> weakSelf = weak_from_this();
    bool started = api_.setCallbackFn(*handle, [weakSelf](os::ReachabilityFlags flags) {
      if (auto self = weakSelf.lock()) {
        self->reachabilityFlagsChanged(flags);
      }
    }) && api_.scheduleWithRunLoopFn(*handle);
    if (!started) {
      api_.releaseFn(std::move(handle));
      VDULogAtError(kService, false, "I-REA902002", "Failed to start reachability handle");
      return false;
    }
    reachability_ = std::move(handle);
  }
  VDULogAtDebug(kService, false, "I-REA902003", "Monitoring the network status");
  return true;
}

void VDUReachabilityChecker::stop() {
  if (!reachability_) return;
  status_ = VDUReachabilityStatus::Unknown;
  api_.unscheduleFromRunLoopFn(*reachability_);
  api_.releaseFn(std::move(reachability_));
  reachability_ = nullptr;
}

void VDUReachabilityChecker::setReachabilityApi(VDUReachabilityApi api) {
  if (reachability_) {
    VDULogAtError(kService, false, "I-REA902000",
                  "Cannot change reachability API while reachability is running. Call stop first.");
    return;
  }
  api_ = std::move(api);
}

VDUReachabilityStatus VDUReachabilityChecker::statusForFlags(os::ReachabilityFlags flags) {
  if ((flags & os::kReachabilityFlagReachable) == 0) return VDUReachabilityStatus::NotReachable;
  if ((flags & os::kReachabilityFlagConnectionRequired) == 0) return VDUReachabilityStatus::ViaWifi;
  bool connectsByItself = (flags & (os::kReachabilityFlagConnectionOnTraffic |
                                    os::kReachabilityFlagConnectionOnDemand)) != 0;
  if ((flags & os::kReachabilityFlagInterventionRequired) == 0 && connectsByItself) {
    return VDUReachabilityStatus::ViaWifi;
  }
  return VDUReachabilityStatus::NotReachable;
}

void VDUReachabilityChecker::reachabilityFlagsChanged(os::ReachabilityFlags flags) {
  OS_CHECK_ON_MAIN();
  VDUReachabilityStatus status = statusForFlags(flags);
  if (status == status_) return;
  const char* text = status == VDUReachabilityStatus::Unknown        ? "Unknown"
                     : status == VDUReachabilityStatus::NotReachable ? "Disconnected"
                                                                     : "Connected";
  VDULogAtDebug(kService, false, "I-REA902004", "Network status has changed. Code:%@, status:%@",
                static_cast<int32_t>(status), text);
  status_ = status;
  if (auto delegate = delegate_.lock()) delegate->reachability(*this, status);
}

std::optional<std::string> VDUNetworkInfo::formatMcc(const std::optional<std::string>& mcc,
                                                     const std::optional<std::string>& mnc) {
  if (!mcc || !mnc || mcc->size() != 3 || mnc->size() < 2 || mnc->size() > 3) return std::nullopt;
  std::string joined = *mcc + *mnc;
  if (joined.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return joined;
}
