#include "tools/installer/resource_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <stdexcept>
#include <vector>

#include "installer/app/software_info.h"
#include "os/files/files.h"
#include "os/net/url.h"
#include "os/sync/mutex.h"
#include "os/value/plist.h"
#include "support/string_extensions.h"
#include "tools/installer/sample_product.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kPieceSize = 64 * 1024;
// A throttled body goes out in pieces of a twentieth of a second, so the rate is even.
constexpr uint64_t kThrottlePiecesPerSecond = 20;

// The built-in archive addresses of every product, parsed.
std::vector<os::URL> builtInArchiveAddresses() {
  std::vector<os::URL> addresses;
  for (int32_t number = 1; number <= 15; ++number) {
    const TSRProduct& product = productForNumber(number);
    for (std::string_view encoded : {product.defaultAddress, product.japaneseMirrorAddress,
                                     product.germanMirrorAddress, product.chinaMirrorAddress}) {
      if (encoded.empty()) continue;
      std::optional<std::string> text = ExtendTool::stringFromBase64String(encoded);
      if (std::optional<os::URL> url = text ? os::URL::parse(*text) : std::nullopt) {
        addresses.push_back(*url);
      }
    }
  }
  return addresses;
}

}  // namespace

std::string ResourceServer::configurationNaming(const std::string& address) {
  os::Dictionary configuration;
  for (const char* language :
       {"en", "jp", "fr", "de", "es", "ar", "it", "br", "nl", "tr", "tw", "kr"}) {
    configuration[language] = os::Dictionary{{"mac", address}};
  }
  return os::plist::serialize(os::Value(configuration), os::plist::Format::Xml).value();
}

namespace {

std::string defaultConfiguration() {
  return ResourceServer::configurationNaming(std::string("https://") + TSRHosts::kDownloadHost +
                                             ResourceServer::kLatestArchivePath);
}

// Every host name of the maker's that the servers answer for: the download host and its mirrors
// (from the built-in addresses), and the resource host.
std::set<std::string> makerHosts() {
  std::set<std::string> hosts = {TSRHosts::kDownloadHost, TSRHosts::kResourceHost};
  for (const os::URL& address : builtInArchiveAddresses()) hosts.insert(address.host());
  return hosts;
}

std::string defaultUpdateList(const fs::path& archive) {
  os::Dictionary list = {{std::string(TSRSoftWareInfo::archiveSizeKey(ArchiveSize::BV)),
                          static_cast<int64_t>(fs::file_size(archive))}};
  return os::plist::serialize(os::Value(list), os::plist::Format::Xml).value();
}

std::string htmlPage(int status) {
  std::string code = std::to_string(status);
  return "<!DOCTYPE html>\n<html><head><title>" + code + "</title></head><body><h1>" + code +
         "</h1><p>This is a web page, not the file you asked for.</p></body></html>\n";
}

template <typename Number>
bool parseNumber(std::string_view text, Number* value) {
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return failure == std::errc() && end == text.data() + text.size();
}

// The bytes of one response, read piece by piece.
class BodySource {
 public:
  BodySource(std::string text, const fs::path& file) : text_(std::move(text)) {
    if (file.empty()) return;
    fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0) size_ = static_cast<uint64_t>(::lseek(fd_, 0, SEEK_END));
  }
  ~BodySource() {
    if (fd_ >= 0) ::close(fd_);
  }
  BodySource(const BodySource&) = delete;
  BodySource& operator=(const BodySource&) = delete;

  bool valid() const { return fd_ >= 0 || text_.data() != nullptr; }
  uint64_t size() const { return fd_ >= 0 ? size_ : text_.size(); }

  // Reads `count` bytes at `offset`; nullptr when the file cannot be read.
  const char* read(uint64_t offset, size_t count) {
    if (fd_ < 0) return text_.data() + offset;
    buffer_.resize(count);
    ssize_t got = ::pread(fd_, buffer_.data(), count, static_cast<off_t>(offset));
    return got == static_cast<ssize_t>(count) ? buffer_.data() : nullptr;
  }

 private:
  std::string text_;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<char> buffer_;
};

}  // namespace

struct ResourceServer::Body {
  std::string text;  // used when `file` is empty
  fs::path file;
  std::string contentType;
};

ResourceServer::ResourceServer() : ResourceServer(Options()) {}

ResourceServer::ResourceServer(Options options) {
  std::string pattern = (fs::temp_directory_path() / "tessaro-resources-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("ResourceServer: cannot create a scratch folder");
  }
  scratch_ = pattern;
  try {
    archive_ = options.archive;
    if (archive_.empty()) {
      archive_ = scratch_ / "Brevalo.zip";
      os::Error error;
      if (!makeSampleProductArchive(archive_, {}, &error)) {
        throw std::runtime_error("ResourceServer: cannot make the sample product: " +
                                 error.description);
      }
    } else if (!fs::is_regular_file(archive_)) {
      throw std::runtime_error("ResourceServer: no archive at " + archive_.string());
    }
    configuration_ = options.configuration.value_or(defaultConfiguration());
    updateList_ = options.updateList ? *options.updateList : defaultUpdateList(archive_);

    // One certificate for every host, so that one CA file lets a client trust both servers.
    std::set<std::string> hosts = makerHosts();
    testsupport::TestIdentity identity = testsupport::makeTestIdentity(
        {.hostNames = std::vector<std::string>(hosts.begin(), hosts.end()),
         .commonName = "Tessaro test servers"});
    download_ = std::make_unique<testsupport::LocalHttpServer>(
        testsupport::LocalHttpServer::Options{.tls = true, .identity = identity});
    resource_ = std::make_unique<testsupport::LocalHttpServer>(
        testsupport::LocalHttpServer::Options{.tls = true, .identity = identity});
  } catch (...) {
    download_.reset();
    os::files::removeItem(scratch_, nullptr);
    throw;
  }

  auto route = [this](Resource resource, Body body) {
    return [this, resource, body = std::move(body)](const httplib::Request&,
                                                    httplib::Response& response) {
      serve(resource, body, response);
    };
  };
  download_->on("GET", kUpdateListPath,
                route(Resource::UpdateList, {updateList_, {}, "application/xml"}));
  resource_->on("GET", kConfigurationPath,
                route(Resource::Configuration, {configuration_, {}, "application/xml"}));
  std::set<std::string> archivePaths = {kLatestArchivePath};
  for (const os::URL& address : builtInArchiveAddresses()) archivePaths.insert(address.path());
  for (const std::string& path : archivePaths) {
    download_->on("GET", path, route(Resource::Archive, {{}, archive_, "application/zip"}));
  }
}

ResourceServer::~ResourceServer() {
  // Stop serving before the files that are served go away. Both stop before either is
  // released: a request still in its handler reaches the servers through these members.
  download_->stop();
  resource_->stop();
  download_.reset();
  resource_.reset();
  os::files::removeItem(scratch_, nullptr);
}

void ResourceServer::setFaults(Resource resource, Faults faults) {
  os::MutexLock lock(mutex_);
  faults_[resource] = faults;
}

Faults ResourceServer::faults(Resource resource) const {
  os::MutexLock lock(mutex_);
  auto found = faults_.find(resource);
  return found == faults_.end() ? Faults() : found->second;
}

Faults ResourceServer::takeFaults(Resource resource) {
  os::MutexLock lock(mutex_);
  auto found = faults_.find(resource);
  if (found == faults_.end()) return Faults();
  Faults now = found->second;
  if (std::optional<uint64_t>& left = found->second.forRequests) {
    if (*left == 0) now = Faults();
    if (*left <= 1) {
      faults_.erase(found);
    } else {
      --*left;
    }
  }
  return now;
}

bool ResourceServer::applyFlag(std::string_view flag, std::string* problem) {
  auto refuse = [&](const std::string& why) {
    if (problem != nullptr) *problem = std::string(flag) + ": " + why;
    return false;
  };
  if (flag.substr(0, 2) != "--") return refuse("not a flag");
  std::string_view name = flag.substr(2);
  std::string_view value;
  if (size_t equals = name.find('='); equals != std::string_view::npos) {
    value = name.substr(equals + 1);
    name = name.substr(0, equals);
  }
  size_t dash = name.find('-');
  if (dash == std::string_view::npos) return refuse("unknown flag");
  std::string_view target = name.substr(0, dash);
  std::string_view fault = name.substr(dash + 1);
  Resource resource;
  if (target == "plist") {
    resource = Resource::UpdateList;
  } else if (target == "config") {
    resource = Resource::Configuration;
  } else if (target == "zip") {
    resource = Resource::Archive;
  } else {
    return refuse("unknown resource (plist, config or zip)");
  }

  Faults changed = faults(resource);
  uint64_t number = 0;
  if (fault == "status") {
    if (!parseNumber(value, &changed.status) || changed.status < 100 || changed.status > 599) {
      return refuse("status must be a number from 100 to 599");
    }
  } else if (fault == "delay-ms" || fault == "rate" || fault == "cut-after") {
    if (!parseNumber(value, &number)) return refuse("needs a number");
    if (fault == "delay-ms") changed.delay = std::chrono::milliseconds(number);
    if (fault == "rate") changed.bytesPerSecond = number;
    if (fault == "cut-after") changed.cutAfterBytes = number;
  } else if (fault == "chunked" && value.empty()) {
    changed.chunked = true;
  } else if (fault == "endless" && value.empty()) {
    changed.endless = true;
  } else if (fault == "body" && resource == Resource::Archive) {
    if (value == "html") {
      changed.substitute = Substitute::HtmlPage;
    } else if (value == "corrupt") {
      changed.substitute = Substitute::CorruptArchive;
    } else if (value == "escaping") {
      changed.substitute = Substitute::EscapingArchive;
    } else {
      return refuse("body must be html, corrupt or escaping");
    }
  } else {
    return refuse("unknown fault");
  }
  setFaults(resource, changed);
  return true;
}

std::string ResourceServer::connectTo() const {
  std::set<std::string> entries;
  for (const std::string& host : makerHosts()) {
    int port = host == TSRHosts::kResourceHost ? resource_->port() : download_->port();
    entries.insert(host + ":443:127.0.0.1:" + std::to_string(port));
  }
  std::string joined;
  for (const std::string& entry : entries) joined += (joined.empty() ? "" : ",") + entry;
  return joined;
}

fs::path ResourceServer::certificatePath() const { return resource_->certificatePath(); }

fs::path ResourceServer::substituteArchive(Substitute substitute) {
  os::MutexLock lock(mutex_);
  if (auto made = substitutes_.find(substitute); made != substitutes_.end()) return made->second;
  fs::path path;
  os::Error error;
  if (substitute == Substitute::CorruptArchive) {
    path = scratch_ / "corrupt.zip";
    if (!makeCorruptArchive(archive_, path, &error)) path.clear();
  } else {
    path = scratch_ / "escaping.zip";
    if (!makeEscapingArchive(path, {}, &error)) path.clear();
  }
  substitutes_[substitute] = path;
  return path;
}

void ResourceServer::serve(Resource resource, const Body& body, httplib::Response& response) {
  Faults faults = takeFaults(resource);
  testsupport::LocalHttpServer& server =
      resource == Resource::Configuration ? *resource_ : *download_;
  if (faults.delay.count() > 0 && !server.pause(faults.delay)) {
    response.status = 503;
    return;
  }
  Body sent = body;
  if (faults.status != 200 || faults.substitute == Substitute::HtmlPage) {
    sent = {htmlPage(faults.status), {}, "text/html"};
  } else if (faults.substitute != Substitute::None) {
    sent.file = substituteArchive(faults.substitute);
  }
  auto source = std::make_shared<BodySource>(sent.text, sent.file);
  if (!source->valid()) {
    response.status = 500;
    response.set_content(htmlPage(500), "text/html");
    return;
  }
  response.status = faults.status;

  const uint64_t size = source->size();
  const uint64_t limit = std::min(size, faults.cutAfterBytes.value_or(size));
  const uint64_t rate = faults.bytesPerSecond;
  const size_t piece = rate > 0 ? static_cast<size_t>(std::clamp<uint64_t>(
                                      rate / kThrottlePiecesPerSecond, 1, kPieceSize))
                                : kPieceSize;
  auto started = std::make_shared<std::optional<Clock::time_point>>();
  // Writes the piece at `offset`, keeping to the rate; false drops the connection.
  auto writePiece = [source, limit, rate, piece, started, &server](uint64_t offset,
                                                                   httplib::DataSink& sink) {
    if (!*started) *started = Clock::now();
    if (rate > 0) {
      auto due = **started + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(double(offset) / double(rate)));
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
      if (wait.count() > 0 && !server.pause(wait)) return false;
    }
    size_t count = static_cast<size_t>(std::min<uint64_t>(piece, limit - offset));
    const char* bytes = source->read(offset, count);
    return bytes != nullptr && sink.write(bytes, count);
  };

  if (faults.endless) {
    auto zeros = std::make_shared<const std::string>(kPieceSize, '\0');
    auto endless = [limit, writePiece, zeros](size_t offset, httplib::DataSink& sink) {
      if (offset < limit) return writePiece(offset, sink);
      return sink.write(zeros->data(), zeros->size());
    };
    if (faults.chunked) {
      response.set_chunked_content_provider(sent.contentType, endless);
    } else {
      response.set_content_provider(sent.contentType, endless);
    }
  } else if (faults.chunked) {
    response.set_chunked_content_provider(
        sent.contentType, [size, limit, writePiece](size_t offset, httplib::DataSink& sink) {
          if (offset < limit) return writePiece(offset, sink);
          if (limit < size) return false;
          sink.done();
          return true;
        });
  } else if (size == 0) {
    response.set_content("", sent.contentType);
  } else {
    response.set_content_provider(
        size, sent.contentType,
        [limit, writePiece](size_t offset, size_t, httplib::DataSink& sink) {
          return offset < limit && writePiece(offset, sink);
        });
  }
}

}  // namespace tools
