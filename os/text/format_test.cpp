#include "os/text/format.h"

#include <gtest/gtest.h>

namespace os {
namespace {

TEST(Format, SubstitutesOnlyObjectPlaceholdersAndPercentSigns) {
  struct Case {
    std::string pattern;
    Array args;
    std::string expected;
  } cases[] = {
      {"%@ of %@", {"3", "10"}, "3 of 10"},
      {"no placeholders", {"ignored"}, "no placeholders"},
      {"100%%", {}, "100%"},
      {"%%@", {"x"}, "%@"},
      {"%d files, %s, %1$@, %ld%", {"x"}, "%d files, %s, %1$@, %ld%"},
      {"50% off %@", {"today"}, "50% off today"},
      {"%", {}, "%"},
      {"%@ and %@", {"one"}, "one and (null)"},
      {"%@", {}, "(null)"},
      {"%@", {"one", "two"}, "one"},
      {"[%@]", {nullptr}, "[(null)]"},
      {"%@!", {"%@ %%"}, "%@ %%!"},  // an argument's text is not scanned again
      {"%@%@%@", {"a", "", "c"}, "ac"},
      {"caf\xC3\xA9 %@", {"\xF0\x9F\x98\x80"}, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"", {"x"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(formatObjects(c.pattern, c.args), c.expected);
  }
}

TEST(Format, RendersValuesWithTheirDescription) {
  EXPECT_EQ(formatObjects("%@ items, pro %@", {3, true}), "3 items, pro 1");
  Value list = Array{"a", "b"};
  EXPECT_EQ(formatObjects("list: %@", {list}), "list: " + list.description());
  EXPECT_EQ(formatObjects("list: %@", {list}), "list: (\n    a,\n    b\n)");
}

TEST(Format, PrintfConversionsTakeTheirArgumentsInOrder) {
  struct Case {
    const char* pattern;
    Array args;
    const char* expected;
  };
  const Case cases[] = {
      {"Invalid logger level, %ld", {8}, "Invalid logger level, 8"},
      {"I-NET%06ld", {901017}, "I-NET901017"},
      {"I-VDU%06ld", {3}, "I-VDU000003"},
      {"%@ (%li)", {"SecItemAdd", -25299}, "SecItemAdd (-25299)"},
      {"Invalid reachability status %d", {9}, "Invalid reachability status 9"},
      {"%s/%@ %u %x %.2f", {"a", "b", 7, 255, 1.5}, "a/b 7 ff 1.50"},
      {"[%5s|%-3d]", {"ab", 4}, "[   ab|4  ]"},
      {"%p", {255}, "0xff"},
      {"%c%c", {72, 105}, "Hi"},
      {"%@", {nullptr}, "(null)"},
      // No argument left, or no conversion known: the text stays as written.
      {"100% done %ld", {}, "100% done %ld"},
      {"%d and %d", {1}, "1 and %d"},
      {"%y %", {1}, "%y %"},
      {"50%% of %d", {2}, "50% of 2"},
      {"%@", {"%d %@"}, "%d %@"},  // an argument's text is not scanned again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(formatPrintf(c.pattern, c.args), c.expected);
  }
}

}  // namespace
}  // namespace os
