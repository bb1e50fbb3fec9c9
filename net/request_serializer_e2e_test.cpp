// Requests built by the serializers, sent by a real URL session to servers on 127.0.0.1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "net/request_serializer.h"
#include "os/crypto/crypto.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"
#include "os/value/json.h"
#include "testsupport/local_http_server.h"
#include "testsupport/memory.h"
#include "testsupport/random.h"
#include "testsupport/sandbox.h"

namespace {

using ::testing::HasSubstr;

struct Outcome {
  std::optional<os::Data> data;
  std::shared_ptr<const os::URLResponse> response;
  std::optional<os::Error> error;
  int64_t bytesSent = 0;
};

// Sends `request` as a data task of a fresh session and waits for its completion.
Outcome send(const os::URLRequest& request) {
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::ephemeralSessionConfiguration());
  auto promise = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> future = promise->get_future();
  auto task = session->dataTaskWithRequest(
      request, [promise](const std::optional<os::Data>& data,
                         const std::shared_ptr<const os::URLResponse>& response,
                         const std::optional<os::Error>& error) {
        promise->set_value({data, response, error});
      });
  task->resume();
  Outcome outcome;
  if (future.wait_for(std::chrono::seconds(120)) == std::future_status::ready) {
    outcome = future.get();
  } else {
    ADD_FAILURE() << "the request did not complete";
    task->cancel();
  }
  outcome.bytesSent = task->countOfBytesSent();
  session->finishTasksAndInvalidate();
  return outcome;
}

int statusOf(const Outcome& outcome) {
  auto http = std::dynamic_pointer_cast<const os::HTTPURLResponse>(outcome.response);
  return http ? http->statusCode() : 0;
}

class RequestSerializerEndToEnd : public ::testing::Test {
 protected:
  testsupport::Sandbox sandbox_;
  testsupport::LocalHttpServer server_;
};

TEST_F(RequestSerializerEndToEnd, NestedParametersArriveAsTheSortedEscapedTarget) {
  server_.respond("GET", "/search", 200, "");
  auto serializer = NKHTTPRequestSerializer::serializer();
  std::optional<os::URLRequest> request = serializer->requestWithMethod(
      "GET", server_.url("/search"),
      NKParameters::Dictionary{
          {"b", 1},
          {"a", os::Dictionary{{"y", 2}, {"x", os::Array{3, 4}}}},
          {"tags", NKParameters::set({"red", "blue"})},
          // "?" stays unescaped too, but the test server refuses it inside a query.
          {"q", "ä & ü/"}},
      nullptr);
  ASSERT_TRUE(request);
  Outcome outcome = send(*request);
  ASSERT_FALSE(outcome.error) << outcome.error->description;
  ASSERT_EQ(statusOf(outcome), 200) << request->url().absoluteString();
  ASSERT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(server_.requests()[0].target,
            "/search?a%5Bx%5D%5B%5D=3&a%5Bx%5D%5B%5D=4&a%5By%5D=2&b=1&q=%C3%A4%20%26%20%C3%BC/"
            "&tags=blue&tags=red");
}

TEST_F(RequestSerializerEndToEnd, FormAndJSONBodiesArriveAndRequestHeadersWin) {
  server_.respond("POST", "/form", 204, "");
  server_.respond("POST", "/json", 204, "");
  auto form = NKHTTPRequestSerializer::serializer();
  auto json = NKJSONRequestSerializer::serializer();
  const os::Value parameters = os::Dictionary{{"name", "Grüße"},
                                              {"list", os::Array{1, true, nullptr}},
                                              {"nested", os::Dictionary{{"k", 0.5}}}};

  Outcome formOutcome =
      send(*form->requestWithMethod("POST", server_.url("/form"), parameters, nullptr));
  ASSERT_FALSE(formOutcome.error);

  os::URLRequest own(*os::URL::parse(server_.url("/json")));
  own.setHTTPMethod("POST");
  own.setValue("Kestrova-Test/9", "User-Agent");
  Outcome jsonOutcome = send(*json->requestBySerializingRequest(own, parameters, nullptr));
  ASSERT_FALSE(jsonOutcome.error);

  ASSERT_EQ(server_.requestCount(), 2u);
  testsupport::RecordedRequest formRequest = server_.requests()[0];
  EXPECT_EQ(formRequest.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(formRequest.body,
            "list%5B%5D=1&list%5B%5D=1&list%5B%5D&name=Gr%C3%BC%C3%9Fe&nested%5Bk%5D=0.5");
  EXPECT_EQ(formRequest.header("User-Agent"), *form->valueForHTTPHeaderField("User-Agent"));
  EXPECT_EQ(formRequest.header("Accept-Language"),
            *form->valueForHTTPHeaderField("Accept-Language"));

  testsupport::RecordedRequest jsonRequest = server_.requests()[1];
  EXPECT_EQ(jsonRequest.header("Content-Type"), "application/json");
  EXPECT_EQ(os::json::parse(jsonRequest.body), parameters);
  EXPECT_EQ(jsonRequest.header("User-Agent"), "Kestrova-Test/9");
}

// Reads a file in pieces into a digest, so that the test itself holds no large buffer.
os::Data sha256OfFile(const std::filesystem::path& path) {
  os::crypto::Digest digest(os::crypto::Algorithm::SHA256);
  std::ifstream file(path, std::ios::binary);
  std::vector<char> piece(1 << 16);
  while (file.read(piece.data(), piece.size()) || file.gcount() > 0) {
    digest.update(std::string_view(piece.data(), static_cast<size_t>(file.gcount())));
  }
  return digest.finish();
}

// A server that takes multipart uploads apart as they stream in (httplib's content reader), so
// that the server's side of this process holds no whole body and the process's resident memory
// shows the client's.
class StreamingUploadServer {
 public:
  struct Upload {
    std::string contentLength;
    std::string fileName;
    uint64_t fileBytes = 0;
    os::Data fileSHA256;
    std::string note;
    // The closing boundary was found exactly at the end of Content-Length bytes.
    bool complete = false;
  };

  StreamingUploadServer() {
    server_.Post("/upload", [this](const httplib::Request& request, httplib::Response& response,
                                   const httplib::ContentReader& reader) {
      Upload upload;
      upload.contentLength = request.get_header_value("Content-Length");
      os::crypto::Digest digest(os::crypto::Algorithm::SHA256);
      std::string part;
      bool complete = reader(
          [&](const httplib::MultipartFormData& header) {
            part = header.name;
            if (part == "file") upload.fileName = header.filename;
            return true;
          },
          [&](const char* data, size_t length) {
            if (part == "file") {
              digest.update(std::string_view(data, length));
              upload.fileBytes += length;
            } else {
              upload.note.append(data, length);
            }
            return true;
          });
      upload.fileSHA256 = digest.finish();
      upload.complete = complete;
      response.status = complete ? 200 : 400;
      os::MutexLock lock(mutex_);
      uploads_.push_back(std::move(upload));
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~StreamingUploadServer() {
    server_.stop();
    thread_.join();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload"; }
  std::vector<Upload> uploads() {
    os::MutexLock lock(mutex_);
    return uploads_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  os::Mutex mutex_;
  std::vector<Upload> uploads_ OS_GUARDED_BY(mutex_);
};

TEST_F(RequestSerializerEndToEnd, ALargeFileUploadStreamsFromDiskWithAnExactLength) {
  constexpr size_t kFileSize = 20 << 20;
  const std::filesystem::path file = sandbox_.root() / "payload.bin";
  ASSERT_TRUE(testsupport::writeRandomFile(file, kFileSize));
  os::Data expectedSHA = sha256OfFile(file);
  StreamingUploadServer uploads;
  auto serializer = NKHTTPRequestSerializer::serializer();

  size_t baseline = testsupport::residentBytes();
  std::atomic<bool> sending{true};
  std::atomic<size_t> peak{baseline};
  std::thread sampler([&] {
    while (sending) {
      peak = std::max(peak.load(), testsupport::residentBytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  os::Error error;
  std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
      "POST", uploads.url(), os::Dictionary{{"note", "twenty"}},
      [&](NKMultipartFormData& form) {
        EXPECT_TRUE(form.appendPartWithFileURL(os::URL::fileURLWithPath(file), "file", &error));
      },
      &error);
  ASSERT_TRUE(request) << error.description;
  Outcome outcome = send(*request);
  sending = false;
  sampler.join();

  ASSERT_FALSE(outcome.error) << outcome.error->description;
  EXPECT_EQ(statusOf(outcome), 200);
  std::vector<StreamingUploadServer::Upload> received = uploads.uploads();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_TRUE(received[0].complete);
  EXPECT_EQ(received[0].fileName, "payload.bin");
  EXPECT_EQ(received[0].note, "twenty");
  EXPECT_EQ(received[0].fileBytes, kFileSize);
  EXPECT_EQ(received[0].fileSHA256, expectedSHA);
  // The server read exactly Content-Length bytes and found the closing boundary at their end,
  // and the client sent no more than that.
  std::string declared = *request->valueForHTTPHeaderField("Content-Length");
  EXPECT_EQ(received[0].contentLength, declared);
  EXPECT_EQ(std::to_string(outcome.bytesSent), declared);
  if (testsupport::residentMemoryIsMeaningful()) {
    EXPECT_LT(peak - baseline, size_t{8} << 20) << "the upload must not hold the file in memory";
  }
}

// Passes reads through to a body stream and remembers the largest one.
class ReadRecordingStream : public os::InputStream {
 public:
  explicit ReadRecordingStream(std::shared_ptr<os::InputStream> inner) : inner_(std::move(inner)) {}
  int64_t read(uint8_t* buffer, size_t capacity, os::Error* error) override {
    int64_t count = inner_->read(buffer, capacity, error);
    largest = std::max(largest.load(), count);
    return count;
  }
  std::atomic<int64_t> largest{0};

 private:
  std::shared_ptr<os::InputStream> inner_;
};

TEST_F(RequestSerializerEndToEnd, AThrottledUploadNeverReadsMoreThanAPacket) {
  StreamingUploadServer uploads;
  auto serializer = NKHTTPRequestSerializer::serializer();
  std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
      "POST", uploads.url(), std::nullopt,
      [](NKMultipartFormData& form) {
        form.appendPartWithFileData(os::Data(160 << 10, 'x'), "file", "x.bin",
                                    "application/octet-stream");
        form.throttleBandwidthWithPacketSize(16 << 10, 0.01);
      },
      nullptr);
  ASSERT_TRUE(request);
  auto recording = std::make_shared<ReadRecordingStream>(request->HTTPBodyStream());
  request->setHTTPBodyStream(recording);

  auto start = std::chrono::steady_clock::now();
  Outcome outcome = send(*request);
  auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_FALSE(outcome.error) << outcome.error->description;
  ASSERT_EQ(uploads.uploads().size(), 1u);
  EXPECT_EQ(uploads.uploads()[0].fileBytes, 160u << 10);
  EXPECT_LE(recording->largest, 16 << 10);
  // Ten full packets of the file alone, each followed by a 10 ms pause.
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

TEST_F(RequestSerializerEndToEnd, AStreamPartOfTheWrongLengthFailsTheUpload) {
  StreamingUploadServer uploads;
  auto serializer = NKHTTPRequestSerializer::serializer();
  for (size_t realLength : {1000, 3000}) {
    std::optional<os::URLRequest> request = serializer->multipartFormRequestWithMethod(
        "POST", uploads.url(), std::nullopt,
        [&](NKMultipartFormData& form) {
          form.appendPartWithInputStream(os::InputStream::withData(os::Data(realLength, 's')),
                                         "file", "s.bin", 2000, "application/octet-stream");
        },
        nullptr);
    ASSERT_TRUE(request);
    Outcome outcome = send(*request);
    ASSERT_TRUE(outcome.error) << "real length " << realLength;
    EXPECT_EQ(outcome.error->code, os::kURLErrorRequestBodyStreamExhausted);
    // The session keeps the stream's own reason beside its description.
    EXPECT_THAT(outcome.error->userInfo["NSDebugDescription"].stringValue().value_or(""),
                HasSubstr("multipart part"));
  }
  for (const StreamingUploadServer::Upload& upload : uploads.uploads()) {
    EXPECT_FALSE(upload.complete);
  }
}

}  // namespace
