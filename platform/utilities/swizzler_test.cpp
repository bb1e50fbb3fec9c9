#include "platform/utilities/swizzler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Describe = std::function<std::string(int)>;

TEST(VDUSwizzler, ReplacesOnlyRegisteredMethodsWithTheSameType) {
  EXPECT_EQ(VDUSwizzler::currentImplementationForClass("Widget", "describe", false), std::nullopt);
  EXPECT_FALSE(VDUSwizzler::swizzleClass("Widget", "describe", false,
                                         Describe([](int) { return std::string("x"); })));
  VDUSwizzler::registerImplementation(
      "Widget", "describe", false, Describe([](int n) { return "widget " + std::to_string(n); }));
  EXPECT_TRUE(VDUSwizzler::selectorExistsInClass("describe", "Widget", false));
  EXPECT_FALSE(VDUSwizzler::selectorExistsInClass("describe", "Widget", true));
  auto call = [](int n) {
    auto current = VDUSwizzler::currentImplementationForClass("Widget", "describe", false);
    return std::any_cast<Describe>(*current)(n);
  };
  EXPECT_EQ(call(1), "widget 1");
  EXPECT_TRUE(VDUSwizzler::swizzleClass("Widget", "describe", false, Describe([](int n) {
                                          return "replaced " + std::to_string(n);
                                        })));
  EXPECT_EQ(call(2), "replaced 2");
  EXPECT_FALSE(VDUSwizzler::swizzleClass("Widget", "describe", false, 42));  // another type
  EXPECT_EQ(call(3), "replaced 3");
}

}  // namespace
