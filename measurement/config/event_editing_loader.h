// How the remote configuration hands the server's event-editing programs to a script runtime:
// it asks a factory for a fresh editing instance, registers the host modules that scripts may
// require, and loads the first program. The runtime adapter (runtime_event_editing.h) is the
// real implementation; tests give the remote configuration fakes.
//
//   std::shared_ptr<EventEditing> editing = factory();
//   editing->setModuleCreator("internal.logger", [] { return MessageLoggerModule{}; });
//   os::Error error;
//   editing->loadProgram(program, &error);    // callers test the error, not a result
//
// Module creators are called lazily, at a script's first require of the name, on the queue
// that loads programs and handles events.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "measurement/model/edit_event.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// A module with a "getValue(key, fallback)" function: the block's text for the key, or the
// fallback when the block gives nullopt.
struct KeyValueStoreModule {
  std::function<std::optional<std::string>(const std::string& key)> getValue;
};
// A function whose call answers the block's object converted to a script value.
struct ObjectProviderModule {
  std::function<os::Value()> object;
};
// The script logger ("log", "silent", "unmonitored") writing to the measurement monitor.
struct MessageLoggerModule {};

// What editing one event gave: the event as the edits left it (when they changed it) and the
// events the program created, in order.
struct EditOutcome {
  std::optional<EditEvent> edited;
  std::vector<EditEvent> created;
};

using EditingModule = std::variant<KeyValueStoreModule, ObjectProviderModule, MessageLoggerModule>;
using EditingModuleCreator = std::function<EditingModule()>;

class EventEditing {
 public:
  virtual ~EventEditing() = default;
  // `name` is both what scripts require and the module's own name.
  virtual void setModuleCreator(std::string name, EditingModuleCreator creator) = 0;
  // Runs the program's instructions and rules; leaves an error in `error` when that fails.
  virtual void loadProgram(const APMPBProgram& program, os::Error* error) = 0;
  // Hands one event to the loaded program; nullopt with `error` set when editing failed.
  virtual std::optional<EditOutcome> handleEvent(const EditEvent& event, os::Error* error) = 0;
};

// Makes a new editing instance over a fresh runtime.
using EventEditingFactory = std::function<std::shared_ptr<EventEditing>()>;

}  // namespace measurement
