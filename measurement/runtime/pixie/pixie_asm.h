// A compact notation for event-editing programs, for tests, the fuzz corpus and benchmarks.
//
//   ("41" "x")                       statement "41" with the string literal "x"
//   ("3" "x" ("0" 1 2.5))            nested statements; numbers are number literals
//   true false NaN Infinity -Infinity  boolean and number literals
//   (raw 4 "a")                      an entity of type 4 without a statement name (or any type)
//
// A program text is a list of top-level instructions; activities follow as
// (activity "ruleName" data...). Strings take the escapes \" \\ \n \t and \uXXXX.
//
//   std::vector<uint8_t> bytes = measurement::pixie::programBytes(R"(
//       ("50" "rule" ("7" "o") ...)
//       (activity "rule" ("8" "type" "edit")))");
//
// Syntax errors throw std::invalid_argument (test code only).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "measurement/wire/schema/apmpb.h"

namespace measurement::pixie {

APMPBRuntimeEntity entity(std::string_view text);
APMPBProgram program(std::string_view text);
// The program encoded as the wire message.
std::vector<uint8_t> programBytes(std::string_view text);

}  // namespace measurement::pixie
