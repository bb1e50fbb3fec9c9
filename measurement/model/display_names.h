// Log display names: while debug mode is on, log lines show an internal name beside its public
// one ("first_open (_f)") and parameter dictionaries as sorted, indented blocks with error codes
// spelled out. With debug mode off every function answers the plain name or description, so
// the cost is paid only while debugging.
//
//   eventDisplayName("_s");   // "session_start (_s)" in debug mode, else "_s"
//
// Pure functions over read-only tables and the monitor's debug switch; any thread.
#pragma once

#include <string>
#include <string_view>

#include "measurement/foundation/numeric.h"
#include "measurement/foundation/value.h"
#include "os/value/value.h"

namespace measurement {

// "<public> (<internal>)" for an internal name that `table` (public -> internal) maps to, in
// debug mode; a public name, an unknown one, or any name outside debug mode, as it is. Where
// several public names map to one internal name, the first that does not begin with "riveravo_"
// is shown.
std::string displayName(std::string_view name, const NameTable& table);
std::string eventDisplayName(std::string_view name);
std::string parameterDisplayName(std::string_view name);
// "experiment_id (_exp_123)" for a name that begins with "_exp_", in every mode.
std::string userPropertyDisplayName(std::string_view name);

// In debug mode "<indent>{\n<indent>    name = value;\n...<indent>}" with parameter display
// names, lines sorted case-insensitively, "_err" spelled as "Name (code)" and arrays as
// arrayDescription; otherwise the plain description.
std::string dictionaryDescription(const Parameters& parameters, std::string_view indent = "");
std::string dictionaryDescription(const os::Dictionary& dictionary, std::string_view indent = "");
// In debug mode "[\n" and each element as a dictionary indented by four spaces, joined by ",\n",
// then "\n    ]"; otherwise the plain description.
std::string arrayDescription(const os::Array& array);

}  // namespace measurement
