#include "installer/engine/download_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "installer/engine/download_file_name.h"
#include "installer/engine/engine_test_support.h"
#include "installer/engine/post_install.h"
#include "os/zip/zip.h"
#include "testsupport/local_http_server.h"

namespace {

namespace fs = std::filesystem;
using engine_test::Call;
using engine_test::describeTree;
using engine_test::EngineTestEnvironment;
using engine_test::PinnedFolder;
using engine_test::readFile;
using engine_test::RecordingDelegate;
using engine_test::writeFile;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Key;
using ::testing::StartsWith;

// The full sequence of a successful installation.
const std::vector<std::string> kInstalled = {"progress", "downComplete", "installStart",
                                             "installComplete"};

class DownloadManagerTest : public ::testing::Test {
 protected:
  explicit DownloadManagerTest(tools::ResourceServer::Options options = {})
      : environment_(std::move(options)) {}

  // Runs an engine for `address` to its end.
  std::shared_ptr<RecordingDelegate> install(
      const std::string& address = engine_test::brevaloArchiveAddress(),
      std::function<void(RecordingDelegate&, TSRDownloadManager&)> prepare = {}) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto engine = environment_.engine(delegate, address);
    if (prepare) prepare(*delegate, *engine);
    engine->downloadSpecifiedApp();
    engine.reset();  // the engine keeps itself alive until it is done
    EXPECT_TRUE(delegate->waitUntilFinished());
    return delegate;
  }

  fs::path cache() { return TempHelper::getAppCachePath(); }
  fs::path systemApplications() { return environment_.systemApplications(); }
  fs::path userApplications() { return environment_.userApplications(); }

  // What the user's Applications folders and the cache hold, hidden leftovers included.
  std::vector<std::string> applications() {
    std::vector<std::string> items;
    for (const fs::path& folder : {systemApplications(), userApplications()}) {
      for (const auto& [item, description] : describeTree(folder)) {
        if (item.find('/') == std::string::npos) items.push_back(folder.string() + "/" + item);
      }
    }
    return items;
  }

  // An older Brevalo in the system Applications folder.
  fs::path placeOldCopy() {
    fs::path old = systemApplications() / "Brevalo.app";
    writeFile(old / "Contents/old-only.txt", "old");
    return old;
  }

  EngineTestEnvironment environment_;
};

TEST_F(DownloadManagerTest, InstallsTheProductEndToEndAndFinishesTheInstallation) {
  const fs::path old = placeOldCopy();
  std::shared_ptr<RecordingDelegate> delegate = install();

  // The callbacks, in order, each on its thread.
  EXPECT_EQ(delegate->sequence(), kInstalled);
  std::vector<Call> progress = delegate->callsOf("progress");
  ASSERT_FALSE(progress.empty());
  double previous = 0;
  for (const Call& report : progress) {
    EXPECT_FALSE(report.onMainThread);
    EXPECT_EQ(report.texts, std::vector<std::string>{"Brevalo.zip"});
    EXPECT_GE(report.percent, previous);
    EXPECT_LE(report.percent, 100);
    previous = report.percent;
  }
  EXPECT_EQ(progress.back().percent, 100);
  for (const char* method : {"downComplete", "installStart"}) {
    Call call = delegate->callsOf(method).at(0);
    EXPECT_TRUE(call.onMainThread) << method;
    EXPECT_EQ(call.texts, std::vector<std::string>{"Brevalo.zip"});
  }
  Call complete = delegate->last();
  EXPECT_EQ(complete.method, "installComplete");
  EXPECT_TRUE(complete.onGlobalQueue);
  EXPECT_FALSE(complete.onMainThread);
  EXPECT_EQ(complete.texts, std::vector<std::string>{systemApplications().string()});

  // The product replaced the old copy, with its modes and links; nothing else is left.
  const fs::path product = old;
  EXPECT_FALSE(fs::exists(product / "Contents/old-only.txt"));
  EXPECT_EQ(fs::status(product / "Contents/MacOS/Brevalo").permissions(), fs::perms(0755));
  const fs::path link = product / "Contents/Frameworks/BrevaloKit.framework/BrevaloKit";
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "Versions/Current/BrevaloKit");
  EXPECT_EQ(readFile(link),
            "\x7f"
            "ELF stand-in\n");
  EXPECT_THAT(applications(), ElementsAre(product.string()));
  EXPECT_THAT(describeTree(cache()), IsEmpty());

  // Only the archive's request asks for the maker's encoding.
  std::vector<testsupport::RecordedRequest> requests =
      environment_.server().downloadServer().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/product/bv/Brevalo.zip");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "application-x-zip");

  // Then the screen finishes the installation on the main thread.
  fs::create_directories(os::paths::desktop());
  EXPECT_TRUE(TSRPostInstall::finishInstallation(complete.texts[0]));
  EXPECT_EQ(fs::read_symlink(os::paths::desktop() / "Brevalo.app"), product);
  const fs::path tracking = os::paths::applicationSupport() / "tessaroTrack" / "BV-Track.plist";
  std::string script =
      "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
      "print(sorted((k, v) for k, v in d.items()))";
  std::string command = "python3 -c \"" + script + "\" '" + tracking.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512] = {};
  std::string printed = fgets(line, sizeof line, pipe) ? line : "";
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(printed,
            "[('LinkTrack', 'Official-fr'), ('NoYouToBePhoto', False), ('ProTrack', False), "
            "('VersionTrack', 'Official-fr')]\n");
  // The product's executable really ran.
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return fs::exists(environment_.marker()); }, 30));
  EXPECT_THAT(readFile(environment_.marker()),
              HasSubstr((product / "Contents/MacOS/Brevalo").string()));
}

TEST_F(DownloadManagerTest, FallsBackToTheUsersApplicationsFolder) {
  fs::create_directories(systemApplications());
  PinnedFolder pinned(systemApplications());
  if (!pinned.pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";
  // An older copy in the user's folder is replaced.
  writeFile(userApplications() / "Brevalo.app/Contents/old-only.txt", "old");

  std::shared_ptr<RecordingDelegate> delegate = install();
  pinned.unpin();
  EXPECT_EQ(delegate->sequence(), kInstalled);
  EXPECT_EQ(delegate->last().texts, std::vector<std::string>{userApplications().string()});
  EXPECT_TRUE(delegate->last().onGlobalQueue);
  EXPECT_THAT(applications(), ElementsAre((userApplications() / "Brevalo.app").string()));
  EXPECT_FALSE(fs::exists(userApplications() / "Brevalo.app/Contents/old-only.txt"));
  EXPECT_TRUE(fs::exists(userApplications() / "Brevalo.app/Contents/MacOS/Brevalo"));
  // On this route the zip stays in the cache folder.
  auto engine = environment_.engine(delegate);
  EXPECT_EQ(engine->jundDownloadFileIsExist(), (cache() / "Brevalo.zip").string());
  EXPECT_EQ(fs::file_size(cache() / "Brevalo.zip"),
            fs::file_size(environment_.server().archivePath()));
}

// The MD5 of what the server sends for the archive.
std::string servedMD5(EngineTestEnvironment& environment) {
  httplib::SSLClient client("127.0.0.1", environment.server().downloadServer().port());
  client.set_ca_cert_path(environment.server().certificatePath().string());
  client.enable_server_certificate_verification(true);
  httplib::Result result = client.Get("/product/bv/Brevalo.zip");
  if (!result) return "";
  fs::path served = environment.sandbox().root() / "served.zip";
  writeFile(served, result->body);
  return TempHelper::md5ForFile(served.string());
}

TEST_F(DownloadManagerTest, FailuresEndInTheirErrorAndLeaveNoTrace) {
  struct Case {
    const char* name;
    tools::Faults faults;
    // The last call: its method, error number and the start of its error text.
    const char* method;
    int32_t errorNumber;
    std::string text;
  };
  const std::string unzipError = "Unzip error:0 error.description:";
  const Case cases[] = {
      {"not found", {.status = 404}, "downError", 4, "Request failed: not found (404)"},
      {"cut mid-body", {.cutAfterBytes = 40000}, "downError", 4, ""},
      {"web page instead of the zip",
       {.substitute = tools::Substitute::HtmlPage},
       "installError",
       1,
       unzipError},
      {"corrupt zip",
       {.substitute = tools::Substitute::CorruptArchive},
       "installError",
       1,
       unzipError},
      {"escaping entries",
       {.substitute = tools::Substitute::EscapingArchive},
       "installError",
       1,
       unzipError},
  };
  const fs::path old = placeOldCopy();
  const std::vector<std::string> before = applications();
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    environment_.server().setFaults(tools::Resource::Archive, test.faults);
    std::shared_ptr<RecordingDelegate> delegate = install();
    Call last = delegate->last();
    EXPECT_EQ(last.method, test.method);
    EXPECT_EQ(last.errorNumber, test.errorNumber);
    if (test.errorNumber == kDownloadErrorDownloadFailed) {
      EXPECT_THAT(delegate->sequence(), ::testing::Not(::testing::Contains("downComplete")));
      EXPECT_TRUE(last.onMainThread);
      EXPECT_EQ(last.texts[0], "Brevalo.zip");
      EXPECT_EQ(last.texts[1], "internet_Exception");
      EXPECT_THAT(last.texts[2], AllOf(StartsWith(test.text), HasSubstr(", error code:")));
    } else {
      EXPECT_THAT(delegate->sequence(),
                  ElementsAre("progress", "downComplete", "installStart", "installError"));
      EXPECT_TRUE(last.onGlobalQueue);
      EXPECT_EQ(last.texts[0], systemApplications().string());
      EXPECT_THAT(last.texts[1], StartsWith(test.text));
      EXPECT_THAT(last.texts[1], HasSubstr("; MD5=" + servedMD5(environment_) + ";"));
    }
    // The zip is gone, the old copy is back in place, nothing half-made or escaped is left.
    EXPECT_THAT(describeTree(cache()), IsEmpty());
    EXPECT_EQ(applications(), before);
    EXPECT_EQ(readFile(old / "Contents/old-only.txt"), "old");
    EXPECT_FALSE(fs::exists(environment_.sandbox().root() / "tessaro-escaped.txt"));
    EXPECT_FALSE(fs::exists(os::paths::home() / "tessaro-escaped.txt"));
    EXPECT_FALSE(fs::exists(environment_.sandbox().systemRoot() / "tessaro-escaped.txt"));
  }
}

TEST_F(DownloadManagerTest, ADownloadWithoutEndStopsPastFourTimesTheExpectedSize) {
  const fs::path old = placeOldCopy();
  const std::vector<std::string> before = applications();
  const auto archiveSize = static_cast<int64_t>(fs::file_size(environment_.server().archivePath()));
  for (bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "chunked" : "close-delimited");
    environment_.server().setFaults(tools::Resource::Archive,
                                    {.chunked = chunked, .endless = true});
    auto delegate = std::make_shared<RecordingDelegate>();
    auto engine = std::make_shared<TSRDownloadManager>(
        delegate, engine_test::brevaloArchiveAddress(), "Brevalo.app", archiveSize);
    engine->downloadSpecifiedApp();
    ASSERT_TRUE(delegate->waitUntilFinished());
    Call last = delegate->last();
    EXPECT_EQ(last.method, "downError");
    EXPECT_EQ(last.errorNumber, kDownloadErrorDownloadFailed);
    EXPECT_THAT(last.texts[2], HasSubstr("error code:-1103"));
    EXPECT_THAT(describeTree(cache()), IsEmpty());
    EXPECT_EQ(applications(), before);
    EXPECT_EQ(readFile(old / "Contents/old-only.txt"), "old");
  }
}

TEST_F(DownloadManagerTest, ARedirectFromHttpsToPlainHttpIsRefused) {
  testsupport::LocalHttpServer plain;
  plain.respond("GET", "/Brevalo.zip", 200, readFile(environment_.server().archivePath()));
  environment_.server().downloadServer().respond("GET", "/moved/Brevalo.zip", 301, "",
                                                 {{"Location", plain.url("/Brevalo.zip")}});
  const fs::path old = placeOldCopy();
  const std::vector<std::string> before = applications();

  std::shared_ptr<RecordingDelegate> delegate =
      install(engine_test::brevaloArchiveAddress("/moved/Brevalo.zip"));
  Call last = delegate->last();
  EXPECT_EQ(last.method, "downError");
  EXPECT_EQ(last.errorNumber, kDownloadErrorDownloadFailed);
  EXPECT_THAT(last.texts[2], HasSubstr("error code:-1022"));
  EXPECT_EQ(plain.requestCount(), 0u);
  EXPECT_THAT(describeTree(cache()), IsEmpty());
  EXPECT_EQ(applications(), before);
}

TEST_F(DownloadManagerTest, AnArchiveWithoutTheProductIsAnUnzipFailure) {
  const fs::path old = placeOldCopy();
  const auto before = describeTree(systemApplications());
  auto file = [](const char* path) {
    return os::ZipEntry{path, os::ZipEntry::Kind::File, 0644, "new", ""};
  };
  const struct {
    const char* name;
    std::vector<os::ZipEntry> entries;
  } cases[] = {
      {"other", {file("Other.app/Contents/MacOS/Other")}},
      {"nested", {file("Brevalo/Brevalo.app/Contents/MacOS/Brevalo")}},
      {"empty", {}},
  };
  testsupport::LocalHttpServer server;
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const fs::path zip = environment_.sandbox().root() / (std::string(test.name) + ".zip");
    os::Error error;
    ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(zip.string(), test.entries, &error));
    const std::string path = std::string("/") + test.name + "/Brevalo.zip";
    server.respond("GET", path, 200, readFile(zip), {{"Content-Type", "application/zip"}});

    std::shared_ptr<RecordingDelegate> delegate = install(server.url(path));
    EXPECT_THAT(delegate->sequence(),
                ElementsAre("progress", "downComplete", "installStart", "installError"));
    EXPECT_EQ(delegate->last().errorNumber, kDownloadErrorUnzipFailed);
    EXPECT_EQ(delegate->last().texts[0], systemApplications().string());
    EXPECT_EQ(describeTree(systemApplications()), before);
    EXPECT_EQ(readFile(old / "Contents/old-only.txt"), "old");
    EXPECT_THAT(applications(), ElementsAre(old.string()));
    EXPECT_THAT(describeTree(cache()), IsEmpty());
  }
}

TEST_F(DownloadManagerTest, NothingButTheProductEntersTheApplicationsFolder) {
  writeFile(systemApplications() / "Victim.app/Contents/marker.txt", "mine");
  const auto victim = describeTree(systemApplications() / "Victim.app");
  const fs::path zip = environment_.sandbox().root() / "with-victim.zip";
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(
      zip.string(),
      {{"Brevalo.app/Contents/MacOS/Brevalo", os::ZipEntry::Kind::File, 0755, "new", ""},
       {"Victim.app/Contents/MacOS/Victim", os::ZipEntry::Kind::File, 0755, "evil", ""}},
      &error));
  testsupport::LocalHttpServer server;
  server.respond("GET", "/victim/Brevalo.zip", 200, readFile(zip),
                 {{"Content-Type", "application/zip"}});

  std::shared_ptr<RecordingDelegate> delegate = install(server.url("/victim/Brevalo.zip"));
  EXPECT_EQ(delegate->sequence(), kInstalled);
  EXPECT_EQ(readFile(systemApplications() / "Brevalo.app/Contents/MacOS/Brevalo"), "new");
  EXPECT_EQ(describeTree(systemApplications() / "Victim.app"), victim);
  EXPECT_EQ(readFile(systemApplications() / "Victim.app/Contents/marker.txt"), "mine");
  EXPECT_THAT(applications(), ElementsAre((systemApplications() / "Brevalo.app").string(),
                                          (systemApplications() / "Victim.app").string()));
}

TEST_F(DownloadManagerTest, AnOldCopyThatStaysMakesThePromptRepeatUntilTheUserGivesUp) {
  environment_.installer().addStrings(
      "en", {{"Install_App_Prompt_Msg3", "Please quit %@ and remove it, then try again."}});
  const fs::path old = placeOldCopy();
  PinnedFolder pinned(old);
  if (!pinned.pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";

  std::shared_ptr<RecordingDelegate> delegate =
      install(engine_test::brevaloArchiveAddress(), [](RecordingDelegate& recorder, auto&) {
        recorder.promptAnswer = [](int prompt) { return int64_t{prompt < 4 ? 1 : 0}; };
      });
  pinned.unpin();

  EXPECT_THAT(delegate->sequence(),
              ElementsAre("progress", "downComplete", "installStart", "prompt", "prompt", "prompt",
                          "prompt", "downError"));
  std::vector<Call> prompts = delegate->callsOf("prompt");
  for (size_t index = 0; index < prompts.size(); ++index) {
    EXPECT_TRUE(prompts[index].onMainThread);
    EXPECT_EQ(prompts[index].texts[0], "Brevalo.app");
    if (index > 0) {
      EXPECT_GE(prompts[index].time - prompts[index - 1].time, std::chrono::milliseconds(600));
    }
  }
  Call gaveUp = delegate->last();
  EXPECT_TRUE(gaveUp.onMainThread);
  EXPECT_EQ(gaveUp.errorNumber, kDownloadErrorDownloadFailed);
  EXPECT_EQ(gaveUp.texts[0], "Brevalo.zip");
  EXPECT_EQ(gaveUp.texts[1], "Please quit Brevalo and remove it, then try again.");
  EXPECT_THAT(gaveUp.texts[2],
              StartsWith("Please quit Brevalo and remove it, then try again.,remove old app "
                         "errorCode:"));
  EXPECT_EQ(readFile(old / "Contents/old-only.txt"), "old");
  EXPECT_THAT(describeTree(cache()), IsEmpty());
}

TEST_F(DownloadManagerTest, AnOldCopyThatTheUserRemovesLetsTheInstallationGoOn) {
  const fs::path old = placeOldCopy();
  auto pinned = std::make_shared<PinnedFolder>(old);
  if (!pinned->pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";

  std::shared_ptr<RecordingDelegate> delegate =
      install(engine_test::brevaloArchiveAddress(), [&](RecordingDelegate& recorder, auto&) {
        recorder.promptAnswer = [pinned, old](int prompt) {
          if (prompt == 2) {
            // The user quits the product and throws it away, then confirms.
            pinned->unpin();
            fs::remove_all(old);
          }
          return int64_t{1};
        };
      });
  EXPECT_THAT(delegate->sequence(), ElementsAre("progress", "downComplete", "installStart",
                                                "prompt", "prompt", "installComplete"));
  EXPECT_EQ(delegate->last().texts, std::vector<std::string>{systemApplications().string()});
  EXPECT_TRUE(fs::exists(old / "Contents/MacOS/Brevalo"));
  EXPECT_FALSE(fs::exists(old / "Contents/old-only.txt"));
}

TEST_F(DownloadManagerTest, RefusesWhatItCannotInstallBeforeTouchingTheNetwork) {
  // An address that cannot be fetched fails as a download, never silently: with no callback
  // the screen would wait for ever.
  struct AddressCase {
    const char* address;
    const char* code;
  };
  const AddressCase addresses[] = {
      {"", "error code:-1000"},
      {"not%20a%20url%20%C3%A9", "error code:-1000"},
      {"ftp://x", "error code:-1002"},
      {"http://", "error code:-1002"},
      {"file:///etc/passwd", "error code:-1002"},
  };
  for (const AddressCase& test : addresses) {
    SCOPED_TRACE(test.address);
    auto delegate = std::make_shared<RecordingDelegate>();
    environment_.engine(delegate, test.address)->downloadSpecifiedApp();
    ASSERT_TRUE(delegate->waitUntilFinished());
    EXPECT_THAT(delegate->sequence(), ElementsAre("downError"));
    EXPECT_EQ(delegate->last().errorNumber, kDownloadErrorDownloadFailed);
    EXPECT_EQ(delegate->last().texts[1], "internet_Exception");
    EXPECT_THAT(delegate->last().texts[2], HasSubstr(test.code));
    EXPECT_TRUE(delegate->last().onMainThread);
  }

  // No bundle name (or one that is not a plain name) would make the Applications folder itself,
  // or something outside it, the old copy.
  writeFile(systemApplications() / "Other.app/keep.txt", "other");
  for (const std::string bundle : {"", ".", "..", "../Applications"}) {
    SCOPED_TRACE(bundle);
    auto delegate = std::make_shared<RecordingDelegate>();
    auto engine = environment_.engine(delegate, engine_test::brevaloArchiveAddress(), bundle);
    engine->downloadSpecifiedApp();
    ASSERT_TRUE(delegate->waitUntilFinished());
    EXPECT_THAT(delegate->sequence(), ElementsAre("downError"));
    EXPECT_EQ(delegate->last().errorNumber, kDownloadErrorDownloadFailed);
    EXPECT_TRUE(delegate->last().onMainThread);
  }
  EXPECT_THAT(environment_.server().downloadServer().requests(), IsEmpty());
  EXPECT_EQ(readFile(systemApplications() / "Other.app/keep.txt"), "other");
}

TEST_F(DownloadManagerTest, AnAddressWithoutAFileNameNeverRemovesTheCacheFolder) {
  writeFile(cache() / "keep.txt", "kept");
  std::shared_ptr<RecordingDelegate> delegate =
      install(std::string("https://") + TSRHosts::kDownloadHost + "/");
  EXPECT_EQ(delegate->last().method, "downError");
  EXPECT_EQ(delegate->last().texts[0], kFallbackDownloadFileName);
  EXPECT_THAT(describeTree(cache()), ElementsAre(Key("keep.txt")));

  // An address that is no URL fails as a download.
  delegate = install("http://download.tessaro.example/a b.zip");
  EXPECT_THAT(delegate->sequence(), ElementsAre("downError"));
  EXPECT_THAT(delegate->last().texts[2], HasSubstr("error code:-1000"));
}

TEST_F(DownloadManagerTest, ADownloadWithoutLengthReportsNoBogusPercentages) {
  environment_.server().setFaults(tools::Resource::Archive, {.chunked = true});
  std::shared_ptr<RecordingDelegate> delegate = install();
  EXPECT_EQ(delegate->last().method, "installComplete");
  for (const Call& report : delegate->callsOf("progress")) {
    EXPECT_TRUE(std::isfinite(report.percent));
    EXPECT_GE(report.percent, 0);
    EXPECT_LE(report.percent, 100);
  }
}

TEST_F(DownloadManagerTest, AStalledTransferTimesOutWhileASlowSteadyOneCompletes) {
  constexpr double kTimeout = 1.0;
  const std::string archive = readFile(environment_.server().archivePath());
  testsupport::LocalHttpServer stalling;
  testsupport::Reply reply;
  reply.body = archive;
  reply.pieceSize = archive.size() / 4;
  reply.pause = std::chrono::milliseconds(4000);
  reply.headers = {{"Content-Type", "application/zip"}};
  stalling.respond("GET", "/stalled/Brevalo.zip", reply);
  auto started = std::chrono::steady_clock::now();
  std::shared_ptr<RecordingDelegate> delegate = install(
      stalling.url("/stalled/Brevalo.zip"),
      [&](RecordingDelegate&, TSRDownloadManager& engine) { engine.setTimeoutInterval(kTimeout); });
  EXPECT_EQ(delegate->last().method, "downError");
  EXPECT_THAT(delegate->last().texts[2], HasSubstr("error code:-1001"));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_THAT(describeTree(cache()), IsEmpty());

  // About two and a half seconds for the whole archive, never a second without a byte.
  environment_.server().setFaults(tools::Resource::Archive,
                                  {.bytesPerSecond = archive.size() * 2 / 5});
  started = std::chrono::steady_clock::now();
  delegate = install(
      engine_test::brevaloArchiveAddress(),
      [&](RecordingDelegate&, TSRDownloadManager& engine) { engine.setTimeoutInterval(kTimeout); });
  EXPECT_EQ(delegate->last().method, "installComplete");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(DownloadManagerTest, AnExceptionWhileInstallingIsReportedWithItsReason) {
  std::shared_ptr<RecordingDelegate> delegate =
      install(engine_test::brevaloArchiveAddress(), [](RecordingDelegate& recorder, auto&) {
        recorder.completeThrows = os::Exception(os::kGenericException, "the screen is gone");
      });
  EXPECT_THAT(delegate->sequence(), ElementsAre("progress", "downComplete", "installStart",
                                                "installComplete", "installError"));
  Call last = delegate->last();
  EXPECT_TRUE(last.onGlobalQueue);
  EXPECT_EQ(last.texts, (std::vector<std::string>{"Brevalo.zip", "the screen is gone"}));
  EXPECT_EQ(last.errorNumber, kDownloadErrorUnzipException);
  EXPECT_THAT(describeTree(cache()), IsEmpty());
}

}  // namespace
