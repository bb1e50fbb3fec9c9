// The request side of the HTTP client beside curl:
//  - a multipart upload of one large file (1 GiB by default) built by the request serializer and
//    sent by a URL session, against `curl -F f=@file` uploading the same file to the same
//    out-of-process server (bench::FileServer, which reads each upload and drops it). Both
//    clients run as child processes, so the time and peak memory are each client's own;
//  - encoding 10,000 query parameters into a query string, against a loop that escapes each key
//    and value with curl_easy_escape and joins them, both in this process.
//
//   net_request_bench                       # a 1 GiB file
//   net_request_bench --size_mib=256        # a smaller one, when disk or time is short
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "bench/data.h"
#include "bench/file_server.h"
#include "bench/harness.h"
#include "net/query_string.h"
#include "net/request_serializer.h"
#include "os/net/urlsession.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Each timed run encodes the parameters this many times, so that a run lasts long enough to time.
constexpr int kQueryRepeats = 20;

bool uploadWithSerializer(const std::string& file, const std::string& url) {
  auto serializer = NKHTTPRequestSerializer::serializer();
  os::Error error;
  std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
      "POST", url, std::nullopt,
      [&](NKMultipartFormData& form) {
        form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "f", &error);
      },
      &error);
  if (!request) return false;
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::ephemeralSessionConfiguration());
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  session
      ->dataTaskWithRequest(*request,
                            [done](const std::optional<os::Data>&,
                                   const std::shared_ptr<const os::URLResponse>& response,
                                   const std::optional<os::Error>& failure) {
                              auto http =
                                  std::dynamic_pointer_cast<const os::HTTPURLResponse>(response);
                              done->set_value(!failure && http && http->statusCode() == 200);
                            })
      ->resume();
  bool succeeded = result.get();
  session->finishTasksAndInvalidate();
  return succeeded;
}

constexpr int kQueryParameters = 10000;

std::vector<std::pair<std::string, std::string>> queryPairs() {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < kQueryParameters; ++i) {
    std::string number = std::to_string(i);
    pairs.emplace_back("key" + number, "value " + number + " & more/ü");
  }
  return pairs;
}

std::string queryStringOfCurl(CURL* curl,
                              const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string query;
  for (const auto& [key, value] : pairs) {
    char* escapedKey = curl_easy_escape(curl, key.data(), static_cast<int>(key.size()));
    char* escapedValue = curl_easy_escape(curl, value.data(), static_cast<int>(value.size()));
    if (!query.empty()) query += '&';
    query += escapedKey;
    query += '=';
    query += escapedValue;
    curl_free(escapedKey);
    curl_free(escapedValue);
  }
  return query;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--client=upload") == 0) {
    return uploadWithSerializer(argv[2], argv[3]) ? 0 : 1;
  }
  uint64_t sizeBytes = uint64_t{1024} << 20;
  auto harness = bench::Harness::fromArguments(argc, argv, {{"--size_mib=", &sizeBytes, 1 << 20}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  const std::string file = (sandbox.root() / "upload.bin").string();
  if (!bench::writePseudoRandomFile(file, sizeBytes)) return 1;
  bench::FileServer server(sandbox.root());
  if (!server.running()) return 1;
  const std::string url = server.url("/upload");

  harness->compare(
      {.path = "multipart upload of " + std::to_string(sizeBytes >> 20) + " MiB",
       .ours = {"serializer + session", {bench::self(), "--client=upload", file, url}},
       .reference = {"curl -F", {"curl", "-sf", "-o", "/dev/null", "-F", "f=@" + file, url}},
       .memory = true});

  const auto pairs = queryPairs();
  os::Dictionary dictionary;
  for (const auto& [key, value] : pairs) dictionary.emplace(key, value);
  const NKParameters parameters = os::Value(std::move(dictionary));
  CURL* curl = curl_easy_init();
  harness->compare({.path = std::to_string(kQueryRepeats) + " x 10,000 query parameters",
                    .ours = {"NKQueryStringFromParameters",
                             {},
                             [&] {
                               size_t length = 0;
                               for (int i = 0; i < kQueryRepeats; ++i) {
                                 length += NKQueryStringFromParameters(parameters).size();
                               }
                               return length > 0;
                             }},
                    .reference = {"curl_easy_escape loop", {}, [&] {
                                    size_t length = 0;
                                    for (int i = 0; i < kQueryRepeats; ++i) {
                                      length += queryStringOfCurl(curl, pairs).size();
                                    }
                                    return length > 0;
                                  }}});
  curl_easy_cleanup(curl);
  harness->printTable();
  return 0;
}
