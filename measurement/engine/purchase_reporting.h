// The automatic in-app purchase event "_iap": the purchase parameters of a product and a
// quantity, with prices in micro-units of their currency computed exactly from the decimal price.
//
//   Product gold{"com.example.gold", Decimal::parse("0.99"), "EUR", "Gold"};
//   reportTransactionWithProduct(&gold, 3, "1000000123");   // price 990000, value 2970000
//
// Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/foundation/decimal.h"
#include "measurement/foundation/products_request.h"
#include "measurement/foundation/value.h"

namespace measurement {

// `amount` x `multiplier` x 1,000,000, truncated toward zero; nullopt outside the int64 range.
std::optional<int64_t> microUnits(const Decimal& amount, int64_t multiplier);
// "product_id", "price", "value" (quantity not 0), "quantity" (not 0), "currency", "product_name";
// the three amounts only when the product has a price.
Parameters purchaseParameters(const Product& product, int64_t quantity);
// Logs "_iap" (origin "auto") when the parameters hold price, value, currency and product id.
void reportTransactionWithProduct(const Product* product, int64_t quantity,
                                  const std::optional<std::string>& transactionIdentifier);

}  // namespace measurement
