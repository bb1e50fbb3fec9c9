// The fixed event-name vocabulary of the measurement code: which public event names have an
// internal short name, which public ad event is accepted anyway, and which e-commerce events may
// carry an "items" array. The validator beneath the data model and the data model itself both
// read them. Built once on first use; any thread.
#pragma once

#include <set>
#include <string>

#include "measurement/foundation/numeric.h"

namespace measurement {

using NameSet = std::set<std::string, std::less<>>;

// Public event name -> internal name (32 pairs; "riveravo_campaign" and "ga_campaign" share
// "_cmp").
const NameTable& publicToInternalEventNames();
// Internal name -> public name, the forward table reversed; "_cmp" keeps "ga_campaign", the
// first of its two public names in the forward table's order.
const NameTable& internalToPublicEventNames();
// "ad_impression" -> "_ai": a public ad event accepted although its name is reserved.
const NameTable& allowedPublicAdEventNames();
// The 20 e-commerce events that may carry an array parameter.
const NameSet& itemsArrayEventNames();

}  // namespace measurement
