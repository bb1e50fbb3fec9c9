#include "measurement/privacy/consent_settings.h"

#include <map>
#include <utility>

#include "os/bundle/bundle.h"
#include "os/text/format.h"
#include "os/text/text.h"

namespace measurement {
namespace {

// Everything the consent queue guards. Reached only through stateOnQueue().
struct State {
  std::optional<os::Dictionary> current;
  std::optional<os::Dictionary> defaults;
  std::optional<os::Dictionary> delegated;
  std::optional<os::Dictionary> regional;
  int64_t source = kConsentSourceNone;
  int64_t version = 1;
  // Created by the first reset, refresh or single-digit set; an update leaves digits alone
  // until then.
  std::optional<std::map<std::string, int64_t, std::less<>>> digits;
};

State& stateOnQueue() {
  OS_CHECK_ON(ConsentSettings::serialQueue());
  static State* state = new State();
  return *state;
}

template <typename Read>
auto readOnQueue(Read read) {
  decltype(read(std::declval<const State&>())) result{};
  ConsentSettings::serialQueue()->sync([&] { result = read(stateOnQueue()); });
  return result;
}

void writeOnQueue(std::function<void(State&)> write) {
  ConsentSettings::serialQueue()->async([write = std::move(write)] { write(stateOnQueue()); });
}

// The entry of `dictionary` for `key`; nullptr when either is missing or the entry is null.
const os::Value* entry(const std::optional<os::Dictionary>& dictionary, std::string_view key) {
  if (!dictionary) return nullptr;
  auto found = dictionary->find(key);
  if (found == dictionary->end() || found->second.isNull()) return nullptr;
  return &found->second;
}

os::Value regionalDefaultValue(const State& state, std::string_view type) {
  if (const os::Value* value = entry(state.regional, type)) return *value;
  bool adType = type == kConsentTypeAdUserData || type == kConsentTypeAdPersonalization;
  return adType ? kConsentStatusDenied : kConsentStatusGranted;
}

// The current value of `type` with a policy value replaced by the regional default; null when
// the current settings have none.
os::Value effectiveCurrentValue(const State& state, std::string_view type) {
  const os::Value* value = entry(state.current, type);
  if (!value) return nullptr;
  return isEuConsentPolicyValue(type, *value) ? regionalDefaultValue(state, type) : *value;
}

bool isDenied(const os::Value& value) { return consentStatusOfValue(value) == 2; }

bool isAdUserDataDeniedIn(const State& state) {
  os::Value value = effectiveCurrentValue(state, kConsentTypeAdUserData);
  if (value.isNull()) {
    const os::Value* followed = entry(state.delegated, kConsentTypeAdUserData);
    const os::Value* delegatedValue =
        followed && followed->isString() ? entry(state.current, *followed->asString()) : nullptr;
    if (delegatedValue) {
      value = *delegatedValue;
    } else if (const os::Value* fallback = entry(state.defaults, kConsentTypeAdUserData)) {
      value = *fallback;
    }
  }
  return isDenied(value);
}

std::map<std::string, int64_t, std::less<>>& digitsOf(State& state) {
  if (!state.digits) {
    state.digits.emplace();
    for (const char* type : kConsentTypes) (*state.digits)[type] = 0;
  }
  return *state.digits;
}

void refresh(State& state, bool fromSource) {
  auto& digits = digitsOf(state);
  for (const char* type : kConsentTypes) {
    if (const os::Value* value = entry(state.current, type)) {
      if (fromSource) digits[type] = consentSourceDiagnosticValue(state.source);
      if (isEuConsentPolicyValue(type, *value)) digits[type] = 8;
    } else if (std::string_view(type) == kConsentTypeAdUserData && entry(state.delegated, type)) {
      digits[type] = 2;
    } else if (entry(state.defaults, type) && !os::text::hasSuffix(type, "_storage")) {
      digits[type] = 1;
    } else {
      digits[type] = 9;
    }
  }
}

void merge(State& state, const os::Dictionary& settings) {
  if (!state.current) state.current.emplace();
  for (const auto& [key, value] : settings) state.current->insert_or_assign(key, value);
}

void mergeFromSource(State& state, const os::Dictionary& settings, int64_t source) {
  merge(state, settings);
  state.source = source;
  if (!state.digits) return;
  for (const auto& [key, value] : settings) {
    if (consentTypeFromName(key) != 0) (*state.digits)[key] = consentSourceDiagnosticValue(source);
  }
}

bool isEqualPriority(int64_t current, int64_t source) {
  if (current == source) return true;
  return (current == kConsentSourceTCF && source == kConsentSourceThirdParty) ||
         (current == kConsentSourceThirdParty && source == kConsentSourceTCF);
}

bool isHigherPriority(int64_t current, int64_t source) {
  return isEqualPriority(current, source) || current >= source;
}

std::string shownValue(const State& state, std::string_view type) {
  const os::Value* value = entry(state.current, type);
  if (!value) return kConsentStatusGranted;
  if (isEuConsentPolicyValue(type, *value)) {
    return os::formatObjects("%@ (eu_consent_policy)", {regionalDefaultValue(state, type)});
  }
  return value->description();
}

}  // namespace

const std::shared_ptr<os::DispatchQueue>& ConsentSettings::serialQueue() {
  static const std::shared_ptr<os::DispatchQueue> queue =
      os::DispatchQueue::serial("APMConsentSettingsUtilQueue", os::DispatchPriority::Low);
  return queue;
}

std::optional<os::Dictionary> ConsentSettings::consentSettings() {
  return readOnQueue([](const State& state) { return state.current; });
}

std::optional<os::Dictionary> ConsentSettings::defaultSettings() {
  return readOnQueue([](const State& state) { return state.defaults; });
}

std::optional<os::Dictionary> ConsentSettings::delegatedSettings() {
  return readOnQueue([](const State& state) { return state.delegated; });
}

std::optional<os::Dictionary> ConsentSettings::regionalDefaults() {
  return readOnQueue([](const State& state) { return state.regional; });
}

int64_t ConsentSettings::consentSource() {
  return readOnQueue([](const State& state) { return state.source; });
}

void ConsentSettings::setConsentSource(int64_t source) {
  writeOnQueue([source](State& state) {
    state.source = source;
    refresh(state, true);
  });
}

int64_t ConsentSettings::version() {
  return readOnQueue([](const State& state) { return state.version; });
}

void ConsentSettings::setVersion(int64_t version) {
  if (version != 1 && version != 2) return;
  writeOnQueue([version](State& state) { state.version = version; });
}

void ConsentSettings::setConsentSettings(std::optional<os::Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](State& state) {
    state.current = settings;
    if (settings) return;
    state.source = kConsentSourceNone;
    refresh(state, true);
  });
}

void ConsentSettings::setDefaultSettings(std::optional<os::Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](State& state) { state.defaults = settings; });
}

void ConsentSettings::setDelegatedSettings(std::optional<os::Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](State& state) { state.delegated = settings; });
}

void ConsentSettings::setRegionalDefaults(std::optional<os::Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](State& state) { state.regional = settings; });
}

void ConsentSettings::updateSettings(os::Dictionary settings) {
  writeOnQueue([settings = std::move(settings)](State& state) { merge(state, settings); });
}

void ConsentSettings::updateSettings(os::Dictionary settings, int64_t source) {
  writeOnQueue([settings = std::move(settings), source](State& state) {
    mergeFromSource(state, settings, source);
  });
}

bool ConsentSettings::updateSettingsIfPriorityAllows(os::Dictionary settings, int64_t source,
                                                     const AcceptedBlock& accepted) {
  bool applied = false;
  serialQueue()->sync([&] {
    State& state = stateOnQueue();
    if (!isHigherPriority(state.source, source)) return;
    mergeFromSource(state, settings, source);
    applied = true;
    if (accepted) accepted(*state.current, source);
  });
  return applied;
}

bool ConsentSettings::isAdStorageDenied() {
  return readOnQueue([](const State& state) {
    const os::Value* value = entry(state.current, kConsentTypeAdStorage);
    return value && isDenied(*value);
  });
}

bool ConsentSettings::isAnalyticsStorageDenied() {
  return readOnQueue([](const State& state) {
    const os::Value* value = entry(state.current, kConsentTypeAnalyticsStorage);
    return value && isDenied(*value);
  });
}

bool ConsentSettings::isAdUserDataDenied() { return readOnQueue(isAdUserDataDeniedIn); }

std::optional<bool> ConsentSettings::adPersonalization() {
  return readOnQueue([](const State& state) -> std::optional<bool> {
    os::Value value = effectiveCurrentValue(state, kConsentTypeAdPersonalization);
    if (value.isNull()) {
      if (const os::Value* fallback = entry(state.defaults, kConsentTypeAdPersonalization)) {
        value = *fallback;
      }
    }
    switch (consentStatusOfValue(value)) {
      case 1:
        return true;
      case 2:
        return false;
      default:
        return std::nullopt;
    }
  });
}

bool ConsentSettings::didAdUserDataConsentChange(bool previousDenied) {
  return isAdUserDataDenied() != previousDenied;
}

bool ConsentSettings::isConsentSourceEqualPriority(int64_t source) {
  return isEqualPriority(consentSource(), source);
}

bool ConsentSettings::isConsentSourceHigherPriority(int64_t source) {
  return isHigherPriority(consentSource(), source);
}

os::Dictionary ConsentSettings::consentSettingsFromDictionary(const os::Dictionary& dictionary) {
  os::Dictionary settings;
  for (const char* type : kConsentTypes) {
    auto found = dictionary.find(type);
    if (found != dictionary.end()) settings.emplace(type, found->second);
  }
  return settings;
}

os::Dictionary ConsentSettings::consentSettingsFromPlist() {
  static constexpr std::pair<const char*, const char*> kKeys[] = {
      {kDefaultAllowAdStorageKey, kConsentTypeAdStorage},
      {kDefaultAllowAnalyticsStorageKey, kConsentTypeAnalyticsStorage},
      {kDefaultAllowAdUserDataKey, kConsentTypeAdUserData},
      {kDefaultAllowAdPersonalizationKey, kConsentTypeAdPersonalization},
  };
  os::Bundle bundle = os::Bundle::main();
  os::Dictionary settings;
  for (const auto& [key, type] : kKeys) {
    os::Value value = bundle.objectForInfoDictionaryKey(key);
    if (std::string_view(type) == kConsentTypeAdPersonalization && !value.isString()) continue;
    if (const std::string* text = value.asString();
        text && os::text::lowercase(*text) == kEuConsentPolicy) {
      if (isEuConsentPolicyValue(type, kEuConsentPolicy)) settings.emplace(type, kEuConsentPolicy);
      continue;
    }
    if (value.isString() || value.isNumber() || value.isBool()) {
      settings.emplace(type, value.boolValue() ? kConsentStatusGranted : kConsentStatusDenied);
    }
  }
  return settings;
}

std::string ConsentSettings::consentSignals() {
  return readOnQueue([](const State& state) {
    std::string signals = "G1";
    for (const char* type : {kConsentTypeAdStorage, kConsentTypeAnalyticsStorage}) {
      const os::Value* value = entry(state.current, type);
      signals += consentSignalCode(value ? consentStatusOfValue(*value) : 0);
    }
    return signals;
  });
}

std::string ConsentSettings::consentDiagnostics() {
  std::string diagnostics;
  serialQueue()->sync([&] {
    State& state = stateOnQueue();
    refresh(state, false);
    diagnostics.push_back('1');
    for (const char* type : kConsentTypes) diagnostics += std::to_string((*state.digits)[type]);
  });
  return diagnostics;
}

std::string ConsentSettings::description() {
  return readOnQueue([](const State& state) {
    std::string text = os::formatObjects(
        "%@ is %@. %@ is %@.",
        {kConsentTypeAdStorage, shownValue(state, kConsentTypeAdStorage),
         kConsentTypeAnalyticsStorage, shownValue(state, kConsentTypeAnalyticsStorage)});
    for (const char* type : {kConsentTypeAdUserData, kConsentTypeAdPersonalization}) {
      if (entry(state.current, type)) {
        text += os::formatObjects(" %@ is %@.", {type, shownValue(state, type)});
      }
    }
    return text;
  });
}

void ConsentSettings::setDiagnosticSource(int64_t digit, std::string_view type) {
  writeOnQueue([digit, type = std::string(type)](State& state) { digitsOf(state)[type] = digit; });
}

void ConsentSettings::resetDiagnosticSources() {
  writeOnQueue([](State& state) {
    for (auto& [type, digit] : digitsOf(state)) digit = 0;
  });
}

void ConsentSettings::refreshDiagnosticSources(bool fromSource) {
  writeOnQueue([fromSource](State& state) { refresh(state, fromSource); });
}

void ConsentSettings::unsetAdPersonalization() {
  writeOnQueue([](State& state) {
    if (state.current) state.current->erase(kConsentTypeAdPersonalization);
    digitsOf(state)[kConsentTypeAdPersonalization] = 0;
  });
}

void ConsentSettings::clearAllSettings() {
  writeOnQueue([](State& state) {
    state.source = kConsentSourceNone;
    state.current.reset();
    state.defaults.reset();
    state.delegated.reset();
    state.regional.reset();
    for (auto& [type, digit] : digitsOf(state)) digit = 0;
  });
}

void ConsentSettings::resetForTesting() {
  serialQueue()->sync([] { stateOnQueue() = State(); });
}

}  // namespace measurement
