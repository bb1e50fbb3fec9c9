#include "net/image_response_serializer.h"

NKImageResponseSerializer::NKImageResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{
      "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico", "image/x-icon",
      "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap"});
}

std::shared_ptr<NKImageResponseSerializer> NKImageResponseSerializer::serializer() {
  return std::make_shared<NKImageResponseSerializer>();
}

NKResponseObject NKImageResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (!validateForParsing(response, data, error)) return {};
  std::optional<Image> image = Image::fromData(data);
  if (!image) return {};
  return std::make_shared<const Image>(std::move(*image));
}

std::shared_ptr<NKURLResponseSerialization> NKImageResponseSerializer::copy() const {
  return std::make_shared<NKImageResponseSerializer>(*this);
}
