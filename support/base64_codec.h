// Base64Codec: the support library's base64 codec, standard alphabet of RFC 4648 with "="
// padding and no line breaks. The installer decodes its built-in download addresses with it.
//
//   std::optional<os::Data> bytes = Base64Codec::dataFromBase64String("aGVs bG8=");  // "hello"
//   std::optional<std::string> text = Base64Codec::base64StringFromData(*bytes);    // "aGVsbG8="
//
// The decoder is deliberately lenient and never refuses input: every "=" is dropped wherever it
// stands, bytes outside the alphabet (blanks, line breaks, "-", "_", ...) are skipped, and a
// single value left over after the last group of four is dropped. Text that is not base64 at all
// therefore decodes to the bytes of its alphabet characters; callers that need text check the
// result (ExtendTool::stringFromBase64String answers nullopt unless it is UTF-8).
//
// The line-wrapping encoder and the stricter decoder that stops at the first "=" are the data
// extensions' (support/data_extensions.h). Everything here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/value/value.h"

class Base64Codec {
 public:
  // The bytes that `text` encodes, by the lenient rules above. Empty text, and text with any
  // byte outside ASCII (it has no ASCII form), decode to empty data. nullopt only when the output
  // cannot be allocated (silently) or a platform exception stops the decoding (logged as a
  // console warning).
  static std::optional<os::Data> dataFromBase64String(std::string_view text);

  // `bytes` as base64 text with "=" padding and no line breaks ("" for no bytes). nullopt only
  // when the output cannot be allocated (silently) or a platform exception stops the encoding
  // (logged as a console warning).
  static std::optional<std::string> base64StringFromData(std::span<const uint8_t> bytes);
};

// The value (0 to 63) of `byte` in the standard alphabet, or -1 for any other byte ("="
// included).
int base64AlphabetValue(uint8_t byte);

// The standard base64 text of `bytes` ("=" padding, no line breaks), the encoder that both
// codecs share. Throws std::bad_alloc when the output cannot be allocated.
std::string standardBase64(std::span<const uint8_t> bytes);
