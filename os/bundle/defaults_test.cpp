#include "os/bundle/defaults.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/log/log.h"
#include "os/value/exception.h"
#include "os/value/plist.h"
#include "testsupport/sandbox.h"

namespace os {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSuite = "com.example.defaults-test";

// Each case gets its own HOME, no main bundle of its own and fresh defaults caches.
class UserDefaultsTest : public ::testing::Test {
 protected:
  UserDefaultsTest() {
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    Bundle::resetMainForTesting();
    UserDefaults::resetForTesting();
  }
  ~UserDefaultsTest() override {
    UserDefaults::resetForTesting();
    Bundle::resetMainForTesting();
  }

  static UserDefaults suite(const char* name = kSuite) { return *UserDefaults::suite(name); }

  static fs::path fileOf(std::string_view domain) {
    return paths::preferences() / (std::string(domain) + ".plist");
  }
  // The domain's file as another process would read it.
  static Value onDisk(std::string_view domain) {
    std::optional<std::string> bytes = files::readFile(fileOf(domain), nullptr);
    std::optional<Value> value = bytes ? plist::parse(*bytes) : std::nullopt;
    return value.value_or(Value());
  }
  static void writeDomainFile(std::string_view domain, const Value& contents) {
    ASSERT_TRUE(files::createDirectory(paths::preferences(), true, nullptr));
    ASSERT_TRUE(files::writeAtomically(
        fileOf(domain), *plist::serialize(contents, plist::Format::Binary), nullptr));
  }

  testsupport::Sandbox sandbox_;
};

// Runs `body` in a forked child; returns its exit status (or -1 when it did not exit).
template <typename Body>
int runInChild(Body body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(UserDefaultsTest, EveryKindSurvivesAReloadFromTheBinaryFile) {
  const Dictionary values = {
      {"flag", true},
      {"off", false},
      {"count", 42},
      {"big", uint64_t{18446744073709551615u}},
      {"ratio", 0.25},
      {"name", "Brevalo"},
      {"bytes", Data{0, 1, 254, 255}},
      {"when", Date{1700000000.5}},
      {"list", Array{1, "two", false}},
      {"nested", Dictionary{{"inner", Array{Dictionary{{"deep", true}}}}}},
  };
  UserDefaults defaults = suite();
  for (const auto& [key, value] : values) defaults.setObject(key, value);

  std::optional<std::string> bytes = files::readFile(fileOf(kSuite), nullptr);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 8), "bplist00");
  EXPECT_EQ(onDisk(kSuite), Value(values));

  UserDefaults::resetForTesting();
  for (const auto& [key, value] : values) {
    SCOPED_TRACE(key);
    const Value reloaded = suite().objectForKey(key);
    EXPECT_EQ(reloaded, value);
    EXPECT_EQ(reloaded.type(), value.type());
  }
  EXPECT_TRUE(suite().objectForKey("flag").isBool()) << "a boolean must not come back as 1";
}

TEST_F(UserDefaultsTest, TypedReadsCoerceLikeThePlatform) {
  UserDefaults defaults = suite();
  defaults.setObject("numericText", "12abc");
  defaults.setObject("yes", "YES");
  defaults.setObject("three", 3);
  defaults.setObject("flag", true);
  defaults.setObject("half", 0.5);
  defaults.setObject("list", Array{"a"});
  defaults.setObject("map", Dictionary{{"k", "v"}});
  defaults.setObject("bytes", Data{7});

  EXPECT_EQ(defaults.integerForKey("numericText"), 12);
  EXPECT_TRUE(defaults.boolForKey("yes"));
  EXPECT_TRUE(defaults.boolForKey("three"));
  EXPECT_EQ(defaults.integerForKey("flag"), 1);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("half"), 0.5);
  EXPECT_EQ(defaults.stringForKey("three"), "3");
  EXPECT_EQ(defaults.stringForKey("numericText"), "12abc");
  EXPECT_EQ(defaults.arrayForKey("list"), Array{"a"});
  EXPECT_EQ(defaults.dictionaryForKey("map"), (Dictionary{{"k", "v"}}));
  EXPECT_EQ(defaults.dataForKey("bytes"), Data{7});

  // Another kind, or nothing, gives the empty answer.
  EXPECT_EQ(defaults.arrayForKey("numericText"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("list"), std::nullopt);
  EXPECT_EQ(defaults.dataForKey("numericText"), std::nullopt);
  EXPECT_EQ(defaults.stringForKey("list"), std::nullopt);
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);
  EXPECT_TRUE(defaults.objectForKey("missing").isNull());
}

TEST_F(UserDefaultsTest, ReadsTheDomainThenTheGlobalDomainThenRegistrations) {
  writeDomainFile(UserDefaults::kGlobalDomainFileName,
                  Dictionary{{"AppleLanguages", Array{"fr-FR", "en"}}, {"shared", "global"}});
  const std::string globalBytes =
      *files::readFile(fileOf(UserDefaults::kGlobalDomainFileName), nullptr);
  UserDefaults defaults = suite();
  defaults.registerDefaults(
      Dictionary{{"shared", "registered"}, {"onlyRegistered", 1}, {"AppleLanguages", "no"}});
  defaults.registerDefaults(Dictionary{{"onlyRegistered", 2}});

  EXPECT_EQ(defaults.arrayForKey("AppleLanguages"), (Array{"fr-FR", "en"}));
  EXPECT_EQ(defaults.objectForKey("shared"), Value("global"));
  EXPECT_EQ(defaults.objectForKey("onlyRegistered"), Value(2));

  defaults.setObject("shared", "own");
  EXPECT_EQ(defaults.objectForKey("shared"), Value("own"));
  EXPECT_EQ(
      defaults.dictionaryRepresentation(),
      (Dictionary{
          {"AppleLanguages", Array{"fr-FR", "en"}}, {"onlyRegistered", 2}, {"shared", "own"}}));

  // Writes reach the own file only, and registrations never reach a file.
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{{"shared", "own"}}));
  EXPECT_EQ(*files::readFile(fileOf(UserDefaults::kGlobalDomainFileName), nullptr), globalBytes);

  defaults.removeObject("shared");
  EXPECT_EQ(defaults.objectForKey("shared"), Value("global"));
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{}));

  // Registrations belong to their domain.
  EXPECT_TRUE(suite("com.example.other").objectForKey("onlyRegistered").isNull());
}

TEST_F(UserDefaultsTest, ObjectsOfOneDomainShareTheirValuesAtOnce) {
  UserDefaults first = suite();
  UserDefaults second = suite();
  first.setObject("key", "value");
  EXPECT_EQ(second.stringForKey("key"), "value");
  second.setObject("key", nullptr);
  EXPECT_TRUE(first.objectForKey("key").isNull());
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{}));
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kKeysPerThread = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      UserDefaults defaults = suite();
      for (int k = 0; k < kKeysPerThread; ++k) {
        defaults.setObject("key-" + std::to_string(t) + "-" + std::to_string(k), k);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(onDisk(kSuite).count(), size_t{kThreads * kKeysPerThread});
  EXPECT_EQ(suite().dictionaryRepresentation().size(), size_t{kThreads * kKeysPerThread});
}

TEST_F(UserDefaultsTest, SuitesNamedLikeTheApplicationTheGlobalDomainOrAPathAreRefused) {
  const std::string application = UserDefaults::standard().domainName();
  ASSERT_FALSE(application.empty());
  for (const std::string& name :
       {application, std::string(UserDefaults::kGlobalDomain),
        std::string(UserDefaults::kGlobalDomainFileName), std::string("../escape"),
        std::string("a/b"), std::string(".."), std::string(".")}) {
    EXPECT_EQ(UserDefaults::suite(name), std::nullopt) << name;
  }
  EXPECT_EQ(UserDefaults::suite("")->domainName(), application);
  EXPECT_EQ(UserDefaults::suite(kSuite)->domainName(), kSuite);
}

TEST_F(UserDefaultsTest, TheApplicationDomainIsTheBundleIdentifierElseTheExecutableName) {
  const std::string executable = fs::read_symlink("/proc/self/exe").filename().string();
  EXPECT_EQ(UserDefaults::standard().domainName(), executable);

  const fs::path app = sandbox_.root() / "Tool.app";
  ASSERT_TRUE(files::createDirectory(app / "Contents", true, nullptr));
  ASSERT_TRUE(files::writeAtomically(
      app / "Contents/Info.plist",
      *plist::serialize(Dictionary{{"CFBundleIdentifier", "com.example.tool"}}, plist::Format::Xml),
      nullptr));
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", app.string());
  Bundle::resetMainForTesting();
  UserDefaults::resetForTesting();
  UserDefaults::standard().setObject("launched", true);
  EXPECT_EQ(UserDefaults::standard().domainName(), "com.example.tool");
  EXPECT_EQ(onDisk("com.example.tool"), Value(Dictionary{{"launched", true}}));
}

TEST_F(UserDefaultsTest, AValueWithoutPropertyListFormIsRefused) {
  UserDefaults defaults = suite();
  defaults.setObject("kept", 1);
  try {
    defaults.setObject("kept", Array{1, nullptr});
    ADD_FAILURE() << "no exception";
  } catch (const Exception& exception) {
    EXPECT_EQ(exception.name(), kInvalidArgumentException);
  }
  EXPECT_EQ(defaults.objectForKey("kept"), Value(1));
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{{"kept", 1}}));
}

// Text that is not UTF-8 or holds NUL (a crash record of raw bytes) is kept with replacement
// characters, in values and keys alike, and never stops this or any later value from being saved.
TEST_F(UserDefaultsTest, TextThatIsNotUtf8IsSavedWithReplacementCharacters) {
  UserDefaults defaults = suite();
  const std::string raw = std::string("crash \xff\xfe\x80 at \0\xc3", 15);
  defaults.setObject("record", raw);
  defaults.setObject("list", Array{raw, Dictionary{{"key \xff", raw}}});
  defaults.setObject("after", "kept");

  const std::string replaced = "crash \uFFFD\uFFFD\uFFFD at \uFFFD\uFFFD";
  const Value expected(Dictionary{{"record", replaced},
                                  {"list", Array{replaced, Dictionary{{"key \uFFFD", replaced}}}},
                                  {"after", "kept"}});
  EXPECT_EQ(onDisk(kSuite), expected);
  EXPECT_EQ(defaults.objectForKey("record"), Value(replaced));

  // The file is a property list that another reader accepts too.
  const std::string command =
      "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],"
      "'rb')); print(d['after'], len(d['record']))\" '" +
      fileOf(kSuite).string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = {};
  std::string printed = fgets(line, sizeof line, pipe) ? line : "";
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(printed, "kept 15\n");
}

TEST_F(UserDefaultsTest, AnUnreadableFileCountsAsEmptyAndIsKeptUntilTheFirstChange) {
  ASSERT_TRUE(files::createDirectory(paths::preferences(), true, nullptr));
  ASSERT_TRUE(files::writeAtomically(fileOf(kSuite), "not a property list", nullptr));
  log::Capture capture;
  UserDefaults defaults = suite();
  EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
  EXPECT_TRUE(capture.contains(fileOf(kSuite).string()));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(files::readFile(fileOf(kSuite), nullptr), "not a property list");

  defaults.setObject("fresh", "start");
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{{"fresh", "start"}}));
}

TEST_F(UserDefaultsTest, AFailedWriteKeepsTheChangeAndSynchronizeRetriesIt) {
  // The preferences folder's place is taken by a file, which stops root as well.
  const fs::path blocked = sandbox_.root() / "blocked";
  ASSERT_TRUE(files::writeAtomically(blocked, "in the way", nullptr));
  sandbox_.setEnv("XDG_CONFIG_HOME", (blocked / "config").string());
  UserDefaults::resetForTesting();
  UserDefaults defaults = suite();
  {
    log::Capture capture;
    defaults.setObject("pending", "value");
    EXPECT_TRUE(capture.contains("cannot write"));
    EXPECT_EQ(defaults.stringForKey("pending"), "value");
    EXPECT_FALSE(defaults.synchronize());
  }

  ASSERT_TRUE(files::removeItem(blocked, nullptr));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{{"pending", "value"}}));
}

TEST_F(UserDefaultsTest, AnotherProcessesWritesArriveWithSynchronizeAndAreNeverUndone) {
  UserDefaults defaults = suite();
  defaults.setObject("parent", 1);

  const int status = runInChild([] {
    UserDefaults child = suite();
    child.setObject("child", "hello");
    child.setObject("flag", true);
    return child.synchronize() ? 0 : 1;
  });
  ASSERT_EQ(status, 0);

  // The cache still has the old version until synchronize.
  EXPECT_TRUE(defaults.objectForKey("child").isNull());
  // A write picks up the other process's keys instead of writing over them.
  defaults.setObject("parent", 2);
  EXPECT_EQ(onDisk(kSuite), Value(Dictionary{{"child", "hello"}, {"flag", true}, {"parent", 2}}));

  const int removal = runInChild([] {
    UserDefaults child = suite();
    child.synchronize();
    child.removeObject("child");
    return child.objectForKey("parent") == Value(2) ? 0 : 1;
  });
  ASSERT_EQ(removal, 0);
  EXPECT_EQ(defaults.stringForKey("child"), "hello");
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_TRUE(defaults.objectForKey("child").isNull());
  EXPECT_TRUE(defaults.objectForKey("flag").isBool());
}

// A writer killed at any moment leaves a complete earlier version of the file behind.
TEST_F(UserDefaultsTest, KillingAWriterMidWriteLeavesACompleteFile) {
  constexpr size_t kBlobSize = 2 * 1024 * 1024;
  auto record = [](int64_t generation) {
    return Dictionary{{"generation", generation},
                      {"blob", std::string(kBlobSize, static_cast<char>('a' + generation % 26))}};
  };
  suite().setObject("record", record(0));

  std::mt19937 random(std::random_device{}());
  int64_t highestGeneration = 0;
  for (int round = 0; round < 8; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      close(ready[0]);
      UserDefaults defaults = suite();
      for (int64_t generation = 1;; ++generation) {
        defaults.setObject("record", record(generation));
        if (generation == 1 && write(ready[1], "1", 1) != 1) _exit(1);
      }
    }
    close(ready[1]);
    char signal = 0;
    ASSERT_EQ(read(ready[0], &signal, 1), 1) << "the writer never wrote";
    close(ready[0]);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 30)(random)));
    kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);

    const Value contents = onDisk(kSuite);
    ASSERT_TRUE(contents.isDictionary()) << "round " << round;
    const Value& stored = contents["record"];
    const int64_t generation = stored["generation"].integerValue();
    EXPECT_GE(generation, 1);
    EXPECT_EQ(stored, Value(record(generation))) << "round " << round;
    highestGeneration = std::max(highestGeneration, generation);
  }
  EXPECT_GE(highestGeneration, 1);
}

}  // namespace
}  // namespace os
