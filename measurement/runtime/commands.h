// The command table: what each opcode text ("0" to "66") does. Commands come in two kinds: those
// that take their arguments evaluated (arithmetic, bitwise, variables) and those that take the
// statements and evaluate what they need when they need it (control flow, logic, loops,
// comparison). The opcodes "11", "31", "48" and "49" are known but served by nobody, and "14" does
// not exist; a statement naming them, or any other name, calls a function of that name.
#pragma once

#include <span>
#include <string_view>

#include "measurement/runtime/value.h"

namespace measurement::runtime {

struct Command {
  // Exactly one of the two is set.
  Value (*evaluated)(std::span<Value> values, APMPScope& scope, os::Error* error) = nullptr;
  Value (*raw)(std::span<const Value> statements, APMPScope& scope, os::Error* error) = nullptr;
};

inline constexpr int kCommandCount = 67;
// Commands the evaluator knows by number: the assignment, the variable read, return and the
// block literal.
inline constexpr int kAssignOpcode = 3;
inline constexpr int kReadOpcode = 15;
inline constexpr int kReturnOpcode = 36;
inline constexpr int kBlockLiteralOpcode = 46;

// The index of the command named `name`, or -1 when no command serves it.
int commandIndex(std::u16string_view name);
const Command& command(int index);

// The handlers of each group, filled into the table by commands.cpp.
void registerOperatorCommands(Command* table);
void registerVariableCommands(Command* table);
void registerControlCommands(Command* table);
void registerLoopCommands(Command* table);

// Runs a block given as an array of statements in `scope`; code 10 when `block` is not an array.
Value runBlock(const Value& block, APMPScope& scope, os::Error* error);

}  // namespace measurement::runtime
