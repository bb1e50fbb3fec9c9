// NKImageResponseSerializer: image bodies decoded into an Image (support/image_extensions.h,
// gdk-pixbuf), whose size in points is its size in pixels.
//
//   manager->setResponseSerializer(NKImageResponseSerializer::serializer());
//   ... completion: object.image()->width()
#pragma once

#include <memory>

#include "net/response_serialization.h"

class NKImageResponseSerializer : public NKHTTPResponseSerializer {
 public:
  // Acceptable content types "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
  // "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap" and "image/x-win-bitmap".
  NKImageResponseSerializer();
  static std::shared_ptr<NKImageResponseSerializer> serializer();

  // After the guard of validateForParsing: the decoded image, or nil when the body is no image
  // the decoder knows (the validation error, if any, stays).
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKImageResponseSerializer"; }
};
