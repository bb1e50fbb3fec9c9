#include "support/base64_codec.h"

#include <array>
#include <new>

#include "os/log/log.h"
#include "os/text/format.h"
#include "os/value/exception.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decode-table entries above the 6-bit values: a byte to skip (outside the alphabet, "="
// included, which is how every "=" is removed), and a byte that gives the text no ASCII form.
constexpr uint8_t kSkipped = 0x40;
constexpr uint8_t kNotAscii = 0x80;

constexpr std::array<uint8_t, 256> kDecodeTable = [] {
  std::array<uint8_t, 256> table{};
  for (size_t byte = 0; byte < table.size(); ++byte)
    table[byte] = byte < 0x80 ? kSkipped : kNotAscii;
  for (uint8_t value = 0; value < 64; ++value)
    table[static_cast<uint8_t>(kAlphabet[value])] = value;
  return table;
}();

os::Data decodeLeniently(std::string_view text) {
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = in + text.size();
  os::Data output((text.size() + 3) / 4 * 3);
  uint8_t* out = output.data();

  uint32_t pending = 0;  // the values collected so far, 6 bits each
  int pendingCount = 0;
  while (in < end) {
    if (pendingCount == 0) {
      // The common case: whole groups of four alphabet characters, converted without the
      // per-byte bookkeeping. Any other byte in a group hands it to the loop below.
      while (end - in >= 4) {
        uint32_t v0 = kDecodeTable[in[0]], v1 = kDecodeTable[in[1]];
        uint32_t v2 = kDecodeTable[in[2]], v3 = kDecodeTable[in[3]];
        if ((v0 | v1 | v2 | v3) > 63) break;
        uint32_t group = v0 << 18 | v1 << 12 | v2 << 6 | v3;
        out[0] = static_cast<uint8_t>(group >> 16);
        out[1] = static_cast<uint8_t>(group >> 8);
        out[2] = static_cast<uint8_t>(group);
        in += 4;
        out += 3;
      }
      if (in == end) break;
    }
    uint8_t value = kDecodeTable[*in++];
    if (value == kNotAscii) return {};
    if (value == kSkipped) continue;
    pending = pending << 6 | value;
    if (++pendingCount == 4) {
      out[0] = static_cast<uint8_t>(pending >> 16);
      out[1] = static_cast<uint8_t>(pending >> 8);
      out[2] = static_cast<uint8_t>(pending);
      out += 3;
      pending = 0;
      pendingCount = 0;
    }
  }
  // A tail of two values holds one byte, of three values two; a lone value holds no whole byte.
  if (pendingCount == 2) {
    *out++ = static_cast<uint8_t>(pending >> 4);
  } else if (pendingCount == 3) {
    *out++ = static_cast<uint8_t>(pending >> 10);
    *out++ = static_cast<uint8_t>(pending >> 2);
  }
  output.resize(static_cast<size_t>(out - output.data()));
  return output;
}

}  // namespace

int base64AlphabetValue(uint8_t byte) {
  uint8_t value = kDecodeTable[byte];
  return value < 64 ? value : -1;
}

std::string standardBase64(std::span<const uint8_t> bytes) {
  const size_t wholeGroups = bytes.size() / 3;
  const size_t tail = bytes.size() % 3;
  std::string text(4 * (wholeGroups + (tail != 0 ? 1 : 0)), '=');
  const uint8_t* in = bytes.data();
  char* out = text.data();
  for (size_t group = 0; group < wholeGroups; ++group) {
    uint32_t triple = uint32_t{in[0]} << 16 | uint32_t{in[1]} << 8 | in[2];
    out[0] = kAlphabet[triple >> 18];
    out[1] = kAlphabet[(triple >> 12) & 63];
    out[2] = kAlphabet[(triple >> 6) & 63];
    out[3] = kAlphabet[triple & 63];
    in += 3;
    out += 4;
  }
  if (tail != 0) {
    // The missing bytes count as zero; the "=" already in place pads the group.
    uint32_t triple = uint32_t{in[0]} << 16 | (tail == 2 ? uint32_t{in[1]} << 8 : 0);
    out[0] = kAlphabet[triple >> 18];
    out[1] = kAlphabet[(triple >> 12) & 63];
    if (tail == 2) out[2] = kAlphabet[(triple >> 6) & 63];
  }
  return text;
}

std::optional<os::Data> Base64Codec::dataFromBase64String(std::string_view text) {
  try {
    return decodeLeniently(text);
  } catch (const os::Exception& exception) {
    os::log::console(os::formatObjects("WARNING: error occured while decoding base 32 string: %@",
                                       {exception.reason()}));
  } catch (const std::bad_alloc&) {
  }
  return std::nullopt;
}

std::optional<std::string> Base64Codec::base64StringFromData(std::span<const uint8_t> bytes) {
  try {
    return standardBase64(bytes);
  } catch (const os::Exception& exception) {
    os::log::console(os::formatObjects(
        "WARNING: error occured while tring to encode base 32 data: %@", {exception.reason()}));
  } catch (const std::bad_alloc&) {
  }
  return std::nullopt;
}
