#include "net/query_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct QueryCase {
  const char* name;
  NKParameters parameters;
  std::string query;
};

TEST(QueryString, EncodesParametersInTheirFixedOrder) {
  const QueryCase cases[] = {
      {"nested dictionaries sort, arrays keep their order, brackets escaped",
       os::Dictionary{{"b", 1}, {"a", os::Dictionary{{"y", 2}, {"x", os::Array{3, 4}}}}},
       "a%5Bx%5D%5B%5D=3&a%5Bx%5D%5B%5D=4&a%5By%5D=2&b=1"},
      {"a null value gives the field alone", os::Dictionary{{"flag", nullptr}, {"n", 0}},
       "flag&n=0"},
      {"a set is sorted and repeats its key",
       NKParameters::Dictionary{{"k", NKParameters::set({"b", "a", "b"})}}, "k=a&k=b"},
      {"a set of numbers sorts by description, not by value",
       NKParameters::Dictionary{{"n", NKParameters::set({2, 10, 1})}}, "n=1&n=10&n=2"},
      {"a set inside an array inside a dictionary",
       NKParameters::Dictionary{
           {"o", NKParameters::Array{NKParameters::set({"y", "x"}), os::Value("z")}}},
       "o%5B%5D=x&o%5B%5D=y&o%5B%5D=z"},
      {"descriptions of booleans, reals and data",
       os::Dictionary{{"t", true}, {"f", false}, {"r", 0.5}, {"d", os::Data{0xab, 0x01}}},
       "d=%3Cab01%3E&f=0&r=0.5&t=1"},
      {"empty collections give no pairs",
       os::Dictionary{{"e", os::Dictionary{}}, {"l", os::Array{}}, {"x", "1"}}, "x=1"},
      {"a lone value has an empty field", os::Value("v"), "=v"},
      {"keys sort in UTF-16 order of their canonical forms, not in byte order",
       // U+FF21 (UTF-8 EF BC A1) sorts after U+1F600 (F0 9F 98 80) in UTF-16, and a decomposed
       // "e" + U+0302 sorts after the precomposed U+00E9 once both are decomposed.
       os::Dictionary{{"\uFF21", 1}, {"\U0001F600", 2}, {"e\u0302", 3}, {"\u00E9", 4}},
       "%C3%A9=4&e%CC%82=3&%F0%9F%98%80=2&%EF%BC%A1=1"},
  };
  for (const QueryCase& c : cases) {
    EXPECT_EQ(NKQueryStringFromParameters(c.parameters), c.query) << c.name;
  }
}

TEST(QueryString, EscapesEverythingButUnreservedSlashAndQuestionMark) {
  EXPECT_EQ(NKPercentEscapedStringFromString("a/b?c-d._~"), "a/b?c-d._~");
  EXPECT_EQ(NKPercentEscapedStringFromString("&=+# :[]@!$'()*,;%"),
            "%26%3D%2B%23%20%3A%5B%5D%40%21%24%27%28%29%2A%2C%3B%25");
  EXPECT_EQ(NKPercentEscapedStringFromString("Grüße 日本"), "Gr%C3%BC%C3%9Fe%20%E6%97%A5%E6%9C%AC");

  // 49 ASCII characters put the emoji's surrogate pair across the 50th UTF-16 unit, where a
  // slice-wise escaper must not split it.
  std::string text = std::string(49, 'x') + "\U0001F600" + "y";
  EXPECT_EQ(NKPercentEscapedStringFromString(text), std::string(49, 'x') + "%F0%9F%98%80y");
}

TEST(QueryString, PairsKeepTheValuesThemselves) {
  std::vector<NKQueryStringPair> pairs = NKQueryStringPairsFromKeyAndValue(
      "root", os::Dictionary{{"blob", os::Data{1, 2}}, {"none", nullptr}, {"n", 7}});
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].field, "root[blob]");
  EXPECT_EQ(pairs[0].value, os::Value(os::Data{1, 2}));
  EXPECT_EQ(pairs[1].field, "root[n]");
  EXPECT_EQ(pairs[1].value, os::Value(7));
  EXPECT_EQ(pairs[2].field, "root[none]");
  EXPECT_TRUE(pairs[2].value.isNull());
  EXPECT_EQ(pairs[2].URLEncodedStringValue(), "root%5Bnone%5D");
}

TEST(QueryString, ParametersConvertToValuesUnlessASetIsInside) {
  NKParameters plain = NKParameters::Dictionary{{"a", NKParameters::Array{os::Value(1)}}};
  EXPECT_EQ(plain.toValue(), os::Value(os::Dictionary{{"a", os::Array{1}}}));

  NKParameters withSet =
      NKParameters::Dictionary{{"a", NKParameters::Array{NKParameters::set({1})}}};
  EXPECT_EQ(withSet.toValue(), std::nullopt);
}

}  // namespace
