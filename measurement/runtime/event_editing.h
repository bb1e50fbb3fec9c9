// The event-editing engine: runs a server-delivered program once, whose rules register "edit"
// and "create" callbacks, and then hands every event to those callbacks. Edit callbacks may
// rename the event and change, add or remove parameters; create callbacks may log new events.
//
//   APMPEventEditing editing(workerQueue);            // entry points must run on workerQueue
//   editing.setModuleCreator(u"internal.logger", ...);
//   os::Error error;
//   editing.loadProgram(program, &error);              // callers look at the error
//   if (editing.handleEvent(event, &error)) {
//     const EditEvent& edited = editing.eventContext().outputEvent();
//     for (const EditEvent& created : editing.eventContext().eventsToLog()) ...
//   }
//   // On an error the caller stores the event unedited and drops the created events.
//
// Bounds: every event has its own budget of steps (RuntimeLimits::instructions) and bytes; at
// most 100 events may be created per handled event; at most 1000 callbacks exist. A program that
// reaches a bound fails that event with runtime error 18 and the next event is handled afresh.
//
// Runs on the caller's queue (the measurement engine's worker queue) and owns no thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/model/edit_event.h"
#include "measurement/runtime/runtime.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/dispatch/dispatch.h"

namespace measurement::runtime {

// The type-keeping rule of parameter writes: a number written over an integer parameter stays an
// integer (or, for internal names beginning with "_", leaves the old value), over a string becomes
// text; "_syn", "_err" and "_el" are always integers.
os::Value normalizeEventParameterValue(const std::string& name, const os::Value* oldValue,
                                       os::Value newValue);
// `nullopt` removes the parameter; otherwise the normalised value is stored.
void setParameter(EditEvent& event, const std::string& name, std::optional<os::Value> value);
// Same time stamp (within the double epsilon), name, parameter names, and values of the same
// kind (integer or floating point) and value.
bool isEqualToEvent(const EditEvent& a, const EditEvent& b);

class APMPEventContext {
 public:
  static constexpr size_t kMaxCreatedEvents = 100;

  APMPEventContext() = default;
  explicit APMPEventContext(EditEvent event) { setInputEvent(std::move(event)); }

  // Input and output become the event; the created events are emptied.
  void setInputEvent(EditEvent event);
  const EditEvent& inputEvent() const { return input_; }
  const EditEvent& outputEvent() const { return output_; }
  EditEvent& outputEvent() { return output_; }
  void setOutputEvent(EditEvent event) { output_ = std::move(event); }
  const std::vector<EditEvent>& eventsToLog() const { return logged_; }

  // Appends a created event whose parameters keep the kinds of the input event's parameters of
  // the same names. False with runtime error 18 past kMaxCreatedEvents.
  bool logEventWithName(std::string name, double timestamp, const os::Dictionary& parameters,
                        os::Error* error);

 private:
  EditEvent input_;
  EditEvent output_;
  std::vector<EditEvent> logged_;
};

class APMPEditingCallbackHandler : public APMPMarkable {
 public:
  static constexpr size_t kMaxCallbacks = 1000;
  static constexpr int32_t kDefaultPriority = 1000;

  // Editing error 4 when 1000 callbacks exist (or the priority cannot move above the highest),
  // 3 for a type other than "edit" and "create". A taken priority becomes the type's highest
  // plus one.
  bool registerWithPriority(int32_t priority, Ref<APMPFunctionValue> callback,
                            const std::u16string& ruleType, os::Error* error);
  // Runs the edit callbacks, then the create callbacks, in ascending priority.
  bool triggerCallbacks(APMPScope& scope, APMPEventContext& context, os::Error* error);

  const std::map<int32_t, Ref<APMPFunctionValue>>& editCallbacks() const { return edit_; }
  const std::map<int32_t, Ref<APMPFunctionValue>>& createCallbacks() const { return create_; }

  void mark(Marker& marker) const override;

 private:
  std::map<int32_t, Ref<APMPFunctionValue>> edit_;
  std::map<int32_t, Ref<APMPFunctionValue>> create_;
};

class APMPEventEditing {
 public:
  // With a queue, every entry point checks that it runs on it.
  explicit APMPEventEditing(std::shared_ptr<os::DispatchQueue> queue = nullptr,
                            RuntimeLimits limits = {});
  ~APMPEventEditing();
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  void setModuleCreator(std::u16string name, ModuleCreator creator);

  // Runs the instructions, then each activity's rule with each of its data objects. Leaves an
  // error (runtime or editing domain) when something fails; callbacks registered before stay.
  void loadProgram(const APMPBProgram& program, os::Error* error);

  // True when the event was changed or events were created. On an error: false, the output is
  // the event as the last completed edit callback left it, created events stay listed.
  bool handleEvent(const EditEvent& event, os::Error* error);
  bool hasEdits() const;
  bool hasCreatedEvents() const { return !context_.eventsToLog().empty(); }
  const APMPEventContext& eventContext() const { return context_; }

  APMPRuntime& runtime() { return *runtime_; }
  const APMPEditingCallbackHandler& callbackHandler() const { return handler_; }

 private:
  bool loadActivityData(const APMPBOgtActivity& activity, os::Error* error);
  bool registerRule(const std::u16string& name, const Value& rule, os::Error* error);

  std::shared_ptr<os::DispatchQueue> queue_;
  APMPEventContext context_;
  // Declared before the runtime: a root of its collections until the runtime is gone.
  APMPEditingCallbackHandler handler_;
  std::unique_ptr<APMPRuntime> runtime_;
};

}  // namespace measurement::runtime
