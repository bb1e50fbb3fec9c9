// The one formatter for texts with `%@` placeholders: server-supplied texts, localised strings,
// messages built from them. Only `%@` (the next argument) and `%%` (a percent sign) are
// substituted; every other `%` sequence stays as it stands, so a text from outside can never make
// the formatter read arguments that are not there. Never pass such a text to printf or fmt.
//
//   os::formatObjects("%@ of %@ downloaded (100%%)", {"Brevalo", 3});
//   // "Brevalo of 3 downloaded (100%)"
#pragma once

#include <string>
#include <string_view>

#include "os/value.h"

namespace os {

// `pattern` with each `%@` replaced, in order, by the next of `args` and each `%%` by "%".
// An argument renders as its description() (a string as itself); a null value or a
// missing argument renders as "(null)", as the platform renders nil. Extra arguments are ignored,
// and the text of an argument is never scanned for placeholders.
std::string formatObjects(std::string_view pattern, const Array& args);

}  // namespace os
