#include "net/response_object.h"

#include <fmt/format.h>

NKResponseObject::NKResponseObject(std::shared_ptr<XMLParser> parser) {
  if (parser) object_ = std::move(parser);
}

NKResponseObject::NKResponseObject(std::shared_ptr<const XMLDocument> document) {
  if (document) object_ = std::move(document);
}

NKResponseObject::NKResponseObject(std::shared_ptr<const Image> image) {
  if (image) object_ = std::move(image);
}

std::shared_ptr<XMLParser> NKResponseObject::xmlParser() const {
  const auto* parser = std::get_if<std::shared_ptr<XMLParser>>(&object_);
  return parser ? *parser : nullptr;
}

std::shared_ptr<const XMLDocument> NKResponseObject::xmlDocument() const {
  const auto* document = std::get_if<std::shared_ptr<const XMLDocument>>(&object_);
  return document ? *document : nullptr;
}

std::shared_ptr<const Image> NKResponseObject::image() const {
  const auto* image = std::get_if<std::shared_ptr<const Image>>(&object_);
  return image ? *image : nullptr;
}

os::Value NKResponseObject::userInfoValue() const {
  if (const os::Value* held = value()) return *held;
  if (const os::URL* url = fileURL()) return url->absoluteString();
  if (auto parser = xmlParser()) return NKObjectDescription("XMLParser", parser.get());
  if (auto document = xmlDocument()) return NKObjectDescription("XMLDocument", document.get());
  if (auto held = image()) return NKObjectDescription("Image", held.get());
  return nullptr;
}

std::string NKObjectDescription(const char* className, const void* object) {
  return fmt::format("<{}: {}>", className, object);
}
