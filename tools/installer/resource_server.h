// Stand-ins for the maker's servers on 127.0.0.1, for the tests, the benchmarks and the demo:
//
//   download host (HTTPS)    /config/installer.plist       the update list
//                            every product's built-in archive path (/product/bv/Brevalo.zip, ...)
//                            and kLatestArchivePath, which the configuration names
//   resource host (HTTPS)    /product/config/bv-config.xml  the product configuration
//
// Each kind of resource can be given scripted faults: another status, a delay, a throttled rate,
// a connection cut after some bytes, chunked transfer without a length, a body without end, and
// for the archive an
// HTML page, a corrupt archive or one with escaping entries in its place.
//
//   tools::ResourceServer server;                 // serves the generated sample product
//   sandbox.setEnv("TESSARO_CONNECT_TO", server.connectTo());
//   sandbox.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
//   server.setFaults(tools::Resource::Archive, {.cutAfterBytes = 1000});
//   ... the installer downloads https://download.tessaro.example/product/bv/Brevalo.zip ...
//   server.downloadServer().requests();           // what arrived, headers included
//
// Both servers present one self-signed certificate made for every host of the maker (the
// download host, its mirrors and the resource host); a client trusts it through TESSARO_CA_FILE. Both servers log every request (testsupport::LocalHttpServer).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"
#include "testsupport/local_http_server.h"

namespace tools {

// The resources the servers answer.
enum class Resource { UpdateList, Configuration, Archive };

// What is sent in place of a resource.
enum class Substitute { None, HtmlPage, CorruptArchive, EscapingArchive };

struct Faults {
  // A status other than 200 answers with a short HTML page of that status instead of the
  // resource (the other faults still shape how it is sent).
  int status = 200;
  // Waited before the response starts.
  std::chrono::milliseconds delay{0};
  // The body's rate in bytes per second; 0 is as fast as possible.
  uint64_t bytesPerSecond = 0;
  // The connection is dropped after this many body bytes, the full length still announced.
  std::optional<uint64_t> cutAfterBytes = std::nullopt;
  // Chunked transfer encoding, no Content-Length.
  bool chunked = false;
  // The body never ends: zeros follow the resource until the client hangs up, chunked with
  // `chunked`, else close-delimited (no Content-Length, no chunks).
  bool endless = false;
  // Sent in place of the resource, with status 200 unless `status` says otherwise.
  Substitute substitute = Substitute::None;
  // Only this many requests from now on get these faults; later ones get the resource as it is.
  // None: every request.
  std::optional<uint64_t> forRequests = std::nullopt;
};

class ResourceServer {
 public:
  static constexpr const char* kUpdateListPath = "/config/installer.plist";
  static constexpr const char* kConfigurationPath = "/product/config/bv-config.xml";
  // The archive address that the default configuration names for every language.
  static constexpr const char* kLatestArchivePath = "/product/bv/latest/Brevalo.zip";

  struct Options {
    // The archive served for every archive path; the generated sample product when empty.
    std::filesystem::path archive;
    // The configuration's body; by default a property list that names
    // https://<download host><kLatestArchivePath> under "mac" for every language key.
    std::optional<std::string> configuration;
    // The update list's body; by default a property list with "bvLenght" = the archive's size.
    std::optional<std::string> updateList;
  };

  // A configuration that names `address` under "mac" for every language key.
  static std::string configurationNaming(const std::string& address);

  // Starts both servers. Throws std::runtime_error when a server or the sample product cannot
  // be made.
  ResourceServer();
  explicit ResourceServer(Options options);
  ~ResourceServer();
  ResourceServer(const ResourceServer&) = delete;
  ResourceServer& operator=(const ResourceServer&) = delete;

  // Replaces the faults of one resource; takes effect with the next request.
  void setFaults(Resource resource, Faults faults);
  // Applies one command-line flag "--<resource>-<fault>[=<value>]": resource "plist",
  // "config" or "zip"; fault "status=N", "delay-ms=N", "rate=BYTES", "cut-after=BYTES",
  // "chunked", "endless", or "body=html|corrupt|escaping" (zip only). False with `problem` set for a flag
  // it does not know or a bad value.
  bool applyFlag(std::string_view flag, std::string* problem);

  // The value for TESSARO_CONNECT_TO: every download host (and its mirrors) on port 443 to the
  // download server, the resource host on port 443 to the resource server, entries separated by
  // commas ("download.tessaro.example:443:127.0.0.1:41234,...").
  std::string connectTo() const;
  // The servers' certificate (PEM), for TESSARO_CA_FILE.
  std::filesystem::path certificatePath() const;
  // The archive served for the Archive resource.
  const std::filesystem::path& archivePath() const { return archive_; }

  testsupport::LocalHttpServer& downloadServer() { return *download_; }
  testsupport::LocalHttpServer& resourceServer() { return *resource_; }

 private:
  struct Body;

  void serve(Resource resource, const Body& body, httplib::Response& response);
  // The file served in place of the archive; made on first use.
  std::filesystem::path substituteArchive(Substitute substitute);
  Faults faults(Resource resource) const;
  // The faults for one request that arrived, counted against Faults::forRequests.
  Faults takeFaults(Resource resource);

  std::filesystem::path scratch_;  // generated files, removed with the server
  std::filesystem::path archive_;
  std::string configuration_;
  std::string updateList_;
  std::unique_ptr<testsupport::LocalHttpServer> download_;
  std::unique_ptr<testsupport::LocalHttpServer> resource_;

  mutable os::Mutex mutex_;
  std::map<Resource, Faults> faults_ OS_GUARDED_BY(mutex_);
  std::map<Substitute, std::filesystem::path> substitutes_ OS_GUARDED_BY(mutex_);
};

}  // namespace tools
