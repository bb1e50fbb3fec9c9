#include "tools/installations/installation_server.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>

#include "os/crypto/crypto.h"

namespace tools {

namespace {

using nlohmann::json;

// The service's error document.
std::string errorBody(int status, const std::string& message) {
  static const std::map<int, std::string> kStatusNames = {
      {400, "INVALID_ARGUMENT"}, {401, "UNAUTHENTICATED"},    {403, "PERMISSION_DENIED"},
      {404, "NOT_FOUND"},        {429, "RESOURCE_EXHAUSTED"}, {500, "INTERNAL"},
      {503, "UNAVAILABLE"}};
  auto name = kStatusNames.find(status);
  return json{{"error",
               {{"code", status},
                {"message", message},
                {"status", name == kStatusNames.end() ? "UNKNOWN" : name->second}}}}
      .dump();
}

void answer(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "application/json");
}

void fail(httplib::Response& response, int status, const std::string& message) {
  answer(response, status, errorBody(status, message));
}

std::string randomToken(std::string_view prefix) {
  std::string uuid = os::crypto::uuidString();
  std::erase(uuid, '-');
  return std::string(prefix) + uuid;
}

// The parsed body when it is a JSON object sent as application/json; else nullopt.
std::optional<json> JSONBody(const httplib::Request& request) {
  if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
    return std::nullopt;
  }
  json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) return std::nullopt;
  return body;
}

bool nonEmptyString(const json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() && !found->get<std::string>().empty();
}

}  // namespace

InstallationServer::InstallationServer() : InstallationServer(Options{}) {}

InstallationServer::InstallationServer(Options options)
    : options_(std::move(options)),
      server_(std::make_unique<testsupport::LocalHttpServer>(
          testsupport::LocalHttpServer::Options{.tls = true, .hostNames = {kHost}})),
      expiresIn_(options_.expiresIn) {
  server_->on("POST", basePath(),
              [this](const httplib::Request& request, httplib::Response& response) {
                handle(InstallationEndpoint::Create, "", request, response);
              });
}

InstallationServer::~InstallationServer() { server_->stop(); }

std::string InstallationServer::basePath() const {
  return "/v1/projects/" + options_.projectID + "/installations/";
}

std::string InstallationServer::connectTo() const {
  return std::string(kHost) + ":443:127.0.0.1:" + std::to_string(server_->port());
}

size_t InstallationServer::requestCount(InstallationEndpoint endpoint) const {
  os::MutexLock lock(mutex_);
  auto found = counts_.find(endpoint);
  return found == counts_.end() ? 0 : found->second;
}

void InstallationServer::setFaults(InstallationEndpoint endpoint, InstallationFaults faults) {
  os::MutexLock lock(mutex_);
  faults_[endpoint] = faults;
}

void InstallationServer::setExpiresIn(std::string expiresIn) {
  os::MutexLock lock(mutex_);
  expiresIn_ = std::move(expiresIn);
}

void InstallationServer::setAssignedFID(std::optional<std::string> fid) {
  os::MutexLock lock(mutex_);
  assignedFID_ = std::move(fid);
}

std::optional<ServedInstallation> InstallationServer::installation(const std::string& fid) const {
  os::MutexLock lock(mutex_);
  auto found = installations_.find(fid);
  if (found == installations_.end()) return std::nullopt;
  return found->second;
}

size_t InstallationServer::installationCount() const {
  os::MutexLock lock(mutex_);
  return installations_.size();
}

bool InstallationServer::applyFlag(std::string_view flag, std::string* problem) {
  auto refuse = [&](const std::string& why) {
    if (problem) *problem = why;
    return false;
  };
  if (flag.rfind("--expires-in=", 0) == 0) {
    setExpiresIn(std::string(flag.substr(13)));
    return true;
  }
  static const std::pair<const char*, InstallationEndpoint> kEndpoints[] = {
      {"--create-", InstallationEndpoint::Create},
      {"--token-", InstallationEndpoint::GenerateToken},
      {"--delete-", InstallationEndpoint::Delete}};
  for (const auto& [prefix, endpoint] : kEndpoints) {
    if (flag.rfind(prefix, 0) != 0) continue;
    std::string_view fault = flag.substr(std::string_view(prefix).size());
    std::string_view value;
    if (size_t equals = fault.find('='); equals != std::string_view::npos) {
      value = fault.substr(equals + 1);
      fault = fault.substr(0, equals);
    }
    InstallationFaults changed;
    {
      os::MutexLock lock(mutex_);
      changed = faults_[endpoint];
    }
    if (fault == "cut") {
      changed.cutConnection = true;
    } else {
      uint64_t number = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        return refuse("bad number in " + std::string(flag));
      }
      if (fault == "status") {
        changed.status = static_cast<int>(number);
      } else if (fault == "delay-ms") {
        changed.delay = std::chrono::milliseconds(number);
      } else if (fault == "times") {
        changed.forRequests = number;
      } else {
        return refuse("unknown fault " + std::string(flag));
      }
    }
    setFaults(endpoint, changed);
    return true;
  }
  return refuse("unknown flag " + std::string(flag));
}

std::optional<InstallationFaults> InstallationServer::takeFaults(InstallationEndpoint endpoint) {
  os::MutexLock lock(mutex_);
  ++counts_[endpoint];
  auto found = faults_.find(endpoint);
  if (found == faults_.end()) return std::nullopt;
  InstallationFaults faults = found->second;
  if (faults.forRequests) {
    if (*faults.forRequests == 0) return std::nullopt;
    --*found->second.forRequests;
  }
  return faults;
}

void InstallationServer::addRoutes(const std::string& fid) {
  server_->on("POST", basePath() + fid + "/authTokens:generate",
              [this, fid](const httplib::Request& request, httplib::Response& response) {
                handle(InstallationEndpoint::GenerateToken, fid, request, response);
              });
  server_->on("DELETE", basePath() + fid + "/",
              [this, fid](const httplib::Request& request, httplib::Response& response) {
                handle(InstallationEndpoint::Delete, fid, request, response);
              });
}

void InstallationServer::handle(InstallationEndpoint endpoint, const std::string& fid,
                                const httplib::Request& request, httplib::Response& response) {
  if (std::optional<InstallationFaults> faults = takeFaults(endpoint)) {
    if (faults->delay.count() > 0 && !server_->pause(faults->delay))
      return fail(response, 503, "stopping");
    if (faults->cutConnection) {
      // Announce a body and drop the connection before any of it.
      response.set_content_provider(1, "application/json",
                                    [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }
    if (faults->status != 0) return fail(response, faults->status, "Scripted fault.");
  }
  if (request.get_header_value("X-Vedo-Api-Key") != options_.APIKey) {
    return fail(response, 403, "The API key is not valid for this project.");
  }
  std::optional<json> body = JSONBody(request);
  if (!body) return fail(response, 400, "The request body is not a JSON object.");

  os::MutexLock lock(mutex_);
  if (endpoint == InstallationEndpoint::Create) {
    if (!nonEmptyString(*body, "fid") || !nonEmptyString(*body, "appId") ||
        !nonEmptyString(*body, "sdkVersion") || body->value("authVersion", "") != "RIS_v2") {
      return fail(response, 400, "fid, appId, sdkVersion and authVersion RIS_v2 are required.");
    }
    ServedInstallation created{assignedFID_.value_or((*body)["fid"].get<std::string>()),
                               (*body)["appId"].get<std::string>(), randomToken("r1_"),
                               randomToken("t1_"),
                               request.get_header_value("x-vedo-ris-ios-iid-migration-auth")};
    const bool known = installations_.count(created.fid) > 0;
    installations_[created.fid] = created;
    if (!known) addRoutes(created.fid);
    return answer(response, 200,
                  json{{"name", "projects/" + options_.projectID + "/installations/" + created.fid},
                       {"fid", created.fid},
                       {"refreshToken", created.refreshToken},
                       {"authToken", {{"token", created.authToken}, {"expiresIn", expiresIn_}}}}
                      .dump());
  }

  auto found = installations_.find(fid);
  if (found == installations_.end()) return fail(response, 404, "Installation not found.");
  if (request.get_header_value("Authorization") != "RIS_v2 " + found->second.refreshToken) {
    return fail(response, 401, "Request had invalid authentication credentials.");
  }
  if (endpoint == InstallationEndpoint::Delete) {
    installations_.erase(found);
    return answer(response, 200, "{}");
  }
  const json& installation = body->value("installation", json::object());
  if (!installation.is_object() || !nonEmptyString(installation, "sdkVersion")) {
    return fail(response, 400, "installation.sdkVersion is required.");
  }
  found->second.authToken = randomToken("t1_");
  answer(response, 200, json{{"token", found->second.authToken}, {"expiresIn", expiresIn_}}.dump());
}

}  // namespace tools
