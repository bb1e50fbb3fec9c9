#include "os/files/files.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/files/paths.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FilesTest : public ::testing::Test {
 protected:
  fs::path at(const std::string& relative) const { return sandbox_.root() / "work" / relative; }

  void SetUp() override { fs::create_directories(sandbox_.root() / "work"); }

  static void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string readText(const fs::path& path) { return testsupport::readFile(path); }
  static std::vector<std::string> listing(const fs::path& folder) {
    return os::files::contentsOfDirectory(folder, nullptr).value_or(std::vector<std::string>{"?"});
  }
  static void expectPosixError(const os::Error& error, int code, const fs::path& path) {
    EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
    EXPECT_EQ(error.code, code);
    EXPECT_THAT(error.description, HasSubstr(path.string()));
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(FilesTest, ExistenceFollowsLinksAndLinksAreSeenThemselves) {
  fs::create_directory(at("folder"));
  writeText(at("file"), "x");
  fs::create_symlink(at("folder"), at("link-to-folder"));
  fs::create_symlink(at("missing"), at("dangling"));

  EXPECT_TRUE(os::files::exists(at("file")));
  EXPECT_FALSE(os::files::isDirectory(at("file")));
  EXPECT_TRUE(os::files::isDirectory(at("folder")));
  EXPECT_TRUE(os::files::isDirectory(at("link-to-folder")));
  EXPECT_TRUE(os::files::isSymbolicLink(at("link-to-folder")));
  EXPECT_FALSE(os::files::isSymbolicLink(at("folder")));
  EXPECT_FALSE(os::files::exists(at("dangling")));
  EXPECT_TRUE(os::files::isSymbolicLink(at("dangling")));
  EXPECT_FALSE(os::files::exists(at("missing")));
}

TEST_F(FilesTest, CreateDirectoryWithAndWithoutIntermediates) {
  const mode_t previousMask = umask(022);
  os::Error error;
  EXPECT_FALSE(os::files::createDirectory(at("a/b/c"), false, &error));
  expectPosixError(error, ENOENT, at("a/b/c"));

  ASSERT_TRUE(os::files::createDirectory(at("a/b/c/"), true, &error));
  EXPECT_TRUE(os::files::isDirectory(at("a/b/c")));
  EXPECT_EQ(os::files::attributes(at("a/b"), nullptr)->permissions, 0755u);
  EXPECT_TRUE(os::files::createDirectory(at("a/b/c"), true, nullptr)) << "existing folder";

  EXPECT_FALSE(os::files::createDirectory(at("a/b/c"), false, &error));
  expectPosixError(error, EEXIST, at("a/b/c"));

  writeText(at("a/file"), "x");
  EXPECT_FALSE(os::files::createDirectory(at("a/file/d"), true, &error));
  expectPosixError(error, ENOTDIR, at("a/file/d"));
  EXPECT_FALSE(os::files::createDirectory(at("a/file"), true, &error));
  EXPECT_EQ(error.code, ENOTDIR);
  umask(previousMask);
}

TEST_F(FilesTest, ReadFileGivesEveryByteOrAnError) {
  const std::string bytes("binary\0with nul\n", 16);
  writeText(at("file"), bytes);
  EXPECT_EQ(os::files::readFile(at("file"), nullptr), bytes);

  os::Error error;
  EXPECT_EQ(os::files::readFile(at("missing"), &error), std::nullopt);
  expectPosixError(error, ENOENT, at("missing"));
  fs::create_directory(at("folder"));
  EXPECT_EQ(os::files::readFile(at("folder"), &error), std::nullopt);
  expectPosixError(error, EISDIR, at("folder"));
}

TEST_F(FilesTest, WriteAtomicallyReplacesTheFileAndLeavesNoTemporary) {
  const mode_t previousMask = umask(022);
  writeText(at("settings.plist"), "old contents");
  const std::string large(3 * 1024 * 1024 + 17, 'z');

  os::Error error;
  ASSERT_TRUE(os::files::writeAtomically(at("settings.plist"), large, &error)) << error.description;
  EXPECT_EQ(readText(at("settings.plist")), large);
  EXPECT_EQ(os::files::attributes(at("settings.plist"), nullptr)->permissions, 0644u);

  ASSERT_TRUE(os::files::writeAtomically(at("secret"), "key", &error, 0600));
  EXPECT_EQ(os::files::attributes(at("secret"), nullptr)->permissions, 0600u);
  EXPECT_THAT(listing(at("")), ElementsAre("secret", "settings.plist"));
  umask(previousMask);
}

TEST_F(FilesTest, WriteAtomicallyReplacesALinkInsteadOfFollowingIt) {
  writeText(at("destination"), "untouched");
  fs::create_symlink(at("destination"), at("link"));
  ASSERT_TRUE(os::files::writeAtomically(at("link"), "new", nullptr));
  EXPECT_FALSE(os::files::isSymbolicLink(at("link")));
  EXPECT_EQ(readText(at("link")), "new");
  EXPECT_EQ(readText(at("destination")), "untouched");
}

TEST_F(FilesTest, FailedAtomicWritesLeaveThePreviousStateAndNoTemporary) {
  os::Error error;

  // The target is a folder: the rename fails after the temporary was written.
  fs::create_directories(at("target/inside"));
  EXPECT_FALSE(os::files::writeAtomically(at("target"), "bytes", &error));
  expectPosixError(error, EISDIR, at("target"));
  EXPECT_TRUE(os::files::isDirectory(at("target/inside")));
  EXPECT_THAT(listing(at("")), ElementsAre("target"));

  // The parent is a regular file, which not even root can write into.
  writeText(at("plain"), "old");
  EXPECT_FALSE(os::files::writeAtomically(at("plain/child"), "bytes", &error));
  expectPosixError(error, ENOTDIR, at("plain/child"));
  EXPECT_EQ(readText(at("plain")), "old");

  // The folder is missing.
  EXPECT_FALSE(os::files::writeAtomically(at("missing/child"), "bytes", &error));
  expectPosixError(error, ENOENT, at("missing/child"));

  // A read-only folder stops everyone but root.
  if (geteuid() != 0) {
    fs::create_directory(at("locked"));
    writeText(at("locked/file"), "old");
    fs::permissions(at("locked"), fs::perms(0555));
    EXPECT_FALSE(os::files::writeAtomically(at("locked/file"), "new", &error));
    expectPosixError(error, EACCES, at("locked/file"));
    EXPECT_EQ(readText(at("locked/file")), "old");
    EXPECT_THAT(listing(at("locked")), ElementsAre("file"));
  }
}

// A write that fails half way (here on the file-size limit, which binds root as well) removes
// the partly written temporary and keeps the old file.
TEST_F(FilesTest, AWriteThatFailsHalfWayKeepsTheOldFile) {
  writeText(at("file"), "old contents");
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  sighandler_t previousHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = previous;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

  os::Error error;
  const bool written = os::files::writeAtomically(at("file"), std::string(256 * 1024, 'n'), &error);

  setrlimit(RLIMIT_FSIZE, &previous);
  signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  expectPosixError(error, EFBIG, at("file"));
  EXPECT_EQ(readText(at("file")), "old contents");
  EXPECT_THAT(listing(at("")), ElementsAre("file"));
}

TEST_F(FilesTest, MoveNeverReplacesAnExistingItem) {
  writeText(at("from"), "moving");
  writeText(at("file"), "kept");
  fs::create_directory(at("folder"));
  fs::create_symlink(at("nowhere"), at("dangling"));

  for (const char* existing : {"file", "folder", "dangling"}) {
    SCOPED_TRACE(existing);
    os::Error error;
    EXPECT_FALSE(os::files::moveItem(at("from"), at(existing), &error));
    expectPosixError(error, EEXIST, at(existing));
    EXPECT_EQ(readText(at("from")), "moving");
  }
  EXPECT_EQ(readText(at("file")), "kept");
  EXPECT_TRUE(fs::is_empty(at("folder")));

  ASSERT_TRUE(os::files::moveItem(at("from"), at("folder/moved"), nullptr));
  EXPECT_FALSE(os::files::exists(at("from")));
  EXPECT_EQ(readText(at("folder/moved")), "moving");

  os::Error error;
  EXPECT_FALSE(os::files::moveItem(at("from"), at("again"), &error));
  expectPosixError(error, ENOENT, at("from"));
}

TEST_F(FilesTest, MoveAcrossFileSystemsCopiesThenRemoves) {
  const fs::path otherFileSystem = "/dev/shm";
  struct stat here {};
  struct stat there {};
  if (stat(at("").c_str(), &here) != 0 || stat(otherFileSystem.c_str(), &there) != 0 ||
      here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system to move to";
  }
  fs::create_directories(at("tree/sub"));
  writeText(at("tree/sub/file"), "content");
  const fs::path destination = otherFileSystem / ("tessaro-move-" + std::to_string(getpid()));
  ASSERT_TRUE(os::files::moveItem(at("tree"), destination, nullptr));
  EXPECT_FALSE(os::files::exists(at("tree")));
  EXPECT_EQ(readText(destination / "sub/file"), "content");
  fs::remove_all(destination);
}

TEST_F(FilesTest, ReplaceRenamesOverTheTargetOrLeavesBothAsTheyWere) {
  writeText(at("new"), "new bytes");
  writeText(at("old"), "old bytes");
  ASSERT_TRUE(os::files::replaceItem(at("new"), at("old"), nullptr));
  EXPECT_EQ(readText(at("old")), "new bytes");
  EXPECT_THAT(listing(at("")), ElementsAre("old"));

  // What rename cannot replace stays, and so does the source.
  writeText(at("new"), "new bytes");
  fs::create_directories(at("busy/inside"));
  const struct {
    const char* name;
    fs::path from;
    fs::path to;
    int code;
    fs::path named;
  } failures[] = {
      {"a folder in the way", at("new"), at("busy"), EISDIR, at("busy")},
      {"a missing folder", at("new"), at("nowhere/file"), ENOENT, at("nowhere/file")},
      {"a missing source", at("gone"), at("old"), ENOENT, at("gone")},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.name);
    os::Error error;
    EXPECT_FALSE(os::files::replaceItem(failure.from, failure.to, &error));
    expectPosixError(error, failure.code, failure.named);
  }
  EXPECT_EQ(readText(at("new")), "new bytes");
  EXPECT_EQ(readText(at("old")), "new bytes");
  EXPECT_THAT(listing(at("busy")), ElementsAre("inside"));
  EXPECT_THAT(listing(at("")), ElementsAre("busy", "new", "old"));
}

TEST_F(FilesTest, ReplaceAcrossFileSystemsCopiesBesideTheTargetThenRenames) {
  const fs::path otherFileSystem = "/dev/shm";
  struct stat here {};
  struct stat there {};
  if (stat(at("").c_str(), &here) != 0 || stat(otherFileSystem.c_str(), &there) != 0 ||
      here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system to replace on";
  }
  const fs::path folder = otherFileSystem / ("tessaro-replace-" + std::to_string(getpid()));
  fs::create_directories(folder);
  writeText(folder / "target", "old bytes");
  writeText(at("new"), "new bytes");

  ASSERT_TRUE(os::files::replaceItem(at("new"), folder / "target", nullptr));
  EXPECT_EQ(readText(folder / "target"), "new bytes");
  EXPECT_FALSE(os::files::exists(at("new")));
  // The copy was renamed into place: nothing else is left in the target's folder.
  EXPECT_THAT(listing(folder), ElementsAre("target"));

  // A copy that cannot be renamed over a busy folder is removed again.
  fs::create_directories(folder / "busy/inside");
  writeText(at("new"), "new bytes");
  os::Error error;
  EXPECT_FALSE(os::files::replaceItem(at("new"), folder / "busy", &error));
  expectPosixError(error, EISDIR, folder / "busy");
  EXPECT_THAT(listing(folder), ElementsAre("busy", "target"));
  EXPECT_EQ(readText(at("new")), "new bytes");
  fs::remove_all(folder);
}

TEST_F(FilesTest, ExchangeSwapsTwoItemsOrChangesNothing) {
  fs::create_directories(at("new/Contents"));
  writeText(at("new/Contents/file"), "new");
  writeText(at("old"), "old file");
  ASSERT_TRUE(os::files::exchangeItems(at("new"), at("old"), nullptr));
  EXPECT_EQ(readText(at("old/Contents/file")), "new");
  EXPECT_EQ(readText(at("new")), "old file");

  const struct {
    const char* name;
    fs::path a;
    fs::path b;
    int code;
  } failures[] = {
      {"a missing item", at("old"), at("gone"), ENOENT},
      {"a missing folder", at("nowhere/item"), at("old"), ENOENT},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.name);
    os::Error error;
    EXPECT_FALSE(os::files::exchangeItems(failure.a, failure.b, &error));
    expectPosixError(error, failure.code, failure.a);
    EXPECT_THAT(error.description, HasSubstr(failure.b.string()));
  }
  EXPECT_EQ(readText(at("old/Contents/file")), "new");
  EXPECT_THAT(listing(at("")), ElementsAre("new", "old"));
}

TEST_F(FilesTest, CopyKeepsLinksAndPermissionsAndNeverReplaces) {
  fs::create_directories(at("tree/sub"));
  writeText(at("tree/sub/tool"), "#!/bin/sh\n");
  fs::permissions(at("tree/sub/tool"), fs::perms(0750));
  writeText(at("outside"), "outside");
  fs::create_symlink(at("outside"), at("tree/link"));

  os::Error error;
  ASSERT_TRUE(os::files::copyItem(at("tree"), at("copy"), &error)) << error.description;
  EXPECT_EQ(readText(at("copy/sub/tool")), "#!/bin/sh\n");
  EXPECT_EQ(os::files::attributes(at("copy/sub/tool"), nullptr)->permissions, 0750u);
  EXPECT_TRUE(os::files::isSymbolicLink(at("copy/link")));
  EXPECT_EQ(fs::read_symlink(at("copy/link")), at("outside"));

  EXPECT_FALSE(os::files::copyItem(at("outside"), at("tree/sub/tool"), &error));
  expectPosixError(error, EEXIST, at("tree/sub/tool"));
  EXPECT_EQ(readText(at("tree/sub/tool")), "#!/bin/sh\n");

  EXPECT_FALSE(os::files::copyItem(at("tree"), at("tree/sub/inner"), &error));
  EXPECT_EQ(error.code, EINVAL);
  EXPECT_FALSE(os::files::exists(at("tree/sub/inner")));

  EXPECT_FALSE(os::files::copyItem(at("missing"), at("elsewhere"), &error));
  expectPosixError(error, ENOENT, at("missing"));
}

TEST_F(FilesTest, RemoveIsRecursiveAndNeverFollowsLinks) {
  fs::create_directories(at("kept/inner"));
  writeText(at("kept/inner/file"), "kept");
  fs::create_directories(at("doomed/sub"));
  writeText(at("doomed/sub/file"), "x");
  fs::create_symlink(at("kept"), at("doomed/sub/link-to-kept"));
  fs::create_symlink(at("kept"), at("link-to-kept"));

  ASSERT_TRUE(os::files::removeItem(at("link-to-kept"), nullptr));
  EXPECT_FALSE(os::files::isSymbolicLink(at("link-to-kept")));
  ASSERT_TRUE(os::files::removeItem(at("doomed"), nullptr));
  EXPECT_FALSE(os::files::isSymbolicLink(at("doomed")));
  EXPECT_FALSE(os::files::exists(at("doomed")));
  EXPECT_EQ(readText(at("kept/inner/file")), "kept");

  // A trailing slash names the link itself too, not the folder behind it.
  fs::create_symlink(at("kept"), at("slashed"));
  ASSERT_TRUE(os::files::removeItem(at("slashed").string() + "/", nullptr));
  EXPECT_FALSE(os::files::isSymbolicLink(at("slashed")));
  EXPECT_EQ(readText(at("kept/inner/file")), "kept");

  os::Error error;
  EXPECT_FALSE(os::files::removeItem(at("doomed"), &error));
  expectPosixError(error, ENOENT, at("doomed"));
}

TEST_F(FilesTest, RemoveFailsWhenTheParentChainCannotBeResolved) {
  fs::create_symlink(at("loop-b"), at("loop-a"));
  fs::create_symlink(at("loop-a"), at("loop-b"));
  writeText(at("x"), "bystander");
  const fs::path previousDirectory = fs::current_path();
  fs::current_path(at(""));

  os::Error error;
  EXPECT_FALSE(os::files::removeItem(at("loop-a/x"), &error));
  fs::current_path(previousDirectory);
  expectPosixError(error, ELOOP, at("loop-a/x"));
  EXPECT_EQ(readText(at("x")), "bystander");
}

TEST_F(FilesTest, RemoveRefusesTheProtectedFolders) {
  const fs::path home = sandbox_.home();
  const fs::path system = sandbox_.systemRoot();
  for (const fs::path& folder :
       {home / "Desktop", home / "Applications", system / "Applications"}) {
    fs::create_directories(folder);
    writeText(folder / "marker", "still here");
  }
  fs::create_symlink(sandbox_.root(), at("alias-of-root"));
  const fs::path previousDirectory = fs::current_path();
  fs::current_path(home);

  const std::string refused[] = {
      home.string(),
      home.string() + "/",
      home.string() + "//",
      (home / "Desktop/..").string(),
      (home / "Desktop/../").string(),
      (home / ".").string(),
      (at("alias-of-root") / "home").string(),
      (at("alias-of-root") / "home/Desktop/..").string(),
      ".",
      "Desktop/..",
      system.string(),
      (system / "").string(),
      (system / "Applications").string(),
      (system / "Applications/").string(),
      (home / "Applications").string(),
      (home / "Applications/").string(),
      (at("alias-of-root") / "system/Applications").string(),
  };
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    os::Error error;
    EXPECT_FALSE(os::files::removeItem(path, &error));
    expectPosixError(error, EPERM, path);
  }
  fs::current_path(previousDirectory);
  for (const fs::path& folder :
       {home / "Desktop", home / "Applications", system / "Applications"}) {
    EXPECT_EQ(readText(folder / "marker"), "still here") << folder;
  }

  // A home folder named through a link is protected under its real name too.
  sandbox_.setEnv("HOME", (at("alias-of-root") / "home").string());
  os::Error error;
  EXPECT_FALSE(os::files::removeItem(home, &error));
  EXPECT_EQ(error.code, EPERM);
  sandbox_.setEnv("HOME", home.string());

  // A link to the home folder is only a link: it goes, the home folder stays.
  fs::create_symlink(home, at("link-to-home"));
  ASSERT_TRUE(os::files::removeItem(at("link-to-home"), nullptr));
  EXPECT_FALSE(os::files::isSymbolicLink(at("link-to-home")));
  EXPECT_EQ(readText(home / "Desktop/marker"), "still here");

  // Folders inside the protected ones are ordinary.
  EXPECT_TRUE(os::files::removeItem(home / "Desktop", nullptr));
  EXPECT_FALSE(os::files::exists(home / "Desktop"));
}

// "/" is refused too. Asked in a child that is confined to the sandbox (chroot), so that a
// fault here could never reach the real file system.
TEST_F(FilesTest, RemoveRefusesTheRootFolder) {
  writeText(sandbox_.home() / "marker", "still here");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chroot(sandbox_.root().c_str()) != 0 || chdir("/") != 0) _exit(77);
    setenv("HOME", "/home", 1);
    setenv("TESSARO_SYSTEM_ROOT", "/system", 1);
    for (const char* path : {"/", "//", "/..", "/home/..", "/./"}) {
      os::Error error;
      if (os::files::removeItem(path, &error) || error.code != EPERM) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot confine a child with chroot here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readText(sandbox_.home() / "marker"), "still here");
}

TEST_F(FilesTest, ContentsOfDirectoryAreSortedNames) {
  for (const char* name : {"b", ".hidden", "a", "C"}) writeText(at(name), "");
  fs::create_directory(at("folder"));
  EXPECT_THAT(os::files::contentsOfDirectory(at(""), nullptr).value(),
              ElementsAre(".hidden", "C", "a", "b", "folder"));

  os::Error error;
  EXPECT_EQ(os::files::contentsOfDirectory(at("missing"), &error), std::nullopt);
  expectPosixError(error, ENOENT, at("missing"));
  EXPECT_EQ(os::files::contentsOfDirectory(at("a"), &error), std::nullopt);
  expectPosixError(error, ENOTDIR, at("a"));
}

TEST_F(FilesTest, AttributesDescribeTheItemItself) {
  writeText(at("file"), "12345");
  const timespec times[2] = {{1700000000, 0}, {1700000000, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, at("file").c_str(), times, 0), 0);
  ASSERT_TRUE(os::files::setPermissions(at("file"), 04640, nullptr));
  fs::create_symlink(at("file"), at("link"));

  std::optional<os::files::Attributes> file = os::files::attributes(at("file"), nullptr);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, 5u);
  EXPECT_DOUBLE_EQ(file->modificationDate, 1700000000.25);
  EXPECT_EQ(file->permissions, 04640u);
  EXPECT_FALSE(file->isDirectory);
  EXPECT_FALSE(file->isSymbolicLink);

  std::optional<os::files::Attributes> link = os::files::attributes(at("link"), nullptr);
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isSymbolicLink);
  EXPECT_EQ(link->size, at("file").string().size());
  EXPECT_TRUE(os::files::attributes(at(""), nullptr)->isDirectory);

  os::Error error;
  EXPECT_EQ(os::files::attributes(at("missing"), &error), std::nullopt);
  expectPosixError(error, ENOENT, at("missing"));
  EXPECT_FALSE(os::files::setPermissions(at("missing"), 0644, &error));
  expectPosixError(error, ENOENT, at("missing"));
}

TEST_F(FilesTest, SymbolicLinksAreCreatedOnlyWhereNothingIs) {
  ASSERT_TRUE(os::files::createSymbolicLink(at("link"), "relative/destination", nullptr));
  EXPECT_EQ(fs::read_symlink(at("link")), "relative/destination");

  os::Error error;
  EXPECT_FALSE(os::files::createSymbolicLink(at("link"), "other", &error));
  expectPosixError(error, EEXIST, at("link"));
  EXPECT_EQ(fs::read_symlink(at("link")), "relative/destination");
}

}  // namespace
