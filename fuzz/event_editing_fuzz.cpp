// Bytes as an event-editing program: decode, load, and handle three fixed events. Whatever the
// program does, every run must end without a crash, a hang past the step limit or a sanitizer
// report.
#include <cstddef>
#include <cstdint>

#include "measurement/runtime/event_editing.h"
#include "measurement/wire/schema/apmpb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using measurement::EditEvent;
  using namespace measurement::runtime;
  std::optional<APMPBProgram> program = APMPBProgram::initWithBuffer({data, size});
  if (!program) return 0;
  os::Error error;
  // A smaller step budget keeps each input quick; the bounds are the same code paths.
  RuntimeLimits limits;
  limits.instructions = 20000;
  APMPEventEditing editing(nullptr, limits);
  editing.loadProgram(*program, &error);
  const EditEvent events[] = {
      {"Install_SW", 1000, {{"ea", "Launch"}, {"count", 3}}},
      {"purchase",
       2000.5,
       {{"value", 9.99}, {"_o", "app"}, {"items", os::Array{os::Dictionary{{"id", "a"}}}}}},
      {"", 0, {}},
  };
  for (const EditEvent& event : events) {
    os::Error handled;
    editing.handleEvent(event, &handled);
  }
  return 0;
}
