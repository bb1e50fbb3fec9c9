#include "measurement/engine/lifetime_value.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/model/display_names.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr long double kMicrosPerUnit = 1000000.0L;
// 2^63: the first magnitude past the int64 range (exact in binary floating point).
constexpr long double kInt64Bound = 9223372036854775808.0L;

const Value* parameter(const Event& event, std::string_view name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : &found->second;
}

std::string description(const Value* value) { return value ? value->description() : "(null)"; }

}  // namespace

bool isPurchaseEvent(const Event& event) {
  return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool isEcommercePurchaseEvent(const Event& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool recordLifetimeValueToDatabase(Database& database, const Event& event,
                                   int32_t maxTrackedCurrencies) {
  if (!isPurchaseEvent(event)) return true;
  const Value* currency = parameter(event, "currency");
  if (!currency || !currency->isString() || currency->stringValue()->size() != 3) {
    monitor().log(MonitorLevel::kErrorSampled, 22000,
                  "Cannot record transaction with invalid currency code", description(currency));
    return true;
  }
  const Value* value = parameter(event, "value");
  if (!value || (!value->isDouble() && !value->isInt64())) {
    monitor().log(MonitorLevel::kErrorSampled, 22001,
                  "Cannot record transaction with invalid transaction value", description(value));
    return true;
  }
  int64_t amount = 0;
  if (isEcommercePurchaseEvent(event)) {
    long double units = value->isInt64() ? static_cast<long double>(value->int64Value())
                                         : static_cast<long double>(value->doubleValue());
    long double micros = std::round(units * kMicrosPerUnit);
    if (!std::isfinite(micros) || micros >= kInt64Bound || micros < -kInt64Bound) {
      monitor().log(MonitorLevel::kErrorSampled, 22002,
                    "Cannot record transaction with value that is out of bounds");
      return false;
    }
    amount = static_cast<int64_t>(micros);
    if (event.name() == "refund") amount = -amount;
  } else {
    amount = value->isInt64() ? value->int64Value() : static_cast<int64_t>(value->doubleValue());
  }
  std::string code = *currency->stringValue();
  for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string name = "_ltv_" + code;

  os::Error error;
  std::optional<std::vector<UserAttribute>> tracked =
      database.allLifetimeValueUserAttributes(&error);
  if (!tracked) {
    monitor().log(MonitorLevel::kErrorSampled, 22003,
                  "Failed to query all Lifetime Value User properties. Error", error);
    return false;
  }
  int64_t total = amount;
  auto existing =
      std::find_if(tracked->begin(), tracked->end(),
                   [&](const UserAttribute& attribute) { return attribute.name() == name; });
  if (existing != tracked->end()) {
    // Totals wrap like the platform's integers rather than fail a purchase.
    total = static_cast<int64_t>(static_cast<uint64_t>(existing->value().int64Value()) +
                                 static_cast<uint64_t>(amount));
  } else if (!tracked->empty() && std::ssize(*tracked) >= maxTrackedCurrencies) {
    const std::string& evicted = tracked->back().name();
    if (!database.deleteUserAttributeWithName(evicted, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 22004,
                    "Unable to delete Lifetime Value User property. Name, error",
                    userPropertyDisplayName(evicted), error);
      return false;
    }
  }
  std::optional<UserAttribute> property =
      UserAttribute::create("auto", name, Value(total), os::clock::now());
  if (!property || !database.updateUserAttribute(*property, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 22005,
                  "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                  userPropertyDisplayName(name), error);
    return false;
  }
  monitor().log(MonitorLevel::kDebug, 22006, "Lifetime value has been updated in database", total);
  return true;
}

}  // namespace measurement
