#include "platform/utilities/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

namespace VDUNSDataZlib {
namespace {

// zlib is given an output window of at least this many bytes at a time: all the room left in
// the output, so that a body that fits the first estimate takes one call, as a direct zlib
// loop would (zlib copies what each call produces into its own history window, so many small
// windows cost a second pass over the output).
constexpr size_t kWindow = 1024;
constexpr uint64_t kMaxInput = std::numeric_limits<uint32_t>::max();
// The output cap of compression, which has none: what comes in is our own data.
constexpr size_t kUncapped = std::numeric_limits<size_t>::max() - kWindow;

std::optional<os::Data> fail(os::Error* error, int64_t code, os::Dictionary userInfo = {}) {
  os::fail(error, os::Error(kVDUNSDataZlibErrorDomain, code, {}, std::move(userInfo)));
  return std::nullopt;
}

std::optional<os::Data> zlibFailure(os::Error* error, int status, const char* message) {
  os::Dictionary userInfo{{kVDUNSDataZlibErrorKey, status}};
  if (message != nullptr) userInfo["NSLocalizedDescription"] = message;
  return fail(error, kVDUNSDataZlibErrorInternal, std::move(userInfo));
}

std::optional<os::Data> tooLarge(os::Error* error, size_t maxOutputBytes) {
  return zlibFailure(error, Z_BUF_ERROR,
                     ("output exceeds " + std::to_string(maxOutputBytes) + " bytes").c_str());
}

// Points the stream's output at the room left in `output` (growing it when less than a window
// is left, never far beyond the cap, so that passing the cap is seen after the call).
void openWindow(z_stream& stream, os::Data& output, size_t maxOutputBytes) {
  size_t used = output.size();
  if (output.capacity() - used < kWindow) {
    output.reserve(std::min(std::max(output.capacity() * 2, used + kWindow),
                            std::max(maxOutputBytes, used) + kWindow));
  }
  size_t room = std::max(output.capacity() - used, kWindow);
  room = std::min<size_t>(room, std::numeric_limits<uInt>::max());
  output.resize(used + room);
  stream.next_out = output.data() + used;
  stream.avail_out = static_cast<uInt>(room);
}

// Drops the part of the window that zlib left unwritten.
void closeWindow(const z_stream& stream, os::Data& output) {
  output.resize(output.size() - stream.avail_out);
}

// What the output of inflating `data` will probably need: a gzip member states its length
// (modulo 2^32) in its last four bytes, believed up to deflate's best ratio (about 1032:1) so
// that a forged length cannot make a tiny body claim a huge buffer; otherwise four times the
// input.
size_t expectedInflatedSize(std::span<const uint8_t> data) {
  if (data.size() >= 18 && data[0] == 0x1F && data[1] == 0x8B) {
    const uint8_t* tail = data.data() + data.size() - 4;
    uint32_t stated = tail[0] | (tail[1] << 8) | (tail[2] << 16) | (uint32_t{tail[3]} << 24);
    if (stated > 0) return std::min<size_t>(stated, data.size() * 1032);
  }
  return data.size() * 4;
}

}  // namespace

std::optional<os::Data> gul_dataByGzippingData(std::span<const uint8_t> data, os::Error* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > kMaxInput) return fail(error, kVDUNSDataZlibErrorGreaterThan32BitsToCompress);
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) return zlibFailure(error, status, nullptr);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  os::Data output;
  output.reserve(data.size() / 4);
  while (true) {
    openWindow(stream, output, kUncapped);
    status = deflate(&stream, Z_FINISH);
    closeWindow(stream, output);
    if (status != Z_OK && status != Z_STREAM_END) {
      deflateEnd(&stream);
      return zlibFailure(error, status, nullptr);
    }
    if (status == Z_STREAM_END) break;
  }
  deflateEnd(&stream);
  return output;
}

std::optional<os::Data> gul_dataByInflatingGzippedData(std::span<const uint8_t> data,
                                                       os::Error* error, size_t maxOutputBytes) {
  if (data.empty() || data.size() > kMaxInput) return std::nullopt;
  z_stream stream{};
  int status = inflateInit2(&stream, 47);
  if (status != Z_OK) return zlibFailure(error, status, stream.msg);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  os::Data output;
  output.reserve(std::min(expectedInflatedSize(data), maxOutputBytes) + kWindow);
  while (true) {
    openWindow(stream, output, maxOutputBytes);
    status = inflate(&stream, Z_NO_FLUSH);
    closeWindow(stream, output);
    if (output.size() > maxOutputBytes) {
      inflateEnd(&stream);
      return tooLarge(error, maxOutputBytes);
    }
    if (status != Z_OK && status != Z_STREAM_END) {
      std::optional<os::Data> failed = zlibFailure(error, status, stream.msg);
      inflateEnd(&stream);
      return failed;
    }
    if (status == Z_STREAM_END) break;
  }
  uInt remaining = stream.avail_in;
  inflateEnd(&stream);
  if (remaining > 0) {
    return fail(error, kVDUNSDataZlibErrorDataRemaining,
                {{kVDUNSDataZlibRemainingBytesKey, static_cast<uint64_t>(remaining)}});
  }
  return output;
}

}  // namespace VDUNSDataZlib
