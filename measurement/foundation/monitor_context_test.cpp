#include "measurement/foundation/monitor_context.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace measurement {
namespace {

TEST(MonitorContext, NumbersEncodeAsThemselvesOrTheirDecade) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    MonitorContext number;
    const char* encoded;
  };
  const Case cases[] = {
      {int64_t{0}, "0"},
      {int64_t{99}, "99"},
      {int64_t{-99}, "-99"},
      {int64_t{100}, "100...999"},
      {int64_t{-100}, "-999...-100"},
      {int64_t{150}, "100...999"},
      {int64_t{-150}, "-999...-100"},
      {int64_t{12345}, "10000...99999"},
      // A double decade computation would round this up to 10^18.
      {int64_t{999999999999999999}, "100000000000000000...999999999999999999"},
      {int64_t{1000000000000000000}, "1000000000000000000...9999999999999999999"},
      {kMax, "1000000000000000000...9999999999999999999"},
      {kMin, "-9999999999999999999...-1000000000000000000"},
      {2.7, "2"},
      {-2.7, "-2"},
      {150.9, "100...999"},
      {std::nan(""), "0"},
      {1e300, "1000000000000000000...9999999999999999999"},
      {-std::numeric_limits<double>::infinity(), "-9999999999999999999...-1000000000000000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encodedStringWithContextObject(c.number), c.encoded) << c.encoded;
  }
}

TEST(MonitorContext, OtherKindsKeepTheirValuesOut) {
  struct Case {
    MonitorContext context;
    const char* encoded;
  };
  const Case cases[] = {
      {std::monostate{}, ""},
      {std::string("user@example.com"), "-"},
      {std::string(), "-"},
      {os::Error("NSPOSIXErrorDomain", 2, "No such file"), "NSPOSIXErrorDomain"},
      {os::Error(), "-"},
      {os::Exception("NSRangeException", "index 4 beyond bounds"), "NSRangeException"},
      {os::Exception("", "no name"), "-"},
      {OtherContext{"<Thing 0x1>"}, "?"},
  };
  for (const Case& c : cases) EXPECT_EQ(encodedStringWithContextObject(c.context), c.encoded);
}

TEST(MonitorContext, ArraysJoinWithOrWithoutSpaces) {
  const MonitorContext contexts[] = {std::string("secret"), int64_t{150}, std::monostate{}};
  EXPECT_EQ(encodedStringWithContextArray(contexts, false), "-,100...999,");
  EXPECT_EQ(encodedStringWithContextArray(contexts, true), "-, 100...999, ");
  EXPECT_EQ(encodedStringWithContextArray({}, true), "");
}

TEST(MonitorContext, LogArgumentsOfAnyNumberOrTextTypeBecomeContexts) {
  const std::string text = "path";
  const std::string_view view = "view";
  const MonitorContext contexts[] = {
      makeMonitorContext(size_t{7}),
      makeMonitorContext(std::numeric_limits<uint64_t>::max()),
      makeMonitorContext(uint32_t{4000000000}),
      makeMonitorContext(short{-3}),
      makeMonitorContext(true),
      makeMonitorContext(1.5f),
      makeMonitorContext("literal"),
      makeMonitorContext(text),
      makeMonitorContext(view),
      makeMonitorContext(nullptr),
      makeMonitorContext(os::Error("D", 1, "x")),
  };
  const MonitorContext expected[] = {
      int64_t{7},
      std::numeric_limits<int64_t>::max(),
      int64_t{4000000000},
      int64_t{-3},
      int64_t{1},
      1.5,
      std::string("literal"),
      std::string("path"),
      std::string("view"),
      std::monostate{},
      os::Error("D", 1, "x"),
  };
  ASSERT_EQ(std::size(contexts), std::size(expected));
  for (size_t i = 0; i < std::size(contexts); ++i) {
    EXPECT_EQ(contexts[i].index(), expected[i].index()) << i;
    EXPECT_EQ(encodedStringWithContextObject(contexts[i]),
              encodedStringWithContextObject(expected[i]))
        << i;
  }
  EXPECT_EQ(std::get<int64_t>(contexts[1]), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(std::get<std::string>(contexts[8]), "view");
}

TEST(MonitorContext, SaturatingInt64) {
  EXPECT_EQ(saturatingInt64(9223372036854775807.0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturatingInt64(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(saturatingInt64(-0.9), 0);
  EXPECT_EQ(saturatingInt64(std::numeric_limits<double>::infinity()),
            std::numeric_limits<int64_t>::max());
}

}  // namespace
}  // namespace measurement
