// Small text builders for tests.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

// `piece` written `times` times: repeated("\U0001F600", 40) is 40 emoji.
inline std::string repeated(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

}  // namespace testsupport
