// What the URL session's TLS handshake needs of the server-trust code; not for other callers.
#pragma once

#include <openssl/x509.h>

#include <vector>

#include "os/value/value.h"

namespace os::internal {

// The certificates the peer presented in the handshake under verification, DER, leaf first.
std::vector<Data> peerChainOf(X509_STORE_CTX* context);

}  // namespace os::internal
