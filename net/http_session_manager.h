// NKHTTPSessionManager is the HTTP layer over NKURLSessionManager: URL strings are resolved
// against a base URL, turned into requests by its request serializer (parameters in the query or
// the body), and each HTTP verb starts a data task whose outcome goes to a success or a failure
// block.
//
//   auto api =
//   std::make_shared<NKHTTPSessionManager>(os::URL::parse("https://api.example.test/v1"));
//   api->GET("items", os::Dictionary{{"page", 2}},   // GET
//   https://api.example.test/v1/items?page=2
//            [](const auto& task, const NKResponseObject& object) { show(*object.value()); },
//            [](const auto& task, const os::Error& error) { report(error); });
//
// The base URL gains a trailing "/" when its path has none, so "items" lands below "/v1/" rather
// than replacing "v1"; a URL string that is absolute (or starts with "/") is resolved as RFC 3986
// says. Without a base URL the URL string must be absolute.
//
// Blocks. Success and failure run where the session manager runs completions (its completion
// queue, the main queue unless set), exactly one of them per task. A request that cannot be made
// (a URL string that is no URL, parameters the serializer refuses) starts no task: the verb
// returns nullptr and the failure block gets a null task and the serializer's error, later, on
// that same queue. Transport errors (os::kURLErrorDomain, -999 when the security policy refused
// the server) and response-serializer errors reach the failure block with the task.
//
// Threads and lifetime: as NKURLSessionManager (create managers with std::make_shared). The
// serializers and the policy are shared by the manager's tasks: configure them before use, or
// set new ones.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/multipart_form_data.h"
#include "net/query_string.h"
#include "net/request_serializer.h"
#include "net/response_serialization.h"
#include "net/session_manager.h"
#include "os/net/url.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"
#include "os/value/error.h"
#include "os/value/value.h"

class NKHTTPSessionManager : public NKURLSessionManager {
 public:
  using Task = std::shared_ptr<os::URLSessionDataTask>;
  // The task and what the response serializer made of its body.
  using SuccessBlock = std::function<void(const Task& task, const NKResponseObject& object)>;
  // HEAD has no body to serialize: the success block gets the task alone.
  using HEADSuccessBlock = std::function<void(const Task& task)>;
  // The task (nullptr when the request could not be made) and the error.
  using FailureBlock = std::function<void(const Task& task, const os::Error& error)>;
  // Appends the parts of a multipart body.
  using ConstructingBodyBlock = std::function<void(NKMultipartFormData& formData)>;

  // A new manager without base URL.
  static std::shared_ptr<NKHTTPSessionManager> manager();

  // A manager with a new session of `configuration` (the default configuration when nullopt),
  // the base URL `baseURL` (a "/" added to a path that does not end in one), the request
  // serializer NKHTTPRequestSerializer, the response serializer NKJSONResponseSerializer and the
  // default security policy.
  explicit NKHTTPSessionManager(
      std::optional<os::URL> baseURL = std::nullopt,
      std::optional<os::URLSessionConfiguration> configuration = std::nullopt);

  // The URL that relative URL strings are resolved against; nullopt for none.
  const std::optional<os::URL>& baseURL() const { return baseURL_; }

  // Builds every request; never null.
  std::shared_ptr<NKHTTPRequestSerializer> requestSerializer() const;
  void setRequestSerializer(std::shared_ptr<NKHTTPRequestSerializer> serializer);
  // The session manager's response serializer as an NKHTTPResponseSerializer, which an HTTP
  // manager's always is unless another kind was set through NKURLSessionManager (then nullptr).
  std::shared_ptr<NKHTTPResponseSerializer> responseSerializer() const;
  void setResponseSerializer(std::shared_ptr<NKHTTPResponseSerializer> serializer);

  // "<NKHTTPSessionManager: 0x..., baseURL: ..., session: <NSURLSession: 0x...>, operationQueue:
  // <NSOperationQueue: 0x...>{name = '...'}>"; "(null)" for no base URL.
  std::string description() const;

  // --- verbs: each returns its task already resumed, or nullptr when the request could not be
  // made (see above). Null blocks are skipped. ---

  Task GET(std::string_view URLString, const std::optional<NKParameters>& parameters,
           SuccessBlock success, FailureBlock failure);
  // With the download progress of the task (on the session's transfer thread).
  Task GET(std::string_view URLString, const std::optional<NKParameters>& parameters,
           ProgressBlock downloadProgress, SuccessBlock success, FailureBlock failure);
  Task HEAD(std::string_view URLString, const std::optional<NKParameters>& parameters,
            HEADSuccessBlock success, FailureBlock failure);
  Task POST(std::string_view URLString, const std::optional<NKParameters>& parameters,
            SuccessBlock success, FailureBlock failure);
  // With the upload progress of the task.
  Task POST(std::string_view URLString, const std::optional<NKParameters>& parameters,
            ProgressBlock uploadProgress, SuccessBlock success, FailureBlock failure);
  // A multipart/form-data POST (NKHTTPRequestSerializer::multipartFormRequestWithMethod): a
  // field for each parameter, then the parts `constructingBody` appends; the body is streamed.
  Task POST(std::string_view URLString, const std::optional<NKParameters>& parameters,
            ConstructingBodyBlock constructingBody, SuccessBlock success, FailureBlock failure);
  Task POST(std::string_view URLString, const std::optional<NKParameters>& parameters,
            ConstructingBodyBlock constructingBody, ProgressBlock uploadProgress,
            SuccessBlock success, FailureBlock failure);
  Task PUT(std::string_view URLString, const std::optional<NKParameters>& parameters,
           SuccessBlock success, FailureBlock failure);
  Task PATCH(std::string_view URLString, const std::optional<NKParameters>& parameters,
             SuccessBlock success, FailureBlock failure);
  // The parameters go into the URL's query, as for GET (the request serializer's default).
  Task DELETE(std::string_view URLString, const std::optional<NKParameters>& parameters,
              SuccessBlock success, FailureBlock failure);

  // What the verbs other than the multipart POST do, without resuming the task: a data task for
  // `method` (sent as given), the URL string resolved against the base URL, and `parameters`.
  Task dataTaskWithHTTPMethod(std::string method, std::string_view URLString,
                              const std::optional<NKParameters>& parameters,
                              ProgressBlock uploadProgress, ProgressBlock downloadProgress,
                              SuccessBlock success, FailureBlock failure);

  // --- copying and coding ---
  // A new manager with the base URL, a session of the same configuration, and copies of the
  // request serializer, the response serializer and the security policy.
  std::shared_ptr<NKHTTPSessionManager> copy() const;
  // The manager's keyed form as a property-list dictionary: "$class" ("NKHTTPSessionManager"),
  // "baseURL" (its absolute string, absent without one), "sessionConfiguration"
  // (NKEncodeSessionConfiguration), "requestSerializer" (NKHTTPRequestSerializer::encode),
  // "responseSerializer" (NKEncodeResponseSerializer) and "securityPolicy"
  // (NKSecurityPolicy::encode), each of the last three absent when not set or not codable.
  os::Value encode() const;
  // A new manager made from the coded base URL and configuration (a background configuration
  // keeps its identifier), then given the coded serializers and policy; what is absent keeps
  // the new manager's default. nullptr with an error (os::kCocoaErrorDomain,
  // kNKCoderReadCorruptError, or the error of a coded part) when `coded` is no coded manager or
  // a part cannot be read.
  static std::shared_ptr<NKHTTPSessionManager> decode(const os::Value& coded, os::Error* error);

 private:
  // The absolute string of `URLString` resolved against the base URL; `URLString` itself when
  // it cannot be resolved, for the serializer to refuse with its own error.
  std::string absoluteURLString(std::string_view URLString) const;
  // Calls `failure` with no task and `error` later on the completion queue.
  void reportSerializationFailure(FailureBlock failure, os::Error error) const;

  const std::optional<os::URL> baseURL_;
  mutable os::Mutex mutex_;
  std::shared_ptr<NKHTTPRequestSerializer> requestSerializer_ OS_GUARDED_BY(mutex_);
};
