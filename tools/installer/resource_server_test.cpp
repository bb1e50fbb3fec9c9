#include "tools/installer/resource_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "os/value/plist.h"
#include "os/zip/zip.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::readFile;
using Clock = std::chrono::steady_clock;

// What a download brought: the status and headers, the bytes that arrived, and whether the
// transfer ended cleanly.
struct Download {
  int status = 0;
  httplib::Headers headers;
  std::string body;
  bool complete = false;
  double seconds = 0;
};

// Fetches `path` over HTTPS from 127.0.0.1:`port`, trusting the certificate in `caFile`.
Download fetch(const fs::path& caFile, int port, const std::string& path) {
  httplib::SSLClient client("127.0.0.1", port);
  client.set_ca_cert_path(caFile.c_str());
  client.enable_server_certificate_verification(true);
  client.set_read_timeout(10, 0);
  Download download;
  auto started = Clock::now();
  httplib::Result result = client.Get(
      path, {{"Accept-Encoding", "application-x-zip"}},
      [&](const httplib::Response& response) {
        download.status = response.status;
        download.headers = response.headers;
        return true;
      },
      [&](const char* data, size_t length) {
        download.body.append(data, length);
        return true;
      });
  download.complete = static_cast<bool>(result);
  download.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return download;
}

std::string header(const Download& download, const std::string& name) {
  auto found = download.headers.find(name);
  return found == download.headers.end() ? "" : found->second;
}

class ResourceServerTest : public ::testing::Test {
 protected:
  int downloadPort() { return server_.downloadServer().port(); }
  Download get(int port, const std::string& path) {
    return fetch(server_.certificatePath(), port, path);
  }
  std::string archiveBytes() { return readFile(server_.archivePath()); }

  // Unpacks `bytes` as an archive; the error code, or 0 on success.
  int64_t unzipCode(const std::string& bytes) {
    fs::path zip = sandbox_.root() / "received.zip";
    std::ofstream(zip, std::ios::binary) << bytes;
    os::Error error;
    bool unpacked = os::SSZipArchive::unzipFileAtPath(
        zip.string(), (sandbox_.root() / "unpacked").string(), true, "", &error);
    return unpacked ? 0 : error.code;
  }

  testsupport::Sandbox sandbox_;
  tools::ResourceServer server_;
};

TEST_F(ResourceServerTest, ServesTheProductItsListAndItsConfiguration) {
  const std::string archive = archiveBytes();
  for (const std::string path :
       {"/product/bv/Brevalo.zip", "/product/bv/latest/Brevalo.zip", "/product/dm/Dunmerel.zip"}) {
    SCOPED_TRACE(path);
    Download download = get(downloadPort(), path);
    EXPECT_TRUE(download.complete);
    EXPECT_EQ(download.status, 200);
    EXPECT_EQ(header(download, "Content-Type"), "application/zip");
    EXPECT_EQ(header(download, "Content-Length"), std::to_string(archive.size()));
    EXPECT_TRUE(download.body == archive);
  }
  EXPECT_EQ(unzipCode(archive), 0);
  EXPECT_EQ(server_.downloadServer().requests().back().header("Accept-Encoding"),
            "application-x-zip");

  Download list = get(downloadPort(), tools::ResourceServer::kUpdateListPath);
  std::optional<os::Value> sizes = os::plist::parse(list.body);
  ASSERT_TRUE(sizes);
  EXPECT_EQ((*sizes)["bvLenght"], os::Value(static_cast<int64_t>(archive.size())));

  // The configuration comes over HTTPS too; one certificate names every host.
  httplib::SSLClient secure("127.0.0.1", server_.resourceServer().port());
  secure.set_ca_cert_path(server_.certificatePath().c_str());
  secure.enable_server_certificate_verification(true);
  httplib::Result configuration = secure.Get(tools::ResourceServer::kConfigurationPath);
  ASSERT_TRUE(configuration);
  std::optional<os::Value> languages = os::plist::parse(configuration->body);
  ASSERT_TRUE(languages);
  EXPECT_EQ(languages->count(), 12u);
  EXPECT_EQ((*languages)["jp"]["mac"],
            "https://download.tessaro.example/product/bv/latest/Brevalo.zip");
  EXPECT_EQ((*languages)["br"]["mac"], (*languages)["en"]["mac"]);

  FILE* pem = std::fopen(server_.certificatePath().c_str(), "r");
  ASSERT_NE(pem, nullptr);
  X509* certificate = PEM_read_X509(pem, nullptr, nullptr, nullptr);
  std::fclose(pem);
  ASSERT_NE(certificate, nullptr);
  for (const char* host :
       {"resources.tessaro.example", "download.tessaro.example", "download-jp.tessaro.example",
        "download-de.tessaro.example", "download-cn.tessaro.example"}) {
    EXPECT_EQ(X509_check_host(certificate, host, 0, 0, nullptr), 1) << host;
  }
  X509_free(certificate);

  EXPECT_EQ(get(downloadPort(), "/product/unknown.zip").status, 404);
}

TEST_F(ResourceServerTest, ConnectToNamesEveryHost) {
  std::string connectTo = server_.connectTo();
  std::string download = ":443:127.0.0.1:" + std::to_string(downloadPort());
  for (const char* host : {"download.tessaro.example", "download-jp.tessaro.example",
                           "download-de.tessaro.example", "download-cn.tessaro.example"}) {
    EXPECT_THAT(connectTo, HasSubstr(host + download));
  }
  EXPECT_THAT(connectTo, HasSubstr("resources.tessaro.example:443:127.0.0.1:" +
                                   std::to_string(server_.resourceServer().port())));
}

TEST_F(ResourceServerTest, ArchiveFaults) {
  const std::string archive = archiveBytes();
  const std::string path = "/product/bv/Brevalo.zip";
  using tools::Faults;
  using tools::Substitute;

  server_.setFaults(tools::Resource::Archive, {.status = 404});
  Download missing = get(downloadPort(), path);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(header(missing, "Content-Type"), "text/html");
  EXPECT_THAT(missing.body, HasSubstr("<html>"));

  server_.setFaults(tools::Resource::Archive, {.substitute = Substitute::HtmlPage});
  Download page = get(downloadPort(), path);
  EXPECT_EQ(page.status, 200);
  EXPECT_THAT(page.body, StartsWith("<!DOCTYPE html>"));
  EXPECT_EQ(unzipCode(page.body), os::SSZipArchive::kFailedOpenZipFile);

  server_.setFaults(tools::Resource::Archive, {.cutAfterBytes = 1000});
  Download cut = get(downloadPort(), path);
  EXPECT_FALSE(cut.complete);
  EXPECT_EQ(header(cut, "Content-Length"), std::to_string(archive.size()));
  EXPECT_EQ(cut.body, archive.substr(0, 1000));

  server_.setFaults(tools::Resource::Archive, {.chunked = true});
  Download chunked = get(downloadPort(), path);
  EXPECT_TRUE(chunked.complete);
  EXPECT_EQ(header(chunked, "Transfer-Encoding"), "chunked");
  EXPECT_EQ(header(chunked, "Content-Length"), "");
  EXPECT_TRUE(chunked.body == archive);

  server_.setFaults(tools::Resource::Archive, {.cutAfterBytes = 70000, .chunked = true});
  Download chunkedCut = get(downloadPort(), path);
  EXPECT_FALSE(chunkedCut.complete);
  EXPECT_EQ(chunkedCut.body.size(), 70000u);

  server_.setFaults(tools::Resource::Archive, {.substitute = Substitute::CorruptArchive});
  Download corrupt = get(downloadPort(), path);
  EXPECT_EQ(corrupt.body.size(), archive.size());
  EXPECT_EQ(unzipCode(corrupt.body), os::SSZipArchive::kFileContentNotReadable);

  server_.setFaults(tools::Resource::Archive, {.substitute = Substitute::EscapingArchive});
  EXPECT_EQ(unzipCode(get(downloadPort(), path).body), os::SSZipArchive::kEntryEscapesDestination);

  server_.setFaults(tools::Resource::Archive, {});
  EXPECT_TRUE(get(downloadPort(), path).body == archive);

  // Faults for a number of requests: those get them, every later one the archive.
  server_.setFaults(tools::Resource::Archive, {.status = 500, .forRequests = 2});
  EXPECT_EQ(get(downloadPort(), path).status, 500);
  EXPECT_EQ(get(downloadPort(), path).status, 500);
  for (int later = 0; later < 2; ++later) {
    Download plain = get(downloadPort(), path);
    EXPECT_EQ(plain.status, 200);
    EXPECT_TRUE(plain.body == archive);
  }
}

TEST_F(ResourceServerTest, DelayAndRateAreLowerBounds) {
  const std::string archive = archiveBytes();
  server_.setFaults(tools::Resource::UpdateList, {.delay = std::chrono::milliseconds(300)});
  Download late = get(downloadPort(), tools::ResourceServer::kUpdateListPath);
  EXPECT_EQ(late.status, 200);
  EXPECT_GE(late.seconds, 0.3);

  const uint64_t rate = archive.size() * 2;  // half a second for the whole archive
  server_.setFaults(tools::Resource::Archive, {.bytesPerSecond = rate});
  Download slow = get(downloadPort(), "/product/bv/Brevalo.zip");
  EXPECT_TRUE(slow.complete);
  EXPECT_TRUE(slow.body == archive);
  // The last piece may leave at its due time, so the whole takes at least (size - piece)/rate.
  EXPECT_GE(slow.seconds, 0.45);
}

TEST_F(ResourceServerTest, FaultFlags) {
  std::string problem;
  EXPECT_TRUE(server_.applyFlag("--config-status=500", &problem)) << problem;
  httplib::SSLClient secure("127.0.0.1", server_.resourceServer().port());
  secure.enable_server_certificate_verification(false);
  httplib::Result configuration = secure.Get(tools::ResourceServer::kConfigurationPath);
  ASSERT_TRUE(configuration);
  EXPECT_EQ(configuration->status, 500);

  EXPECT_TRUE(server_.applyFlag("--zip-body=html", &problem)) << problem;
  EXPECT_TRUE(server_.applyFlag("--zip-cut-after=10", &problem)) << problem;
  Download cut = get(downloadPort(), "/product/bv/Brevalo.zip");
  EXPECT_FALSE(cut.complete);
  EXPECT_EQ(cut.body, "<!DOCTYPE ");

  for (const char* bad : {"zip-status=404", "--zip-status=99", "--zip-status=", "--disk-status=1",
                          "--zip-delay-ms=soon", "--plist-body=html", "--zip-body=pdf",
                          "--zip-chunked=yes", "--zip-wobble", "--zip"}) {
    problem.clear();
    EXPECT_FALSE(server_.applyFlag(bad, &problem)) << bad;
    EXPECT_THAT(problem, StartsWith(bad));
  }
}

TEST(ResourceServerCommandTest, RunsWithFaultFlagsUntilStopped) {
  testsupport::Sandbox sandbox;
  testsupport::Child server({TESSARO_RESOURCE_SERVER, "--zip-status=503", "--plist-delay-ms=10"},
                            testsupport::ChildOutput::StandardOutput);
  ASSERT_TRUE(server.started());

  std::map<std::string, std::string> printed = testsupport::readSettingLines(server, 4);
  ASSERT_THAT(printed["download"], StartsWith("https://127.0.0.1:"));
  EXPECT_THAT(printed["resources"], StartsWith("https://127.0.0.1:"));
  EXPECT_THAT(printed["TESSARO_CONNECT_TO"], HasSubstr("download.tessaro.example:443:127.0.0.1:"));
  EXPECT_TRUE(fs::exists(printed["TESSARO_CA_FILE"]));

  int port = std::stoi(printed["download"].substr(printed["download"].rfind(':') + 1));
  EXPECT_EQ(fetch(printed["TESSARO_CA_FILE"], port, "/product/bv/Brevalo.zip").status, 503);
  EXPECT_EQ(fetch(printed["TESSARO_CA_FILE"], port, tools::ResourceServer::kUpdateListPath).status,
            200);

  server.signal(SIGTERM);
  EXPECT_TRUE(server.wait().succeeded());
  EXPECT_FALSE(fs::exists(printed["TESSARO_CA_FILE"]));

  EXPECT_EQ(std::system(
                (std::string(TESSARO_RESOURCE_SERVER) + " --zip-rate=fast 2>/dev/null").c_str()) >>
                8,
            2);
}

}  // namespace
