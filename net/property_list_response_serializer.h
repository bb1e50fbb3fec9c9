// NKPropertyListResponseSerializer: "application/x-plist" bodies, XML or binary, read into an
// os::Value through os/value/plist.h.
//
//   manager->setResponseSerializer(NKPropertyListResponseSerializer::serializer());
#pragma once

#include <cstdint>
#include <memory>

#include "net/response_serialization.h"

// The platform's property-list format numbers.
inline constexpr uint64_t kPropertyListXMLFormat = 100;
inline constexpr uint64_t kPropertyListBinaryFormat = 200;

class NKPropertyListResponseSerializer : public NKHTTPResponseSerializer {
 public:
  // Acceptable content type "application/x-plist"; format XML, read options 0.
  NKPropertyListResponseSerializer();
  static std::shared_ptr<NKPropertyListResponseSerializer> serializer();
  static std::shared_ptr<NKPropertyListResponseSerializer> serializerWithFormat(
      uint64_t format, uint64_t readOptions);

  // Kept for callers; reading accepts either format and values have no mutability options.
  uint64_t format() const { return format_; }
  void setFormat(uint64_t format) { format_ = format; }
  uint64_t readOptions() const { return readOptions_; }
  void setReadOptions(uint64_t options) { readOptions_ = options; }

  // After the guard of validateForParsing: nil for an empty body; otherwise the property list,
  // or nil with the reading error chained over the validation error.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKPropertyListResponseSerializer"; }

 private:
  uint64_t format_ = kPropertyListXMLFormat;
  uint64_t readOptions_ = 0;
};
