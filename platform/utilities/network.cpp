#include "platform/utilities/network.h"

#include <fmt/format.h>

#include "os/log/log.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"

os::Error VDUNetworkError(int64_t code, const std::string& context) {
  return os::Error(kVDUNetworkErrorDomain, code, {},
                   os::Dictionary{{kVDUNetworkErrorContext, context}});
}

namespace {

constexpr double kDefaultTimeout = 60.0;

const char* levelName(VDUNetworkLogLevel level) {
  switch (level) {
    case VDUNetworkLogLevel::Error:
      return "ERROR";
    case VDUNetworkLogLevel::Warning:
      return "WARNING";
    case VDUNetworkLogLevel::Info:
      return "INFO";
    case VDUNetworkLogLevel::Debug:
      return "DEBUG";
  }
  return "";
}

std::shared_ptr<os::DispatchQueue> orMain(std::shared_ptr<os::DispatchQueue> queue) {
  return queue ? std::move(queue) : os::DispatchQueue::main();
}

}  // namespace

std::shared_ptr<VDUNetwork> VDUNetwork::create() {
  return initWithReachabilityHost(kVDUNetworkDefaultReachabilityHost);
}

std::shared_ptr<VDUNetwork> VDUNetwork::initWithReachabilityHost(const std::string& host) {
  auto network = std::make_shared<VDUNetwork>(Private{});
  network->reachability_ = VDUReachabilityChecker::initWithReachabilityDelegate(network, host);
  if (!network->reachability_ || !network->reachability_->start()) return nullptr;
  return network;
}

VDUNetwork::VDUNetwork(Private) {}

VDUNetwork::~VDUNetwork() {
  if (reachability_) {
    reachability_->setReachabilityDelegate({});
    reachability_->stop();
  }
}

std::optional<os::URLRequest> VDUNetwork::makeRequest(const std::optional<os::URL>& url,
                                                      const os::HTTPHeaders& headers) const {
  if (!url || url->absoluteString().empty()) return std::nullopt;
  double timeout = timeoutInterval();
  os::URLRequest request(*url, timeout == 0 ? kDefaultTimeout : timeout);
  request.setCachePolicy(os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.setAllHTTPHeaderFields(headers);
  return request;
}

std::optional<std::string> VDUNetwork::postURL(const std::optional<os::URL>& url,
                                               const os::HTTPHeaders& headers,
                                               const os::Data& payload,
                                               std::shared_ptr<os::DispatchQueue> queue,
                                               bool usingBackgroundSession,
                                               VDUNetworkCompletionHandler handler) {
  std::optional<os::URLRequest> request = makeRequest(url, headers);
  if (!request) {
    return handleErrorWithCode(kVDUErrorCodeNetworkInvalidURL, std::move(queue),
                               std::move(handler));
  }
  os::Error gzipError;
  std::optional<os::Data> body = VDUNSDataZlib::gul_dataByGzippingData(payload, &gzipError);
  if (!body) {
    if (!payload.empty()) {
      return handleErrorWithCode(kVDUErrorCodeNetworkPayloadCompression, std::move(queue),
                                 std::move(handler));
    }
    body.emplace();
  }
  request->setValue(std::to_string(body->size()), "Content-Length");
  request->setHTTPBody(std::move(*body));
  request->setHTTPMethod("POST");
  request->setValue("application/x-www-form-urlencoded", "Content-Type");
  request->setValue("gzip", "Content-Encoding");
  return send(*request, true, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> VDUNetwork::getURL(const std::optional<os::URL>& url,
                                              const os::HTTPHeaders& headers,
                                              std::shared_ptr<os::DispatchQueue> queue,
                                              bool usingBackgroundSession,
                                              VDUNetworkCompletionHandler handler) {
  std::optional<os::URLRequest> request = makeRequest(url, headers);
  if (!request) {
    return handleErrorWithCode(kVDUErrorCodeNetworkInvalidURL, std::move(queue),
                               std::move(handler));
  }
  request->setHTTPMethod("GET");
  return send(*request, false, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> VDUNetwork::send(const os::URLRequest& request, bool isPost,
                                            std::shared_ptr<os::DispatchQueue> queue,
                                            bool background, VDUNetworkCompletionHandler handler) {
  auto fetcher = VDUNetworkURLSession::create(weak_from_this());
  fetcher->setBackgroundNetworkEnabled(background);
  std::weak_ptr<VDUNetwork> weakSelf = weak_from_this();
  auto completion = [weakSelf, queue = orMain(queue), handler](
                        std::shared_ptr<const os::HTTPURLResponse> response,
                        std::optional<os::Data> data, const std::string& sessionID,
                        std::optional<os::Error> error) {
    if (weakSelf.expired()) return;
    queue->async([weakSelf, handler, response = std::move(response), data = std::move(data),
                  sessionID, error = std::move(error)] {
      auto self = weakSelf.lock();
      if (!self) return;
      if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
      if (handler) handler(response, data, error);
    });
  };
  // Filed before the task starts, so that its completion, however quick, finds the entry to
  // remove.
  requests_.setObject(fetcher, fetcher->sessionID());
  std::optional<std::string> sessionID =
      isPost ? fetcher->sessionIDFromAsyncPOSTRequest(request, completion)
             : fetcher->sessionIDFromAsyncGETRequest(request, completion);
  if (!sessionID) {
    requests_.removeObjectForKey(fetcher->sessionID());
    return handleErrorWithCode(kVDUErrorCodeNetworkInvalidRequest, std::move(queue),
                               std::move(handler));
  }
  VDUNetwork_logWithLevel(
      VDUNetworkLogLevel::Debug,
      isPost ? kVDUNetworkMessageCodeNetwork000 : kVDUNetworkMessageCodeNetwork001,
      isPost ? "Uploading data. Host" : "Downloading data. Host",
      os::Value(request.url().absoluteString()));
  return sessionID;
}

std::optional<std::string> VDUNetwork::handleErrorWithCode(int64_t code,
                                                           std::shared_ptr<os::DispatchQueue> queue,
                                                           VDUNetworkCompletionHandler handler) {
  os::Error error = VDUNetworkError(code, "Failed to create network request");
  VDUNetwork_logWithLevel(VDUNetworkLogLevel::Warning, kVDUNetworkMessageCodeNetwork002,
                          "Failed to create network request. Code, error",
                          std::vector<os::Value>{code, error.localizedDescription()});
  if (handler) {
    orMain(std::move(queue))->async([handler, error] { handler(nullptr, std::nullopt, error); });
  }
  return std::nullopt;
}

void VDUNetwork::reachability(VDUReachabilityChecker&, VDUReachabilityStatus status) {
  isNetworkConnected_.store(status == VDUReachabilityStatus::ViaWifi ||
                            status == VDUReachabilityStatus::ViaCellular);
  std::shared_ptr<VDUNetworkReachabilityDelegate> delegate;
  {
    os::MutexLock lock(mutex_);
    delegate = reachabilityDelegate_.lock();
  }
  if (delegate) delegate->reachabilityDidChange();
}

void VDUNetwork::setReachabilityDelegate(std::weak_ptr<VDUNetworkReachabilityDelegate> delegate) {
  os::MutexLock lock(mutex_);
  reachabilityDelegate_ = std::move(delegate);
}

void VDUNetwork::setLoggerDelegate(const std::shared_ptr<VDUNetworkLoggerDelegate>& delegate) {
  if (!delegate) {
    VDUNetwork_logWithLevel(VDUNetworkLogLevel::Error, kVDUNetworkMessageCodeNetwork002,
                            "Cannot set the network logger delegate: delegate does not conform to "
                            "the network logger protocol.");
    return;
  }
  os::MutexLock lock(mutex_);
  loggerDelegate_ = delegate;
}

std::shared_ptr<VDUNetworkLoggerDelegate> VDUNetwork::loggerDelegate() const {
  os::MutexLock lock(mutex_);
  return loggerDelegate_.lock();
}

void VDUNetwork::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                         const std::string& message,
                                         const std::vector<os::Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->VDUNetwork_logWithLevel(level, code, message, contexts);
    return;
  }
  bool shown = level == VDUNetworkLogLevel::Error || level == VDUNetworkLogLevel::Warning ||
               level == VDUNetworkLogLevel::Info ||
               (isDebugModeEnabled() && level == VDUNetworkLogLevel::Debug);
  if (!shown) return;
  std::string text = message.empty() ? "(Message was empty)" : message;
  std::string line = fmt::format("<{}/{}> {}", "Vedodo/Utilities/Network", levelName(level), text);
  if (!contexts.empty()) {
    line += ": ";
    for (size_t i = 0; i < contexts.size(); ++i) {
      if (i > 0) line += ", ";
      line += contexts[i].isNull() ? "(nil)" : contexts[i].description();
    }
  }
  os::log::console(line);
  VDULogWithLevel(static_cast<VDULoggerLevel>(level), "[VDUNetwork]", false,
                  fmt::format("I-NET{:06d}", code), line, nullptr);
}

void VDUNetwork::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                         const std::string& message, const os::Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->VDUNetwork_logWithLevel(level, code, message, context);
    return;
  }
  VDUNetwork_logWithLevel(
      level, code, message,
      context.isNull() ? std::vector<os::Value>{} : std::vector<os::Value>{context});
}

void VDUNetwork::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                         const std::string& message) {
  if (auto delegate = loggerDelegate()) {
    delegate->VDUNetwork_logWithLevel(level, code, message);
    return;
  }
  VDUNetwork_logWithLevel(level, code, message, std::vector<os::Value>{});
}
