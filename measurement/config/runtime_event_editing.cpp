#include "measurement/config/runtime_event_editing.h"

#include <utility>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/runtime/modules.h"
#include "os/text/text.h"

namespace measurement {
namespace {

using runtime::Ref;
using runtime::Value;

// Script log lines go to the measurement monitor, with their context texts.
void logToMonitor(int level, int64_t code, const std::string& message,
                  const std::vector<std::string>& context) {
  std::vector<MonitorContext> contexts(context.begin(), context.end());
  monitor().logWithContexts(level, code, message, std::move(contexts));
}

Value moduleValue(const std::u16string& name, EditingModule module) {
  struct Make {
    const std::u16string& name;
    Value operator()(KeyValueStoreModule& store) const {
      return Value(Ref<runtime::APMPKeyValueStore>(
          new runtime::APMPKeyValueStore(name, std::move(store.getValue))));
    }
    Value operator()(ObjectProviderModule& provider) const {
      return Value(Ref<runtime::APMPObjectProvider>(
          new runtime::APMPObjectProvider(name, std::move(provider.object))));
    }
    Value operator()(MessageLoggerModule&) const {
      return Value(Ref<runtime::APMPMessageLogger>(
          new runtime::APMPMessageLogger(std::make_shared<runtime::APMPixieLogger>(logToMonitor))));
    }
  };
  return std::visit(Make{name}, module);
}

}  // namespace

RuntimeEventEditing::RuntimeEventEditing(std::shared_ptr<os::DispatchQueue> queue)
    : editing_(std::move(queue)) {}

void RuntimeEventEditing::setModuleCreator(std::string name, EditingModuleCreator creator) {
  std::u16string moduleName = os::text::toUtf16(name);
  editing_.setModuleCreator(moduleName,
                            [moduleName, creator = std::move(creator)]() -> std::optional<Value> {
                              return moduleValue(moduleName, creator());
                            });
}

void RuntimeEventEditing::loadProgram(const APMPBProgram& program, os::Error* error) {
  editing_.loadProgram(program, error);
}

std::optional<EditOutcome> RuntimeEventEditing::handleEvent(const EditEvent& event,
                                                            os::Error* error) {
  os::Error failure;
  editing_.handleEvent(event, &failure);
  if (failure.code != 0 || !failure.domain.empty()) {
    if (error) *error = std::move(failure);
    return std::nullopt;
  }
  EditOutcome outcome;
  if (editing_.hasEdits()) outcome.edited = editing_.eventContext().outputEvent();
  if (editing_.hasCreatedEvents()) outcome.created = editing_.eventContext().eventsToLog();
  return outcome;
}

EventEditingFactory runtimeEventEditingFactory(std::shared_ptr<os::DispatchQueue> queue) {
  return [queue = std::move(queue)]() -> std::shared_ptr<EventEditing> {
    return std::make_shared<RuntimeEventEditing>(queue);
  };
}

}  // namespace measurement
