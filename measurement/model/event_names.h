// The data model's name vocabulary and the small questions asked of event names and parameter
// dictionaries: public or internal, error event, subscription, purchase, screen parameters.
// The event-name tables themselves live beneath, in measurement/foundation/event_names.h, where
// the data-type validator reads them too. Pure functions over read-only tables; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "measurement/foundation/event_names.h"
#include "measurement/foundation/value.h"

namespace measurement {

// Error code -> name for the 25 named codes (0-23 and 28); 24 to 27 have none.
const std::map<int64_t, std::string>& errorCodeNames();
// The 33 parameter names that are standard inside an item; every other public name there is a
// custom parameter.
const NameSet& itemParameterNames();
// "ecommerce_purchase", "_f", "_iap", "purchase", "refund".
bool isPurchaseEventName(std::string_view name);

// A non-empty name that does not start with "_"; an empty name logs and is not public.
bool isPublicName(std::string_view name);
// The name is "_err"; an empty name logs and is not.
bool isErrorEvent(std::string_view eventName);
bool isNotErrorEventName(std::string_view name);
// "_assc" or "_assr", or "_iap" with the int64 parameter "subscription" = 1.
bool isSubscriptionEvent(std::string_view eventName, const Parameters& parameters);

// Any of "_si", "_sc", "_sn" is present.
bool hasScreenParameters(const Parameters& parameters);
// Those of "_sn", "_sc" and "_si" that are present.
Parameters screenParametersFromParameters(const Parameters& parameters);
// The summed element counts of the array-valued parameters.
int32_t arrayParameterElementCount(const Parameters& parameters);

}  // namespace measurement
