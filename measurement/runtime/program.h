// Event-editing programs as they arrive in the measurement configuration: a `Program` message
// holds top-level `instructions` and activities, each a named list of `data` entities. A
// `RuntimeEntity` is a literal (string, number, boolean) or a statement with its operands.
//
//   Program program;
//   os::Error error;
//   if (!decodeProgram(bytes, &program, &error)) ...   // hostile bytes give an error, never a
//   crash
//
// Field numbers: Program 1 instructions, 2 activities (OgtActivities: 1 repeated OgtActivity:
// 1 name, 2 data); RuntimeEntity 1 type (1 string, 2 number, 3 boolean, 4 statement), 2
// arguments, 3 statement name, 4 string value, 5 boolean value, 6 number value (double).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/error.h"

namespace measurement::runtime {

struct RuntimeEntity {
  uint32_t type = 0;
  std::vector<RuntimeEntity> arguments;
  std::optional<std::string> statementName;
  std::optional<std::string> stringValue;
  std::optional<bool> booleanValue;
  std::optional<double> numberValue;
};

struct OgtActivity {
  std::string name;
  std::vector<RuntimeEntity> data;
};

struct Program {
  std::vector<RuntimeEntity> instructions;
  std::vector<OgtActivity> activities;
};

// Entities nested deeper than this do not decode: conversion and evaluation recurse over the tree.
inline constexpr int kMaxEntityDepth = 200;

// Error domain and code of a program that does not decode.
inline constexpr const char* kProgramErrorDomain = "com.vedodo.gmp.measurement.ErrorDomain";
inline constexpr int64_t kProgramErrorInvalid = 1;

bool decodeProgram(std::span<const uint8_t> bytes, Program* program, os::Error* error);
std::vector<uint8_t> encodeProgram(const Program& program);

}  // namespace measurement::runtime
