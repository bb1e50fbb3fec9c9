// urlsession_client: our side of urlsession_bench's comparisons, a program that links only the
// URL session, as curl links only libcurl, so that its time and memory are the session's.
//
//   urlsession_client discard <url>                  a data task whose delegate drops the bytes
//   urlsession_client file <url> <destination>       a download task moved to <destination>
//   urlsession_client resume <url> <resume data file> <destination>
//                                                    a download going on from resume data
//   urlsession_client small <url> <count>            <count> data tasks at once on one session
//
// Exits with 0 when every transfer got its whole body, 1 when one did not, 2 for bad arguments.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/dispatch.h"
#include "os/net/urlsession.h"

namespace {

namespace fs = std::filesystem;

// Counts what arrives and drops it, as curl -o /dev/null does; moves a download into place.
class Discarder : public os::URLSessionDelegate {
 public:
  void didReceiveData(const std::shared_ptr<os::URLSession>&,
                      const std::shared_ptr<os::URLSessionDataTask>&,
                      const os::Data& data) override {
    received += data.size();
  }
  void didFinishDownloading(const std::shared_ptr<os::URLSession>&,
                            const std::shared_ptr<os::URLSessionDownloadTask>&,
                            const os::URL& location) override {
    std::error_code error;
    fs::rename(location.filePath(), destination, error);
    moved = !error;
  }
  void didCompleteWithError(const std::shared_ptr<os::URLSession>&,
                            const std::shared_ptr<os::URLSessionTask>& task,
                            const std::optional<os::Error>& error) override {
    auto response = std::dynamic_pointer_cast<const os::HTTPURLResponse>(task->response());
    ok = !error && response && response->statusCode() == expectedStatus;
    done.signal();
  }

  fs::path destination;
  // 206 for a resumed download: the server sent only the rest.
  int expectedStatus = 200;
  uint64_t received = 0;  // delegate queue
  bool moved = false;
  bool ok = false;
  os::DispatchSemaphore done;
};

// Runs `task` of a session whose delegate is `delegate` to its end.
bool run(const std::shared_ptr<Discarder>& delegate,
         const std::function<std::shared_ptr<os::URLSessionTask>(os::URLSession&)>& make) {
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::defaultSessionConfiguration(), delegate);
  std::shared_ptr<os::URLSessionTask> task = make(*session);
  task->resume();
  delegate->done.wait();
  return delegate->ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const std::optional<os::URL> url = os::URL::parse(argv[2]);
  if (!url) return 2;
  const os::URLRequest request(*url);
  auto delegate = std::make_shared<Discarder>();
  if (mode == "discard") {
    std::shared_ptr<os::URLSessionTask> task;
    bool ok = run(delegate, [&](os::URLSession& session) {
      return task = session.dataTaskWithRequest(request);
    });
    return ok && int64_t(delegate->received) == task->countOfBytesExpectedToReceive() ? 0 : 1;
  }
  if (mode == "file" && argc == 4) {
    delegate->destination = argv[3];
    bool ok = run(delegate, [&](os::URLSession& session) {
      return session.downloadTaskWithRequest(request);
    });
    return ok && delegate->moved ? 0 : 1;
  }
  if (mode == "resume" && argc == 5) {
    // The address is the one the resume data holds; argv[2] only names it for the reader.
    std::ifstream in(argv[3], std::ios::binary);
    const os::Data resumeData{std::istreambuf_iterator<char>(in), {}};
    delegate->destination = argv[4];
    delegate->expectedStatus = 206;
    bool ok = run(delegate, [&](os::URLSession& session) {
      return session.downloadTaskWithResumeData(resumeData);
    });
    return ok && delegate->moved ? 0 : 1;
  }
  if (mode == "small" && argc == 4) {
    const int count = std::atoi(argv[3]);
    auto session = os::URLSession::sessionWithConfiguration(
        os::URLSessionConfiguration::defaultSessionConfiguration());
    os::DispatchSemaphore done;
    std::atomic<int> failures{0};
    for (int i = 0; i < count; ++i) {
      session
          ->dataTaskWithRequest(request,
                                [&](const std::optional<os::Data>& data,
                                    const std::shared_ptr<const os::URLResponse>&,
                                    const std::optional<os::Error>& error) {
                                  if (error || !data) ++failures;
                                  done.signal();
                                })
          ->resume();
    }
    for (int i = 0; i < count; ++i) done.wait();
    return failures == 0 ? 0 : 1;
  }
  return 2;
}
