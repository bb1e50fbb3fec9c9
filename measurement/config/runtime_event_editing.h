// The event-editing instance of the script runtime behind the remote configuration's
// EventEditing interface. The engine takes the runtime's editor from it to hand events over.
//
//   RemoteConfigServices services;
//   services.eventEditingFactory = runtimeEventEditingFactory(scheduler.workerQueue());
//   ...
//   if (auto editing = std::dynamic_pointer_cast<RuntimeEventEditing>(config->eventEditing()))
//     editing->editing().handleEvent(event, &error);
//
// Runs on the queue given to the factory (checked by the runtime when one is given).
#pragma once

#include <memory>
#include <string>

#include "measurement/config/event_editing_loader.h"
#include "measurement/runtime/event_editing.h"
#include "os/dispatch/dispatch.h"

namespace measurement {

class RuntimeEventEditing final : public EventEditing {
 public:
  explicit RuntimeEventEditing(std::shared_ptr<os::DispatchQueue> queue = nullptr);

  void setModuleCreator(std::string name, EditingModuleCreator creator) override;
  void loadProgram(const APMPBProgram& program, os::Error* error) override;
  std::optional<EditOutcome> handleEvent(const EditEvent& event, os::Error* error) override;

  runtime::APMPEventEditing& editing() { return editing_; }

 private:
  runtime::APMPEventEditing editing_;
};

// Each call makes a new RuntimeEventEditing checked against `queue`.
EventEditingFactory runtimeEventEditingFactory(std::shared_ptr<os::DispatchQueue> queue);

}  // namespace measurement
