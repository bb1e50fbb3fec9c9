#include "measurement/model/session_start_event.h"

#include <utility>

#include "measurement/foundation/monitor_context.h"
#include "os/sync/mutex.h"

namespace measurement {
namespace {

struct ScreenHook {
  os::Mutex mutex;
  ScreenParametersProvider provider OS_GUARDED_BY(mutex);
};

ScreenHook& screenHook() {
  static ScreenHook* const hook = new ScreenHook;
  return *hook;
}

Parameters currentScreenParameters() {
  ScreenParametersProvider provider;
  {
    ScreenHook& hook = screenHook();
    os::MutexLock lock(hook.mutex);
    provider = hook.provider;
  }
  return provider ? provider() : Parameters{};
}

}  // namespace

void setScreenParametersProvider(ScreenParametersProvider provider) {
  ScreenHook& hook = screenHook();
  os::MutexLock lock(hook.mutex);
  hook.provider = std::move(provider);
}

std::optional<Event> sessionStartEvent(const os::Value& sessionNumber, bool appInBackground,
                                       double timestamp) {
  RawParameters parameters;
  // Saturated so that a timestamp the initializer refuses is never an undefined conversion.
  parameters.emplace("_sid", Value(saturatingInt64(timestamp)));
  if (std::optional<Value> number = Value::valueFromObject(sessionNumber)) {
    parameters.emplace("_sno", std::move(*number));
  }
  if (appInBackground) {
    parameters.emplace("_aib", Value(int64_t{1}));
  } else {
    for (auto& [key, value] : currentScreenParameters()) parameters.emplace(key, std::move(value));
  }
  return Event::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}

}  // namespace measurement
