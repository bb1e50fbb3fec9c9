#include "os/defaults.h"

// Placeholder bodies so that dependants link while the implementation is being written.
namespace os {

UserDefaults UserDefaults::standard() { return UserDefaults("placeholder"); }
std::optional<UserDefaults> UserDefaults::suite(std::string_view) { return std::nullopt; }
Value UserDefaults::objectForKey(std::string_view) const { return {}; }
void UserDefaults::setObject(std::string_view, Value) {}
void UserDefaults::removeObject(std::string_view) {}
bool UserDefaults::boolForKey(std::string_view) const { return false; }
int64_t UserDefaults::integerForKey(std::string_view) const { return 0; }
double UserDefaults::doubleForKey(std::string_view) const { return 0; }
std::optional<std::string> UserDefaults::stringForKey(std::string_view) const { return {}; }
std::optional<Array> UserDefaults::arrayForKey(std::string_view) const { return {}; }
std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view) const { return {}; }
std::optional<Data> UserDefaults::dataForKey(std::string_view) const { return {}; }
void UserDefaults::registerDefaults(const Dictionary&) {}
Dictionary UserDefaults::dictionaryRepresentation() const { return {}; }
bool UserDefaults::synchronize() { return false; }
void UserDefaults::resetForTesting() {}

}  // namespace os
