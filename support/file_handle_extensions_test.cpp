#include "support/file_handle_extensions.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>
#include <sstream>
#include <thread>
#include <vector>

#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FileHandleTest : public ::testing::Test {
 protected:
  fs::path at(const std::string& name) const { return sandbox_.root() / name; }

  // A file of `size` bytes whose byte i is i * 7 (mod 256), so that misplaced bytes show.
  fs::path patterned(const std::string& name, size_t size) const {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7);
    std::ofstream(at(name), std::ios::binary) << bytes;
    return at(name);
  }
  static std::string readText(const fs::path& path) { return testsupport::readFile(path); }
  static std::unique_ptr<FileHandle> open(const fs::path& path, int access) {
    os::Error error;
    auto handle = FileHandle::openPath(path, access, &error);
    EXPECT_TRUE(handle) << error.localizedDescription();
    return handle;
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(FileHandleTest, OpenFailureGivesNoHandleAndAnError) {
  os::Error error;
  EXPECT_EQ(FileHandle::openPath(at("missing"), O_RDONLY, &error), nullptr);
  EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_THAT(error.description, HasSubstr(at("missing").string()));
  EXPECT_EQ(FileHandle::openPath(at("missing"), O_RDONLY), nullptr) << "no error asked for";
}

TEST_F(FileHandleTest, CreatedFilesGetMode0644LessTheUmask) {
  struct Case {
    mode_t umask;
    mode_t expected;
  };
  for (const Case c : {Case{0, 0644}, Case{022, 0644}, Case{077, 0600}}) {
    const mode_t previous = ::umask(c.umask);
    const fs::path path = at("created-" + std::to_string(c.umask));
    auto handle = open(path, O_WRONLY | O_CREAT | O_EXCL);
    ::umask(previous);
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.expected) << "umask " << c.umask;
  }
}

TEST_F(FileHandleTest, AccessModeDecidesReadingAndWriting) {
  patterned("file", 4);
  struct Case {
    int access;
    bool canRead, canWrite;
  };
  for (const Case c : {Case{O_RDONLY, true, false}, Case{O_WRONLY, false, true},
                       Case{O_RDWR, true, true}, Case{O_WRONLY | O_APPEND, false, true}}) {
    auto handle = open(at("file"), c.access);
    EXPECT_EQ(handle->accessMode(), c.access);
    EXPECT_EQ(handle->canRead(), c.canRead) << c.access;
    EXPECT_EQ(handle->canWrite(), c.canWrite) << c.access;
    EXPECT_TRUE(handle->canSeek());
  }
  FileHandle wrapped(STDERR_FILENO, false);
  EXPECT_EQ(wrapped.accessMode(), 0);
}

TEST_F(FileHandleTest, SeeksAreClampedToTheFile) {
  struct Case {
    uint64_t offset;
    SeekOrigin origin;
    uint64_t expected;
  };
  const Case cases[] = {
      {10, SeekOrigin::Begin, 10},
      {5, SeekOrigin::Current, 45},
      {10, SeekOrigin::End, 90},
      {0, SeekOrigin::End, 100},
      {500, SeekOrigin::Begin, 100},
      {500, SeekOrigin::End, 0},
      {UINT64_MAX, SeekOrigin::Current, 100},
      {3, SeekOrigin(9), 0},  // any other origin goes to the start
  };
  patterned("file", 100);
  for (const Case& c : cases) {
    auto handle = open(at("file"), O_RDONLY);
    handle->setPosition(40);
    EXPECT_EQ(handle->seek(c.offset, c.origin), c.expected)
        << c.offset << " from " << static_cast<int>(c.origin);
    EXPECT_EQ(handle->position(), c.expected);
    EXPECT_EQ(handle->available(), 100 - c.expected);
    EXPECT_EQ(handle->length(), 100u);
    EXPECT_EQ(handle->position(), c.expected) << "learning the length keeps the offset";
  }
}

TEST_F(FileHandleTest, ReadsStoreOnlyWhatFitsAndEndWithZero) {
  auto handle = open(patterned("file", 10), O_RDONLY);
  EXPECT_EQ(handle->readByte(), 0);
  EXPECT_EQ(handle->readByte(), 7);

  ByteBuffer small(4);
  EXPECT_EQ(handle->readUpTo(&small, 1, 8), 3) << "cut to the buffer's room after offset 1";
  EXPECT_THAT(small.data(), ElementsAre(0, 14, 21, 28));
  EXPECT_EQ(handle->position(), 5u) << "no byte was taken from the file and lost";

  ByteBuffer large(16);
  EXPECT_EQ(handle->readUpTo(&large, 0, 16), 5);
  EXPECT_EQ(handle->readUpTo(&large, 0, 16), 0) << "end of file";
  EXPECT_EQ(handle->readByte(), -1);

  handle->setPosition(0);
  EXPECT_EQ(handle->readUpTo(nullptr, 0, 4), 0);
  EXPECT_EQ(handle->readUpTo(&large, -1, 4), 0);
  EXPECT_EQ(handle->readUpTo(&large, 0, -4), 0);
  EXPECT_EQ(handle->readUpTo(&small, 4, 4), 0);
  EXPECT_EQ(handle->position(), 0u);

  auto writeOnly = open(at("file"), O_WRONLY);
  os::Error error;
  EXPECT_EQ(writeOnly->readUpTo(&large, 0, 4, &error), 0);
  EXPECT_EQ(error.code, EBADF);
}

TEST_F(FileHandleTest, WritesAreCutToTheData) {
  auto handle = open(at("out"), O_RDWR | O_CREAT);
  ByteBuffer data(os::Data{'a', 'b', 'c', 'd'});
  EXPECT_TRUE(handle->write(&data, 1, 10));  // "bcd"
  EXPECT_TRUE(handle->writeByte('!'));
  EXPECT_TRUE(handle->write(&data, 4, 1)) << "nothing left: nothing written";
  EXPECT_TRUE(handle->write(&data, -1, 2));
  EXPECT_TRUE(handle->write(nullptr, 0, 2));
  EXPECT_TRUE(handle->flush());
  EXPECT_EQ(readText(at("out")), "bcd!");

  EXPECT_TRUE(handle->setLength(2));
  EXPECT_EQ(readText(at("out")), "bc");
  EXPECT_TRUE(handle->setLength(4));
  EXPECT_EQ(readText(at("out")), std::string("bc\0\0", 4));

  auto readOnly = open(at("out"), O_RDONLY);
  os::Error error;
  EXPECT_FALSE(readOnly->writeByte('x', &error));
  EXPECT_EQ(error.code, EBADF);
}

TEST_F(FileHandleTest, TransferToCopiesTheRestExactly) {
  const fs::path source = patterned("source", 200000);
  auto from = open(source, O_RDONLY);
  auto to = open(at("copy"), O_WRONLY | O_CREAT | O_TRUNC);
  os::Error error;
  EXPECT_EQ(from->transferTo(*to, &error), 200000);
  EXPECT_EQ(readText(at("copy")), readText(source));

  from->setPosition(150000);
  auto rest = open(at("rest"), O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(from->transferTo(*rest), 50000);
  EXPECT_EQ(readText(at("rest")), readText(source).substr(150000));

  EXPECT_EQ(from->transferTo(*rest), 0) << "nothing left";
}

TEST_F(FileHandleTest, TransferToMovesChunksOf81920Bytes) {
  // Each write into a sequenced-packet socket arrives as one message, so the sizes of the
  // messages are the sizes of the chunks read from the file.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  std::vector<ssize_t> messages;
  std::thread receiver([&] {
    std::vector<char> message(1 << 18);
    ssize_t size;
    while ((size = ::recv(pair[1], message.data(), message.size(), 0)) > 0) {
      messages.push_back(size);
    }
  });
  {
    auto from = open(patterned("source", 200000), O_RDONLY);
    FileHandle to(pair[0], true);
    EXPECT_EQ(from->transferTo(to), 200000);
  }
  receiver.join();
  ::close(pair[1]);
  EXPECT_THAT(messages, ElementsAre(81920, 81920, 36160));
}

TEST_F(FileHandleTest, TransferToStopsAtAFailedWrite) {
  auto from = open(patterned("source", 1000), O_RDONLY);
  auto readOnly = open(patterned("target", 10), O_RDONLY);
  os::Error error;
  EXPECT_EQ(from->transferTo(*readOnly, &error), 0);
  EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
  EXPECT_EQ(error.code, EBADF);
}

}  // namespace
