// Event (APMEvent): one analytics event as it travels through the measurement code: who logged
// it (origin), its name, when it happened, when the previous event of the same name happened,
// and its parameters as typed values. Every event is made by initWithOrigin, which validates the
// origin and the name and sanitises the parameters; a refused event is not made (std::nullopt).
//
//   std::optional<Event> event = Event::initWithOrigin("app", true, "level_up", now, 0,
//                                                      rawParameters({{"level", 3}}));
//   if (event) event->setRealtime(true);
//   APMPBEvent message = event->protoEvent();
//
// The flags (conversion, real-time, debug) and the origin live among the parameters as "_c",
// "_r", "_dbg" and "_o", so they reach the upload message and the stored copy with them.
//
// An event is a value used by one thread at a time; copies are independent.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "measurement/foundation/value.h"
#include "measurement/model/edit_event.h"
#include "measurement/model/parameter_sanitizer.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

class Event {
 public:
  // std::nullopt when:
  //  - the origin is neither a valid internal origin (at most 32 letters, digits and "_") nor
  //    such an origin followed by "+gtm";
  //  - the name fails the public name rules (when `isPublic`) or the internal ones;
  //  - either timestamp is not finite or its milliseconds do not fit an int64 (the upload
  //    message carries milliseconds; script-made events can hold anything).
  // A previous timestamp after the timestamp is logged (16002) and kept. The parameters are
  // sanitised with the public or internal rules, then "_o" is set to the origin over any value
  // given, and "_c" is dropped from an event whose value and currency do not pass.
  static std::optional<Event> initWithOrigin(std::string_view origin, bool isPublic,
                                             std::string_view name, double timestamp,
                                             double previousTimestamp,
                                             const RawParameters& parameters);

  // New events through initWithOrigin (internal rules), so they validate again; std::nullopt
  // when it refuses.
  std::optional<Event> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::optional<Event> copyWithParameters(const RawParameters& parameters) const;
  std::optional<Event> copy() const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const Parameters& parameters() const { return parameters_; }

  // "_c" is int64 1.
  bool isConversion() const;
  // On: "_c" = 1 when value and currency pass (which otherwise drops "value" and records its
  // error), and an "_err" 10 of an earlier switch-off goes. Off: a present "_c" goes and "_err"
  // becomes 10 unless another error is recorded.
  void setConversion(bool conversion);
  // "_r" is int64 1; a "_r" of another kind is logged (16006).
  bool isRealtime() const;
  void setRealtime(bool realtime);
  // "_dbg" is int64 1.
  bool isDebug() const;
  void setDebug(bool debug);
  // A conversion, "ad_impression" or "_ai": their value and currency must pass.
  bool shouldValidateParams() const;

  // Adds `extra`, sanitised by the public rules, under the event's own parameters: on a clash
  // the event's value stays.
  void applyParameters(const RawParameters& extra);
  // Adds "_si" (required, a number) and "_sc" / "_sn" (valid screen strings) to an event that
  // has none of them; false, changing nothing, otherwise.
  bool addScreenParameters(const RawParameters& screen);

  // The event as event editing sees it: the public name, the timestamp, plain parameters.
  EditEvent editEvent() const;
  // The event an edit gave back: the internal name, the origin from a string "_o" (else "app"),
  // no previous timestamp.
  static std::optional<Event> eventFromEditEvent(const EditEvent& edited);

  // The upload message: name, milliseconds truncated toward zero, the previous timestamp only
  // when above the double epsilon, the parameters as `EventParam`s.
  APMPBEvent protoEvent() const;
  // The event a message describes, its origin from the "_o" parameter: std::nullopt without a
  // string "_o" (15001) or when the initializer refuses. A nameless parameter (15000) or one
  // with no value (15002) is skipped; item lists become array values.
  static std::optional<Event> initWithEventProto(const APMPBEvent& message);

  friend bool operator==(const Event&, const Event&) = default;

 private:
  Event() = default;

  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
  Parameters parameters_;
};

}  // namespace measurement
