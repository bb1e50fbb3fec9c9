#include "os/zip/zip.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "os/zip/internal/zip_extract.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/memory.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using os::SSZipArchive;
using os::ZipEntry;
using ::testing::HasSubstr;
using testsupport::describeTree;
using testsupport::readFile;
using testsupport::writeFile;

using Kind = ZipEntry::Kind;

// Runs a program with arguments, no shell; its exit status.
int run(const std::vector<std::string>& command) {
  return testsupport::runChild(command, testsupport::ChildOutput::None).exitCode();
}

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(work()); }

  fs::path work() const { return sandbox_.root() / "work"; }
  fs::path destination() const { return work() / "destination"; }

  // An archive of `entries` at work()/<name>.
  fs::path archive(const std::vector<ZipEntry>& entries, const std::string& name = "test.zip") {
    fs::path path = work() / name;
    os::Error error;
    EXPECT_TRUE(SSZipArchive::createZipFileAtPath(path.string(), entries, &error))
        << error.description;
    return path;
  }

  bool unzip(const fs::path& zip, os::Error* error, bool overwrite = true) {
    return SSZipArchive::unzipFileAtPath(zip.string(), destination().string(), overwrite, "",
                                         error);
  }

  // A product bundle with what a real one holds: an executable, read-only and private files,
  // a private folder, and framework-style links that resolve through one another.
  fs::path makeBundle() {
    fs::path app = work() / "source" / "Brevalo.app";
    writeFile(app / "Contents/Info.plist", "<plist/>");
    writeFile(app / "Contents/MacOS/Brevalo", "#!/bin/sh\nexit 0\n", fs::perms(0755));
    writeFile(app / "Contents/Resources/readonly.txt", "fixed", fs::perms(0444));
    writeFile(app / "Contents/Resources/en.lproj/Localizable.strings", "\"a\" = \"b\";");
    writeFile(app / "Contents/Private/secret", "s", fs::perms(0600));
    fs::permissions(app / "Contents/Private", fs::perms(0700));
    fs::path framework = app / "Contents/Frameworks/Kit.framework";
    writeFile(framework / "Versions/A/Kit", std::string(100000, 'k'), fs::perms(0755));
    fs::create_directory_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_directory_symlink("..", app / "Contents/Resources/up");
    return app;
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(ZipTest, BundleSurvivesTheRoundTripWithModesAndLinks) {
  fs::path app = makeBundle();
  fs::path zip = work() / "Brevalo.zip";
  os::Error error;
  ASSERT_TRUE(SSZipArchive::createZipFileAtPath(zip.string(), app.string(), true, &error))
      << error.description;

  ASSERT_TRUE(unzip(zip, &error)) << error.description;
  EXPECT_EQ(describeTree(destination() / "Brevalo.app"), describeTree(app));
  EXPECT_EQ(readFile(destination() / "Brevalo.app/Contents/Frameworks/Kit.framework/Kit"),
            std::string(100000, 'k'));

  // Info-ZIP reads our archives the same way, and we read archives it writes.
  fs::path byUnzip = work() / "by-unzip";
  ASSERT_EQ(run({"unzip", "-q", "-o", zip.string(), "-d", byUnzip.string()}), 0);
  EXPECT_EQ(describeTree(byUnzip / "Brevalo.app"), describeTree(app));
  fs::path byZip = work() / "by-zip.zip";
  ASSERT_EQ(run({"sh", "-c", "cd \"$0\" && zip -q -r -y \"$1\" Brevalo.app",
                 (work() / "source").string(), byZip.string()}),
            0);
  fs::remove_all(destination());
  ASSERT_TRUE(unzip(byZip, &error)) << error.description;
  EXPECT_EQ(describeTree(destination() / "Brevalo.app"), describeTree(app));
}

TEST_F(ZipTest, EntriesWithoutUnixAttributesGetDefaultModesAndFolders) {
  // Info-ZIP's -X leaves out the Unix extras but keeps the host's attributes; build a plain
  // archive by stripping them: entries made on another system carry no mode.
  fs::path source = work() / "plain";
  writeFile(source / "deep/er/file.txt", "x", fs::perms(0600));
  fs::path zip = work() / "plain.zip";
  ASSERT_EQ(
      run({"sh", "-c", "cd \"$0\" && zip -q -r -k \"$1\" deep", source.string(), zip.string()}),
      0);  // -k: MS-DOS names and attributes only
  os::Error error;
  ASSERT_TRUE(unzip(zip, &error)) << error.description;
  EXPECT_EQ(describeTree(destination())["DEEP/ER/FILE.TXT"], "file 0644 x");
  EXPECT_EQ(describeTree(destination())["DEEP"], "dir 0755");
}

TEST_F(ZipTest, OverwriteReplacesFilesAndLinksWithoutFollowingThem) {
  fs::path outside = work() / "outside.txt";
  writeFile(outside, "untouched");
  writeFile(destination() / "app/kept.txt", "old kept");
  writeFile(destination() / "app/changed.txt", "old");
  fs::create_symlink(outside, destination() / "app/was-link.txt");
  fs::path zip = archive({
      {"app/changed.txt", Kind::File, 0600, "new", {}},
      {"app/was-link.txt", Kind::File, 0644, "file now", {}},
      {"app/fresh.txt", Kind::File, 0644, "fresh", {}},
  });

  os::Error error;
  ASSERT_TRUE(unzip(zip, &error, /*overwrite=*/true)) << error.description;
  std::map<std::string, std::string> after = describeTree(destination());
  EXPECT_EQ(after["app/changed.txt"], "file 0600 new");
  EXPECT_EQ(after["app/was-link.txt"], "file 0644 file now");
  EXPECT_EQ(after["app/kept.txt"], "file 0644 old kept");
  EXPECT_EQ(readFile(outside), "untouched");

  // Without overwrite, existing items stay and missing ones are still written.
  writeFile(destination() / "app/changed.txt", "mine");
  fs::remove(destination() / "app/fresh.txt");
  ASSERT_TRUE(unzip(zip, &error, /*overwrite=*/false)) << error.description;
  EXPECT_EQ(readFile(destination() / "app/changed.txt"), "mine");
  EXPECT_EQ(readFile(destination() / "app/fresh.txt"), "fresh");
}

TEST_F(ZipTest, ModesAreSetAfterTheContentsWithoutSetIdBits) {
  fs::path zip = archive({{"tool", Kind::File, 06755, "#!/bin/sh\n", {}},
                          {"shared/", Kind::Directory, 01777, {}, {}},
                          // A read-only folder still receives the files that follow it.
                          {"sealed/", Kind::Directory, 0555, {}, {}},
                          {"sealed/inner/", Kind::Directory, 0500, {}, {}},
                          {"sealed/inner/file.txt", Kind::File, 0444, "in", {}}});
  os::Error error;
  ASSERT_TRUE(unzip(zip, &error)) << error.description;
  std::map<std::string, std::string> after = describeTree(destination());
  EXPECT_EQ(after["tool"], "file 0755 #!/bin/sh\n");
  EXPECT_EQ(after["shared"], "dir 0777");
  EXPECT_EQ(after["sealed"], "dir 0555");
  EXPECT_EQ(after["sealed/inner"], "dir 0500");
  EXPECT_EQ(after["sealed/inner/file.txt"], "file 0444 in");
}

TEST_F(ZipTest, EncryptedEntriesNeedTheirPassword) {
  fs::path zip = work() / "secret.zip";
  int code = 0;
  zip_t* writer = zip_open(zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  ASSERT_NE(writer, nullptr);
  static const char kSecret[] = "the contents";
  zip_source_t* source = zip_source_buffer(writer, kSecret, sizeof kSecret - 1, 0);
  zip_int64_t index = zip_file_add(writer, "secret.txt", source, ZIP_FL_ENC_UTF_8);
  ASSERT_GE(index, 0);
  ASSERT_EQ(zip_file_set_encryption(writer, index, ZIP_EM_AES_256, "right"), 0);
  ASSERT_EQ(zip_close(writer), 0);

  os::Error error;
  for (const std::string password : {"", "wrong"}) {
    EXPECT_FALSE(SSZipArchive::unzipFileAtPath(zip.string(), destination().string(), true, password,
                                               &error));
    EXPECT_EQ(error.code, SSZipArchive::kFailedOpenFileInZip) << error.description;
    EXPECT_FALSE(fs::exists(destination() / "secret.txt"));
  }
  ASSERT_TRUE(
      SSZipArchive::unzipFileAtPath(zip.string(), destination().string(), true, "right", &error))
      << error.description;
  EXPECT_EQ(readFile(destination() / "secret.txt"), kSecret);
}

struct EscapeCase {
  std::string label;
  std::vector<ZipEntry> entries;
  // Relative to the destination, made before the unzip: path → link target.
  std::map<std::string, std::string> existingLinks;
};

TEST_F(ZipTest, EntriesLeavingTheDestinationRefuseTheWholeArchive) {
  const std::string outside = (work() / "outside").string();
  const ZipEntry good{"app/Contents/good.txt", Kind::File, 0644, "good", {}};
  const std::vector<EscapeCase> cases = {
      {"absolute path", {good, {outside + "/abs.txt", Kind::File, 0644, "x", {}}}, {}},
      {"dot-dot", {good, {"../outside/up.txt", Kind::File, 0644, "x", {}}}, {}},
      {"dot-dot inside a path", {good, {"app/../../outside/x", Kind::File, 0644, "x", {}}}, {}},
      {"backslash dot-dot", {good, {"app\\..\\..\\outside\\x", Kind::File, 0644, "x", {}}}, {}},
      {"link target leaves",
       {good, {"app/out", Kind::SymbolicLink, 0777, "../../outside", {}}},
       {}},
      {"absolute link target", {good, {"app/etc", Kind::SymbolicLink, 0777, outside, {}}}, {}},
      {"link through an archive link",
       {good,
        {"app/a/l1", Kind::SymbolicLink, 0777, "../../l2/outside", {}},
        {"l2", Kind::SymbolicLink, 0777, "..", {}}},
       {}},
      {"link loop",
       {good,
        {"l1", Kind::SymbolicLink, 0777, "l2", {}},
        {"l2", Kind::SymbolicLink, 0777, "l1/x", {}}},
       {}},
      {"write through an archive link to inside",
       {good,
        {"app/current", Kind::SymbolicLink, 0777, "Contents", {}},
        {"app/current/file.txt", Kind::File, 0644, "x", {}}},
       {}},
      {"write through an archive link to outside",
       {good,
        {"app/current", Kind::SymbolicLink, 0777, "../../outside", {}},
        {"app/current/file.txt", Kind::File, 0644, "x", {}}},
       {}},
      {"write through an existing link",
       {good, {"existing/file.txt", Kind::File, 0644, "x", {}}},
       {{"existing", outside}}},
      {"folder entry at an existing link",
       {good, {"existing/", Kind::Directory, 0755, {}, {}}},
       {{"existing", "../outside"}}},
      {"link through an existing link",
       {good, {"x", Kind::SymbolicLink, 0777, "up/outside", {}}},
       {{"up", ".."}}},
  };
  for (const EscapeCase& escape : cases) {
    SCOPED_TRACE(escape.label);
    fs::remove_all(work());
    fs::create_directories(work() / "outside");
    fs::create_directories(destination());
    for (const auto& [at, target] : escape.existingLinks) {
      fs::create_symlink(target, destination() / at);
    }
    fs::path zip = archive(escape.entries);
    std::map<std::string, std::string> before = describeTree(work());

    os::Error error;
    EXPECT_FALSE(unzip(zip, &error));
    EXPECT_EQ(error.domain, SSZipArchive::kErrorDomain);
    EXPECT_EQ(error.code, SSZipArchive::kEntryEscapesDestination) << error.description;
    EXPECT_EQ(describeTree(work()), before);  // nothing written, inside or out
  }
}

TEST_F(ZipTest, LinksThatStayInsideAreKept) {
  fs::path zip = archive({
      {"app/Versions/A/Lib", Kind::File, 0755, "lib", {}},
      {"app/Versions/Current", Kind::SymbolicLink, 0777, "A", {}},
      {"app/Lib", Kind::SymbolicLink, 0777, "Versions/Current/Lib", {}},
      {"app/root", Kind::SymbolicLink, 0777, "../.", {}},
      {"app/dangling", Kind::SymbolicLink, 0777, "not/there", {}},
  });
  os::Error error;
  ASSERT_TRUE(unzip(zip, &error)) << error.description;
  EXPECT_EQ(readFile(destination() / "app/Lib"), "lib");
  EXPECT_EQ(describeTree(destination())["app/root"], "link -> ../.");
  EXPECT_EQ(describeTree(destination())["app/dangling"], "link -> not/there");
}

TEST_F(ZipTest, NamesTooLongOrTooDeepAreRefusedBeforeAnythingIsWritten) {
  auto repeated = [](const std::string& part, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += part;
    return text;
  };
  // 4,096 bytes in components a file system takes (at most 255 bytes each).
  std::string longest;
  while (longest.size() + 201 <= SSZipArchive::kMaxNameLength)
    longest += std::string(200, 'n') + "/";
  longest += std::string(SSZipArchive::kMaxNameLength - longest.size(), 'f');
  struct Case {
    std::string label;
    std::vector<ZipEntry> entries;
    int64_t code;  // 0: unpacks
  };
  const ZipEntry good{"app/Contents/good.txt", Kind::File, 0644, "good", {}};
  const std::vector<Case> cases = {
      {"8,000 folders deep",
       {good, {repeated("a/", 8000) + "f", Kind::File, 0644, "x", {}}},
       SSZipArchive::kEntryNameTooLong},
      {"32,756 folders deep",
       {good, {repeated("a/", 32756) + "f", Kind::File, 0644, "x", {}}},
       SSZipArchive::kEntryNameTooLong},
      {"a 64 KB name",
       {good, {std::string(65000, 'n'), Kind::File, 0644, "x", {}}},
       SSZipArchive::kEntryNameTooLong},
      {"257 levels in a short name",
       {good, {repeated("a/", 256) + "f", Kind::File, 0644, "x", {}}},
       SSZipArchive::kEntryNameTooLong},
      {"a folder entry 257 levels deep",
       {good, {repeated("a/", 257), Kind::Directory, 0755, {}, {}}},
       SSZipArchive::kEntryNameTooLong},
      {"a link that leads 300 levels deep",
       {good, {"app/deep", Kind::SymbolicLink, 0777, repeated("a/", 300), {}}},
       SSZipArchive::kEntryEscapesDestination},
      {"256 levels", {good, {repeated("a/", 255) + "f", Kind::File, 0644, "x", {}}}, 0},
      {"a name of 4,096 bytes", {good, {longest, Kind::File, 0644, "x", {}}}, 0},
  };
  for (const Case& hostile : cases) {
    SCOPED_TRACE(hostile.label);
    fs::remove_all(destination());
    fs::path zip = archive(hostile.entries);
    const size_t residentBefore = testsupport::residentBytes();
    os::Error error;
    const bool unpacked = unzip(zip, &error);
    if (testsupport::residentMemoryIsMeaningful()) {
      EXPECT_LT(testsupport::residentBytes(), residentBefore + (16 << 20));
    }
    if (hostile.code == 0) {
      EXPECT_TRUE(unpacked) << error.description;
      const std::string& name = hostile.entries.back().name;
      // A path of 4,096 bytes below the destination is longer than a system call takes whole.
      if (name.size() < 1024) {
        EXPECT_EQ(readFile(destination() / name), "x");
      }
      EXPECT_TRUE(fs::is_directory(destination() / name.substr(0, name.find('/'))));
      continue;
    }
    EXPECT_FALSE(unpacked);
    EXPECT_EQ(error.code, hostile.code) << error.description;
    EXPECT_LT(error.description.size(), 1024u) << "the message quotes a name shortened";
    EXPECT_FALSE(fs::exists(destination())) << "a refused archive writes nothing";
  }
  EXPECT_EQ(SSZipArchive::kMaxNameLength, 4096u);
  EXPECT_EQ(SSZipArchive::kMaxPathDepth, 256u);
}

TEST_F(ZipTest, LinksCanBeHeldToTheirTopLevelFolder) {
  struct Case {
    std::string label;
    ZipEntry link;
    bool keptInTopLevelFolder;
  };
  const std::vector<Case> cases = {
      {"within the bundle", {"app/Contents/current", Kind::SymbolicLink, 0777, "../Lib", {}}, true},
      {"to a sibling of the bundle",
       {"app/Contents/other", Kind::SymbolicLink, 0777, "../../other", {}},
       false},
      {"out and back in", {"app/x", Kind::SymbolicLink, 0777, "../app/Lib", {}}, false},
      {"a top-level link", {"top", Kind::SymbolicLink, 0777, "app/Lib", {}}, true},
  };
  for (const Case& scoped : cases) {
    SCOPED_TRACE(scoped.label);
    fs::path zip = archive({{"app/Lib", Kind::File, 0644, "lib", {}},
                            {"other/Lib", Kind::File, 0644, "other", {}},
                            {"hop", Kind::SymbolicLink, 0777, "other", {}},
                            scoped.link});
    for (SSZipArchive::LinkScope scope :
         {SSZipArchive::LinkScope::kDestination, SSZipArchive::LinkScope::kTopLevelFolder}) {
      fs::remove_all(destination());
      os::Error error;
      const bool unpacked = SSZipArchive::unzipFileAtPath(zip.string(), destination().string(),
                                                          true, "", scope, &error);
      if (scope == SSZipArchive::LinkScope::kDestination || scoped.keptInTopLevelFolder) {
        EXPECT_TRUE(unpacked) << error.description;
      } else {
        EXPECT_FALSE(unpacked);
        EXPECT_EQ(error.code, SSZipArchive::kEntryEscapesDestination) << error.description;
        EXPECT_THAT(error.description, HasSubstr("points outside \"app\""));
        EXPECT_FALSE(fs::exists(destination()));
      }
    }
  }
}

TEST_F(ZipTest, UnreadableArchivesFailWithoutWriting) {
  fs::path app = makeBundle();
  fs::path good = work() / "good.zip";
  os::Error error;
  ASSERT_TRUE(SSZipArchive::createZipFileAtPath(good.string(), app.string(), true, &error));
  std::string bytes = readFile(good);

  // The large framework binary is the first entry whose data is long enough to damage: flip
  // bytes in the middle of its compressed data, where the directory at the end still reads.
  std::string corrupt = bytes;
  size_t kit = corrupt.find("Versions/A/Kit");
  ASSERT_NE(kit, std::string::npos);
  for (size_t i = kit + 40; i < kit + 60; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);

  struct Case {
    std::string label;
    std::string contents;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"empty archive", std::string("PK\x05\x06", 4) + std::string(18, '\0'),
       SSZipArchive::kFailedOpenZipFile},
      {"empty file", "", SSZipArchive::kFailedOpenZipFile},
      {"an HTML page", "<!DOCTYPE html><html><body>Not here</body></html>",
       SSZipArchive::kFailedOpenZipFile},
      {"cut short", bytes.substr(0, bytes.size() / 2), SSZipArchive::kFailedOpenZipFile},
      {"corrupt data", corrupt, SSZipArchive::kFileContentNotReadable},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.label);
    fs::remove_all(destination());
    fs::path zip = work() / "bad.zip";
    writeFile(zip, bad.contents);
    EXPECT_FALSE(unzip(zip, &error));
    EXPECT_EQ(error.domain, SSZipArchive::kErrorDomain);
    EXPECT_EQ(error.code, bad.code) << error.description;
    EXPECT_FALSE(fs::exists(destination()))
        << "left: " << describeTree(destination()).size() << " items";
  }

  EXPECT_FALSE(SSZipArchive::unzipFileAtPath((work() / "missing.zip").string(),
                                             destination().string(), true, "", &error));
  EXPECT_EQ(error.code, SSZipArchive::kFailedOpenZipFile);
  EXPECT_THAT(error.description, HasSubstr("missing.zip"));
}

TEST_F(ZipTest, FailureAfterSomeEntriesRemovesOnlyWhatItCreated) {
  writeFile(destination() / "mine.txt", "mine");
  writeFile(destination() / "app/blocker/inside.txt", "a folder where the archive wants a file");
  fs::path zip = archive({
      {"app/new/one.txt", Kind::File, 0644, "1", {}},
      {"app/blocker", Kind::File, 0644, "file", {}},
  });
  std::map<std::string, std::string> before = describeTree(destination());
  os::Error error;
  EXPECT_FALSE(unzip(zip, &error));
  EXPECT_EQ(error.code, SSZipArchive::kFailedToWriteFile) << error.description;
  EXPECT_EQ(describeTree(destination()), before);
}

TEST_F(ZipTest, LargeEntriesAreStreamedNotHeldInMemory) {
  constexpr size_t kSize = 128 << 20;
  fs::path big = work() / "big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 % 251);
    for (size_t written = 0; written < kSize; written += block.size()) out << block;
  }
  fs::path zip = archive({{"big.bin", Kind::File, 0644, {}, big.string()}});

  // In a child process, so that its peak resident size is the unzip's alone.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    long before = usage.ru_maxrss;
    bool ok =
        SSZipArchive::unzipFileAtPath(zip.string(), destination().string(), true, "", nullptr);
    getrusage(RUSAGE_SELF, &usage);
    // Kilobytes; a whole entry in memory would add 128 MB.
    _exit(!ok ? 2 : usage.ru_maxrss - before > 48 * 1024 ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: unzip failed, 3: peak memory grew by over 48 MB";
  EXPECT_EQ(fs::file_size(destination() / "big.bin"), kSize);
  EXPECT_EQ(run({"cmp", "-s", big.string(), (destination() / "big.bin").string()}), 0);
}

// --- the roads an entry can take, and the archive limits -------------------------------------

namespace roads {

using os::internal::UnzipOptions;

// The ways an entry can be read: whole or in pieces, on one thread or several.
struct Road {
  std::string label;
  unsigned threads;
  uint64_t wholeBufferLimit;

  UnzipOptions options() const {
    UnzipOptions options;
    options.threads = threads;
    options.wholeBufferLimit = wholeBufferLimit;
    return options;
  }
};

const std::vector<Road>& allRoads() {
  static const std::vector<Road> roads = {
      {"whole, one thread", 1, UINT64_MAX},
      {"in pieces, one thread", 1, 0},
      {"whole, four threads", 4, UINT64_MAX},
      {"in pieces, four threads", 4, 0},
      {"as chosen by default", 0, UnzipOptions().wholeBufferLimit},
  };
  return roads;
}

// Bytes that compress in places and not in others, as a program's do.
std::string mixedBytes(size_t size) {
  std::string bytes(size, '\0');
  std::minstd_rand random(12345);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = (i / 4096) % 3 == 0 ? static_cast<char>(random() >> 8) : "abcdefgh"[i % 8];
  }
  return bytes;
}

class ZipRoadsTest : public ZipTest {
 protected:
  bool unzipWith(const fs::path& zip, const UnzipOptions& options, os::Error* error,
                 const fs::path& to = {}) {
    return os::internal::unzip(zip.string(), (to.empty() ? destination() : to).string(), true, "",
                               options, error);
  }

  // A folder with what the table of archives exercises: empty, stored-size and large files,
  // modes, an empty folder, links, and enough small files to spread over threads.
  fs::path makeSource() {
    fs::path root = work() / "source" / "Product.app";
    writeFile(root / "Contents/Info.plist", "<plist/>");
    writeFile(root / "Contents/MacOS/Product", "#!/bin/sh\nexit 0\n", fs::perms(0755));
    writeFile(root / "Contents/Resources/empty.txt", "");
    writeFile(root / "Contents/Resources/readonly.txt", "fixed", fs::perms(0444));
    writeFile(root / "Contents/Frameworks/Kit.framework/Versions/A/Kit", mixedBytes(6 << 20),
              fs::perms(0755));
    fs::create_directory_symlink("A", root / "Contents/Frameworks/Kit.framework/Versions/Current");
    fs::create_symlink("Versions/Current/Kit", root / "Contents/Frameworks/Kit.framework/Kit");
    fs::create_directories(root / "Contents/PlugIns");
    for (int i = 0; i < 150; ++i) {
      writeFile(root / "Contents/Resources" / std::to_string(i % 5) / (std::to_string(i) + ".txt"),
                mixedBytes(100 + i * 97));
    }
    return root.parent_path();
  }
};

TEST_F(ZipRoadsTest, EveryRoadUnpacksWhatBsdtarUnpacks) {
  const fs::path source = makeSource();
  struct Archive {
    std::string label;
    std::string zipCommand;  // run in the source folder; $1 is the archive
  };
  const std::vector<Archive> archives = {
      {"stored", "zip -q -r -y -0 \"$1\" Product.app"},
      {"deflated", "zip -q -r -y -9 \"$1\" Product.app"},
      {"one large entry",
       "zip -q \"$1\" Product.app/Contents/Frameworks/Kit.framework/Versions/A/Kit"},
      {"streamed: data descriptors and zip64 records", "zip -q -r -y - Product.app > \"$1\""},
      {"empty file only", "zip -q -0 \"$1\" Product.app/Contents/Resources/empty.txt"},
  };
  for (const Archive& archive : archives) {
    SCOPED_TRACE(archive.label);
    fs::path zip = work() / "archive.zip";
    fs::remove(zip);
    ASSERT_EQ(
        run({"sh", "-c", "cd \"$0\" && " + archive.zipCommand, source.string(), zip.string()}), 0);
    fs::path expected = work() / "by-bsdtar";
    fs::remove_all(expected);
    fs::create_directories(expected);
    ASSERT_EQ(run({"bsdtar", "-x", "-p", "-f", zip.string(), "-C", expected.string()}), 0);
    ASSERT_FALSE(describeTree(expected).empty());
    for (const Road& road : allRoads()) {
      SCOPED_TRACE(road.label);
      fs::remove_all(destination());
      UnzipOptions options = road.options();
      os::Error error;
      ASSERT_TRUE(unzipWith(zip, options, &error)) << error.description;
      EXPECT_EQ(describeTree(destination()), describeTree(expected));
    }
  }
}

// Little-endian fields of a zip archive, for archives that a test takes apart and rebuilds.
uint32_t field(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
void setField(std::string& bytes, size_t at, int size, uint32_t value) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A one-entry archive taken apart: the local part (header and data) and the central entry.
struct OneEntry {
  std::string local;
  std::string central;

  explicit OneEntry(const std::string& archive) {
    size_t end = archive.size() - 22;
    EXPECT_EQ(field(archive, end, 4), 0x06054b50u);
    size_t directory = field(archive, end + 16, 4);
    local = archive.substr(0, directory);
    central = archive.substr(directory, end - directory);
  }

  // An archive of the local part and `centrals`, as the central directory.
  std::string rebuild(const std::vector<std::string>& centrals) const {
    std::string directory;
    for (const std::string& entry : centrals) directory += entry;
    std::string end(22, '\0');
    setField(end, 0, 4, 0x06054b50);
    setField(end, 8, 2, static_cast<uint32_t>(centrals.size()));
    setField(end, 10, 2, static_cast<uint32_t>(centrals.size()));
    setField(end, 12, 4, static_cast<uint32_t>(directory.size()));
    setField(end, 16, 4, static_cast<uint32_t>(local.size()));
    return local + directory + end;
  }

  // A copy of the central entry under another last letter of its name, with its local header
  // offset moved by `offset`.
  std::string renamedCentral(char last, uint32_t offset = 0) const {
    std::string copy = central;
    copy[46 + field(central, 28, 2) - 1] = last;
    setField(copy, 42, 4, field(central, 42, 4) + offset);
    return copy;
  }
};

TEST_F(ZipRoadsTest, EntriesThatShareTheirDataAreRefusedBeforeAnythingIsWritten) {
  // One entry of 64 MiB of zeros (a few KiB packed) that eight directory entries point at:
  // 512 MiB on disk from one small archive, were it unpacked.
  fs::path zeros = work() / "zeros.bin";
  std::ofstream(zeros).close();
  fs::resize_file(zeros, 64 << 20);
  OneEntry entry(readFile(archive({{"bomb.bin", Kind::File, 0644, {}, zeros.string()}})));
  std::vector<std::string> sharing;
  for (char last = '0'; last < '8'; ++last) sharing.push_back(entry.renamedCentral(last));
  struct Case {
    std::string label;
    std::vector<std::string> centrals;
  };
  const std::vector<Case> cases = {
      {"eight entries on one stream", sharing},
      {"a header inside another entry's data",
       {entry.renamedCentral('a'), entry.renamedCentral('b', 40)}},
  };
  for (const Case& overlapping : cases) {
    SCOPED_TRACE(overlapping.label);
    fs::path zip = work() / "overlapping.zip";
    writeFile(zip, entry.rebuild(overlapping.centrals));
    fs::remove_all(destination());
    size_t residentBefore = testsupport::residentBytes();
    for (const Road& road : allRoads()) {
      SCOPED_TRACE(road.label);
      UnzipOptions options = road.options();
      os::Error error;
      EXPECT_FALSE(unzipWith(zip, options, &error));
      EXPECT_EQ(error.code, SSZipArchive::kOverlappingEntries) << error.description;
      EXPECT_FALSE(fs::exists(destination()));
    }
    if (testsupport::residentMemoryIsMeaningful()) {
      EXPECT_LT(testsupport::residentBytes(), residentBefore + (16 << 20));
    }
  }
}

TEST_F(ZipRoadsTest, ArchivesPastACapOrTheFreeSpaceAreRefusedBeforeAnythingIsWritten) {
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 8; ++i) {
    entries.push_back(
        {"app/" + std::to_string(i) + ".bin", Kind::File, 0644, std::string(1 << 20, 'x'), {}});
  }
  fs::path zip = archive(entries);  // 8 MiB in 8 entries
  auto freeSpace = [](uint64_t bytes) {
    return [bytes](const fs::path& folder) -> std::optional<uint64_t> {
      EXPECT_TRUE(fs::is_directory(folder)) << folder;
      return bytes;
    };
  };
  struct Case {
    std::string label;
    std::function<void(UnzipOptions&)> limit;
    int64_t code;  // 0: unpacks
  };
  const std::vector<Case> cases = {
      {"fewer entries allowed", [](UnzipOptions& o) { o.maxEntries = 7; },
       SSZipArchive::kArchiveTooLarge},
      {"as many entries allowed", [](UnzipOptions& o) { o.maxEntries = 8; }, 0},
      {"fewer bytes allowed", [](UnzipOptions& o) { o.maxTotalBytes = (8 << 20) - 1; },
       SSZipArchive::kArchiveTooLarge},
      {"a small destination",
       [&](UnzipOptions& o) {
         o.freeSpace = freeSpace(4 << 20);
         o.freeSpaceMargin = 1 << 20;
       },
       SSZipArchive::kNotEnoughSpace},
      {"room, but not with the margin",
       [&](UnzipOptions& o) {
         o.freeSpace = freeSpace((8 << 20) + (512 << 10));
         o.freeSpaceMargin = 1 << 20;
       },
       SSZipArchive::kNotEnoughSpace},
      {"room and margin",
       [&](UnzipOptions& o) {
         o.freeSpace = freeSpace(64 << 20);
         o.freeSpaceMargin = 1 << 20;
       },
       0},
  };
  for (const Case& limited : cases) {
    SCOPED_TRACE(limited.label);
    fs::remove_all(destination());
    UnzipOptions options;
    limited.limit(options);
    os::Error error;
    bool unpacked = unzipWith(zip, options, &error, destination() / "new" / "folder");
    if (limited.code == 0) {
      EXPECT_TRUE(unpacked) << error.description;
      EXPECT_EQ(fs::file_size(destination() / "new/folder/app/7.bin"), 1u << 20);
    } else {
      EXPECT_FALSE(unpacked);
      EXPECT_EQ(error.code, limited.code) << error.description;
      EXPECT_FALSE(fs::exists(destination())) << "a refused archive writes nothing";
    }
  }
  // The real caps are far above any product.
  EXPECT_EQ(SSZipArchive::kMaxEntries, 1'000'000u);
  EXPECT_EQ(SSZipArchive::kMaxTotalBytes, uint64_t{64} << 30);
}

TEST_F(ZipRoadsTest, AnEntryWhoseBytesDisagreeWithItsSizeFailsOnEveryRoad) {
  const std::string contents = mixedBytes(100000);
  OneEntry entry(readFile(archive({{"data.bin", Kind::File, 0644, contents, {}}})));
  for (int64_t delta : {-1, 1}) {
    SCOPED_TRACE("declared size " + std::to_string(contents.size() + delta));
    OneEntry lying = entry;
    setField(lying.central, 24, 4, static_cast<uint32_t>(contents.size() + delta));
    setField(lying.local, 22, 4, static_cast<uint32_t>(contents.size() + delta));
    fs::path zip = work() / "lying.zip";
    writeFile(zip, lying.rebuild({lying.central}));
    for (const Road& road : allRoads()) {
      SCOPED_TRACE(road.label);
      fs::remove_all(destination());
      UnzipOptions options = road.options();
      os::Error error;
      EXPECT_FALSE(unzipWith(zip, options, &error));
      EXPECT_EQ(error.code, SSZipArchive::kFileContentNotReadable) << error.description;
      EXPECT_FALSE(fs::exists(destination()));
    }
  }
}

TEST_F(ZipRoadsTest, AnEntryWhoseDataIsDamagedFailsCleanlyOnEveryRoad) {
  // About a MiB of packed data, several pieces' worth, so that the streaming road reads and
  // inflates in turns.
  const std::string contents = mixedBytes(3 << 20);
  OneEntry entry(readFile(archive({{"data.bin", Kind::File, 0644, contents, {}}})));
  const size_t dataStart = 30 + field(entry.local, 26, 2) + field(entry.local, 28, 2);
  const uint32_t packedSize = field(entry.central, 20, 4);
  ASSERT_GT(packedSize, 1u << 20);
  struct Case {
    std::string label;
    std::function<void(OneEntry&)> damage;
  };
  const std::vector<Case> cases = {
      {"bytes flipped in the middle of the packed data",
       [&](OneEntry& e) {
         for (size_t i = dataStart + packedSize / 2; i < dataStart + packedSize / 2 + 64; ++i) {
           e.local[i] = static_cast<char>(~e.local[i]);
         }
       }},
      {"another CRC-32 declared",
       [](OneEntry& e) {
         setField(e.central, 16, 4, field(e.central, 16, 4) ^ 1);
         setField(e.local, 14, 4, field(e.local, 14, 4) ^ 1);
       }},
      {"the packed data cut short",
       [&](OneEntry& e) {
         setField(e.central, 20, 4, packedSize / 2);
         setField(e.local, 18, 4, packedSize / 2);
         e.local.resize(dataStart + packedSize / 2);
       }},
  };
  for (const Case& damaged : cases) {
    SCOPED_TRACE(damaged.label);
    OneEntry broken = entry;
    damaged.damage(broken);
    fs::path zip = work() / "damaged.zip";
    writeFile(zip, broken.rebuild({broken.central}));
    for (const Road& road : allRoads()) {
      SCOPED_TRACE(road.label);
      fs::remove_all(destination());
      os::Error error;
      EXPECT_FALSE(unzipWith(zip, road.options(), &error));
      EXPECT_EQ(error.code, SSZipArchive::kFileContentNotReadable) << error.description;
      EXPECT_FALSE(fs::exists(destination())) << "nothing half-written is left";
    }
  }
}

}  // namespace roads

}  // namespace
