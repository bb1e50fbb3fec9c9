#include "tools/analytics/measurement_collector.h"

#include <ctime>
#include <sstream>
#include <utility>

#include "measurement/wire/schema/cpp/upload.pb.h"
#include "os/files/files.h"

namespace tools {
namespace {

using nlohmann::json;
namespace wire = tessaro::measurement;

constexpr const char* kUploadPath = "/a";
constexpr const char* kConfigurationPrefix = "/config/app/";

const char* endpointName(CollectorEndpoint endpoint) {
  return endpoint == CollectorEndpoint::Upload ? "upload" : "config";
}

// A parameter's value: its one typed field, or its items, each an object of their own
// parameters; null when it has none.
json parameterValue(const wire::EventParam& parameter);

json parameters(const google::protobuf::RepeatedPtrField<wire::EventParam>& list) {
  json object = json::object();
  for (const wire::EventParam& parameter : list)
    object[parameter.name()] = parameterValue(parameter);
  return object;
}

json parameterValue(const wire::EventParam& parameter) {
  if (parameter.has_string_value()) return parameter.string_value();
  if (parameter.has_int_value()) return parameter.int_value();
  if (parameter.has_float_value()) return parameter.float_value();
  if (parameter.has_double_value()) return parameter.double_value();
  if (parameter.param_value_size() > 0) {
    json items = json::array();
    for (const wire::EventParam& item : parameter.param_value()) {
      items.push_back(parameters(item.param_value()));
    }
    return items;
  }
  return nullptr;
}

json userPropertyValue(const wire::UserAttribute& property) {
  if (property.has_string_value()) return property.string_value();
  if (property.has_int_value()) return property.int_value();
  if (property.has_float_value()) return property.float_value();
  if (property.has_double_value()) return property.double_value();
  return nullptr;
}

json bundleLine(const wire::MeasurementBundle& bundle) {
  json line = {{"type", "bundle"}};
  if (bundle.has_app_id()) line["app_id"] = bundle.app_id();
  if (bundle.has_bundle_sequential_index()) line["index"] = bundle.bundle_sequential_index();
  if (bundle.has_retry_count()) line["retry_count"] = bundle.retry_count();
  if (bundle.has_upload_timestamp_millis()) line["upload_ms"] = bundle.upload_timestamp_millis();
  if (bundle.has_start_timestamp_millis()) line["start_ms"] = bundle.start_timestamp_millis();
  if (bundle.has_end_timestamp_millis()) line["end_ms"] = bundle.end_timestamp_millis();
  if (bundle.has_app_instance_id()) line["app_instance_id"] = bundle.app_instance_id();
  if (bundle.has_ephemeral_app_instance_id()) {
    line["ephemeral_app_instance_id"] = bundle.ephemeral_app_instance_id();
  }
  if (bundle.has_consent_signals()) line["consent_signals"] = bundle.consent_signals();
  if (bundle.experiment_ids_size() > 0) {
    line["experiment_ids"] =
        std::vector<uint32_t>(bundle.experiment_ids().begin(), bundle.experiment_ids().end());
  }
  json events = json::array();
  for (const wire::Event& event : bundle.events()) {
    json entry = {{"name", event.name()}, {"params", parameters(event.params())}};
    if (event.has_timestamp_millis()) entry["timestamp_ms"] = event.timestamp_millis();
    if (event.has_previous_timestamp_millis()) {
      entry["previous_timestamp_ms"] = event.previous_timestamp_millis();
    }
    events.push_back(std::move(entry));
  }
  line["events"] = std::move(events);
  json properties = json::array();
  for (const wire::UserAttribute& property : bundle.user_attributes()) {
    json entry = {{"name", property.name()}, {"value", userPropertyValue(property)}};
    if (property.has_set_timestamp_millis()) entry["set_ms"] = property.set_timestamp_millis();
    properties.push_back(std::move(entry));
  }
  line["user_properties"] = std::move(properties);
  return line;
}

// `time` as an HTTP date ("Tue, 15 Nov 1994 08:12:31 GMT").
std::string httpDate(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

}  // namespace

MeasurementCollector::MeasurementCollector() : MeasurementCollector(Options{}) {}

MeasurementCollector::MeasurementCollector(Options options)
    : stand_({.hostNames = {kHost, kTrackingAuthorizedHost},
              .endpoints = {endpointName(CollectorEndpoint::Upload),
                            endpointName(CollectorEndpoint::Configuration)},
              .logPath = std::move(options.logPath)}) {
  stand_.http().on("POST", kUploadPath,
                   [this](const httplib::Request& request, httplib::Response& response) {
                     upload(request, response);
                   });
  stand_.http().on("GET", std::string(kConfigurationPrefix) + "*",
                   [this](const httplib::Request& request, httplib::Response& response) {
                     configuration(request, response);
                   });
}

ConfigurationValidators MeasurementCollector::setConfiguration(const std::string& appID,
                                                               std::string configuration) {
  os::MutexLock lock(mutex_);
  Served& served = configurations_[appID];
  served.body = std::move(configuration);
  served.validators = {"\"" + std::to_string(++configurationVersions_) + "\"",
                       httpDate(std::time(nullptr))};
  return served.validators;
}

void MeasurementCollector::appendFault(CollectorEndpoint endpoint, ScriptedFault fault) {
  stand_.appendFault(endpointName(endpoint), fault);
}

void MeasurementCollector::upload(const httplib::Request& request, httplib::Response& response) {
  std::string problem;
  std::optional<std::string> body = inflatedPostBody(request, &problem);
  if (!body) return stand_.refuse(request, response, problem);
  wire::MeasurementBatch batch;
  if (!batch.ParseFromString(*body)) {
    return stand_.refuse(request, response, "the body is not a MeasurementBatch");
  }
  uint64_t batchNumber;
  {
    os::MutexLock lock(mutex_);
    batchNumber = ++batches_;
  }
  const ScriptedFault fault = stand_.takeFault(endpointName(CollectorEndpoint::Upload));
  const int status = stand_.answer(fault, request, response, {.status = 200});
  for (const wire::MeasurementBundle& bundle : batch.bundles()) {
    json line = bundleLine(bundle);
    line["batch"] = batchNumber;
    line["status"] = status;
    line["cut"] = fault.cut != Cut::None;
    stand_.log(std::move(line));
  }
}

void MeasurementCollector::configuration(const httplib::Request& request,
                                         httplib::Response& response) {
  const std::string appID = request.path.substr(std::string_view(kConfigurationPrefix).size());
  json line = {{"type", "config"}, {"app_id", appID}, {"query", json::object()}};
  for (const auto& [name, value] : request.params) line["query"][name] = value;
  for (const auto& [header, key] : {std::pair{"If-None-Match", "if_none_match"},
                                    std::pair{"If-Modified-Since", "if_modified_since"}}) {
    if (request.has_header(header)) line[key] = request.get_header_value(header);
  }

  NormalReply reply{.status = 404};
  {
    os::MutexLock lock(mutex_);
    auto found = configurations_.find(appID);
    if (found != configurations_.end()) {
      const Served& served = found->second;
      reply.headers = {{"ETag", served.validators.ETag},
                       {"Last-Modified", served.validators.lastModified}};
      if (request.get_header_value("If-None-Match") == served.validators.ETag) {
        reply.status = 304;
      } else {
        reply.status = 200;
        reply.body = served.body;
        reply.contentType = "application/x-protobuf";
      }
    }
  }
  const ScriptedFault fault = stand_.takeFault(endpointName(CollectorEndpoint::Configuration));
  line["status"] = stand_.answer(fault, request, response, std::move(reply));
  stand_.log(std::move(line));
}

bool MeasurementCollector::applyCommand(std::string_view command, std::string* problem) {
  constexpr std::string_view kConfiguration = "configuration ";
  if (!command.starts_with(kConfiguration)) return stand_.applyCommand(command, problem);
  std::istringstream words{std::string(command.substr(kConfiguration.size()))};
  std::string appID, path;
  words >> appID >> path;
  std::optional<std::string> contents;
  if (appID.empty() || !(contents = os::files::readFile(path, nullptr))) {
    if (problem) *problem = "usage: configuration <app id> <readable file>";
    return false;
  }
  setConfiguration(appID, std::move(*contents));
  return true;
}

}  // namespace tools
