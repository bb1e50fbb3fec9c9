#include "measurement/engine/purchase_reporting.h"

#include <limits>

#include "measurement/engine/reporter_events.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

constexpr int kMicroDigits = 6;

}  // namespace

std::optional<int64_t> microUnits(const Decimal& amount, int64_t multiplier) {
  // The decimal's plain text: an optional "-", digits, an optional "." and digits.
  std::string text = amount.text();
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.erase(0, 1);
  size_t point = text.find('.');
  std::string whole = text.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  // Every digit is kept until the end, so that the quantity multiplies the exact price.
  __int128 scaled = 0;
  constexpr __int128 kLimit = static_cast<__int128>(1) << 100;
  for (char digit : whole + fraction) {
    scaled = scaled * 10 + (digit - '0');
    if (scaled > kLimit) return std::nullopt;
  }
  __int128 product = scaled * multiplier;
  if (product > kLimit || product < -kLimit) return std::nullopt;
  int shift = kMicroDigits - static_cast<int>(fraction.size());
  for (; shift > 0; --shift) {
    product *= 10;
    if (product > kLimit || product < -kLimit) return std::nullopt;
  }
  for (; shift < 0; ++shift) product /= 10;  // toward zero
  if (negative) product = -product;
  if (product > std::numeric_limits<int64_t>::max() ||
      product < std::numeric_limits<int64_t>::min()) {
    return std::nullopt;
  }
  return static_cast<int64_t>(product);
}

Parameters purchaseParameters(const Product& product, int64_t quantity) {
  Parameters parameters;
  parameters.insert_or_assign("product_id", Value(product.productIdentifier));
  if (product.price) {
    if (std::optional<int64_t> price = microUnits(*product.price, 1)) {
      parameters.insert_or_assign("price", Value(*price));
    }
    if (quantity != 0) {
      if (std::optional<int64_t> value = microUnits(*product.price, quantity)) {
        parameters.insert_or_assign("value", Value(*value));
      }
      parameters.insert_or_assign("quantity", Value(quantity));
    }
  }
  if (product.currencyCode) parameters.insert_or_assign("currency", Value(*product.currencyCode));
  if (product.localizedTitle) {
    parameters.insert_or_assign("product_name", Value(*product.localizedTitle));
  }
  return parameters;
}

void reportTransactionWithProduct(const Product* product, int64_t quantity,
                                  const std::optional<std::string>& transactionIdentifier) {
  if (!product) {
    monitor().log(MonitorLevel::kVerbose, 40026,
                  "IAP Transaction cannot be created from nil product");
    return;
  }
  if (product->productIdentifier.empty()) {
    monitor().log(MonitorLevel::kVerbose, 40027,
                  "IAP Transaction cannot be created from empty or nil product ID");
    return;
  }
  Parameters parameters = purchaseParameters(*product, quantity);
  if (!parameters.empty() && (!transactionIdentifier || transactionIdentifier->empty())) {
    monitor().log(MonitorLevel::kVerbose, 40003, "Transaction ID cannot be nil or empty.");
  }
  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!parameters.contains(required)) return;
  }
  logReporterEvent("auto", "_iap", std::move(parameters));
}

}  // namespace measurement
