#include "platform/utilities/secure_coding.h"

#include <fmt/format.h>

#include <sstream>

#include "os/value/plist.h"

namespace {

using Type = os::Value::Type;

constexpr const char* kRootKey = "root";
constexpr int64_t kCoderReadCorruptError = 4864;

Type classOf(Type type) {
  switch (type) {
    case Type::Boolean:
    case Type::Unsigned:
    case Type::Real:
      return Type::Integer;
    default:
      return type;
  }
}

// The first kind in `value` that `classes` does not allow, or nullopt when all are allowed.
std::optional<Type> disallowedKind(const os::Value& value, const std::set<Type>& classes) {
  if (!classes.contains(classOf(value.type()))) return value.type();
  if (const os::Array* array = value.asArray()) {
    for (const os::Value& element : *array) {
      if (auto kind = disallowedKind(element, classes)) return kind;
    }
  }
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    if (!dictionary->empty() && !classes.contains(Type::String)) return Type::String;
    for (const auto& [key, element] : *dictionary) {
      if (auto kind = disallowedKind(element, classes)) return kind;
    }
  }
  return std::nullopt;
}

std::optional<os::Value> readCorrupt(os::Error* error, const std::string& reason) {
  os::fail(error, os::Error(os::kCocoaErrorDomain, kCoderReadCorruptError, reason));
  return std::nullopt;
}

}  // namespace

std::optional<os::Data> VDUSecureCoding::archivedDataWithRootObject(const os::Value& object,
                                                                    os::Error* error) {
  os::Dictionary archive{{"$archiver", "VDUSecureCoding"}, {"$version", 1}, {kRootKey, object}};
  os::Error plistError;
  std::optional<std::string> bytes =
      object.isNull()
          ? std::nullopt
          : os::plist::serialize(os::Value(archive), os::plist::Format::Binary, &plistError);
  if (!bytes) {
    os::Exception exception(os::kInvalidArgumentException,
                            object.isNull()
                                ? "cannot archive a nil root object"
                                : "value cannot be archived: " + plistError.description);
    os::fail(error, archivingErrorWithException(exception));
    return std::nullopt;
  }
  return os::Data(bytes->begin(), bytes->end());
}

std::optional<os::Value> VDUSecureCoding::unarchivedObjectOfClasses(
    const std::set<os::Value::Type>& classes, const os::Data& data, os::Error* error) {
  std::optional<os::Value> archive =
      os::plist::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
  if (!archive || (*archive)["$archiver"] != os::Value("VDUSecureCoding") ||
      !archive->asDictionary()->contains(kRootKey)) {
    return readCorrupt(error, "The data couldn’t be read because it isn’t in the correct format.");
  }
  const os::Value& root = (*archive)[kRootKey];
  std::set<Type> allowed;
  for (Type type : classes) allowed.insert(classOf(type));
  if (std::optional<Type> kind = disallowedKind(root, allowed)) {
    std::ostringstream name;
    name << *kind;
    return readCorrupt(error, fmt::format("value for key '{}' was of unexpected class '{}'",
                                          kRootKey, name.str()));
  }
  return root;
}

os::Error VDUSecureCoding::archivingErrorWithException(const os::Exception& exception) {
  std::string userInfo =
      exception.userInfo().isNull() ? "(null)" : exception.userInfo().description();
  return os::Error(
      kVDUSecureCodingErrorDomain, -1, {},
      os::Dictionary{
          {"NSLocalizedFailureReason",
           fmt::format("NSKeyedArchiver exception with name: {}, reason: {}, userInfo: {}",
                       exception.name(), exception.reason(), userInfo)}});
}
