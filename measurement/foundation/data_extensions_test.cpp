#include "measurement/foundation/data_extensions.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

os::Data bytes(std::initializer_list<uint8_t> list) { return os::Data(list); }

TEST(DataExtensions, LeastSignificantBitsReadTheLastEightBytesBigEndian) {
  EXPECT_EQ(apm_64LeastSignificantBits({}), 0);
  EXPECT_EQ(apm_64LeastSignificantBits(bytes({1, 2, 3})), 66051);
  EXPECT_EQ(apm_64LeastSignificantBits(bytes({9, 0, 0, 0, 0, 0, 0, 1, 2})), 258);
  EXPECT_EQ(apm_64LeastSignificantBits(bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe})),
            -2);
  // MD5("") = d41d8cd98f00b204 e9800998ecf8427e.
  EXPECT_EQ(apm_64LSBMD5({}), static_cast<int64_t>(0xe9800998ecf8427eULL));
  EXPECT_EQ(apm_MD5Data({}).size(), 16u);
}

TEST(DataExtensions, MD5String) {
  EXPECT_EQ(apm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String("\xff"), std::nullopt);
}

TEST(DataExtensions, QueryStringKeepsTheQuerysOwnCharacters) {
  EXPECT_EQ(apm_queryString({}), "");
  EXPECT_EQ(apm_queryString({{"platform", "linux"}, {"gmp_version", 102800}, {"a b", "x&y=z+1"}}),
            "a%20b=x&y=z+1&gmp_version=102800&platform=linux");
}

TEST(DataExtensions, ArgumentsParseWithTheFirstOccurrenceWinning) {
  using Map = std::map<std::string, std::string>;
  struct Case {
    const char* text;
    Map parsed;
  };
  const Case cases[] = {
      {"a=1&b=2&a=3", {{"a", "1"}, {"b", "2"}}},
      {"flag", {{"flag", ""}}},
      {"", {}},
      {"&&x=1&", {{"x", "1"}}},
      {"q=a+b%20c&e=x=y", {{"q", "a b c"}, {"e", "x=y"}}},
      {"bad=%zz&%zz=v", {{"bad", ""}, {"", "v"}}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(c.text), c.parsed) << c.text;
}

TEST(DataExtensions, Unescaping) {
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%20c"), "a b c");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%zz"), std::nullopt);
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%C3%A9"), "\u00e9");
}

TEST(DataExtensions, BitStrings) {
  struct Case {
    int64_t index;
    bool enabled;
  };
  for (const Case& c : {Case{1, true}, Case{3, true}, Case{0, false}, Case{2, false},
                        Case{4, false}, Case{-1, false}}) {
    EXPECT_EQ(isBitEnabledAtIndex("0101", c.index), c.enabled) << c.index;
  }
  EXPECT_FALSE(isBitEnabledAtIndex("0x1", 1));
}

TEST(DataExtensions, UTF32CountsScalarsAndWritesWholeCharacters) {
  const std::string text = "a\u00e9\U0001F600z";  // a, e-acute, an emoji, z
  EXPECT_EQ(apm_UTF32Length(text), 4u);
  EXPECT_EQ(apm_UTF32Length("\U0001F600"), 1u);
  EXPECT_EQ(apm_getUTF32Bytes(text, 100),
            bytes({'a', 0, 0, 0, 0xe9, 0, 0, 0, 0x00, 0xf6, 0x01, 0, 'z', 0, 0, 0}));
  EXPECT_EQ(apm_getUTF32Bytes(text, 11), bytes({'a', 0, 0, 0, 0xe9, 0, 0, 0}));
  EXPECT_EQ(apm_getUTF32Bytes(text, 3), bytes({}));
  EXPECT_EQ(apm_getUTF32Bytes("a\xff", 8), bytes({'a', 0, 0, 0, 0xfd, 0xff, 0, 0}));
}

}  // namespace
}  // namespace measurement
