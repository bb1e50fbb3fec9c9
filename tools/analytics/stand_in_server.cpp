#include "tools/analytics/stand_in_server.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "tools/analytics/gzip_codec.h"

namespace tools {
namespace {

// The body announced by a reply cut mid-response that has none of its own, so that there is a
// half to send.
constexpr std::string_view kPlaceholderBody = "the rest of this reply never arrives";

std::vector<std::string_view> splitWords(std::string_view text) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(" \t\r", start)) != std::string_view::npos) {
    size_t end = std::min(text.find_first_of(" \t\r", start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

std::optional<uint64_t> number(std::string_view text) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool refuseWith(std::string* problem, std::string why) {
  if (problem) *problem = std::move(why);
  return false;
}

}  // namespace

std::optional<ScriptedFault> parseFault(std::string_view words, bool replyBodies,
                                        std::string* problem) {
  static const std::map<std::string_view, Cut> kCuts = {{"request", Cut::AfterRequest},
                                                        {"response", Cut::MidResponse}};
  static const std::map<std::string_view, ReplyBody> kBodies = {
      {"not-gzip", ReplyBody::NotGzip},
      {"garbage", ReplyBody::GzipOfGarbage},
      {"bomb", ReplyBody::GzipBomb}};
  ScriptedFault fault;
  for (std::string_view word : splitWords(words)) {
    std::string_view name = word.substr(0, word.find('='));
    std::string_view value =
        name.size() < word.size() ? word.substr(name.size() + 1) : std::string_view();
    bool known = false;
    if (name == "status" && number(value)) {
      fault.status = static_cast<int>(*number(value));
      known = fault.status >= 100 && fault.status <= 599;
    } else if (name == "delay-ms" && number(value)) {
      fault.delay = std::chrono::milliseconds(*number(value));
      known = true;
    } else if (word == "hold") {
      known = fault.hold = true;
    } else if (name == "cut" && kCuts.count(value)) {
      fault.cut = kCuts.at(value);
      known = true;
    } else if (replyBodies && name == "body" && kBodies.count(value)) {
      fault.body = kBodies.at(value);
      known = true;
    } else if (replyBodies && word == "content-encoding") {
      known = fault.contentEncoding = true;
    }
    if (!known) {
      refuseWith(problem, "unknown fault \"" + std::string(word) + "\"");
      return std::nullopt;
    }
  }
  return fault;
}

std::optional<std::string> inflatedPostBody(const httplib::Request& request, std::string* problem) {
  const std::string contentType = request.get_header_value("Content-Type");
  const std::string encoding = request.get_header_value("Content-Encoding");
  const std::string length = request.get_header_value("Content-Length");
  if (contentType != "application/x-www-form-urlencoded") {
    refuseWith(problem, "Content-Type is \"" + contentType + "\"");
  } else if (encoding != "gzip") {
    refuseWith(problem, "Content-Encoding is \"" + encoding + "\"");
  } else if (length != std::to_string(request.body.size())) {
    refuseWith(problem, "Content-Length is \"" + length + "\" for " +
                            std::to_string(request.body.size()) + " bytes");
  } else {
    return gunzip(request.body, kMaxInflatedRequestBytes, problem);
  }
  return std::nullopt;
}

StandInServer::StandInServer(Options options)
    : options_(std::move(options)),
      server_(std::make_unique<testsupport::LocalHttpServer>(testsupport::LocalHttpServer::Options{
          .tls = true, .hostNames = options_.hostNames, .keepRequestEncoding = true})) {
  if (!options_.logPath.empty()) {
    os::MutexLock lock(mutex_);
    logFile_ = std::fopen(options_.logPath.c_str(), "a");
    if (logFile_ == nullptr) {
      throw std::runtime_error("cannot open the log " + options_.logPath.string());
    }
  }
}

StandInServer::~StandInServer() {
  {
    os::MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  server_->stop();
  os::MutexLock lock(mutex_);
  if (logFile_ != nullptr) std::fclose(logFile_);
}

std::string StandInServer::connectTo() const {
  std::string joined;
  for (const std::string& host : options_.hostNames) {
    if (!joined.empty()) joined += ",";
    joined += host + ":443:127.0.0.1:" + std::to_string(server_->port());
  }
  return joined;
}

void StandInServer::appendFault(const std::string& endpoint, ScriptedFault fault) {
  os::MutexLock lock(mutex_);
  faults_[endpoint].push_back(fault);
}

ScriptedFault StandInServer::takeFault(const std::string& endpoint) {
  os::MutexLock lock(mutex_);
  std::deque<ScriptedFault>& queued = faults_[endpoint];
  if (queued.empty()) return {};
  ScriptedFault fault = queued.front();
  queued.pop_front();
  return fault;
}

int StandInServer::answer(const ScriptedFault& fault, const httplib::Request& request,
                          httplib::Response& response, NormalReply normal) {
  if (fault.delay.count() > 0 && !server_->pause(fault.delay)) return 0;
  if (fault.hold && !waitWhileHeld()) return 0;
  if (fault.cut == Cut::AfterRequest) {
    testsupport::LocalHttpServer::dropConnection(request);
    return 0;
  }
  if (fault.status != 0) {
    normal.status = fault.status;
    if (fault.status != 200) {
      normal.body.clear();
      normal.headers.clear();
    }
    if (fault.status == 303) normal.headers.emplace("Location", "/redirected");
  }
  response.status = normal.status;
  for (auto& [name, value] : normal.headers) response.headers.emplace(name, value);
  if (fault.cut == Cut::MidResponse) {
    auto body = std::make_shared<const std::string>(
        normal.body.empty() ? std::string(kPlaceholderBody) : normal.body);
    // Half of the announced body, then false: the library drops the connection.
    response.set_content_provider(body->size(), normal.contentType,
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset == 0) sink.write(body->data(), body->size() / 2);
                                    return false;
                                  });
  } else if (!normal.body.empty()) {
    response.set_content(normal.body, normal.contentType);
  }
  return normal.status;
}

void StandInServer::refuse(const httplib::Request& request, httplib::Response& response,
                           const std::string& reason) {
  response.status = 400;
  response.set_content(reason, "text/plain");
  log({{"type", "refused"}, {"path", request.path}, {"reason", reason}});
}

bool StandInServer::waitWhileHeld() {
  os::MutexLock lock(mutex_);
  const uint64_t releasesBefore = releases_;
  ++held_;
  changed_.notify_all();
  changed_.wait(lock,
                [&]() OS_REQUIRES(mutex_) { return stopping_ || releases_ != releasesBefore; });
  --held_;
  return !stopping_;
}

void StandInServer::release() {
  {
    os::MutexLock lock(mutex_);
    ++releases_;
  }
  changed_.notify_all();
}

size_t StandInServer::heldCount() const {
  os::MutexLock lock(mutex_);
  return held_;
}

bool StandInServer::waitForHeld(size_t count, std::chrono::milliseconds timeout) const {
  os::MutexLock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&]() OS_REQUIRES(mutex_) { return held_ >= count; });
}

void StandInServer::log(nlohmann::json line) {
  {
    os::MutexLock lock(mutex_);
    if (logFile_ != nullptr) {
      std::string text = line.dump() + "\n";
      std::fwrite(text.data(), 1, text.size(), logFile_);
      std::fflush(logFile_);
    }
    logged_.push_back(std::move(line));
  }
  changed_.notify_all();
}

std::vector<nlohmann::json> StandInServer::logged(std::string_view type) const {
  os::MutexLock lock(mutex_);
  std::vector<nlohmann::json> lines;
  for (const nlohmann::json& line : logged_) {
    if (type.empty() || line.value("type", "") == type) lines.push_back(line);
  }
  return lines;
}

size_t StandInServer::countLogged(std::string_view type) const {
  return static_cast<size_t>(std::count_if(logged_.begin(), logged_.end(), [&](const auto& line) {
    return type.empty() || line.value("type", "") == type;
  }));
}

bool StandInServer::waitForLogged(std::string_view type, size_t count,
                                  std::chrono::milliseconds timeout) const {
  os::MutexLock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&]() OS_REQUIRES(mutex_) { return countLogged(type) >= count; });
}

bool StandInServer::applyCommand(std::string_view command, std::string* problem) {
  std::vector<std::string_view> words = splitWords(command);
  if (words.size() == 1 && words[0] == "release") {
    release();
    return true;
  }
  if (words.empty() || std::find(options_.endpoints.begin(), options_.endpoints.end(), words[0]) ==
                           options_.endpoints.end()) {
    return refuseWith(problem, "unknown command \"" + std::string(command) + "\"");
  }
  std::string_view rest = command.substr(command.find(words[0]) + words[0].size());
  std::optional<ScriptedFault> fault = parseFault(rest, options_.replyBodies, problem);
  if (!fault) return false;
  appendFault(std::string(words[0]), *fault);
  return true;
}

void runCommands(FILE* input, FILE* output,
                 const std::function<bool(std::string_view, std::string*)>& apply) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, input)) >= 0) {
    std::string_view command(line, static_cast<size_t>(length));
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
      command.remove_suffix(1);
    }
    size_t first = command.find_first_not_of(" \t");
    if (first == std::string_view::npos || command[first] == '#') continue;
    std::string problem;
    if (apply(command, &problem)) {
      std::fprintf(output, "ok\n");
    } else {
      std::fprintf(output, "error: %s\n", problem.c_str());
    }
    std::fflush(output);
  }
  std::free(line);
}

}  // namespace tools
