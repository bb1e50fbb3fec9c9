#include "tools/analytics/gzip_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

std::string sampleText(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) text += "event " + std::to_string(i * 7919) + ";";
  text.resize(size);
  return text;
}

TEST(GzipCodec, RoundTripsWithGzipFramingAndRefusesEverythingElse) {
  const std::string plain = sampleText(200000);
  const std::string gzipped = tools::gzip(plain);
  ASSERT_GE(gzipped.size(), 18u);
  EXPECT_EQ(static_cast<unsigned char>(gzipped[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(gzipped[1]), 0x8B);
  EXPECT_LT(gzipped.size(), plain.size() / 2);
  EXPECT_EQ(tools::gunzip(gzipped, plain.size(), nullptr), plain);
  EXPECT_EQ(tools::gunzip(tools::gzip(""), 0, nullptr), "");

  // The same bytes in zlib framing: a client that sends them has not gzipped.
  std::string zlibFramed(compressBound(plain.size()), '\0');
  uLongf zlibLength = zlibFramed.size();
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(zlibFramed.data()), &zlibLength,
                     reinterpret_cast<const Bytef*>(plain.data()), plain.size()),
            Z_OK);
  zlibFramed.resize(zlibLength);

  struct Case {
    const char* name;
    std::string input;
    size_t maxOutput;
    const char* problem;
  };
  const Case cases[] = {
      {"plain text", "not gzip at all", 1000, "not gzip"},
      {"zlib framing", zlibFramed, plain.size(), "not gzip"},
      {"truncated", gzipped.substr(0, gzipped.size() / 2), plain.size(), "not a whole gzip member"},
      {"empty", "", 1000, "not a whole gzip member"},
      {"bytes after the member", gzipped + "xyz", plain.size(), "3 bytes after the gzip member"},
      {"over the cap", gzipped, plain.size() - 1, "inflates to more than"},
  };
  for (const Case& c : cases) {
    std::string problem;
    EXPECT_EQ(tools::gunzip(c.input, c.maxOutput, &problem), std::nullopt) << c.name;
    EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
  }
}

TEST(GzipCodec, ZerosCompressAboutAThousandfold) {
  constexpr size_t kInflated = size_t{8} << 20;
  const std::string bomb = tools::gzipOfZeros(kInflated);
  EXPECT_LT(bomb.size(), kInflated / 500);
  std::optional<std::string> inflated = tools::gunzip(bomb, kInflated, nullptr);
  ASSERT_TRUE(inflated);
  EXPECT_EQ(*inflated, std::string(kInflated, '\0'));
  EXPECT_EQ(tools::gunzip(bomb, kInflated - 1, nullptr), std::nullopt);
}

}  // namespace
