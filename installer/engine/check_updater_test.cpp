#include "installer/engine/check_updater.h"

#include <gtest/gtest.h>

#include "installer/engine/engine_test_support.h"
#include "os/log/log.h"
#include "os/value/plist.h"

namespace {

namespace fs = std::filesystem;
using engine_test::EngineTestEnvironment;
using engine_test::writeFile;

// Every size of the product information, by size.
std::map<ArchiveSize, int64_t> allSizes() {
  std::map<ArchiveSize, int64_t> sizes;
  for (size_t index = 0; index < kArchiveSizeCount; ++index) {
    auto size = static_cast<ArchiveSize>(index);
    sizes[size] = TSRSoftWareInfo::singleton().archiveSize(size);
  }
  return sizes;
}

TEST(TSRCheckUpdaterTest, TakesTheNumbersOfTheListAndNothingElse) {
  struct Case {
    const char* name;
    std::string body;
    std::map<ArchiveSize, int64_t> changed;
  };
  auto list = [](os::Dictionary entries) {
    return *os::plist::serialize(os::Value(std::move(entries)), os::plist::Format::Xml);
  };
  const Case cases[] = {
      {"only bv", list({{"bvLenght", 4242}}), {{ArchiveSize::BV, 4242}}},
      {"all seven",
       list({{"kviLenght", 1},
             {"kvaLenght", 2},
             {"kvcLenght", 3},
             {"hliLenght", 4},
             {"hlaLenght", 5},
             {"snLenght", 6},
             {"bvLenght", 7},
             // Not one of the list's entries.
             {"xdLenght", 8}}),
       {{ArchiveSize::KVI, 1},
        {ArchiveSize::KVA, 2},
        {ArchiveSize::KVC, 3},
        {ArchiveSize::HLI, 4},
        {ArchiveSize::HLA, 5},
        {ArchiveSize::SN, 6},
        {ArchiveSize::BV, 7}}},
      {"reals truncate, wrong types are absent",
       list({{"bvLenght", 99.9},
             {"kviLenght", "123"},
             {"kvaLenght", true},
             {"snLenght", os::Array{1}}}),
       {{ArchiveSize::BV, 99}}},
      {"binary list",
       *os::plist::serialize(os::Dictionary{{"hlaLenght", 17}}, os::plist::Format::Binary),
       {{ArchiveSize::HLA, 17}}},
      {"not a dictionary", *os::plist::serialize(os::Array{7}, os::plist::Format::Xml), {}},
      {"a web page", "<html><body>404</body></html>", {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    InstallerTestEnvironment environment;
    std::map<ArchiveSize, int64_t> expected = allSizes();
    for (const auto& [size, bytes] : test.changed) expected[size] = bytes;
    fs::path file = environment.sandbox().root() / "installer.plist";
    writeFile(file, test.body);
    TSRCheckUpdater::parsePlistContent(file.string());
    EXPECT_EQ(allSizes(), expected);
  }
  InstallerTestEnvironment environment;
  std::map<ArchiveSize, int64_t> before = allSizes();
  TSRCheckUpdater::parsePlistContent((environment.sandbox().root() / "missing").string());
  EXPECT_EQ(allSizes(), before);
}

TEST(TSRCheckUpdaterTest, DownloadsTheListFromTheDownloadHostOnTheMainLoop) {
  EngineTestEnvironment environment;
  auto checker = std::make_shared<TSRCheckUpdater>();
  EXPECT_EQ(checker->updateFileName(), "installer.plist");
  EXPECT_EQ(checker->updateFileUrlPath(),
            std::string("https://") + TSRHosts::kDownloadHost + "/config/installer.plist");
  EXPECT_EQ(checker->updateFileLocalPath(),
            (fs::path(TempHelper::getAppTempPath()) / "installer.plist").string());
  // A copy from an earlier check is replaced.
  writeFile(checker->updateFileLocalPath(), "stale");

  std::map<ArchiveSize, int64_t> expected = allSizes();
  expected[ArchiveSize::BV] =
      static_cast<int64_t>(fs::file_size(environment.server().archivePath()));
  {
    os::log::Capture capture;
    checker->checkUpdate();
    // The checker keeps itself alive while it runs.
    checker.reset();
    ASSERT_TRUE(
        os::RunLoop::main().runUntil([&] { return capture.contains("downloadDidFinish"); }, 30));
  }
  EXPECT_EQ(allSizes(), expected);
  EXPECT_EQ(environment.server().downloadServer().requests().back().path,
            tools::ResourceServer::kUpdateListPath);

  // A missing list changes nothing; the check finishes all the same, the page being its file.
  environment.server().setFaults(tools::Resource::UpdateList, {.status = 404});
  TSRSoftWareInfo::singleton().setArchiveSize(ArchiveSize::BV, 13519338);
  expected[ArchiveSize::BV] = 13519338;
  os::log::Capture capture;
  std::make_shared<TSRCheckUpdater>()->checkUpdate();
  ASSERT_TRUE(
      os::RunLoop::main().runUntil([&] { return capture.contains("downloadDidFinish"); }, 30));
  EXPECT_EQ(allSizes(), expected);

  // No server at all: the check fails quietly.
  environment.sandbox().setEnv("TESSARO_CONNECT_TO", "download.tessaro.example:443:127.0.0.1:9");
  std::make_shared<TSRCheckUpdater>()->checkUpdate();
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return capture.contains("download error"); }, 30));
  EXPECT_EQ(allSizes(), expected);
}

}  // namespace
