#include "os/format.h"

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

}  // namespace
}  // namespace os
