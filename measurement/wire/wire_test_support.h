// Helpers the wire tests share: bytes written out by hand, and what a step prints on standard
// output (where the glue's "<ERROR>" lines go).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace wire::testing {

inline os::Data bytes(std::initializer_list<uint8_t> values) { return os::Data(values); }

inline os::Data bytes(std::string_view text) { return os::Data(text.begin(), text.end()); }

inline os::Data concat(std::initializer_list<os::Data> parts) {
  os::Data all;
  for (const os::Data& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A length-delimited field: tag, length (a varint), payload.
inline os::Data delimited(uint32_t tag, const os::Data& payload) {
  os::Data field;
  for (uint64_t value : {uint64_t{tag} << 3 | 2, uint64_t{payload.size()}}) {
    for (; value >= 0x80; value >>= 7) field.push_back(static_cast<uint8_t>(value | 0x80));
    field.push_back(static_cast<uint8_t>(value));
  }
  field.insert(field.end(), payload.begin(), payload.end());
  return field;
}

inline std::string stdoutOf(const std::function<void()>& step) {
  ::testing::internal::CaptureStdout();
  step();
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace wire::testing
