#include "net/property_list_response_serializer.h"

#include <string_view>

#include "os/value/plist.h"

NKPropertyListResponseSerializer::NKPropertyListResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

std::shared_ptr<NKPropertyListResponseSerializer> NKPropertyListResponseSerializer::serializer() {
  return serializerWithFormat(kPropertyListXMLFormat, 0);
}

std::shared_ptr<NKPropertyListResponseSerializer>
NKPropertyListResponseSerializer::serializerWithFormat(uint64_t format, uint64_t readOptions) {
  auto serializer = std::make_shared<NKPropertyListResponseSerializer>();
  serializer->setFormat(format);
  serializer->setReadOptions(readOptions);
  return serializer;
}

NKResponseObject NKPropertyListResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (!validateForParsing(response, data, error)) return {};
  if (data.empty()) return {};
  os::Error readError;
  std::optional<os::Value> plist = os::plist::parse(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &readError);
  if (!plist) {
    if (error) *error = NKErrorWithUnderlyingError(std::move(readError), *error);
    return {};
  }
  return std::move(*plist);
}

std::shared_ptr<NKURLResponseSerialization> NKPropertyListResponseSerializer::copy() const {
  return std::make_shared<NKPropertyListResponseSerializer>(*this);
}
