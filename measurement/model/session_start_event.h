// The internal session-start event "_s", and the hook through which it learns the screen the
// user is on. The engine's screen-view reporter installs the hook once it exists; until then a
// session starts without screen parameters.
//
//   setScreenParametersProvider([reporter] { return reporter->screenParameters(); });
//   std::optional<Event> start = sessionStartEvent(os::Value(int64_t{3}), false, now);
//
// Any thread: the hook is read under a lock and called outside it.
#pragma once

#include <functional>
#include <optional>

#include "measurement/foundation/value.h"
#include "measurement/model/event.h"
#include "os/value/value.h"

namespace measurement {

// Answers the current screen's "_si", "_sc" and "_sn" (those known), or nothing.
using ScreenParametersProvider = std::function<Parameters()>;
// Installs the hook; nullptr removes it.
void setScreenParametersProvider(ScreenParametersProvider provider);

// Event "_s" of origin "auto" with "_sid" = the timestamp's whole seconds, "_sno" = the session
// number, and "_aib" = 1 when the app is in the background, else the current screen's
// parameters. std::nullopt when the event initializer refuses the timestamp.
std::optional<Event> sessionStartEvent(const os::Value& sessionNumber, bool appInBackground,
                                       double timestamp);

}  // namespace measurement
