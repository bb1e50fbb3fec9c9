// The sanitiser every event's parameters pass through: it turns a caller's raw dictionary into
// typed Values that respect the name, value, array and count limits. Problems never fail the
// call: the offending entry is dropped and the result carries the first problem as "_err", "_ev"
// and "_el" (see error_parameters.h).
//
//   RawParameters raw = rawParameters(os::Dictionary{{"value", 9.99}, {"items", items}});
//   std::optional<Parameters> clean = sanitizedEventParameters(raw, "purchase", true, false);
//
// Limits come from remoteSettings(): the value lengths, the public parameter count and the
// item-scoped custom parameter count. Pure functions over their arguments; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "measurement/foundation/value.h"
#include "os/text/text.h"
#include "os/value/value.h"

namespace measurement {

// A caller's parameter: a plain value (number, string, array of item dictionaries) or a Value
// that an earlier pass already typed (and whose array is therefore not converted again).
using RawParameter = std::variant<os::Value, Value>;
using RawParameters = std::map<std::string, RawParameter, std::less<>>;

RawParameters rawParameters(const os::Dictionary& parameters);
// Parameters already typed, to pass through the sanitiser again.
RawParameters rawParameters(const Parameters& parameters);

// The parameters as Values without the invalid entries, with the first problem recorded:
//  - a key that fails the name checks (public names when `isPublic`, else internal) is dropped
//    (error 3, or 14 for a reserved prefix, "_ev" = the key trimmed to 40);
//  - a value that is not a number, string or array is dropped; a string longer than the value
//    limit is dropped (error 4, "_el" = its length); a too long "_ev" is trimmed;
//  - an array is kept only under "items" of an e-commerce event, at most 200 dictionaries, each
//    sanitised as an item (errors 21, 20, 17, 22; a non-dictionary item gives error 4);
//  - too many public parameters drop the last in key order (error 5), too many custom
//    parameters in an item the same way (error 28, or 23 when items may carry none).
// std::nullopt for empty input; a dictionary of only error parameters (maybe empty) when every
// key was dropped. `eventName` is std::nullopt when the caller does not know it.
std::optional<Parameters> sanitizedEventParameters(const RawParameters& parameters,
                                                   std::optional<std::string_view> eventName,
                                                   bool isPublic, bool isItem);

// The keys that are public names, not counting item parameter names with `itemScope`.
int32_t countPublicParameters(const Parameters& parameters, bool itemScope);
// While more than `limit` public keys remain, removes them from the end of the ascending key
// order; internal keys (and, with `itemScope`, item parameter names) always stay.
void trimPublicParameters(Parameters& parameters, int32_t limit, bool itemScope);
void trimToPublicParameterLimit(Parameters& parameters, int32_t limit);

// True without "value". With "value", true when it is numeric and "currency" is a three-letter
// code; otherwise "value" is removed, error 18 ("_ev" "value") or 19 ("_ev" "currency") is
// recorded, and the answer is false.
bool hasValidValueAndCurrency(Parameters& parameters);

// Whether any parameter's value is an array.
bool hasArrayParameter(const RawParameters& parameters);

// Orders parameter names as English sorts them: a missing name first, then the collation of
// locale "en_US", case included.
os::text::Order compareNamesInEnglishLocale(std::optional<std::string_view> a,
                                            std::optional<std::string_view> b);

// The keys that pass the name checks of the sanitiser (public names when `isPublic`), ordered by
// compareNamesInEnglishLocale. The first refused key is recorded in `errorParameters` as the
// sanitiser records it. A valid key whose value is not a number, string or array is listed all
// the same, but logged and recorded as error 4.
std::vector<std::string> validatedParameterKeys(const RawParameters& parameters, bool isPublic,
                                                Parameters& errorParameters);

}  // namespace measurement
