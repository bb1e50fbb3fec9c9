#include "measurement/runtime/commands.h"

#include <array>

#include "measurement/runtime/evaluator.h"

namespace measurement::runtime {

namespace {

std::array<Command, kCommandCount> buildTable() {
  std::array<Command, kCommandCount> table{};
  registerOperatorCommands(table.data());
  registerVariableCommands(table.data());
  registerControlCommands(table.data());
  registerLoopCommands(table.data());
  return table;
}

const std::array<Command, kCommandCount>& table() {
  static const std::array<Command, kCommandCount> commands = buildTable();
  return commands;
}

}  // namespace

int commandIndex(std::u16string_view name) {
  // Only the canonical decimal texts name commands: "07" or "+7" call a function of that name.
  if (name.empty() || name.size() > 2 || (name.size() == 2 && name[0] == u'0')) return -1;
  int index = 0;
  for (char16_t unit : name) {
    if (unit < u'0' || unit > u'9') return -1;
    index = index * 10 + (unit - u'0');
  }
  if (index >= kCommandCount) return -1;
  const Command& entry = table()[size_t(index)];
  return entry.raw || entry.evaluated ? index : -1;
}

const Command& command(int index) { return table()[size_t(index)]; }

Value runBlock(const Value& block, APMPScope& scope, os::Error* error) {
  Ref<APMPArrayValue> array(block.asArray());
  if (!array) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  // The block may change the array that holds it: read each statement as it comes.
  Value value;
  for (size_t i = 0; i < array->count(); ++i) {
    Value statement = array->elements()[i];
    value = evaluateStatement(statement, scope, error);
    if (failed(error)) return Value();
    if (value.isControl()) return value;
  }
  return value;
}

}  // namespace measurement::runtime
