#include "support/base64_codec.h"

#include <gtest/gtest.h>

#include <random>

#include "testsupport/external_tool.h"
#include "testsupport/random.h"

namespace {

os::Data bytesOf(std::string_view text) { return os::Data(text.begin(), text.end()); }

std::string textOf(const os::Data& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Seeded random sizes from 0 to 4,096, with the sizes around the group boundaries first.
std::vector<size_t> sampleSizes() {
  std::vector<size_t> sizes = {0, 1, 2, 3, 4, 5, 6, 56, 57, 58, 4095, 4096};
  std::mt19937 random(20240611);
  std::uniform_int_distribution<size_t> size(0, 4096);
  for (int i = 0; i < 24; ++i) sizes.push_back(size(random));
  return sizes;
}

TEST(Base64Codec, EncodesAndDecodesAsCoreutilsDoes) {
  testsupport::ExternalTool tool;
  for (size_t size : sampleSizes()) {
    SCOPED_TRACE(size);
    os::Data input = bytesOf(testsupport::randomBytes(size, static_cast<uint32_t>(size)));
    std::string expected = textOf(tool.run("base64 -w0 {in} > {out}", input));

    std::optional<std::string> encoded = Base64Codec::base64StringFromData(input);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, expected);
    EXPECT_EQ(Base64Codec::dataFromBase64String(expected), input);

    // Lines of 76 characters: the line breaks are skipped like any byte outside the alphabet.
    std::string wrapped = textOf(tool.run("base64 -w76 {in} > {out}", input));
    EXPECT_EQ(Base64Codec::dataFromBase64String(wrapped), input);
  }
}

TEST(Base64Codec, DecodesLeniently) {
  struct Case {
    std::string_view text;
    std::string_view bytes;
  };
  const Case cases[] = {
      {"aGVsbG8=", "hello"},
      {"aGVsbG8", "hello"},   // padding is optional
      {"aGV=sbG8", "hello"},  // "=" anywhere is removed
      {"==aGVsbG8====", "hello"},
      {"aGVs\r\nbG8= ", "hello"},  // blanks and line breaks are skipped
      {"a-G_V.s*b\tG8", "hello"},  // so is any other byte outside the alphabet
      {"QUJDRE", "ABCD"},          // six values: a group and a tail of two
      {"QUJDREU", "ABCDE"},        // a tail of three
      {"QUJDR", "ABC"},            // a lone fifth value is dropped
      {"Q", ""},
      {"", ""},
      {"====", ""},
      {"!!! ???", ""},
      {"aGVsbG8=\xC3\xA9", ""},  // a character outside ASCII: no ASCII form at all
      {"\xFF", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<os::Data> decoded = Base64Codec::dataFromBase64String(c.text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(textOf(*decoded), c.bytes);
  }
}

TEST(Base64Codec, SkippedBytesAtEveryPositionDoNotShiftTheGroups) {
  // Long enough for the whole-group path; a stray byte at each offset moves every later group off
  // the four-character grid, which the decoder must follow.
  os::Data input(90);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 37 + 11);
  const std::string encoded = standardBase64(input);
  for (size_t at = 0; at <= encoded.size(); ++at) {
    for (std::string_view stray : {" ", "=", "\n\n\n", "%%"}) {
      std::string text = encoded;
      text.insert(at, stray);
      ASSERT_EQ(Base64Codec::dataFromBase64String(text), input) << "at " << at << ": " << text;
    }
  }
}

TEST(Base64Codec, EncodesTheRfc4648Vectors) {
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Codec::base64StringFromData(bytesOf(plain)), encoded);
    EXPECT_EQ(Base64Codec::dataFromBase64String(encoded), bytesOf(plain));
  }
}

TEST(Base64Codec, AlphabetValues) {
  EXPECT_EQ(base64AlphabetValue('A'), 0);
  EXPECT_EQ(base64AlphabetValue('a'), 26);
  EXPECT_EQ(base64AlphabetValue('0'), 52);
  EXPECT_EQ(base64AlphabetValue('+'), 62);
  EXPECT_EQ(base64AlphabetValue('/'), 63);
  for (uint8_t outside : {'=', '-', '_', ' ', '\0', '\x80', '\xFF'}) {
    EXPECT_EQ(base64AlphabetValue(outside), -1) << int{outside};
  }
}

}  // namespace
