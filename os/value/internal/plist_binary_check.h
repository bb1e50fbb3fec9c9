// Binary property lists are checked before libplist sees them: every offset, length and
// reference must stay inside the object area, dictionary keys must be strings, there must be no
// reference cycle and no nesting beyond kMaxPlistDepth, and shared containers may not expand the
// tree beyond a bound. libplist 2.2 checks most bounds itself but recurses without limit and
// reports nothing but a null result; this check gives the reason.
//
// For use inside os_value only: os::plist::parse runs it before libplist sees the bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os::internal {

// Nullopt when `bytes` are a well-formed binary property list (from its "bplist00" header on),
// else the reason it is not, for the error's description.
std::optional<std::string> checkBinaryPlist(std::string_view bytes);

}  // namespace os::internal
