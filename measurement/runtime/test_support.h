// Shared by the runtime's tests: runs a program text (pixie/pixie_asm.h) in a fresh
// runtime and describes the outcome as one short text, so that table rows read as
//   {R"(("0" 1 "2"))", "'12'"}   or   {R"(("3" "x" 1))", "error 2"}.
#pragma once

#include <string>
#include <string_view>

#include "measurement/runtime/conversion.h"
#include "measurement/runtime/pixie/pixie_asm.h"
#include "measurement/runtime/runtime.h"
#include "measurement/wire/access.h"
#include "os/text/text.h"

namespace measurement::runtime::testing {

// undefined, null, true, 1.5, 'text', [1,'a',<hole>], {k:v}, function name, or "control".
inline std::string describe(const Value& value) {
  os::Error ignored;
  switch (value.kind()) {
    case Kind::String:
      return "'" + os::text::fromUtf16(value.asString()->text()) + "'";
    case Kind::Array: {
      std::string out = "[";
      const ValueList& elements = value.asArray()->elements();
      for (size_t i = 0; i < elements.size(); ++i) {
        if (i) out += ",";
        out += elements[i].kind() == Kind::Hole ? "<hole>" : describe(elements[i]);
      }
      return out + "]";
    }
    case Kind::Map: {
      std::string out = "{";
      bool first = true;
      for (const auto& entry : value.asMap()->propertyMap().entries()) {
        if (!first) out += ",";
        first = false;
        out += os::text::fromUtf16(entry.name->text()) + ":" + describe(entry.value);
      }
      return out + "}";
    }
    case Kind::Function:
      return "function " + os::text::fromUtf16(value.asFunction()->functionName().text());
    case Kind::Control:
      return "control";
    default:
      return os::text::fromUtf16(stringForm(value, &ignored));
  }
}

// "error <code>" for a runtime error, "editing error <code>", or the error's domain and code.
inline std::string describe(const os::Error& error) {
  if (error.domain == kRuntimeErrorDomain) return "error " + std::to_string(error.code);
  if (error.domain == kEditingErrorDomain) return "editing error " + std::to_string(error.code);
  return error.domain + " " + std::to_string(error.code);
}

// Runs the program's instructions in `runtime` and describes the last value or the error.
inline std::string run(APMPRuntime& runtime, std::string_view program) {
  os::Error error;
  Value value =
      runtime.executeStatements(APMPBGetArray<APMPBRuntimeEntity>(
                                    measurement::pixie::program(program), kProgram_instructions),
                                &error);
  return failed(&error) ? describe(error) : describe(value);
}

inline std::string run(std::string_view program) {
  APMPRuntime runtime;
  return run(runtime, program);
}

struct Row {
  std::string_view program;
  std::string_view expected;
};

}  // namespace measurement::runtime::testing
