#include "os/bundle/strings_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "os/value/plist.h"

namespace os::strings {
namespace {

using ::testing::HasSubstr;

// The UTF-16 bytes of `text`, optionally after a byte-order mark.
std::string utf16(std::u16string_view text, bool bigEndian, bool byteOrderMark) {
  std::string bytes;
  if (byteOrderMark) bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

TEST(StringsTable, ReadsUtf8WithCommentsEscapesAndUnquotedWords) {
  const std::string text =
      "\xEF\xBB\xBF/* Installer texts.\r\n   Second comment line. */\r\n"
      "\"TITLE\" = \"Install %@\"; // trailing comment\r\n"
      "\"QUIT\";\n"
      "button.ok=OK;\n"
      "path/key-1:$x = \"a/*not a comment*/b//c\";\n"
      "\"escapes\" = \"n\\n t\\t r\\r q\\\" b\\\\ s\\' a\\a b\\b f\\f v\\v\";\n"
      "\"unicode\" = \"\\U00e9\\u65E5 \\UD83D\\UDE00 \\U41\";\n"
      "\"octal\" = \"\\101\\351\\0end\";\n"
      "/**/\"multi\nline\" /* between */ = /* tokens */ \"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\";\n"
      "\"TITLE\" = \"Install it\";";
  Error error;
  std::optional<Table> table = parse(text, &error);
  ASSERT_TRUE(table) << error.description;
  const Table expected = {
      {"TITLE", "Install it"},
      {"QUIT", "QUIT"},
      {"button.ok", "OK"},
      {"path/key-1:$x", "a/*not a comment*/b//c"},
      {"escapes", "n\n t\t r\r q\" b\\ s' a\a b\b f\f v\v"},
      {"unicode", "\xC3\xA9\xE6\x97\xA5 \xF0\x9F\x98\x80 A"},
      {"octal", std::string("A\xC3\xA9\0end", 7)},
      {"multi\nline", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
  };
  EXPECT_EQ(*table, expected);
}

TEST(StringsTable, ReadsUtf16InEitherByteOrderWithOrWithoutMark) {
  const std::u16string text =
      u"/* \u65E5\u672C\u8A9E */\n\"GREETING\" = \"\u3053\u3093\u306B\u3061\u306F "
      u"\U0001F600\";\n\"escaped\" = \"\\U00e9\";\n";
  const Table expected = {
      {"GREETING", "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF \xF0\x9F\x98\x80"},
      {"escaped", "\xC3\xA9"},
  };
  struct Case {
    const char* name;
    bool bigEndian;
    bool byteOrderMark;
  };
  for (const Case& c :
       {Case{"little-endian with mark", false, true}, Case{"big-endian with mark", true, true},
        Case{"little-endian without mark", false, false},
        Case{"big-endian without mark", true, false}}) {
    SCOPED_TRACE(c.name);
    Error error;
    std::optional<Table> table = parse(utf16(text, c.bigEndian, c.byteOrderMark), &error);
    ASSERT_TRUE(table) << error.description;
    EXPECT_EQ(*table, expected);
  }
}

TEST(StringsTable, UnpairedSurrogateInUtf16BecomesReplacementCharacter) {
  std::optional<Table> table = parse(utf16(u"\"a\" = \"x\xD800y\";", true, true));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->at("a"), "x\xEF\xBF\xBDy");
}

TEST(StringsTable, EmptyTextsGiveEmptyTables) {
  for (std::string_view text :
       {"", "   \n", "/* only a comment */", "// line", "\xEF\xBB\xBF", "\xFF\xFE"}) {
    Error error;
    std::optional<Table> table = parse(text, &error);
    ASSERT_TRUE(table) << text << ": " << error.description;
    EXPECT_TRUE(table->empty());
  }
}

TEST(StringsTable, ReadsPropertyListsOfStrings) {
  const Value dictionary = Dictionary{{"TITLE", "Install"}, {"QUIT", "Quit"}};
  const Table expected = {{"QUIT", "Quit"}, {"TITLE", "Install"}};
  for (plist::Format format : {plist::Format::Xml, plist::Format::Binary}) {
    std::optional<std::string> bytes = plist::serialize(dictionary, format);
    ASSERT_TRUE(bytes);
    Error error;
    std::optional<Table> table = parse(*bytes, &error);
    ASSERT_TRUE(table) << error.description;
    EXPECT_EQ(*table, expected);
  }

  struct Case {
    Value value;
    const char* reason;
  };
  for (const Case& c : {Case{Array{"a"}, "not a dictionary"},
                        Case{Dictionary{{"count", 3}}, "value for \"count\" is not a string"}}) {
    Error error;
    EXPECT_FALSE(parse(*plist::serialize(c.value, plist::Format::Xml), &error));
    EXPECT_THAT(error.description, HasSubstr(c.reason));
    EXPECT_EQ(error.code, plist::kReadCorruptError);
  }

  Error error;
  EXPECT_FALSE(parse("<?xml version=\"1.0\"?><plist><dict><key>a</key>", &error));
  EXPECT_EQ(error.domain, plist::kErrorDomain);
}

TEST(StringsTable, MalformedTextsGiveErrorsWithReasonAndLine) {
  struct Case {
    std::string text;
    std::string description;
  };
  const Case cases[] = {
      {"\"a\" = \"b\";\n\"c\" = \"never closed;\n",
       "Unterminated quoted string starting on line 2"},
      {"\"a\" = \"b\\", "Unterminated quoted string starting on line 1"},
      {"\"a\" = \"b\";\n\n/* open\n", "Unterminated comment starting on line 3"},
      {"\"a\" \"b\";", "Missing '=' or ';' after the key \"a\" on line 1"},
      {"\"a\" = \"b\"\n\"c\" = \"d\";", "Missing ';' after the value of \"a\" on line 1"},
      {"\r\n\r\n\"a\" = \"b\"", "Missing ';' after the value of \"a\" on line 3"},
      {"\"a\" = \"x\\qy\";", "Invalid escape sequence '\\q' on line 1"},
      {"\"a\" = \"\\U\";", "Invalid escape sequence: \\U without hexadecimal digits on line 1"},
      {"\"a\" = \"\\UD83D\";", "Invalid escape sequence: unpaired UTF-16 surrogate on line 1"},
      {"\"a\" = \"\\UDE00\";", "Invalid escape sequence: unpaired UTF-16 surrogate on line 1"},
      {"\"a\" = \"\\UD83D\\U0041\";",
       "Invalid escape sequence: unpaired UTF-16 surrogate on line 1"},
      {"\"a\" = ;", "Unexpected character ';' where a value after '=' was expected on line 1"},
      {"\"a\" =", "Missing a value after '=' at the end of the text on line 1"},
      {"{ \"a\" = \"b\"; }", "Unexpected character '{' where a key was expected on line 1"},
      {"\"a\" = \"b\";\n\xC3\xA9 = x;",
       "Unexpected character '\xC3\xA9' where a key was expected on line 2"},
      {"\"a\" = \"\xC3\x28\";", "The text is neither UTF-8 nor UTF-16"},
      {"\"a\" = \"b\";\n\xFF", "The text is neither UTF-8 nor UTF-16"},
      {utf16(u"\"a\" = \"b\";", false, true) + "\n",
       "UTF-16 text that ends in the middle of a code unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Error error;
    EXPECT_FALSE(parse(c.text, &error));
    EXPECT_EQ(error.domain, plist::kErrorDomain);
    EXPECT_EQ(error.code, plist::kReadCorruptError);
    EXPECT_EQ(error.description, c.description);
    EXPECT_FALSE(parse(c.text, nullptr));
  }
}

TEST(StringsTable, EveryTruncationEndsInATableOrAnError) {
  // Cutting a valid text anywhere must never read past its end (the sanitizer build checks).
  const std::string text =
      "/* c */ \"k\\U00e9\" = \"v\\UD83D\\UDE00\\101\\n\"; // x\nw.o-r:d = v;\n\"solo\";";
  for (size_t length = 0; length <= text.size(); ++length) {
    Error error;
    std::optional<Table> table = parse(std::string_view(text).substr(0, length), &error);
    EXPECT_TRUE(table || !error.description.empty()) << length;
  }
  EXPECT_EQ(parse(text)->size(), 3u);
}

}  // namespace
}  // namespace os::strings
