#include "support/streams.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "os/value/exception.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A stream whose read() plays back a script: a byte, -1 for the end, or a thrown exception.
class ScriptedStream : public Stream {
 public:
  using Step = std::function<int()>;
  explicit ScriptedStream(std::vector<Step> steps) : steps_(std::move(steps)) {}
  static ScriptedStream ofBytes(const std::vector<int>& bytes) {
    std::vector<Step> steps;
    for (int byte : bytes) steps.push_back([byte] { return byte; });
    return ScriptedStream(std::move(steps));
  }

  using Stream::read;
  int read() override {
    ++reads;
    if (next_ >= steps_.size()) return -1;
    return steps_[next_++]();
  }
  void writeWithByte(uint8_t byte) override { written.push_back(byte); }

  int reads = 0;
  std::vector<uint8_t> written;

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
};

// A stream that hands out bytes in buffer reads of at most `chunk`, recording each request.
class ChunkedStream : public Stream {
 public:
  ChunkedStream(int64_t size, int32_t chunk) : left_(size), chunk_(chunk) {}
  using Stream::read;
  int read(ByteBuffer* buffer, int32_t offset, int32_t count) override {
    requests.push_back(count);
    if (left_ == 0) return -1;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>({count, chunk_, left_}));
    for (int32_t i = 0; i < n; ++i) buffer->data()[offset + i] = static_cast<uint8_t>(0xA0 + i);
    left_ -= n;
    return n;
  }
  std::vector<int32_t> requests;

 private:
  int64_t left_;
  int32_t chunk_;
};

// Runs `action` and returns the name and reason of the os::Exception it throws.
std::pair<std::string, std::string> thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const os::Exception& exception) {
    return {exception.name(), exception.reason()};
  }
  return {"nothing thrown", ""};
}

TEST(StreamTest, PrimitivesThrowNotImplement) {
  Stream stream;
  EXPECT_EQ(thrown([&] { stream.read(); }),
            std::make_pair(std::string("Not Implement"), std::string("read")));
  EXPECT_EQ(thrown([&] { stream.writeWithByte(1); }),
            std::make_pair(std::string("Not Implement"), std::string("write")));
  EXPECT_EQ(stream.available(), 0);
  EXPECT_FALSE(stream.markSupported());
}

TEST(StreamTest, BufferReadAndWriteRefuseBadArgumentsByName) {
  struct Case {
    const char* what;
    bool nullBuffer;
    int offset, count;
    const char* expected;
  };
  const Case cases[] = {
      {"null buffer", true, 0, 1, "NullPointer"},
      {"negative offset", false, -1, 1, "IndexOutOfBounds"},
      {"negative count", false, 0, -1, "IndexOutOfBounds"},
      {"past the end", false, 3, 2, "IndexOutOfBounds"},
      {"offset beyond the length", false, 5, 0, "IndexOutOfBounds"},
  };
  for (const Case& c : cases) {
    ScriptedStream stream = ScriptedStream::ofBytes({1, 2, 3, 4});
    ByteBuffer buffer(4);
    ByteBuffer* target = c.nullBuffer ? nullptr : &buffer;
    EXPECT_EQ(thrown([&] { stream.read(target, c.offset, c.count); }),
              std::make_pair(std::string(c.expected), std::string()))
        << "read, " << c.what;
    EXPECT_EQ(thrown([&] { stream.write(target, c.offset, c.count); }),
              std::make_pair(std::string(c.expected), std::string()))
        << "write, " << c.what;
    EXPECT_EQ(stream.reads, 0) << c.what;
    EXPECT_TRUE(stream.written.empty()) << c.what;
  }
  ScriptedStream stream = ScriptedStream::ofBytes({1});
  EXPECT_EQ(thrown([&] { stream.read(nullptr); }).first, "NullPointer");
  EXPECT_EQ(thrown([&] { stream.write(nullptr); }).first, "NullPointer");
}

TEST(StreamTest, BufferReadStoresBytesUntilTheEnd) {
  ScriptedStream stream = ScriptedStream::ofBytes({7, 8, 9});
  ByteBuffer buffer(6);
  EXPECT_EQ(stream.read(&buffer, 2, 0), 0);
  EXPECT_EQ(stream.reads, 0) << "a count of 0 reads nothing";

  EXPECT_EQ(stream.read(&buffer, 1, 5), 3);
  EXPECT_THAT(buffer.data(), ElementsAre(0, 7, 8, 9, 0, 0));
  EXPECT_EQ(stream.read(&buffer), -1) << "already at the end";
}

TEST(StreamTest, PlatformExceptionAfterTheFirstByteEndsTheReadOthersPassOn) {
  auto failing = [](auto exception) {
    return ScriptedStream({[] { return 1; }, [] { return 2; },
                           [exception]() -> int { throw exception; }, [] { return 4; }});
  };
  ByteBuffer buffer(4);
  ScriptedStream platform = failing(os::Exception("NSFileHandleOperationException", "gone"));
  EXPECT_EQ(platform.read(&buffer), 2);
  EXPECT_THAT(buffer.data(), ElementsAre(1, 2, 0, 0));

  ScriptedStream other = failing(std::runtime_error("not ours"));
  EXPECT_THROW(other.read(&buffer), std::runtime_error);

  ScriptedStream first({[]() -> int { throw os::Exception("NSGenericException", "first"); }});
  EXPECT_THROW(first.read(&buffer), os::Exception) << "a failure of the first read passes on";
}

TEST(StreamTest, ReadFullyRepeatsReadsUntilFullOrEnded) {
  ChunkedStream stream(10, 3);
  ByteBuffer buffer(8);
  EXPECT_EQ(Stream::readFully(stream, &buffer, 1, 7), 7);
  EXPECT_THAT(stream.requests, ElementsAre(7, 4, 1));
  EXPECT_THAT(buffer.data(), ElementsAre(0, 0xA0, 0xA1, 0xA2, 0xA0, 0xA1, 0xA2, 0xA0));

  EXPECT_EQ(Stream::readFully(stream, &buffer), 3) << "three bytes were left";

  ScriptedStream empty = ScriptedStream::ofBytes({});
  EXPECT_EQ(Stream::readFully(empty, &buffer), 0) << "the -1 of the end is not counted";
}

TEST(StreamTest, WriteSendsEachByteInOrder) {
  ScriptedStream stream = ScriptedStream::ofBytes({});
  ByteBuffer data(os::Data{1, 2, 3, 4, 5});
  stream.write(&data, 1, 3);
  stream.write(&data);
  EXPECT_THAT(stream.written, ElementsAre(2, 3, 4, 1, 2, 3, 4, 5));
}

TEST(StreamTest, SkipReadsInChunksOf2048) {
  ChunkedStream stream(10000, 4096);
  EXPECT_EQ(stream.skip(5000), 5000);
  EXPECT_THAT(stream.requests, ElementsAre(2048, 2048, 904));

  ChunkedStream shortStream(100, 4096);
  EXPECT_EQ(shortStream.skip(5000), 100);
  EXPECT_EQ(shortStream.skip(0), 0);
  EXPECT_EQ(shortStream.skip(-3), 0);
}

TEST(MemoryStreamExTest, EmptyStreamReadsEnd) {
  MemoryStreamEx stream;
  EXPECT_EQ(stream.read(), -1);
  EXPECT_EQ(stream.length(), 0);
  EXPECT_TRUE(stream.canRead());
  EXPECT_TRUE(stream.canWrite());
  EXPECT_TRUE(stream.canSeek());
  EXPECT_EQ(MemoryStreamEx::memoryStreamEx()->length(), 0);
}

TEST(MemoryStreamExTest, WrittenBytesReadBackAfterSeekingToTheStart) {
  MemoryStreamEx stream;
  ByteBuffer bytes(os::Data{1, 2, 3});
  stream.write(&bytes);
  EXPECT_EQ(stream.length(), 3);
  EXPECT_EQ(stream.position(), 3);
  EXPECT_EQ(stream.seek(0, SeekOrigin::Begin), 0);
  EXPECT_EQ(stream.read(), 1);
  EXPECT_EQ(stream.read(), 2);
  EXPECT_EQ(stream.read(), 3);
  EXPECT_EQ(stream.read(), -1);

  stream.seek(1, SeekOrigin::Begin);
  stream.writeWithByte(9);
  stream.seek(0, SeekOrigin::End);
  stream.writeWithByte(4);
  EXPECT_THAT(stream.stream()->data(), ElementsAre(1, 9, 3, 4));
}

TEST(MemoryStreamExTest, SeeksAreClampedToTheBytes) {
  struct Case {
    int offset;
    SeekOrigin origin;
    int expected;
  };
  const Case cases[] = {
      {2, SeekOrigin::Begin, 2},  {1, SeekOrigin::Current, 5},  {1, SeekOrigin::End, 9},
      {0, SeekOrigin::End, 10},   {-6, SeekOrigin::Current, 0}, {99, SeekOrigin::Begin, 10},
      {-1, SeekOrigin::Begin, 0}, {99, SeekOrigin::End, 0},     {-4, SeekOrigin::End, 10},
      {3, SeekOrigin(7), 4},  // any other origin leaves the position
  };
  for (const Case& c : cases) {
    MemoryStreamEx stream(std::make_shared<ByteBuffer>(os::Data(10)));
    stream.setPosition(4);
    EXPECT_EQ(stream.seek(c.offset, c.origin), c.expected)
        << c.offset << " from " << static_cast<int>(c.origin);
    EXPECT_EQ(stream.position(), c.expected);
    EXPECT_EQ(stream.remaining(), 10 - c.expected);
  }
}

TEST(MemoryStreamExTest, ReadUpToStoresOnlyWhatFits) {
  auto source = std::make_shared<ByteBuffer>(os::Data{1, 2, 3, 4, 5, 6});
  MemoryStreamEx stream(source);

  ByteBuffer small(3);
  EXPECT_EQ(stream.readUpTo(&small, 1, 6), 2) << "cut to the buffer's capacity after offset 1";
  EXPECT_THAT(small.data(), ElementsAre(0, 1, 2));
  EXPECT_EQ(stream.position(), 2);

  ByteBuffer large(10);
  EXPECT_EQ(stream.readUpTo(&large, 0, 10), 4) << "cut to what the stream holds";
  EXPECT_THAT(std::vector(large.data().begin(), large.data().begin() + 4), ElementsAre(3, 4, 5, 6));
  EXPECT_EQ(stream.readUpTo(&large, 0, 10), 0) << "at the end";

  stream.setPosition(0);
  EXPECT_EQ(stream.readUpTo(nullptr, 0, 2), 0);
  EXPECT_EQ(stream.readUpTo(&large, -1, 2), 0);
  EXPECT_EQ(stream.readUpTo(&large, 0, -2), 0);
  EXPECT_EQ(stream.readUpTo(&small, 4, 2), 0) << "offset past the buffer";
  EXPECT_EQ(stream.position(), 0) << "refused reads do not move the stream";
}

TEST(MemoryStreamExTest, AdoptedBufferIsSharedAndGrowsWithWrites) {
  auto shared = std::make_shared<ByteBuffer>(os::Data{1, 2, 3});
  shared->setPosition(2);
  MemoryStreamEx stream(shared);
  EXPECT_EQ(stream.stream(), shared);
  EXPECT_EQ(stream.availableData(), shared);
  EXPECT_EQ(shared->fixedSize(), 3);
  EXPECT_EQ(shared->position(), 0) << "the buffer is rewound";

  stream.seek(0, SeekOrigin::End);
  ByteBuffer more(os::Data{4, 5, 6, 7});
  stream.write(&more, 1, 9);  // cut to the three bytes after offset 1
  stream.writeWithByte(8);
  EXPECT_THAT(shared->data(), ElementsAre(1, 2, 3, 5, 6, 7, 8));

  stream.setPosition(0);
  ByteBuffer all(7);
  EXPECT_EQ(stream.readUpTo(&all, 0, 7), 7) << "bytes written past the original end read back";
  EXPECT_THAT(all.data(), ElementsAre(1, 2, 3, 5, 6, 7, 8));
}

TEST(MemoryStreamExTest, RefusedWritesLeaveTheStreamAsItWas) {
  MemoryStreamEx stream(std::make_shared<ByteBuffer>(os::Data{1, 2}));
  ByteBuffer data(os::Data{9, 9});
  stream.write(nullptr, 0, 2);
  stream.write(&data, -1, 2);
  stream.write(&data, 0, -2);
  stream.write(&data, 2, 1);
  EXPECT_THAT(stream.stream()->data(), ElementsAre(1, 2));
  EXPECT_EQ(stream.position(), 0);
}

TEST(MemoryStreamExTest, SetLengthTruncatesOrZeroExtends) {
  MemoryStreamEx stream(std::make_shared<ByteBuffer>(os::Data{1, 2, 3, 4}));
  stream.seek(0, SeekOrigin::End);
  stream.setLength(2);
  EXPECT_THAT(stream.stream()->data(), ElementsAre(1, 2));
  EXPECT_EQ(stream.position(), 2) << "a position past the new end moves to it";
  stream.setLength(5);
  EXPECT_THAT(stream.stream()->data(), ElementsAre(1, 2, 0, 0, 0));
  stream.setLength(-1);
  EXPECT_EQ(stream.length(), 5);
}

TEST(MemoryStreamExTest, StrictStreamCallsWorkOverMemory) {
  MemoryStreamEx stream(std::make_shared<ByteBuffer>(os::Data{1, 2, 3, 4, 5}));
  ByteBuffer buffer(4);
  EXPECT_EQ(stream.read(&buffer, 0, 4), 4);
  EXPECT_EQ(stream.read(&buffer, 0, 4), 1);
  EXPECT_EQ(stream.read(&buffer, 0, 4), -1);

  stream.setPosition(0);
  EXPECT_EQ(stream.skip(3), 3);
  EXPECT_EQ(Stream::readFully(stream, &buffer), 2);
  EXPECT_THAT(buffer.data(), ElementsAre(4, 5, 3, 4));
}

TEST(MemoryStreamExTest, WithoutABufferNothingIsReadOrWritten) {
  MemoryStreamEx stream(nullptr);
  EXPECT_FALSE(stream.canRead());
  EXPECT_FALSE(stream.canWrite());
  EXPECT_FALSE(stream.canSeek());
  EXPECT_EQ(stream.read(), -1);
  stream.writeWithByte(1);
  ByteBuffer data(os::Data{1, 2});
  stream.write(&data);
  ByteBuffer target(2);
  EXPECT_EQ(stream.readUpTo(&target, 0, 2), 0);
  EXPECT_EQ(stream.length(), 0);
  EXPECT_EQ(stream.position(), 0);
}

}  // namespace
