#include "support/dictionary_extensions.h"

#include "os/value/json.h"
#include "os/value/plist.h"

namespace ExtendTool {

// Values are held by value, so a copy is already deep.
os::Dictionary mutableDeepCopy(const os::Dictionary& dictionary) { return dictionary; }

std::optional<os::Data> dictionaryToData(const os::Dictionary& dictionary, os::Error* error) {
  std::optional<std::string> xml = os::plist::serialize(dictionary, os::plist::Format::Xml, error);
  if (!xml) return std::nullopt;
  return os::Data(xml->begin(), xml->end());
}

std::optional<os::Data> mutableDictionaryToData(const os::Dictionary& dictionary,
                                                os::Error* error) {
  return dictionaryToData(dictionary, error);
}

std::optional<std::string> toJson(const os::Dictionary& dictionary) {
  os::json::WriteOptions options;
  options.prettyPrinted = true;
  return os::json::serialize(dictionary, options);
}

}  // namespace ExtendTool
