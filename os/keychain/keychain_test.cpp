#include "os/keychain/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace os::keychain {
namespace {

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

// Runs `body` in a child process and waits for it; true when it exited with status 0.
bool inChild(const std::function<bool()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Starts `body` in a child process without waiting.
pid_t startChild(const std::function<bool()>& body) {
  pid_t child = fork();
  if (child == 0) _exit(body() ? 0 : 1);
  return child;
}

bool exitedCleanly(pid_t child) {
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Keychain, AddFindUpdateRemoveWithThePlatformsStatuses) {
  testsupport::Sandbox sandbox;
  Query query{.service = "com.example.service", .account = "token"};
  Data found;
  EXPECT_EQ(copyMatching(query, &found), kSecItemNotFound);
  EXPECT_EQ(add(query, bytes("one"), {{kSecAttrAccessible, "cku"}}), kSecSuccess);
  EXPECT_EQ(add(query, bytes("again"), {}), kSecDuplicateItem);
  EXPECT_EQ(copyMatching(query, &found), kSecSuccess);
  EXPECT_EQ(found, bytes("one"));
  EXPECT_EQ(update(query, bytes("two")), kSecSuccess);
  EXPECT_EQ(copyMatching(query, &found), kSecSuccess);
  EXPECT_EQ(found, bytes("two"));
  Dictionary attributes;
  EXPECT_EQ(copyAttributes(query, &attributes), kSecSuccess);
  EXPECT_EQ(attributes[kSecAttrAccessible], Value("cku"));  // kept through the update
  EXPECT_EQ(remove(query), kSecSuccess);
  EXPECT_EQ(remove(query), kSecItemNotFound);
  EXPECT_EQ(update(query, bytes("x")), kSecItemNotFound);
  EXPECT_EQ(copyMatching({.service = "", .account = "a"}, nullptr), kSecParam);
}

TEST(Keychain, AccessGroupsSeparateItemsAndAQueryWithoutOneMatchesAny) {
  testsupport::Sandbox sandbox;
  Query plain{.service = "s", .account = "a"};
  Query grouped{.service = "s", .account = "a", .accessGroup = "group.example"};
  ASSERT_EQ(add(grouped, bytes("grouped"), {}), kSecSuccess);
  Data found;
  EXPECT_EQ(copyMatching(plain, &found), kSecSuccess);  // any group
  EXPECT_EQ(found, bytes("grouped"));
  EXPECT_EQ(add(plain, bytes("ungrouped"), {}), kSecSuccess);  // the empty group is another item
  EXPECT_EQ(copyMatching({.service = "s", .account = "a", .accessGroup = "other"}, &found),
            kSecItemNotFound);
  EXPECT_EQ(copyMatching({.service = "s", .account = "b"}, &found), kSecItemNotFound);
  EXPECT_EQ(remove(plain), kSecSuccess);  // both
  EXPECT_EQ(copyMatching(grouped, &found), kSecItemNotFound);
}

TEST(Keychain, TheStoreIsPrivateToItsOwner) {
  testsupport::Sandbox sandbox;
  ASSERT_EQ(add({.service = "s", .account = "a"}, bytes("secret"), {}), kSecSuccess);
  struct stat file {};
  struct stat folder {};
  ASSERT_EQ(stat(storePath().c_str(), &file), 0);
  ASSERT_EQ(stat(storePath().parent_path().c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(storePath().parent_path().parent_path().parent_path(), sandbox.home() / ".local/share");
}

TEST(Keychain, AnUnreadableStoreIsNeverOverwritten) {
  testsupport::Sandbox sandbox;
  Query query{.service = "s", .account = "a"};
  ASSERT_EQ(add(query, bytes("x"), {}), kSecSuccess);
  { std::ofstream(storePath()) << "garbage"; }
  EXPECT_EQ(copyMatching(query, nullptr), kSecDecode);
  EXPECT_EQ(add({.service = "s", .account = "b"}, bytes("y"), {}), kSecDecode);
  EXPECT_EQ(testsupport::readFile(storePath()), "garbage");
}

TEST(Keychain, AnItemWrittenByOneProcessIsReadByAnother) {
  testsupport::Sandbox sandbox;
  Query query{.service = "com.example.shared", .account = "fid"};
  ASSERT_TRUE(inChild([&] { return add(query, bytes("from the child"), {}) == kSecSuccess; }));
  Data found;
  EXPECT_EQ(copyMatching(query, &found), kSecSuccess);
  EXPECT_EQ(found, bytes("from the child"));
  ASSERT_EQ(update(query, bytes("from the parent")), kSecSuccess);
  EXPECT_TRUE(inChild([&] {
    Data seen;
    return copyMatching(query, &seen) == kSecSuccess && seen == bytes("from the parent");
  }));
}

TEST(Keychain, TwoProcessesAddingAtOnceLoseNothing) {
  testsupport::Sandbox sandbox;
  constexpr int kPerProcess = 40;
  auto addMany = [](const std::string& prefix) {
    return [prefix] {
      for (int i = 0; i < kPerProcess; ++i) {
        Query query{.service = "s", .account = prefix + std::to_string(i)};
        if (add(query, bytes(prefix), {}) != kSecSuccess) return false;
      }
      return true;
    };
  };
  pid_t first = startChild(addMany("first-"));
  pid_t second = startChild(addMany("second-"));
  EXPECT_TRUE(exitedCleanly(first));
  EXPECT_TRUE(exitedCleanly(second));
  for (const char* prefix : {"first-", "second-"}) {
    for (int i = 0; i < kPerProcess; ++i) {
      Data found;
      Query query{.service = "s", .account = prefix + std::to_string(i)};
      EXPECT_EQ(copyMatching(query, &found), kSecSuccess) << query.account;
      EXPECT_EQ(found, bytes(prefix));
    }
  }
}

}  // namespace
}  // namespace os::keychain
