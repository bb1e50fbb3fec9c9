// The lifetime value: the sum of all purchase values per currency, kept as the automatic user
// properties "_ltv_<CURRENCY>" in micro-units. Only a few currencies are tracked at once; a new
// one beyond the limit evicts the currency updated longest ago.
//
//   if (isPurchaseEvent(event) && !recordLifetimeValueToDatabase(database, event, 4)) ...
//
// Worker queue, inside the write of the event.
#pragma once

#include <cstdint>

#include "measurement/database/database.h"
#include "measurement/model/event.h"

namespace measurement {

// "_iap" (its value already in micro-units) or an e-commerce purchase.
bool isPurchaseEvent(const Event& event);
// "ecommerce_purchase", "purchase" or "refund" (their values in currency units).
bool isEcommercePurchaseEvent(const Event& event);
// Adds the event's value to its currency's total; true also when the event has nothing to record
// (no purchase, a bad currency or value). False for a value outside the 64-bit micro-unit range
// or a failed database step.
bool recordLifetimeValueToDatabase(Database& database, const Event& event,
                                   int32_t maxTrackedCurrencies);

}  // namespace measurement
