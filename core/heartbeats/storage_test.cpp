#include "core/heartbeats/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace heartbeats
