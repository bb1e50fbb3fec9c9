// Decimal number texts, a secure random 64-bit number, and the fixed tables that map public
// event-parameter and user-property names to the short internal names the engine stores and
// uploads. All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/foundation/decimal.h"

namespace measurement {

// Whether `text` is, as a whole, an optional sign followed by digits with an optional trailing
// point, or by optional digits, a point and at least one digit ("12", "+3.", "-0.5", ".5").
bool isDecimalNumberString(std::string_view text);

// The exact number `text` writes, or std::nullopt when it is not a decimal number string or has
// more significant digits than a Decimal keeps ("007" gives 7, "1.50" gives 1.5). Each refusal
// is logged through the monitor (26001 not a number, 26002 unreadable, 26003 loss of precision).
std::optional<Decimal> decimalNumberFromString(std::string_view text);

// Eight bytes of the secure random source; 0 when the source fails (logged, 26004).
int64_t randomInt64();
// A uniform integer in [0, bound) from the secure random source; `bound` must not be 0.
uint32_t uniformRandom(uint32_t bound);

using NameTable = std::map<std::string, std::string, std::less<>>;

// Public parameter name -> internal name (54 entries; several public names share one internal
// name, so the table is one-way).
const NameTable& publicToInternalParameterNames();
// Public user-property name -> internal name (10 entries).
const NameTable& userPropertyInternalNames();

}  // namespace measurement
