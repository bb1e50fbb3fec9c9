#include "net/http_session_manager.h"

#include <fmt/format.h>

#include <utility>

#include "net/coding.h"
#include "net/response_object.h"
#include "net/security_policy.h"
#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

namespace {

constexpr const char* kClassName = "NKHTTPSessionManager";
constexpr const char* kBaseURLKey = "baseURL";
constexpr const char* kRequestSerializerKey = "requestSerializer";
constexpr const char* kResponseSerializerKey = "responseSerializer";
constexpr const char* kSecurityPolicyKey = "securityPolicy";

// `url` with "/" appended to a non-empty path that does not end in one (before the query and
// fragment), so that relative references resolve below its last segment.
std::optional<os::URL> withTrailingSlash(std::optional<os::URL> url) {
  if (!url || url->path().empty() || url->path().back() == '/') return url;
  std::string_view text = url->absoluteString();
  size_t pathEnd = text.size() - (url->query() ? 1 + url->query()->size() : 0) -
                   (url->fragment() ? 1 + url->fragment()->size() : 0);
  return os::URL::parse(std::string(text.substr(0, pathEnd)) + "/" +
                        std::string(text.substr(pathEnd)));
}

// The completion of a task: the failure block on an error, else the success block, each with
// the task that `task` holds once the task exists (it is made after its completion).
NKURLSessionManager::CompletionHandler completionFor(
    std::shared_ptr<NKHTTPSessionManager::Task> task, NKHTTPSessionManager::SuccessBlock success,
    NKHTTPSessionManager::FailureBlock failure) {
  return [task = std::move(task), success = std::move(success), failure = std::move(failure)](
             const NKURLSessionManager::Response&, const NKResponseObject& object,
             const std::optional<os::Error>& error) {
    // Taken out, so that the task and its blocks do not keep each other alive.
    NKHTTPSessionManager::Task finished = std::move(*task);
    if (error) {
      if (failure) failure(finished, *error);
    } else if (success) {
      success(finished, object);
    }
  };
}

// `task` resumed, when there is one.
NKHTTPSessionManager::Task resumed(NKHTTPSessionManager::Task task) {
  if (task) task->resume();
  return task;
}

}  // namespace

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::manager() {
  return std::make_shared<NKHTTPSessionManager>();
}

NKHTTPSessionManager::NKHTTPSessionManager(std::optional<os::URL> baseURL,
                                           std::optional<os::URLSessionConfiguration> configuration)
    : NKURLSessionManager(std::move(configuration)),
      baseURL_(withTrailingSlash(std::move(baseURL))),
      requestSerializer_(NKHTTPRequestSerializer::serializer()) {}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPSessionManager::requestSerializer() const {
  os::MutexLock lock(mutex_);
  return requestSerializer_;
}

void NKHTTPSessionManager::setRequestSerializer(
    std::shared_ptr<NKHTTPRequestSerializer> serializer) {
  os::MutexLock lock(mutex_);
  requestSerializer_ = std::move(serializer);
}

std::shared_ptr<NKHTTPResponseSerializer> NKHTTPSessionManager::responseSerializer() const {
  return std::dynamic_pointer_cast<NKHTTPResponseSerializer>(
      NKURLSessionManager::responseSerializer());
}

void NKHTTPSessionManager::setResponseSerializer(
    std::shared_ptr<NKHTTPResponseSerializer> serializer) {
  NKURLSessionManager::setResponseSerializer(std::move(serializer));
}

std::string NKHTTPSessionManager::description() const {
  return describe(kClassName,
                  fmt::format("baseURL: {}, ", baseURL_ ? baseURL_->absoluteString() : "(null)"));
}

std::string NKHTTPSessionManager::absoluteURLString(std::string_view URLString) const {
  std::optional<os::URL> url =
      baseURL_ ? os::URL::resolve(URLString, *baseURL_) : os::URL::parse(URLString);
  return url ? url->absoluteString() : std::string(URLString);
}

void NKHTTPSessionManager::reportSerializationFailure(FailureBlock failure, os::Error error) const {
  if (!failure) return;
  std::shared_ptr<os::DispatchQueue> queue = completionQueue();
  if (!queue) queue = os::DispatchQueue::main();
  queue->async(
      [failure = std::move(failure), error = std::move(error)] { failure(nullptr, error); });
}

NKHTTPSessionManager::Task NKHTTPSessionManager::dataTaskWithHTTPMethod(
    std::string method, std::string_view URLString, const std::optional<NKParameters>& parameters,
    ProgressBlock uploadProgress, ProgressBlock downloadProgress, SuccessBlock success,
    FailureBlock failure) {
  os::Error error;
  std::optional<os::URLRequest> request = requestSerializer()->requestWithMethod(
      std::move(method), absoluteURLString(URLString), parameters, &error);
  if (!request) {
    reportSerializationFailure(std::move(failure), std::move(error));
    return nullptr;
  }
  auto task = std::make_shared<Task>();
  *task = dataTaskWithRequest(*request, std::move(uploadProgress), std::move(downloadProgress),
                              completionFor(task, std::move(success), std::move(failure)));
  return *task;
}

NKHTTPSessionManager::Task NKHTTPSessionManager::GET(std::string_view URLString,
                                                     const std::optional<NKParameters>& parameters,
                                                     SuccessBlock success, FailureBlock failure) {
  return GET(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::GET(std::string_view URLString,
                                                     const std::optional<NKParameters>& parameters,
                                                     ProgressBlock downloadProgress,
                                                     SuccessBlock success, FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("GET", URLString, parameters, nullptr,
                                        std::move(downloadProgress), std::move(success),
                                        std::move(failure)));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::HEAD(std::string_view URLString,
                                                      const std::optional<NKParameters>& parameters,
                                                      HEADSuccessBlock success,
                                                      FailureBlock failure) {
  SuccessBlock withoutObject;
  if (success) {
    withoutObject = [success = std::move(success)](const Task& task, const NKResponseObject&) {
      success(task);
    };
  }
  return resumed(dataTaskWithHTTPMethod("HEAD", URLString, parameters, nullptr, nullptr,
                                        std::move(withoutObject), std::move(failure)));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::POST(std::string_view URLString,
                                                      const std::optional<NKParameters>& parameters,
                                                      SuccessBlock success, FailureBlock failure) {
  return POST(URLString, parameters, ProgressBlock(), std::move(success), std::move(failure));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::POST(std::string_view URLString,
                                                      const std::optional<NKParameters>& parameters,
                                                      ProgressBlock uploadProgress,
                                                      SuccessBlock success, FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("POST", URLString, parameters, std::move(uploadProgress),
                                        nullptr, std::move(success), std::move(failure)));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::POST(std::string_view URLString,
                                                      const std::optional<NKParameters>& parameters,
                                                      ConstructingBodyBlock constructingBody,
                                                      SuccessBlock success, FailureBlock failure) {
  return POST(URLString, parameters, std::move(constructingBody), ProgressBlock(),
              std::move(success), std::move(failure));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::POST(std::string_view URLString,
                                                      const std::optional<NKParameters>& parameters,
                                                      ConstructingBodyBlock constructingBody,
                                                      ProgressBlock uploadProgress,
                                                      SuccessBlock success, FailureBlock failure) {
  os::Error error;
  std::optional<os::URLRequest> request = requestSerializer()->multipartFormRequestWithMethod(
      "POST", absoluteURLString(URLString), parameters, constructingBody, &error);
  if (!request) {
    reportSerializationFailure(std::move(failure), std::move(error));
    return nullptr;
  }
  auto task = std::make_shared<Task>();
  *task =
      uploadTaskWithStreamedRequest(*request, std::move(uploadProgress),
                                    completionFor(task, std::move(success), std::move(failure)));
  return resumed(*task);
}

NKHTTPSessionManager::Task NKHTTPSessionManager::PUT(std::string_view URLString,
                                                     const std::optional<NKParameters>& parameters,
                                                     SuccessBlock success, FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("PUT", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::PATCH(
    std::string_view URLString, const std::optional<NKParameters>& parameters, SuccessBlock success,
    FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("PATCH", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

NKHTTPSessionManager::Task NKHTTPSessionManager::DELETE(
    std::string_view URLString, const std::optional<NKParameters>& parameters, SuccessBlock success,
    FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("DELETE", URLString, parameters, nullptr, nullptr,
                                        std::move(success), std::move(failure)));
}

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::copy() const {
  auto copied = std::make_shared<NKHTTPSessionManager>(baseURL_, sessionConfiguration());
  copied->setRequestSerializer(requestSerializer()->copy());
  if (auto serializer = NKURLSessionManager::responseSerializer()) {
    copied->NKURLSessionManager::setResponseSerializer(serializer->copy());
  }
  if (auto policy = securityPolicy()) copied->setSecurityPolicy(policy->copy());
  return copied;
}

os::Value NKHTTPSessionManager::encode() const {
  os::Dictionary coded{
      {kNKCodedClassKey, kClassName},
      {kNKSessionConfigurationKey, NKEncodeSessionConfiguration(sessionConfiguration())},
      {kRequestSerializerKey, requestSerializer()->encode()},
  };
  if (baseURL_) coded.emplace(kBaseURLKey, baseURL_->absoluteString());
  if (auto serializer = responseSerializer()) {
    coded.emplace(kResponseSerializerKey, NKEncodeResponseSerializer(*serializer));
  }
  if (auto policy = securityPolicy()) coded.emplace(kSecurityPolicyKey, policy->encode());
  return coded;
}

std::shared_ptr<NKHTTPSessionManager> NKHTTPSessionManager::decode(const os::Value& coded,
                                                                   os::Error* error) {
  const os::Dictionary* entries = NKCodedObject(coded, kClassName);
  if (!entries) {
    os::fail(error, NKCoderReadCorruptError("Not a coded HTTP session manager."));
    return nullptr;
  }
  std::optional<os::URL> baseURL;
  const os::Value& codedURL = coded[kBaseURLKey];
  if (!codedURL.isNull()) {
    const std::string* text = codedURL.asString();
    if (text) baseURL = os::URL::parse(*text);
    if (!baseURL) {
      os::fail(error, NKCoderReadCorruptError("A coded HTTP session manager holds no base URL "
                                              "under \"baseURL\"."));
      return nullptr;
    }
  }
  std::optional<os::URLSessionConfiguration> configuration;
  if (!NKDecodeManagerConfiguration(*entries, &configuration, error)) return nullptr;
  // The parts are read before the manager is made, so that a bad part makes no session.
  std::shared_ptr<NKHTTPRequestSerializer> requestSerializer;
  std::shared_ptr<NKHTTPResponseSerializer> responseSerializer;
  std::shared_ptr<NKSecurityPolicy> policy;
  if (entries->count(kRequestSerializerKey) > 0 &&
      !(requestSerializer = NKHTTPRequestSerializer::decode(coded[kRequestSerializerKey], error))) {
    return nullptr;
  }
  if (entries->count(kResponseSerializerKey) > 0 &&
      !(responseSerializer = NKDecodeResponseSerializer(coded[kResponseSerializerKey], error))) {
    return nullptr;
  }
  if (entries->count(kSecurityPolicyKey) > 0 &&
      !(policy = NKSecurityPolicy::decode(coded[kSecurityPolicyKey], error))) {
    return nullptr;
  }
  auto manager =
      std::make_shared<NKHTTPSessionManager>(std::move(baseURL), std::move(configuration));
  if (requestSerializer) manager->setRequestSerializer(std::move(requestSerializer));
  if (responseSerializer) manager->setResponseSerializer(std::move(responseSerializer));
  if (policy) manager->setSecurityPolicy(std::move(policy));
  return manager;
}
