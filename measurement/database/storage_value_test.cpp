#include "measurement/database/storage_value.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

TEST(StorageValue, StoresStringsDoublesAndEveryOtherKindAsInt64) {
  EXPECT_EQ(storageValueFromValue(Value(std::string("s"))), os::Value("s"));
  EXPECT_EQ(storageValueFromValue(Value(1.5)), os::Value(1.5));
  EXPECT_EQ(storageValueFromValue(Value(int64_t{-7})), os::Value(int64_t{-7}));
  EXPECT_EQ(storageValueFromValue(Value(os::Array{os::Dictionary{{"a", 1}}})),
            os::Value(int64_t{0}));
}

}  // namespace
}  // namespace measurement
