// Encoding a wire::Message into wire bytes, measuring every message once and writing the whole
// tree in one pass.
#pragma once

#include <optional>

#include "measurement/wire/message.h"
#include "os/value/value.h"

namespace wire {

// The wire bytes of `message`: present fields in ascending tag order, repeated scalars one
// tagged value per item (not packed), empty repeated fields not written. nullopt, after
// "<ERROR> <name> encoder failed: <reason>" on standard output, when the encoding would not fit
// 2^31-1 bytes.
std::optional<os::Data> encodeMessageInfo(const Message& message);

}  // namespace wire
