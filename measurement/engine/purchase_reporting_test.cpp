#include "measurement/engine/purchase_reporting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/engine/reporter_events.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"

namespace measurement {
namespace {

// The monitor stores what these log: in a sandbox, never in the real preferences.
class PurchaseReportingTest : public testing::Test {
 protected:
  PreferencesSandbox sandbox_;
};

Product product(const char* price, std::optional<std::string> currency = "EUR") {
  return Product{"com.example.gold", price ? Decimal::parse(price) : std::nullopt,
                 std::move(currency), std::string("Gold")};
}

TEST_F(PurchaseReportingTest, MicroUnitsAreExactDecimalProducts) {
  struct Case {
    const char* amount;
    int64_t multiplier;
    std::optional<int64_t> micros;
  };
  const std::vector<Case> cases{
      {"0.99", 1, 990000},
      {"0.99", 3, 2970000},
      {"19.999999", 7, 139999993},
      {"0.0000019", 1, 1},
      {"-2.5", 1, -2500000},
      {"9223372036854.775807", 1, 9223372036854775807},
      {"9223372036854.775808", 1, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(microUnits(*Decimal::parse(c.amount), c.multiplier), c.micros)
        << c.amount << " x " << c.multiplier;
  }
}

TEST_F(PurchaseReportingTest, APurchaseIsReportedOnlyWithPriceValueCurrencyAndProduct) {
  ScopedReporterObserver observer;
  MonitorCapture capture;
  Product gold = product("0.99");
  reportTransactionWithProduct(&gold, 3, std::string("1000000123"));
  ASSERT_EQ(observer.events().size(), 1u);
  APMReportedEvent event = observer.events()[0];
  EXPECT_EQ(event.name, "_iap");
  EXPECT_EQ(event.origin, "auto");
  EXPECT_EQ(event.parameters, (Parameters{{"product_id", Value(std::string("com.example.gold"))},
                                          {"price", Value(int64_t{990000})},
                                          {"value", Value(int64_t{2970000})},
                                          {"quantity", Value(int64_t{3})},
                                          {"currency", Value(std::string("EUR"))},
                                          {"product_name", Value(std::string("Gold"))}}));

  observer.clear();
  Product noCurrency = product("0.99", std::nullopt);
  Product noPrice = product(nullptr);
  reportTransactionWithProduct(&noCurrency, 1, std::string("1"));
  reportTransactionWithProduct(&noPrice, 1, std::string("2"));
  reportTransactionWithProduct(&gold, 0, std::string("3"));
  reportTransactionWithProduct(nullptr, 1, std::string("4"));
  EXPECT_TRUE(observer.events().empty());
  EXPECT_TRUE(capture.contains(40026));

  // A missing transaction id is logged, the purchase still reported.
  reportTransactionWithProduct(&gold, 1, std::nullopt);
  EXPECT_EQ(observer.events().size(), 1u);
  EXPECT_TRUE(capture.contains(40003));
}

}  // namespace
}  // namespace measurement
