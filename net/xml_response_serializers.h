// Serializers for XML bodies: NKXMLParserResponseSerializer hands out an event parser over the
// body for the caller to run, NKXMLDocumentResponseSerializer a parsed document (net/xml.h).
//
//   manager->setResponseSerializer(NKXMLDocumentResponseSerializer::serializer());
//   ... completion: object.xmlDocument()->rootElementName()
#pragma once

#include <memory>

#include "net/response_serialization.h"

class NKXMLParserResponseSerializer : public NKHTTPResponseSerializer {
 public:
  // Acceptable content types "application/xml", "text/xml", "application/atom+xml" and
  // "text/plain".
  NKXMLParserResponseSerializer();
  static std::shared_ptr<NKXMLParserResponseSerializer> serializer();

  // After the guard of validateForParsing: a new, not yet run, XMLParser over the body.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKXMLParserResponseSerializer"; }
};

class NKXMLDocumentResponseSerializer : public NKHTTPResponseSerializer {
 public:
  // Acceptable content types "application/xml" and "text/xml"; options 0.
  NKXMLDocumentResponseSerializer();
  static std::shared_ptr<NKXMLDocumentResponseSerializer> serializer();
  static std::shared_ptr<NKXMLDocumentResponseSerializer> serializerWithXMLDocumentOptions(
      int options);

  // libxml2's parser options (XML_PARSE_* bits) for the document.
  int options() const { return options_; }
  void setOptions(int options) { options_ = options; }

  // After the guard of validateForParsing: the parsed document, or nil with the parse error
  // chained over the validation error.
  NKResponseObject responseObjectForResponse(const std::shared_ptr<const os::URLResponse>& response,
                                             const os::Data& data,
                                             std::optional<os::Error>* error) const override;
  std::shared_ptr<NKURLResponseSerialization> copy() const override;

 protected:
  const char* className() const override { return "NKXMLDocumentResponseSerializer"; }

 private:
  int options_ = 0;
};
