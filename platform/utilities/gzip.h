// Gzip of data in memory, over zlib: the compression of upload bodies and stored bundles, and
// the expansion of gzip or zlib data received or stored.
//
//   os::Error error;
//   std::optional<os::Data> body = VDUNSDataZlib::gul_dataByGzippingData(payload, &error);
//   std::optional<os::Data> plain = VDUNSDataZlib::gul_dataByInflatingGzippedData(*body, &error);
//
// Empty input gives nullopt and no error, both ways. Failures give nullopt and, when `error` is
// given, an error of kVDUNSDataZlibErrorDomain:
//   1024  input longer than 4,294,967,295 bytes (compression only; expansion gives no error)
//   1025  zlib failed (user info kVDUNSDataZlibErrorKey: zlib's status; expanding, also
//         "NSLocalizedDescription": zlib's message when it gave one), the data ended before its
//         stream did (truncated input is never a partial result), or an expansion's output
//         would pass `maxOutputBytes` (kVDUNSDataZlibDefaultMaxOutputBytes unless given): an
//         inflated body of a gigabyte is an error, not an out-of-memory. Compression is not
//         capped: its input is our own data, and gzip never grows it by more than a few bytes
//         per 16 KiB
//   1026  expansion reached the end of the stream with input left over (user info
//         kVDUNSDataZlibRemainingBytesKey: how many bytes, unsigned)
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "os/value/error.h"
#include "os/value/value.h"

inline constexpr const char* kVDUNSDataZlibErrorDomain = "com.vedodo.VDUNSDataZlibErrorDomain";
inline constexpr const char* kVDUNSDataZlibErrorKey = "VDUNSDataZlibErrorKey";
inline constexpr const char* kVDUNSDataZlibRemainingBytesKey = "VDUNSDataZlibRemainingBytesKey";
inline constexpr int64_t kVDUNSDataZlibErrorGreaterThan32BitsToCompress = 1024;
inline constexpr int64_t kVDUNSDataZlibErrorInternal = 1025;
inline constexpr int64_t kVDUNSDataZlibErrorDataRemaining = 1026;
inline constexpr size_t kVDUNSDataZlibDefaultMaxOutputBytes = size_t{64} << 20;

namespace VDUNSDataZlib {

// One gzip member of `data`: default level, deflate, window bits 31, memory level 8.
std::optional<os::Data> gul_dataByGzippingData(std::span<const uint8_t> data,
                                               os::Error* error = nullptr);

// The bytes of the gzip or zlib stream `data` (window bits 47: the wrapper is detected), at most
// `maxOutputBytes` of them: the input may come from anywhere.
std::optional<os::Data> gul_dataByInflatingGzippedData(
    std::span<const uint8_t> data, os::Error* error = nullptr,
    size_t maxOutputBytes = kVDUNSDataZlibDefaultMaxOutputBytes);

}  // namespace VDUNSDataZlib
