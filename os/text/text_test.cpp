#include "os/text/text.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <vector>

#include "testsupport/random.h"

namespace os::text {
namespace {

// "😀" (U+1F600) is one scalar, two UTF-16 units and four UTF-8 bytes.
constexpr const char* kGrin = "\xF0\x9F\x98\x80";
constexpr const char* kPrecomposedE = "\xC3\xA9";  // U+00E9
constexpr const char* kDecomposedE = "e\xCC\x81";  // e + U+0301

std::string grin() { return kGrin; }
std::string precomposedE() { return kPrecomposedE; }
std::string decomposedE() { return kDecomposedE; }

TEST(Text, CountsUtf16UnitsScalarsAndComposedCharacters) {
  struct Case {
    std::string text;
    size_t utf16;
    size_t scalars;
    size_t composed;
  } cases[] = {
      {"", 0, 0, 0},
      {"abc", 3, 3, 3},
      {grin() + "a", 3, 2, 2},
      {precomposedE(), 1, 1, 1},
      {decomposedE(), 2, 2, 1},
      // man ZWJ woman ZWJ girl: one family emoji
      {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 8, 5, 1},
      {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 4, 2, 1},  // regional indicators D E: one flag
      {"\r\n", 2, 2, 1},
      {std::string("a\0b", 3), 3, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(utf16Length(c.text), c.utf16);
    EXPECT_EQ(toUtf16(c.text).size(), c.utf16);
    EXPECT_EQ(unicodeScalarCount(c.text), c.scalars);
    EXPECT_EQ(composedCharacterCount(c.text), c.composed);
    EXPECT_TRUE(isValidUtf8(c.text));
  }
}

TEST(Text, InvalidUtf8ReadsAsReplacementCharactersLikeIcusConverter) {
  struct Case {
    std::string bytes;
    std::u16string expected;
  } cases[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xC3", u"a\uFFFD"},                              // truncated two-byte sequence
      {"\xE2\x82z", u"\uFFFDz"},                          // truncated three-byte sequence: one
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong "/"
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x80\x80" + grin(), u"\uFFFD\uFFFD\U0001F600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_FALSE(isValidUtf8(c.bytes));
    EXPECT_EQ(toUtf16(c.bytes), c.expected);
    EXPECT_EQ(utf16Length(c.bytes), c.expected.size());

    // Our decoder splits ill-formed input exactly as ICU's own converter does.
    std::u16string icu(c.bytes.size() * 2 + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(icu.data(), static_cast<int32_t>(icu.size()), &length, c.bytes.data(),
                         static_cast<int32_t>(c.bytes.size()), 0xFFFD, nullptr, &status);
    ASSERT_TRUE(U_SUCCESS(status));
    icu.resize(static_cast<size_t>(length));
    EXPECT_EQ(toUtf16(c.bytes), icu);
  }
}

// Arbitrary bytes through every function: nothing crashes (the sanitizer build watches) and the
// functions agree with one another about the text they see.
TEST(Text, ArbitraryBytesNeverBreakTheHelpers) {
  testsupport::PseudoRandom random(12345);
  auto nextByte = [&random] {
    uint32_t value = random.next() >> 16;
    // Bias towards bytes that start or continue multi-byte sequences.
    return static_cast<char>(value % 3 == 0 ? value & 0x7F : 0x80 | (value & 0x7F));
  };
  for (int round = 0; round < 500; ++round) {
    std::string bytes;
    for (int i = 0; i < round % 13; ++i) bytes += nextByte();
    SCOPED_TRACE(testing::PrintToString(bytes));
    std::u16string units = toUtf16(bytes);
    ASSERT_EQ(utf16Length(bytes), units.size());
    std::string repaired = fromUtf16(units);
    EXPECT_TRUE(isValidUtf8(repaired));
    EXPECT_EQ(toUtf16(repaired), units);
    EXPECT_EQ(substring(bytes, {0, units.size()}), repaired);
    EXPECT_EQ(utf16IndexOfByteOffset(bytes, bytes.size()), units.size());
    EXPECT_EQ(byteOffsetOfUtf16Index(bytes, units.size()), bytes.size());
    EXPECT_LE(composedCharacterCount(bytes), units.size());
    for (size_t i = 0; i < units.size(); ++i) {
      std::optional<Range> character = rangeOfComposedCharacterSequence(bytes, i);
      ASSERT_TRUE(character.has_value());
      EXPECT_LE(character->location, i);
      EXPECT_GT(character->end(), i);
    }
    EXPECT_EQ(compare(bytes, repaired), Order::Same);
    EXPECT_TRUE(hasPrefix(bytes, repaired));
    if (!units.empty()) {
      Range lastCharacter = *rangeOfComposedCharacterSequence(bytes, units.size() - 1);
      std::string last = *substring(bytes, lastCharacter);
      EXPECT_EQ(rangeOf(bytes, last, kBackwards | kLiteral), lastCharacter);
      EXPECT_EQ(rangeOf(bytes, last, kBackwards), lastCharacter);
      EXPECT_TRUE(hasSuffix(bytes, last));
    }
    EXPECT_TRUE(isValidUtf8(lowercase(bytes)));
    EXPECT_TRUE(isValidUtf8(uppercase(bytes)));
  }
}

TEST(Text, ConvertsBetweenUtf16IndicesAndByteOffsets) {
  // "a😀é": a at unit 0 (byte 0), 😀 at units 1-2 (bytes 1-4), é at unit 3 (bytes 5-6).
  const std::string text = "a" + grin() + precomposedE();
  const std::optional<size_t> byteOfIndex[] = {0, 1, std::nullopt, 5, 7, std::nullopt};
  for (size_t index = 0; index < std::size(byteOfIndex); ++index)
    EXPECT_EQ(byteOffsetOfUtf16Index(text, index), byteOfIndex[index]) << "index " << index;

  const std::optional<size_t> indexOfByte[] = {
      0, 1, std::nullopt, std::nullopt, std::nullopt, 3, std::nullopt, 4, std::nullopt};
  for (size_t byte = 0; byte < std::size(indexOfByte); ++byte)
    EXPECT_EQ(utf16IndexOfByteOffset(text, byte), indexOfByte[byte]) << "byte " << byte;

  // An ill-formed sequence is one character: no index lies inside it.
  const std::string broken = "\xE2\x82z";
  EXPECT_EQ(utf16IndexOfByteOffset(broken, 1), std::nullopt);
  EXPECT_EQ(utf16IndexOfByteOffset(broken, 2), 1u);
  EXPECT_EQ(byteOffsetOfUtf16Index(broken, 1), 2u);
}

TEST(Text, SubstringTakesUtf16RangesAndRefusesRangesOutside) {
  const std::string text = "a" + grin() + "bc";  // units: a 😀😀 b c
  struct Case {
    Range range;
    std::optional<std::string> expected;
  } cases[] = {
      {{0, 1}, "a"},
      {{1, 2}, grin()},
      {{3, 2}, "bc"},
      {{0, 5}, text},
      {{5, 0}, ""},
      {{2, 0}, ""},
      // Halves of the surrogate pair come out as U+FFFD, keeping the length in UTF-16 units.
      {{1, 1}, "\xEF\xBF\xBD"},
      {{2, 2},
       "\xEF\xBF\xBD"
       "b"},
      {{6, 0}, std::nullopt},
      {{4, 2}, std::nullopt},
      {kNotFoundRange, std::nullopt},
      {{kNotFound, 1}, std::nullopt},
      {{1, SIZE_MAX}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "{" << c.range.location << ", " << c.range.length << "}");
    EXPECT_EQ(substring(text, c.range), c.expected);
  }
  EXPECT_EQ(substring("a\xFF"
                      "b",
                      {1, 2}),
            "\xEF\xBF\xBD"
            "b");
}

TEST(Text, ConvertsToAndFromUtf16) {
  const std::string text = "x" + grin() + precomposedE();
  EXPECT_EQ(toUtf16(text), u"x\U0001F600\u00E9");
  EXPECT_EQ(fromUtf16(u"x\U0001F600\u00E9"), text);
  // Unpaired surrogates: a high one at the end, a low one alone, a high one before a non-surrogate.
  const char16_t lonely[] = {u'a', 0xD83D, u'b', 0xDE00, 0xD83D};
  EXPECT_EQ(fromUtf16(std::u16string_view(lonely, 5)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Text, FindsTheComposedCharacterSequenceAtAnIndex) {
  // a | 😀 (1-2) | e + U+0301 (3-4) | flag DE (5-8)
  const std::string text = "a" + grin() + decomposedE() + "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
  struct Case {
    size_t index;
    std::optional<Range> expected;
  } cases[] = {
      {0, Range{0, 1}}, {1, Range{1, 2}}, {2, Range{1, 2}}, {3, Range{3, 2}},
      {4, Range{3, 2}}, {7, Range{5, 4}}, {8, Range{5, 4}}, {9, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rangeOfComposedCharacterSequence(text, c.index), c.expected) << "index " << c.index;
  EXPECT_EQ(composedCharacterCount(text), 4u);
}

struct SearchCase {
  std::string text;
  std::string needle;
  CompareOptions options;
  Range expected;
  std::optional<Range> searchRange = std::nullopt;
};

void expectSearches(const std::vector<SearchCase>& cases) {
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "\"" << c.needle << "\" in \"" << c.text << "\" options "
                                    << unsigned(c.options));
    Range found = rangeOf(c.text, c.needle, c.options, c.searchRange);
    EXPECT_EQ(found.location, c.expected.location);
    EXPECT_EQ(found.length, c.expected.length);
  }
}

TEST(TextSearch, OptionsDirectionAnchoringAndSearchRange) {
  expectSearches({
      {"xabcx", "ABC", kCaseInsensitive, {1, 3}},
      {"xabcx", "ABC", kNoOptions, kNotFoundRange},
      {"xabcx", "abc", kLiteral, {1, 3}},
      {"abxab", "ab", kNoOptions, {0, 2}},
      {"abxab", "ab", kBackwards, {3, 2}},
      {"abxab", "AB", kBackwards | kCaseInsensitive, {3, 2}},
      {"xab", "ab", kAnchored, kNotFoundRange},
      {"abx", "ab", kAnchored, {0, 2}},
      {"abx", "ab", kAnchored | kBackwards, kNotFoundRange},
      {"xab", "ab", kAnchored | kBackwards, {1, 2}},
      {"xab", "AB", kAnchored | kCaseInsensitive, kNotFoundRange},
      {"abxab", "ab", kNoOptions, {3, 2}, Range{1, 4}},
      {"abxab", "ab", kAnchored, {3, 2}, Range{3, 2}},
      {"abxab", "ab", kAnchored, kNotFoundRange, Range{2, 3}},
      {"abxab", "ab", kNoOptions, kNotFoundRange, Range{1, 3}},  // the match must fit inside
      {"abxab", "ab", kNoOptions, kNotFoundRange, Range{4, 5}},  // a range outside the text
      {"abxab", "ab", kNoOptions, kNotFoundRange, Range{kNotFound, 0}},
      {"abc", "", kNoOptions, kNotFoundRange},
      {"abc", "", kLiteral, kNotFoundRange},
      {"", "a", kNoOptions, kNotFoundRange},
      {"ab", "abc", kNoOptions, kNotFoundRange},
  });
}

TEST(TextSearch, CaseFoldingThatChangesLengthMapsBackToTheOriginal) {
  expectSearches({
      {"a\xC3\x9F"
       "b",
       "SS",
       kCaseInsensitive,
       {1, 1}},  // ß folds to ss
      {"a\xC3\x9F"
       "b",
       "ss",
       kCaseInsensitive | kLiteral,
       {1, 1}},
      {"a\xC3\x9F"
       "b",
       "s", kCaseInsensitive, kNotFoundRange},  // never half of a ß
      {"a\xC3\x9F"
       "b",
       "SSB",
       kCaseInsensitive,
       {1, 2}},
      {"xSSx", "\xC3\x9F", kCaseInsensitive, {1, 2}},
      {"xSSx\xC3\x9F", "\xC3\x9F", kCaseInsensitive | kBackwards, {4, 1}},
      {"x\xC3\xA4\xC3\xB6x", "\xC3\x84\xC3\x96", kCaseInsensitive, {1, 2}},  // äö / ÄÖ
      {"\xEF\xAC\x80"
       "x",
       "FF",
       kCaseInsensitive,
       {0, 1}},  // the ﬀ ligature folds to ff
  });
}

TEST(TextSearch, CanonicalEquivalenceUnlessLiteral) {
  const std::string precomposed = "caf" + precomposedE() + "!";
  const std::string decomposed = "caf" + decomposedE() + "!";
  expectSearches({
      {decomposed, precomposedE(), kNoOptions, {3, 2}},
      {decomposed, precomposedE(), kLiteral, kNotFoundRange},
      {precomposed, decomposedE(), kNoOptions, {3, 1}},
      {precomposed, decomposedE(), kLiteral, kNotFoundRange},
      {decomposed, decomposedE(), kLiteral, {3, 2}},
      // A base letter alone is not found inside an accented character...
      {precomposed, "e", kNoOptions, kNotFoundRange},
      {decomposed, "e", kNoOptions, kNotFoundRange},
      {decomposed, "e", kLiteral, {3, 1}},
      // ...unless diacritics are ignored.
      {precomposed, "e", kDiacriticInsensitive, {3, 1}},
      {decomposed, "E!", kDiacriticInsensitive | kCaseInsensitive, {3, 3}},
      {"resume", "r" + precomposedE() + "sum" + precomposedE(), kDiacriticInsensitive, {0, 6}},
      {precomposedE() + " " + decomposedE(), precomposedE(), kBackwards, {2, 2}},
      {"\xC3\x89", decomposedE(), kCaseInsensitive, {0, 1}},  // É
  });
}

TEST(TextSearch, RangesAfterAnEmojiAreInUtf16Units) {
  // 😀 at units 0-1, a 2, b 3, 😀 4-5, a 6, b 7
  const std::string text = grin() + "ab" + grin() + "ab";
  expectSearches({
      {text, "b", kNoOptions, {3, 1}},
      {text, "b", kLiteral, {3, 1}},
      {text, "B", kCaseInsensitive, {3, 1}},
      {text, "ab", kBackwards, {6, 2}},
      {text, grin(), kBackwards, {4, 2}},
      {text, grin(), kBackwards | kLiteral, {4, 2}},
      {text, "b" + grin(), kNoOptions, {3, 3}},
      {text, "ab", kAnchored, {6, 2}, Range{6, 2}},
      {text, "ab", kAnchored, kNotFoundRange, Range{4, 4}},
      {text, "ab", kAnchored | kBackwards, {6, 2}, Range{4, 4}},
      {grin() + decomposedE(), precomposedE(), kNoOptions, {2, 2}},
  });
}

TEST(TextSearch, WidthInsensitive) {
  expectSearches({
      {"x\xEF\xBC\xA1\xEF\xBC\xA2", "AB", kWidthInsensitive, {1, 2}},  // full-width ＡＢ
      {"x\xEF\xBC\xA1\xEF\xBC\xA2", "AB", kNoOptions, kNotFoundRange},
      {"x\xEF\xBC\xA1\xEF\xBC\xA2", "ab", kWidthInsensitive | kCaseInsensitive, {1, 2}},
      {"\xEF\xBD\xB6", "\xE3\x82\xAB", kWidthInsensitive, {0, 1}},  // half-width ｶ, カ
  });
}

TEST(TextCompare, OrdersWithOptions) {
  struct Case {
    std::string a;
    std::string b;
    CompareOptions options;
    Order expected;
  } cases[] = {
      {"", "", kNoOptions, Order::Same},
      {"a", "ab", kNoOptions, Order::Ascending},
      {"b", "ab", kNoOptions, Order::Descending},
      {"file9", "file10", kNumeric, Order::Ascending},
      {"file9", "file10", kNoOptions, Order::Descending},
      {"file10", "file10", kNumeric, Order::Same},
      {"file010", "file10", kNumeric, Order::Same},
      {"x2y10", "x2y3", kNumeric, Order::Descending},
      {"v1.10", "v1.9", kNumeric, Order::Descending},
      {"10", "9a", kNumeric, Order::Descending},
      {"abc", "ABC", kCaseInsensitive, Order::Same},
      {"abc", "ABD", kCaseInsensitive, Order::Ascending},
      {"abc", "ABC", kNoOptions, Order::Descending},
      {"abc", "ABC", kCaseInsensitive | kForcedOrdering, Order::Descending},
      {"stra\xC3\x9F"
       "e",
       "STRASSE", kCaseInsensitive, Order::Same},
      {precomposedE(), decomposedE(), kNoOptions, Order::Same},
      {precomposedE(), decomposedE(), kLiteral, Order::Descending},
      {precomposedE(), decomposedE(), kForcedOrdering, Order::Descending},
      {"r" + precomposedE() + "sum" + precomposedE(), "resume", kDiacriticInsensitive, Order::Same},
      // UTF-16 code unit order: U+E000 sorts after U+1F600 (whose first unit is 0xD83D).
      {"\xEE\x80\x80", grin(), kNoOptions, Order::Descending},
      {"\xEE\x80\x80", grin(), kLiteral, Order::Descending},
      {"\xEF\xBC\xA1", "a", kWidthInsensitive | kCaseInsensitive, Order::Same},
      {"\xFF", "\xEF\xBF\xBD", kNoOptions, Order::Same},  // ill-formed byte reads as U+FFFD
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "\"" << c.a << "\" vs \"" << c.b << "\" options " << unsigned(c.options));
    EXPECT_EQ(compare(c.a, c.b, c.options), c.expected);
    Order reversed = Order(-int(c.expected));
    EXPECT_EQ(compare(c.b, c.a, c.options), reversed);
  }
}

TEST(TextCompare, LocalizedCaseInsensitiveOrdersAsCollationIgnoringCase) {
  struct Case {
    const char* a;
    const char* b;
    Order order;
  } cases[] = {
      {"apple", "Banana", Order::Ascending},  // case does not decide
      {"Banana", "cherry", Order::Ascending},
      {"ABC", "abc", Order::Same},
      {"a-b", "a/b", Order::Ascending},  // punctuation before letters and digits
      {"a/b", "ab", Order::Ascending},
      {"rvo-install/1", "rvo-ios/1", Order::Ascending},
      {"appstore/false", "apple-platform/macos", Order::Descending},
      {"file2", "file10", Order::Descending},  // digits one by one, not by value
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(localizedCaseInsensitiveCompare(c.a, c.b), c.order);
  }
}

TEST(TextCompare, InLocaleOrdersAsThatLanguageCaseIncluded) {
  struct Case {
    const char* a;
    const char* b;
    const char* locale;
    Order order;
  } cases[] = {
      {"a", "A", "en_US", Order::Ascending},  // case decides only between equal letters
      {"A", "b", "en_US", Order::Ascending},
      {"B", "a", "en_US", Order::Descending},
      {"_ev", "ab", "en_US", Order::Ascending},         // punctuation before letters
      {"item10", "item9", "en_US", Order::Ascending},   // digits one by one
      {"\xC3\xA9", "f", "en_US", Order::Ascending},     // é sorts with e, not after z
      {"e\xCC\x81", "\xC3\xA9", "en_US", Order::Same},  // however é is written
      {"same", "same", "en_US", Order::Same},
      {"\xC3\xA4", "z", "sv_SE", Order::Descending},  // Swedish sorts ä after z
      {"\xC3\xA4", "z", "en_US", Order::Ascending},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b + " in " + c.locale);
    EXPECT_EQ(compareInLocale(c.a, c.b, c.locale), c.order);
  }
}

TEST(Text, PrefixAndSuffixByUtf16Units) {
  const std::string text = grin() + "a" + precomposedE();
  EXPECT_TRUE(hasPrefix(text, grin()));
  EXPECT_TRUE(hasPrefix(text, ""));
  EXPECT_TRUE(hasPrefix(text, text));
  EXPECT_FALSE(hasPrefix(text, text + "x"));
  EXPECT_FALSE(hasPrefix(text, "\xF0\x9F"));  // bytes of the emoji, but U+FFFD as text
  EXPECT_TRUE(hasSuffix(text, "a" + precomposedE()));
  EXPECT_FALSE(hasSuffix(text, "\xA9"));         // the last byte is not a character
  EXPECT_FALSE(hasSuffix(text, decomposedE()));  // code units, not canonical equivalence
  EXPECT_TRUE(
      hasPrefix("\xFF"
                "abc",
                "\xEF\xBF\xBD"
                "a"));
  EXPECT_TRUE(hasSuffix("abc\xFF", "c\xEF\xBF\xBD"));
}

TEST(Text, FullCaseMappingIndependentOfLocale) {
  EXPECT_EQ(uppercase("stra\xC3\x9F"
                      "e"),
            "STRASSE");
  EXPECT_EQ(lowercase("\xC3\x80\xC3\x89\xC3\x8E"), "\xC3\xA0\xC3\xA9\xC3\xAE");  // ÀÉÎ
  EXPECT_EQ(lowercase("TITLE"), "title");         // no Turkish dotless i
  EXPECT_EQ(uppercase("title"), "TITLE");         // no Turkish dotted I
  EXPECT_EQ(lowercase("\xC4\xB0"), "i\xCC\x87");  // İ keeps its dot as a combining mark
  EXPECT_EQ(lowercase("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"),
            "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");  // final sigma
  EXPECT_EQ(uppercase(grin() + "x"), grin() + "X");
  EXPECT_EQ(uppercase(""), "");
}

}  // namespace
}  // namespace os::text
