// What the installation client's log lines show of credentials: the API key, refresh tokens,
// auth tokens and legacy tokens are written shortened, never in full, so that a log shared for
// support does not hand out the installation's identity.
//
//   RVOInstallationsRedactedSecret("AIzaSyB1234567890abcdefghijklmnopqrstu")   // "AIza…(39)"
//
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "os/net/url.h"
#include "os/value/value.h"

// The first four characters of `secret`, an ellipsis and its length; secrets shorter than 12
// characters show only their length.
std::string RVOInstallationsRedactedSecret(std::string_view secret);

// `headers` as a dictionary for a log line, the credential headers ("X-Vedo-Api-Key",
// "Authorization", "x-vedo-ris-ios-iid-migration-auth") redacted.
os::Value RVOInstallationsRedactedHeaders(const os::HTTPHeaders& headers);

// A request or reply body for a log line: a JSON body with its "refreshToken" and "token" values
// redacted wherever they are; any other body as UTF-8 text.
std::string RVOInstallationsRedactedBody(const os::Data& body);
