#include "measurement/model/display_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "measurement/foundation/event_names.h"
#include "measurement/foundation/monitor.h"
#include "measurement/model/event_names.h"
#include "os/text/text.h"

namespace measurement {
namespace {

bool debugMode() { return monitor().isDebugModeEnabled(); }

std::string errorCodeText(int64_t code) {
  auto name = errorCodeNames().find(code);
  if (name == errorCodeNames().end()) return std::to_string(code);
  return fmt::format("{} ({})", name->second, code);
}

std::string plainValueText(const os::Value& value) {
  if (const os::Array* items = value.asArray()) return arrayDescription(*items);
  return value.description();
}

std::string valueText(std::string_view key, const Value& value) {
  if (const os::Array* items = value.arrayValue()) return arrayDescription(*items);
  if (key == "_err" && value.isInt64()) return errorCodeText(value.int64Value());
  return value.description();
}

// The block of `lines` (each "name = value"), sorted case-insensitively and stably.
std::string block(std::vector<std::string> lines, std::string_view indent) {
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return os::text::compare(a, b, os::text::kCaseInsensitive) == os::text::Order::Ascending;
  });
  std::string text = fmt::format("{}{{\n", indent);
  for (const std::string& line : lines) text += line;
  return text + fmt::format("{}}}", indent);
}

std::string line(std::string_view indent, std::string_view key, const std::string& valueText) {
  return fmt::format("{}    {} = {};\n", indent, parameterDisplayName(key), valueText);
}

}  // namespace

std::string displayName(std::string_view name, const NameTable& table) {
  if (name.empty() || table.empty() || name.front() != '_' || !debugMode()) {
    return std::string(name);
  }
  const std::string* found = nullptr;
  for (const auto& [publicName, internalName] : table) {
    if (internalName != name) continue;
    found = &publicName;
    if (!publicName.starts_with("riveravo_")) break;
  }
  if (found == nullptr) return std::string(name);
  return fmt::format("{} ({})", *found, name);
}

std::string eventDisplayName(std::string_view name) {
  return displayName(name, publicToInternalEventNames());
}

std::string parameterDisplayName(std::string_view name) {
  return displayName(name, publicToInternalParameterNames());
}

std::string userPropertyDisplayName(std::string_view name) {
  if (name.starts_with("_exp_")) return fmt::format("experiment_id ({})", name);
  return displayName(name, userPropertyInternalNames());
}

std::string dictionaryDescription(const Parameters& parameters, std::string_view indent) {
  if (!debugMode()) {
    os::Dictionary plain;
    for (const auto& [key, value] : parameters) plain.emplace(key, value.object());
    return os::Value(std::move(plain)).description();
  }
  std::vector<std::string> lines;
  for (const auto& [key, value] : parameters)
    lines.push_back(line(indent, key, valueText(key, value)));
  return block(std::move(lines), indent);
}

std::string dictionaryDescription(const os::Dictionary& dictionary, std::string_view indent) {
  if (!debugMode()) return os::Value(dictionary).description();
  std::vector<std::string> lines;
  for (const auto& [key, value] : dictionary)
    lines.push_back(line(indent, key, plainValueText(value)));
  return block(std::move(lines), indent);
}

std::string arrayDescription(const os::Array& array) {
  if (!debugMode()) return os::Value(array).description();
  std::vector<std::string> elements;
  for (const os::Value& element : array) {
    const os::Dictionary* dictionary = element.asDictionary();
    elements.push_back(dictionary ? dictionaryDescription(*dictionary, "    ")
                                  : element.description());
  }
  std::string text = "[\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) text += ",\n";
    text += elements[i];
  }
  return text + "\n    ]";
}

}  // namespace measurement
