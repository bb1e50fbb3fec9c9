#include "core/heartbeats/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/heartbeats/heartbeat_controller.h"
#include "os/bundle/defaults.h"
#include "testsupport/sandbox.h"

namespace heartbeats {
namespace {

namespace fs = std::filesystem;

TEST(FileStorage, FileNamesKeepOnlySafeCharactersOfTheIdentifier) {
  struct Case {
    const char* identifier;
    const char* name;
  } cases[] = {
      {"1:123:ios:ab", "heartbeats-1_123_ios_ab"},
      {"plain-id_1.2", "heartbeats-plain-id_1.2"},
      {"../../etc/passwd", "heartbeats-.._.._etc_passwd"},
      {"..", "heartbeats-.."},
      {"a b\xC3\xA9", "heartbeats-a_b__"},
      {"", "heartbeats-"},
  };
  for (const Case& c : cases) EXPECT_EQ(FileStorage::fileName(c.identifier), c.name);
}

TEST(FileStorage, LivesInApplicationSupportAndStaysInItsFolder) {
  testsupport::Sandbox sandbox;
  const fs::path folder = sandbox.home() / ".local/share/vedodo-heartbeat-storage";
  auto storage = FileStorage::makeStorage("1:2:ios:3");
  EXPECT_EQ(static_cast<FileStorage&>(*storage).url(), folder / "heartbeats-1_2_ios_3");
  auto escaping = FileStorage::makeStorage("../x");
  EXPECT_EQ(static_cast<FileStorage&>(*escaping).url().parent_path(), folder);
  EXPECT_FALSE(fs::exists(folder));  // nothing on disk before the first write
}

TEST(FileStorage, FirstWriteCreatesTheFolderAndLaterWritesReplaceTheFile) {
  testsupport::Sandbox sandbox;
  auto storage = FileStorage::makeStorage("app");
  StorageError error = StorageError::writeError;
  EXPECT_EQ(storage->read(&error), std::nullopt);
  EXPECT_EQ(error, StorageError::readError);

  ASSERT_TRUE(storage->write(std::string("first")));
  ASSERT_TRUE(storage->write(std::string("second")));
  EXPECT_EQ(storage->read(), "second");
  // Writing nothing leaves an empty file, which reads as zero bytes.
  ASSERT_TRUE(storage->write(std::nullopt));
  const fs::path file = sandbox.home() / ".local/share/vedodo-heartbeat-storage/heartbeats-app";
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);
  EXPECT_EQ(storage->read(), "");
}

TEST(FileStorage, AWriteThatCannotCreateTheFolderFails) {
  testsupport::Sandbox sandbox;
  fs::create_directories(sandbox.home() / ".local/share");
  std::ofstream(sandbox.home() / ".local/share/vedodo-heartbeat-storage") << "a file";
  auto storage = FileStorage::makeStorage("app");
  StorageError error = StorageError::readError;
  EXPECT_FALSE(storage->write(std::string("x"), &error));
  EXPECT_EQ(error, StorageError::writeError);
}

// Each back end makes the storage of an identifier through the same factory signature.
TEST(StorageFactory, BothBackEndsMakeAStorageOfAnIdentifier) {
  testsupport::Sandbox sandbox;
  os::UserDefaults::resetForTesting();
  for (StorageFactory factory : {&FileStorage::makeStorage, &UserDefaultsStorage::makeStorage}) {
    std::unique_ptr<Storage> storage = factory("1:2:ios:3");
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(storage->read(), std::nullopt);
    ASSERT_TRUE(storage->write(std::string("bytes")));
    EXPECT_EQ(factory("1:2:ios:3")->read(), "bytes");
    EXPECT_EQ(factory("1:2:ios:4")->read(), std::nullopt);
  }
  os::UserDefaults::resetForTesting();
}

TEST(UserDefaultsStorage, KeepsTheBytesAsDataUnderItsKeyAndRemovesItForNothing) {
  testsupport::Sandbox sandbox;
  os::UserDefaults::resetForTesting();
  os::UserDefaults suite = *os::UserDefaults::suite("heartbeat-test");
  UserDefaultsStorage storage(suite, "heartbeats-app");
  StorageError error = StorageError::writeError;
  EXPECT_EQ(storage.read(&error), std::nullopt);
  EXPECT_EQ(error, StorageError::readError);

  const std::string bytes("{\"a\":\0\xFF}", 8);  // any bytes, NUL and non-UTF-8 included
  ASSERT_TRUE(storage.write(bytes));
  EXPECT_EQ(suite.dataForKey("heartbeats-app"), os::Data(bytes.begin(), bytes.end()));
  // Written to disk: a fresh process view of the suite reads the same bytes.
  os::UserDefaults::resetForTesting();
  EXPECT_EQ(
      UserDefaultsStorage(*os::UserDefaults::suite("heartbeat-test"), "heartbeats-app").read(),
      bytes);

  // Zero bytes are data too; nothing removes the key, so that a read fails again.
  ASSERT_TRUE(storage.write(std::string()));
  EXPECT_EQ(storage.read(), "");
  ASSERT_TRUE(storage.write(std::nullopt));
  EXPECT_TRUE(suite.objectForKey("heartbeats-app").isNull());
  EXPECT_EQ(storage.read(), std::nullopt);

  // A key that holds something other than data is no stored bundle.
  suite.setObject("heartbeats-app", "text");
  EXPECT_EQ(storage.read(&error), std::nullopt);
  os::UserDefaults::resetForTesting();
}

TEST(UserDefaultsStorage, CarriesAHeartbeatStoreFromLogToFlush) {
  testsupport::Sandbox sandbox;
  os::UserDefaults::resetForTesting();
  constexpr double kDay = 1765238400;  // 2025-12-09 00:00:00 UTC
  HeartbeatController controller(
      HeartbeatStorage::create("app", UserDefaultsStorage::makeStorage("app")),
      [] { return kDay + 3600; });
  controller.log("agent/1");
  HeartbeatsPayload flushed = controller.flush();
  EXPECT_EQ(flushed, (HeartbeatsPayload{{{"agent/1", {kDay}}}, 2}));
  EXPECT_TRUE(controller.flush().isEmpty());
  os::UserDefaults::resetForTesting();
}

}  // namespace
}  // namespace heartbeats
