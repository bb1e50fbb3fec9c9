#include "measurement/foundation/monitor_levels.h"

#include <fmt/format.h>

namespace measurement {
namespace {

char keyLetter(int64_t level) {
  if (level >= 0 && level <= 2) return 'E';
  if (level >= 3 && level <= 5) return 'W';
  return '?';
}

struct ConsoleText {
  std::string operator()(std::monostate) const { return "(nil)"; }
  std::string operator()(int64_t number) const { return fmt::format("{}", number); }
  std::string operator()(double number) const { return fmt::format("{}", number); }
  std::string operator()(const std::string& text) const { return text; }
  std::string operator()(const os::Error& error) const {
    return fmt::format("Error Domain={} Code={} \"{}\"", error.domain, error.code,
                       error.localizedDescription());
  }
  // The exception's name stands for the last measurement symbol.
  std::string operator()(const os::Exception& exception) const {
    return fmt::format("{}: {}", exception.name(), exception.reason());
  }
  std::string operator()(const OtherContext& other) const { return other.description; }
};

}  // namespace

std::string_view logLevelDescriptionFromLogLevel(int64_t level) {
  if (level >= 0 && level <= 2) return "ERROR";
  if (level >= 3 && level <= 5) return "WARNING";
  if (level == 6) return "NOTICE";
  if (level == 7) return "DEBUG";
  return "";
}

std::string monitoringDataKeyWithMessage(std::string_view message, int64_t level,
                                         int64_t libraryVersion) {
  return fmt::format("1{}_{}:{}", keyLetter(level), libraryVersion, message);
}

std::string stringWithLogMessage(std::string_view message, std::span<const MonitorContext> contexts,
                                 bool encodeContexts) {
  std::string text = message.empty() ? "(Message was empty)" : std::string(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::visit(ConsoleText{}, contexts[i]);
  }
  return text;
}

}  // namespace measurement
