#include "measurement/engine/connector_utils.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "measurement/audience/regex_cache.h"

namespace {

using NameSet = std::set<std::string, std::less<>>;

bool contains(const NameSet& set, std::string_view name) { return set.find(name) != set.end(); }

const NameSet& blocklistedOrigins() {
  static const NameSet set{"auto", "app", "am"};
  return set;
}

const NameSet& allowedListenerOrigins() {
  static const NameSet set{"fiam", "crash", "clx"};
  return set;
}

const NameSet& blocklistedEventNames() {
  static const NameSet set{"_e", "_f", "_iap", "_s", "_au"};
  return set;
}

const NameSet& blocklistedParameters() {
  static const NameSet set{"_r", "_dbg"};
  return set;
}

const NameSet& blocklistedUserProperties() {
  static const NameSet set{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return set;
}

const NameSet& hiddenEventNames() {
  static const NameSet set{
      "_xa",   "_xu", "_aq",      "_aa",        "_ai",           "_ac",          "campaign_details",
      "_iapx", "_ug", "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return set;
}

const std::vector<std::shared_ptr<const measurement::CompiledRegex>>&
blocklistedUserPropertyPatterns() {
  static const std::vector<std::shared_ptr<const measurement::CompiledRegex>> patterns = [] {
    std::vector<std::shared_ptr<const measurement::CompiledRegex>> compiled;
    for (const char* pattern : {"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"}) {
      compiled.push_back(measurement::CompiledRegex::compile(pattern, true, nullptr));
    }
    return compiled;
  }();
  return patterns;
}

}  // namespace

bool RVOConnectorUtils::isOriginAllowed(std::string_view origin) {
  return !contains(blocklistedOrigins(), origin);
}

bool RVOConnectorUtils::isAppOrigin(std::string_view origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool RVOConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return contains(allowedListenerOrigins(), origin);
}

bool RVOConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !contains(hiddenEventNames(), name);
}

bool RVOConnectorUtils::shouldLogEventWithName(std::string_view name,
                                               const measurement::RawParameters& parameters) {
  if (name.empty() || contains(blocklistedEventNames(), name)) return false;
  for (const std::string& blocked : blocklistedParameters()) {
    if (parameters.contains(blocked)) return false;
  }
  return true;
}

bool RVOConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "fcm" || origin == "fiam";
  if (contains(blocklistedUserProperties(), name)) return false;
  for (const auto& pattern : blocklistedUserPropertyPatterns()) {
    // A pattern that cannot tell (it cannot on these short fixed patterns) refuses the name.
    if (!pattern || pattern->firstMatch(name).value_or(true)) return false;
  }
  return true;
}

bool RVOConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
  return !name.empty() && (name == "_fot" || !name.starts_with("_"));
}
