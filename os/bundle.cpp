#include "os/bundle.h"

#include <utility>

namespace os {

struct Bundle::State {
  std::string path;
};

Bundle::Bundle(std::shared_ptr<State> state) : state_(std::move(state)) {}

Bundle::Bundle(std::string path) : state_(std::make_shared<State>(State{std::move(path)})) {}

Bundle Bundle::main() { return Bundle(std::string()); }

void Bundle::resetMainForTesting() {}

const std::string& Bundle::bundlePath() const { return state_->path; }

Value Bundle::infoDictionary() const { return Dictionary{}; }

Value Bundle::objectForInfoDictionaryKey(std::string_view) const { return {}; }

std::string Bundle::bundleIdentifier() const { return {}; }

std::string Bundle::name() const { return {}; }

std::string Bundle::executablePath() const { return {}; }

std::string Bundle::resourcePath() const { return {}; }

std::string Bundle::developmentLocalization() const { return "en"; }

std::vector<std::string> Bundle::localizations() const { return {}; }

std::vector<std::string> Bundle::preferredLocalizations() const { return {"en"}; }

std::optional<std::string> Bundle::pathForResource(std::string_view, std::string_view,
                                                   std::string_view) const {
  return std::nullopt;
}

std::string Bundle::localizedString(std::string_view key, std::string_view,
                                    std::string_view) const {
  return std::string(key);
}

std::string Bundle::localizedStringForLanguage(std::string_view key, std::string_view,
                                               std::string_view) const {
  return std::string(key);
}

}  // namespace os
