// Decoding wire bytes into a wire::Message, in one pass over the input, through nanopb's stream
// primitives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "measurement/wire/message.h"

namespace wire {

// Decodes `length` bytes at `bytes` as a message of `type`; empty input is an empty message.
// Unknown tags are skipped. A singular string keeps its first occurrence, a scalar its last.
// Malformed input, a string longer than kMaxWireStringLength or nesting deeper than
// kMaxNestingDepth answer nullptr after "<ERROR> <name> decoder failed: <reason>" on standard
// output.
MessagePtr decodeMessageInfo(const MessageType& type, const uint8_t* bytes, size_t length);

}  // namespace wire
