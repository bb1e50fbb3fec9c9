// The wire decoders on arbitrary bytes: the first byte picks one of the 42 message types, the
// rest is decoded as that message. Whatever decodes must re-encode stably (decode, encode,
// decode, encode gives the same bytes twice) and copy into the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "measurement/wire/decode.h"
#include "measurement/wire/encode.h"
#include "measurement/wire/schema/schema_types.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The decoders explain every refusal on standard output; the fuzzer needs none of it.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto& types = wire::schema::kAllMessageTypes;
  const wire::MessageType& type = *types[data[0] % types.size()];
  wire::MessagePtr first = wire::decodeMessageInfo(type, data + 1, size - 1);
  if (!first) return 0;
  std::optional<os::Data> once = wire::encodeMessageInfo(*first);
  if (!once) std::abort();
  wire::MessagePtr second = wire::decodeMessageInfo(type, once->data(), once->size());
  if (!second) std::abort();
  if (wire::encodeMessageInfo(*second) != once) std::abort();
  if (wire::encodeMessageInfo(*wire::copyMessageInfo(*first)) != once) std::abort();
  return 0;
}
