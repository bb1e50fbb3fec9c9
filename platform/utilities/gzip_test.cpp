#include "platform/utilities/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

using VDUNSDataZlib::gul_dataByGzippingData;
using VDUNSDataZlib::gul_dataByInflatingGzippedData;

// Bytes that compress somewhat, as real bodies do: random words from a small alphabet.
os::Data sampleBytes(size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  os::Data bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>("abcdefgh ,.\n0123"[random() % 16]);
  return bytes;
}

os::Data readFile(const std::filesystem::path& path) {
  const std::string bytes = testsupport::readFile(path);
  return os::Data(bytes.begin(), bytes.end());
}

// Runs `command` (a shell line built by the test from sandbox paths) and checks it succeeded.
void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

TEST(VDUNSDataZlib, RoundTripsByteForByteWithGzipAndPythonZlib) {
  testsupport::Sandbox sandbox;
  auto folder = sandbox.root();
  for (size_t size : {size_t{1}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{10} << 20}) {
    SCOPED_TRACE(size);
    os::Data plain = sampleBytes(size);
    os::Error error;
    std::optional<os::Data> gzipped = gul_dataByGzippingData(plain, &error);
    ASSERT_TRUE(gzipped);
    ASSERT_GE(gzipped->size(), 10u);
    EXPECT_EQ((*gzipped)[0], 0x1F);
    EXPECT_EQ((*gzipped)[1], 0x8B);
    EXPECT_EQ((*gzipped)[2], 8);  // deflate
    testsupport::writeFile(folder / "ours.gz", std::string(gzipped->begin(), gzipped->end()));
    run("gzip -dc '" + (folder / "ours.gz").string() + "' > '" + (folder / "gzip.out").string() +
        "'");
    EXPECT_EQ(readFile(folder / "gzip.out"), plain);
    testsupport::writeFile(folder / "plain", std::string(plain.begin(), plain.end()));
    run("python3 -c 'import sys, zlib; d = open(sys.argv[1], \"rb\").read(); "
        "open(sys.argv[2], \"wb\").write(zlib.decompress(d, 31)); "
        "open(sys.argv[3], \"wb\").write(zlib.compress(open(sys.argv[4], \"rb\").read()))' '" +
        (folder / "ours.gz").string() + "' '" + (folder / "python.out").string() + "' '" +
        (folder / "python.zlib").string() + "' '" + (folder / "plain").string() + "'");
    EXPECT_EQ(readFile(folder / "python.out"), plain);
    // Python's zlib-wrapped stream and gzip's own member inflate to the same bytes.
    EXPECT_EQ(gul_dataByInflatingGzippedData(readFile(folder / "python.zlib"), &error), plain);
    run("gzip -6 -c '" + (folder / "plain").string() + "' > '" + (folder / "gzip.gz").string() +
        "'");
    EXPECT_EQ(gul_dataByInflatingGzippedData(readFile(folder / "gzip.gz"), &error), plain);
    EXPECT_EQ(gul_dataByInflatingGzippedData(*gzipped, &error), plain);
  }
}

TEST(VDUNSDataZlib, EmptyInputGivesNothingAndNoError) {
  os::Error error("untouched", 1);
  EXPECT_EQ(gul_dataByGzippingData({}, &error), std::nullopt);
  EXPECT_EQ(gul_dataByInflatingGzippedData({}, &error), std::nullopt);
  EXPECT_EQ(error.domain, "untouched");
}

TEST(VDUNSDataZlib, TrailingBytesAreCountedInError1026) {
  os::Data gzipped = *gul_dataByGzippingData(sampleBytes(3000));
  for (uint8_t byte : {'x', 'y', 'z'}) gzipped.push_back(byte);
  os::Error error;
  EXPECT_EQ(gul_dataByInflatingGzippedData(gzipped, &error), std::nullopt);
  EXPECT_EQ(error.domain, kVDUNSDataZlibErrorDomain);
  EXPECT_EQ(error.code, kVDUNSDataZlibErrorDataRemaining);
  EXPECT_EQ(error.userInfo[kVDUNSDataZlibRemainingBytesKey], os::Value(uint64_t{3}));
  EXPECT_TRUE(error.userInfo[kVDUNSDataZlibRemainingBytesKey].isInteger());
}

TEST(VDUNSDataZlib, BrokenInputIsError1025WithZlibsStatusAndMessage) {
  os::Data gzipped = *gul_dataByGzippingData(sampleBytes(50000));
  struct Case {
    const char* name;
    os::Data input;
    int status;
  };
  os::Data corrupt = gzipped;
  corrupt[20] ^= 0xFF;
  corrupt[21] ^= 0xFF;
  const Case cases[] = {
      {"not a stream", os::Data{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'},
       Z_DATA_ERROR},
      {"truncated", os::Data(gzipped.begin(), gzipped.begin() + gzipped.size() / 2), Z_BUF_ERROR},
      {"truncated trailer", os::Data(gzipped.begin(), gzipped.end() - 2), Z_BUF_ERROR},
      {"corrupt", corrupt, Z_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_EQ(gul_dataByInflatingGzippedData(c.input, &error), std::nullopt);
    EXPECT_EQ(error.domain, kVDUNSDataZlibErrorDomain);
    EXPECT_EQ(error.code, kVDUNSDataZlibErrorInternal);
    EXPECT_EQ(error.userInfo[kVDUNSDataZlibErrorKey].integerValue(), c.status);
    if (c.status == Z_DATA_ERROR) {
      EXPECT_FALSE(error.localizedDescription().empty());
    }
  }
  EXPECT_EQ(gul_dataByInflatingGzippedData(cases[1].input), std::nullopt);  // no error pointer
}

TEST(VDUNSDataZlib, OutputBeyondTheCapIsRefused) {
  // A megabyte of zeros is a few hundred bytes gzipped: a small body that would inflate far.
  os::Data zeros(size_t{1} << 20, 0);
  os::Data bomb = *gul_dataByGzippingData(zeros);
  ASSERT_LT(bomb.size(), 4096u);
  os::Error error;
  EXPECT_EQ(gul_dataByInflatingGzippedData(bomb, &error, 64 * 1024), std::nullopt);
  EXPECT_EQ(error.code, kVDUNSDataZlibErrorInternal);
  EXPECT_EQ(gul_dataByInflatingGzippedData(bomb, nullptr, zeros.size()), zeros);  // at the cap
}

TEST(VDUNSDataZlib, CompressionOfOurOwnDataIsNotCapped) {
  // 70 MiB of random bytes: gzipped, still more than the expansion cap.
  const size_t size = size_t{70} << 20;
  std::mt19937 random(7);
  os::Data payload(size);
  for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
  os::Error error;
  std::optional<os::Data> gzipped = gul_dataByGzippingData(payload, &error);
  ASSERT_TRUE(gzipped) << error.localizedDescription();
  EXPECT_GT(gzipped->size(), kVDUNSDataZlibDefaultMaxOutputBytes);
  EXPECT_TRUE(gul_dataByInflatingGzippedData(*gzipped, nullptr, size) == payload);
}

}  // namespace
