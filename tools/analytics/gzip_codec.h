// Gzip of bytes in memory over zlib, for the analytics stand-ins: they inflate what a client
// sends and compress what they answer with zlib itself, never with the client's own helpers, so
// that they judge the client's compression independently.
//
//   std::string body = tools::gzip(reply);
//   std::string problem;
//   std::optional<std::string> plain = tools::gunzip(request.body, 16 << 20, &problem);
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tools {

// One gzip member of `plain` (default level, window bits 31).
std::string gzip(std::string_view plain);

// The bytes of `compressed`, which must be exactly one whole gzip member. nullopt, with
// `problem` saying why when given, for anything else: not gzip, corrupt, truncated, bytes after
// the member, or more than `maxOutput` bytes inflated (inflation stops there).
std::optional<std::string> gunzip(std::string_view compressed, size_t maxOutput,
                                  std::string* problem);

// One gzip member that inflates to `inflatedBytes` zero bytes, made without ever holding them:
// a bomb that is about a thousandth of its inflated size on the wire.
std::string gzipOfZeros(size_t inflatedBytes);

}  // namespace tools
