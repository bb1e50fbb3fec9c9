#include "net/xml_response_serializers.h"

NKXMLParserResponseSerializer::NKXMLParserResponseSerializer() {
  setAcceptableContentTypes(
      std::set<std::string>{"application/xml", "text/xml", "application/atom+xml", "text/plain"});
}

std::shared_ptr<NKXMLParserResponseSerializer> NKXMLParserResponseSerializer::serializer() {
  return std::make_shared<NKXMLParserResponseSerializer>();
}

NKResponseObject NKXMLParserResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (!validateForParsing(response, data, error)) return {};
  return std::make_shared<XMLParser>(data);
}

std::shared_ptr<NKURLResponseSerialization> NKXMLParserResponseSerializer::copy() const {
  return std::make_shared<NKXMLParserResponseSerializer>(*this);
}

NKXMLDocumentResponseSerializer::NKXMLDocumentResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

std::shared_ptr<NKXMLDocumentResponseSerializer> NKXMLDocumentResponseSerializer::serializer() {
  return serializerWithXMLDocumentOptions(0);
}

std::shared_ptr<NKXMLDocumentResponseSerializer>
NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(int options) {
  auto serializer = std::make_shared<NKXMLDocumentResponseSerializer>();
  serializer->setOptions(options);
  return serializer;
}

NKResponseObject NKXMLDocumentResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (!validateForParsing(response, data, error)) return {};
  os::Error parseError;
  std::shared_ptr<const XMLDocument> document = XMLDocument::fromData(data, options_, &parseError);
  if (!document && error) *error = NKErrorWithUnderlyingError(std::move(parseError), *error);
  return document;
}

std::shared_ptr<NKURLResponseSerialization> NKXMLDocumentResponseSerializer::copy() const {
  return std::make_shared<NKXMLDocumentResponseSerializer>(*this);
}
