#include "core/heartbeats/heartbeat_storage.h"

#include <gtest/gtest.h>

#include "testsupport/sandbox.h"

namespace heartbeats {
namespace {

// A back end that refuses every write and reads what it was given.
class UnwritableStorage : public Storage {
 public:
  explicit UnwritableStorage(std::string bytes) : bytes_(std::move(bytes)) {}
  std::optional<std::string> read(StorageError*) override { return bytes_; }
  bool write(const std::optional<std::string>&, StorageError* error) override {
    if (error) *error = StorageError::writeError;
    return false;
  }

 private:
  std::string bytes_;
};

HeartbeatStorage::Transform appendOne(double date) {
  return [date](std::optional<HeartbeatsBundle> bundle) {
    if (!bundle) bundle.emplace(HeartbeatsBundle::kDefaultCapacity);
    bundle->append({"a", date, 0, {TimePeriod::daily}});
    return bundle;
  };
}

TEST(HeartbeatStorage, OneStoragePerIdentifierWhileItIsAlive) {
  testsupport::Sandbox sandbox;
  auto first = HeartbeatStorage::getInstance("id-1");
  EXPECT_EQ(HeartbeatStorage::getInstance("id-1"), first);
  EXPECT_NE(HeartbeatStorage::getInstance("id-2"), first);
  std::weak_ptr<HeartbeatStorage> released = first;
  first.reset();
  EXPECT_TRUE(released.expired());
  EXPECT_NE(HeartbeatStorage::getInstance("id-1"), nullptr);
}

TEST(HeartbeatStorage, AnOldStorageGoingAwayLeavesTheNewOneInTheCache) {
  testsupport::Sandbox sandbox;
  auto cached = HeartbeatStorage::getInstance("shared-id");
  // A storage of the same identifier that the cache does not hold (as one that is going away
  // while a new one is cached) must not take the cached one out when it is destroyed.
  HeartbeatStorage::create("shared-id", FileStorage::makeStorage("shared-id")).reset();
  EXPECT_EQ(HeartbeatStorage::getInstance("shared-id"), cached);
}

TEST(HeartbeatStorage, ChangesRunInTheOrderIssuedAndPersist) {
  testsupport::Sandbox sandbox;
  auto storage = HeartbeatStorage::getInstance("ordered");
  for (int n = 0; n < 5; ++n) storage->readAndWriteAsync(appendOne(n * kSecondsPerDay));
  std::optional<HeartbeatsBundle> loaded;
  ASSERT_TRUE(storage->getAndSet([](auto) { return std::nullopt; }, &loaded));
  ASSERT_TRUE(loaded);
  std::vector<double> dates;
  for (const Heartbeat& heartbeat : loaded->buffer.elements()) dates.push_back(heartbeat.date);
  EXPECT_EQ(dates, (std::vector<double>{0, 86400, 2 * 86400, 3 * 86400, 4 * 86400}));
  // The store now holds zero bytes: no bundle.
  ASSERT_TRUE(storage->getAndSet([](auto bundle) { return bundle; }, &loaded));
  EXPECT_EQ(loaded, std::nullopt);
}

TEST(HeartbeatStorage, AnUndecodableStoreCountsAsNone) {
  auto storage = HeartbeatStorage::create("bad", std::make_unique<UnwritableStorage>("{oops"));
  bool sawNone = false;
  storage->readAndWriteSync([&](std::optional<HeartbeatsBundle> bundle) {
    sawNone = !bundle;
    return bundle;
  });
  EXPECT_TRUE(sawNone);
}

TEST(HeartbeatStorage, GetAndSetReportsAFailedSave) {
  auto storage = HeartbeatStorage::create("unwritable", std::make_unique<UnwritableStorage>(""));
  std::optional<HeartbeatsBundle> loaded = HeartbeatsBundle(1);
  EXPECT_FALSE(storage->getAndSet(appendOne(0), &loaded));
  EXPECT_TRUE(loaded);  // untouched
}

}  // namespace
}  // namespace heartbeats
