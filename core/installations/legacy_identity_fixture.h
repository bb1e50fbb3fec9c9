// What the older instance-identifier library leaves behind, written for tests: the marker file,
// the key pair items and the default token item (see iid_store.h for their forms).
#pragma once

#include <string>

#include "os/value/value.h"

namespace installations_testing {

// Stand-in bytes of an RSA public key.
os::Data legacyPublicKey();
// Both keys' items; the public one holds `publicKey`.
void writeLegacyKeys(const os::Data& publicKey);
// The marker file with the marker and one other key.
void writeLegacyMarker();
// The default token item of sender "1234567890" with `token` archived under `className`.
void writeLegacyToken(const std::string& token,
                      const std::string& className = "RVOInstanceIDTokenInfo");

}  // namespace installations_testing
