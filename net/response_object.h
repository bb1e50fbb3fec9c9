// NKResponseObject is what a response serializer makes of a response body, and what a session
// manager hands to a completion block: nothing (the platform's nil), a dynamic value (raw data,
// a JSON document, a property list), an XML parser or document, an image, or, for a download
// moved to its destination, that file's URL.
//
//   manager->dataTaskWithRequest(request, [](auto response, const NKResponseObject& object,
//                                            const std::optional<os::Error>& error) {
//     if (const os::Value* json = object.value()) use((*json)["version"]);
//   });
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "net/xml.h"
#include "os/net/url.h"
#include "os/value/value.h"
#include "support/image_extensions.h"

class NKResponseObject {
 public:
  // Nil.
  NKResponseObject() = default;
  NKResponseObject(os::Value value) : object_(std::move(value)) {}
  NKResponseObject(os::URL fileURL) : object_(std::move(fileURL)) {}
  NKResponseObject(std::shared_ptr<XMLParser> parser);
  NKResponseObject(std::shared_ptr<const XMLDocument> document);
  NKResponseObject(std::shared_ptr<const Image> image);

  bool isNil() const { return std::holds_alternative<std::monostate>(object_); }

  // The held object of each kind; null when the object is of another kind (or nil).
  const os::Value* value() const { return std::get_if<os::Value>(&object_); }
  const os::URL* fileURL() const { return std::get_if<os::URL>(&object_); }
  std::shared_ptr<XMLParser> xmlParser() const;
  std::shared_ptr<const XMLDocument> xmlDocument() const;
  std::shared_ptr<const Image> image() const;

  // The object as a notification's user info can hold it: a value as itself, a file URL as
  // its text, and the objects that have no value form as "<XMLParser: 0x...>",
  // "<XMLDocument: 0x...>" or "<Image: 0x...>" (their identity); null for nil.
  os::Value userInfoValue() const;

 private:
  std::variant<std::monostate, os::Value, os::URL, std::shared_ptr<XMLParser>,
               std::shared_ptr<const XMLDocument>, std::shared_ptr<const Image>>
      object_;
};

// "<ClassName: 0x...>", the platform's default description of an object.
std::string NKObjectDescription(const char* className, const void* object);
