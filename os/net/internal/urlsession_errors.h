// The URL error table: the kURLErrorDomain errors that sessions report, and how curl's result
// codes map onto them. For the session's own units only.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string_view>

#include "os/net/url.h"
#include "os/value/error.h"

namespace os::internal {

// An error of kURLErrorDomain for a request to `url`, with the platform's description and the
// failing URL in its user info; `reason` (curl's or OpenSSL's words) goes to the user info for
// logs.
Error urlError(int64_t code, const URL& url, std::string_view reason = {});

// The kURLErrorDomain code of a failed curl transfer.
int64_t urlErrorCodeOf(CURLcode code);

}  // namespace os::internal
