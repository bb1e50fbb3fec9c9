#include "measurement/foundation/persistent_dictionary.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "measurement/foundation/storage_paths.h"
#include "measurement/foundation/test_support.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/plist.h"
#include "platform/utilities/logger.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace measurement {
namespace {

constexpr const char* kName = "com.vedodo.gmp.measurement";

// Holds the delayed writes until the test says the second is over.
class ManualDelay {
 public:
  PersistentDictionary::Delay delay() {
    return [this](double seconds, os::DispatchBlock block) {
      EXPECT_EQ(seconds, 1.0);
      os::MutexLock lock(mutex_);
      blocks_.push_back(std::move(block));
    };
  }
  size_t pending() {
    os::MutexLock lock(mutex_);
    return blocks_.size();
  }
  // Runs the writes scheduled so far.
  void elapse() {
    std::vector<os::DispatchBlock> due;
    {
      os::MutexLock lock(mutex_);
      due.swap(blocks_);
    }
    for (const os::DispatchBlock& block : due) block();
  }

 private:
  os::Mutex mutex_;
  std::vector<os::DispatchBlock> blocks_ OS_GUARDED_BY(mutex_);
};

class PersistentDictionaryTest : public testing::Test {
 protected:
  PersistentDictionaryTest() { VDULoggerResetForTesting(); }

  static os::Value onDisk() { return PreferencesSandbox::plistFile(measurementPlistPath(kName)); }

  testsupport::Sandbox sandbox_;
  VDULoggerCapture console_;
  ManualDelay clock_;
};

TEST_F(PersistentDictionaryTest, ABurstOfChangesIsWrittenOnceASecondLater) {
  std::shared_ptr<PersistentDictionary> store = PersistentDictionary::create(kName, clock_.delay());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->path(), (os::paths::applicationSupport() / "Vedodo/Measurement" /
                            "com.vedodo.gmp.measurement.plist")
                               .string());
  for (int i = 0; i < 1000; ++i) store->setInteger(i, "key" + std::to_string(i));
  EXPECT_EQ(clock_.pending(), 1u);
  EXPECT_FALSE(std::filesystem::exists(store->path()));
  clock_.elapse();
  os::Value file = onDisk();
  ASSERT_TRUE(file.isDictionary());
  EXPECT_EQ(file.asDictionary()->size(), 1000u);
  EXPECT_EQ(file["key999"], os::Value(999));

  // An unchanged value schedules nothing; a value set and removed again leaves no trace.
  store->setInteger(5, "key5");
  store->removeObjectForKey("absent");
  EXPECT_EQ(clock_.pending(), 0u);
  store->setObject("transient", "brief");
  store->removeObjectForKey("brief");
  EXPECT_EQ(clock_.pending(), 1u);
  clock_.elapse();
  EXPECT_TRUE(onDisk()["brief"].isNull());
  EXPECT_EQ(onDisk().asDictionary()->size(), 1000u);

  store->clearAllData();
  clock_.elapse();
  EXPECT_EQ(onDisk(), os::Value(os::Dictionary{}));
}

TEST_F(PersistentDictionaryTest, AFailedWriteStaysPendingAndIsRetriedASecondLater) {
  std::shared_ptr<PersistentDictionary> store = PersistentDictionary::create(kName, clock_.delay());
  const std::filesystem::path folder = std::filesystem::path(store->path()).parent_path();
  std::filesystem::remove_all(folder);
  store->setObject("ABCDEF", "/vedodo/measurement/app_instance_id");
  clock_.elapse();
  EXPECT_TRUE(console_.contains("<ZadOdavodivezi>[I-ACS043000] Cannot persist configs to disk."));
  EXPECT_EQ(clock_.pending(), 1u);
  clock_.elapse();  // still failing: pending again
  EXPECT_EQ(clock_.pending(), 1u);

  ASSERT_TRUE(os::files::createDirectory(folder, true, nullptr));
  clock_.elapse();
  EXPECT_EQ(onDisk()["/vedodo/measurement/app_instance_id"], os::Value("ABCDEF"));
  EXPECT_EQ(clock_.pending(), 0u);
}

TEST_F(PersistentDictionaryTest, ThePendingWriteHappensWhenTheLastReferenceGoes) {
  {
    std::shared_ptr<PersistentDictionary> store =
        PersistentDictionary::create(kName, clock_.delay());
    store->setInteger(7, "/vedodo/measurement/session_number");
  }
  EXPECT_EQ(onDisk()["/vedodo/measurement/session_number"], os::Value(7));
  clock_.elapse();  // the scheduled write finds its dictionary gone
  std::shared_ptr<PersistentDictionary> reopened = PersistentDictionary::create(kName);
  EXPECT_EQ(reopened->integerForKey("/vedodo/measurement/session_number"), 7);
}

TEST_F(PersistentDictionaryTest, RefusedKeysAndValuesChangeNothing) {
  std::shared_ptr<PersistentDictionary> store = PersistentDictionary::create(kName, clock_.delay());
  store->setObject("kept", "k");
  struct Case {
    const char* name;
    std::string key;
    os::Value value;
    const char* logged;
  };
  const Case cases[] = {
      {"empty key", "", os::Value(1), "[I-ACS043002] Cannot set object for invalid config key."},
      {"null inside an array", "k", os::Array{"a", nullptr}, "[I-ACS043003]"},
      {"control character", "k", os::Value("a\x01z"), "[I-ACS043003]"},
      {"invalid UTF-8", "k", os::Value("\xC3\x28"), "[I-ACS043003]"},
      {"invalid UTF-8 key", "\xFF", os::Value(1), "[I-ACS043003]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store->setObject(c.value, c.key);
    EXPECT_TRUE(console_.contains(c.logged));
  }
  EXPECT_TRUE(store->objectForKey("").isNull());
  EXPECT_TRUE(console_.contains("[I-ACS043001] Cannot get object for invalid config key."));
  clock_.elapse();
  EXPECT_EQ(onDisk(), os::Value(os::Dictionary{{"k", "kept"}}));
  // Dates and data are welcome.
  store->setObject(os::Date{1.7e9}, "date");
  store->setObject(os::Data{1, 2, 3}, "data");
  clock_.elapse();
  EXPECT_EQ(onDisk()["date"], os::Value(os::Date{1.7e9}));
  EXPECT_EQ(onDisk()["data"], os::Value(os::Data{1, 2, 3}));
}

TEST_F(PersistentDictionaryTest, AFileThatIsNoDictionaryStartsEmptyAndIsReplacedAtTheFirstChange) {
  const std::filesystem::path path = measurementPlistPath(kName);
  ASSERT_TRUE(os::files::createDirectory(path.parent_path(), true, nullptr));
  for (const char* contents : {"<plist><array><string>a</string></array></plist>", "garbage"}) {
    SCOPED_TRACE(contents);
    ASSERT_TRUE(os::files::writeAtomically(path, contents, nullptr));
    std::shared_ptr<PersistentDictionary> store =
        PersistentDictionary::create(kName, clock_.delay());
    EXPECT_TRUE(store->objectForKey("a").isNull());
    store->setBool(true, "flag");
    clock_.elapse();
    EXPECT_EQ(onDisk(), os::Value(os::Dictionary{{"flag", true}}));
  }
}

TEST_F(PersistentDictionaryTest, AKilledWriterAlwaysLeavesACompleteFile) {
  const std::filesystem::path path = measurementPlistPath(kName);
  int64_t lastSeen = -1;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    testsupport::Child writer({FOUNDATION_CHILD, "storm", kName},
                              testsupport::ChildOutput::StandardOutput);
    ASSERT_TRUE(writer.started());
    // The child reports each completed write; kill it after a varying number of them, while
    // it is busy with the next.
    for (int writes = 0; writes <= round % 4; ++writes) ASSERT_TRUE(writer.readLine());
    writer.signal(SIGKILL);
    writer.wait(false);

    auto bytes = os::files::readFile(path, nullptr);
    ASSERT_TRUE(bytes);
    std::optional<os::Value> file = os::plist::parse(*bytes);
    ASSERT_TRUE(file && file->isDictionary());
    // Each write holds one generation: its number and a payload made of it.
    const os::Value& state = (*file)["state"];
    const int64_t generation = state["generation"].integerValue();
    EXPECT_EQ(state["payload"], os::Value(std::string(65536, 'a' + generation % 26)));
    EXPECT_GE(generation, lastSeen);
    lastSeen = generation;
  }
}

TEST(StoragePaths, NamesAndExtensions) {
  testsupport::Sandbox sandbox;
  const std::string folder = (os::paths::applicationSupport() / "Vedodo/Measurement/").string();
  EXPECT_EQ(measurementPlistPath("suite"), folder + "suite.plist");
  EXPECT_EQ(measurementPlistPath("suite.plist"), folder + "suite.plist");
  EXPECT_EQ(measurementPlistPath("suite.db"), folder + "suite.db.plist");
  EXPECT_EQ(measurementDataPath("vedodo-app-measurement.sql"),
            folder + "vedodo-app-measurement.sql");
  EXPECT_EQ(preferencesPlistPath("suite"), (os::paths::preferences() / "suite.plist").string());
  for (auto function : {measurementPlistPath, measurementDataPath, preferencesPlistPath}) {
    EXPECT_EQ(function(""), "");
  }
  os::Error error;
  EXPECT_FALSE(deleteFileAtPath("", &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.localizedDescription(), "Received empty path for deleting file");
  EXPECT_FALSE(deleteFileAtPath(folder + "missing", &error));
  EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
}

TEST(StoragePaths, MigratingASuiteMovesItsPreferencesFileOnce) {
  struct Case {
    const char* name;
    const char* oldContents;  // null: none; "/": a folder
    const char* newContents;
    bool migrated;
    const char* newAfter;
    bool oldLeft;
  };
  const Case cases[] = {
      {"old only", "old", nullptr, true, "old", false},
      {"both", "old", "new", true, "new", false},
      {"neither", nullptr, nullptr, true, nullptr, false},
      {"old is a folder", "/", nullptr, false, nullptr, true},
      {"new is a folder", "old", "/", false, "/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    const std::filesystem::path oldPath = preferencesPlistPath(kName);
    const std::filesystem::path newPath = measurementPlistPath(kName);
    auto place = [](const std::filesystem::path& path, const char* contents) {
      if (!contents) return;
      ASSERT_TRUE(os::files::createDirectory(path.parent_path(), true, nullptr));
      if (std::string(contents) == "/") {
        ASSERT_TRUE(os::files::createDirectory(path, true, nullptr));
      } else {
        ASSERT_TRUE(os::files::writeAtomically(path, contents, nullptr));
      }
    };
    place(oldPath, c.oldContents);
    place(newPath, c.newContents);
    EXPECT_EQ(migratePreferencesSuite(kName), c.migrated);
    EXPECT_EQ(std::filesystem::exists(oldPath), c.oldLeft);
    if (c.newAfter && std::string(c.newAfter) != "/") {
      EXPECT_EQ(os::files::readFile(newPath, nullptr), c.newAfter);
    }
  }
  EXPECT_FALSE(migratePreferencesSuite(""));
}

}  // namespace
}  // namespace measurement
