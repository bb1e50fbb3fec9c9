// UTF-8 checks shared by the value library's property-list and JSON readers and writers, and by
// the layers that must stay free of ICU (the URL parser, so that the HTTP client does not load
// it). Everywhere else, os/text (which sits above os_value) is the place for text handling.
#pragma once

#include <string>
#include <string_view>

namespace os::internal {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool isValidUtf8(std::string_view text);

// `text` with every byte that is not part of a well-formed UTF-8 sequence written as "\xNN", so
// that error descriptions quoting untrusted input stay valid UTF-8.
std::string sanitizeUtf8(std::string_view text);

}  // namespace os::internal
