// XML bodies from a server, through both XML response serializers: the event parser they hand
// out must run to its end or fail cleanly, the document serializer must parse or fail cleanly,
// both without leaking (LeakSanitizer) or reading anything but the bytes. The first byte picks
// the document parser's options (repeated over the option bits), so that the options a caller
// may set are fuzzed too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "net/xml.h"
#include "net/xml_response_serializers.h"
#include "os/net/url.h"

namespace {

class CountingDelegate : public XMLParserDelegate {
 public:
  void didStartElement(XMLParser&, const std::string&, const Attributes& attributes) override {
    events += 1 + attributes.size();
  }
  void foundCharacters(XMLParser&, const std::string& text) override { events += text.size(); }
  size_t events = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  os::HTTPHeaders headers;
  headers.set("Content-Type", "application/xml");
  auto response = std::make_shared<os::HTTPURLResponse>(
      *os::URL::parse("https://resources.tessaro.example/product/config/bv-config.xml"), 200,
      headers);
  const os::Data body(data + 1, data + size);

  std::optional<os::Error> error;
  NKResponseObject events = NKXMLParserResponseSerializer::serializer()->responseObjectForResponse(
      response, body, &error);
  if (std::shared_ptr<XMLParser> parser = events.xmlParser()) {
    CountingDelegate delegate;
    parser->setDelegate(&delegate);
    parser->parse();
  }

  error.reset();
  auto documents =
      NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(data[0] * 0x010101);
  NKResponseObject document = documents->responseObjectForResponse(response, body, &error);
  if (std::shared_ptr<const XMLDocument> parsed = document.xmlDocument()) {
    parsed->rootElementName();
  }
  return 0;
}
