#include "measurement/engine/dizuraruvaze.h"

#include <fmt/format.h>

#include "os/log.h"

namespace {

constexpr long kEventNotLoggedCode = 25018;
constexpr std::string_view kEventNotLoggedMessage = "Event not logged. Call +[ZUZAze configure]";

}  // namespace

void DIZUraruvaze::logEventWithName(std::string_view, const os::Dictionary&) {
  // The monitor's console line as the utilities' logger writes it before a version is set: the
  // empty version, " - ", the service tag, the code in brackets, the message. Monitor level 3
  // is the logger's warning level.
  os::log::write(os::log::Level::Warning, fmt::format(" - <ZadOdavodivezi>[I-ACS{:06d}] {}",
                                                      kEventNotLoggedCode, kEventNotLoggedMessage));
}
