#include "tools/analytics/experiment_server.h"

#include <google/protobuf/util/json_util.h>

#include <utility>

#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "os/files/files.h"
#include "tools/analytics/gzip_codec.h"

namespace tools {
namespace {

// Bytes that are no ExperimentResponse: field 1 announces five bytes of which one follows.
constexpr std::string_view kNotAMessage = "\x0a\x05\x01";

}  // namespace

ExperimentServer::ExperimentServer() : ExperimentServer(Options{}) {}

ExperimentServer::ExperimentServer(Options options)
    : stand_({.hostNames = {kHost},
              .endpoints = {kEndpoint},
              .replyBodies = true,
              .logPath = std::move(options.logPath)}) {
  setResponse({});
  stand_.http().on("POST", kPath,
                   [this](const httplib::Request& request, httplib::Response& response) {
                     fetch(request, response);
                   });
}

const std::string& ExperimentServer::gzipBomb() {
  static const std::string bomb = gzipOfZeros(kBombInflatedBytes);
  return bomb;
}

void ExperimentServer::setResponse(std::string response) {
  std::string gzipped = gzip(response);
  os::MutexLock lock(mutex_);
  gzippedResponse_ = std::move(gzipped);
}

void ExperimentServer::fetch(const httplib::Request& request, httplib::Response& response) {
  std::string problem;
  std::optional<std::string> body = inflatedPostBody(request, &problem);
  if (!body) return stand_.refuse(request, response, problem);
  tessaro::measurement::ExperimentRequest decoded;
  if (!decoded.ParseFromString(*body)) {
    return stand_.refuse(request, response, "the body is not an ExperimentRequest");
  }
  std::string requestJSON;
  google::protobuf::util::JsonPrintOptions printOptions;
  printOptions.preserve_proto_field_names = true;
  (void)google::protobuf::util::MessageToJsonString(decoded, &requestJSON, printOptions);

  const ScriptedFault fault = stand_.takeFault(kEndpoint);
  NormalReply reply{.contentType = "application/x-protobuf"};
  switch (fault.body) {
    case ReplyBody::Normal: {
      os::MutexLock lock(mutex_);
      reply.body = gzippedResponse_;
      break;
    }
    case ReplyBody::NotGzip:
      reply.body = "this reply is not gzip-compressed";
      break;
    case ReplyBody::GzipOfGarbage:
      reply.body = gzip(kNotAMessage);
      break;
    case ReplyBody::GzipBomb:
      reply.body = gzipBomb();
      break;
  }
  if (fault.contentEncoding) reply.headers.emplace("Content-Encoding", "gzip");
  const int status = stand_.answer(fault, request, response, std::move(reply));
  stand_.log({{"type", "request"},
              {"status", status},
              {"request", nlohmann::json::parse(requestJSON, nullptr, false)}});
}

bool ExperimentServer::applyCommand(std::string_view command, std::string* problem) {
  constexpr std::string_view kResponse = "response ";
  if (!command.starts_with(kResponse)) return stand_.applyCommand(command, problem);
  std::optional<std::string> contents =
      os::files::readFile(std::string(command.substr(kResponse.size())), nullptr);
  if (!contents) {
    if (problem) *problem = "usage: response <readable file>";
    return false;
  }
  setResponse(std::move(*contents));
  return true;
}

}  // namespace tools
