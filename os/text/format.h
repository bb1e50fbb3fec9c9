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

#include "os/value/value.h"

namespace os {

// `pattern` with each `%@` replaced, in order, by the next of `args` and each `%%` by "%".
// An argument renders as its description() (a string as itself); a null value or a
// missing argument renders as "(null)", as the platform renders nil. Extra arguments are ignored,
// and the text of an argument is never scanned for placeholders.
std::string formatObjects(std::string_view pattern, const Array& args);

// `pattern` with its printf-style conversions filled from `args`, in order, for messages whose
// texts were written as C formats ("Invalid logger level, %ld"):
//  - %@ and %s take an argument's description ("(null)" for a null value);
//  - %d %i %u %x %X %o %c take its integer value, %f %F %e %E %g %G %a %A its double value, and
//    %p its integer value as "0x..." hex; flags, width, precision and the length modifiers
//    (hh h l ll q j z t L) are honoured where they mean something for the value;
//  - %% is "%".
// A conversion with no argument left, or one this function does not know, stays as written, so
// a pattern can never make it read arguments that are not there. Extra arguments are ignored.
std::string formatPrintf(std::string_view pattern, const Array& args);

}  // namespace os
