#include "net/xml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <mutex>

namespace {

// libxml2 wants its globals set up once, before threads parse at the same time.
void initialiseLibxml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

std::string text(const xmlChar* characters) {
  return characters ? reinterpret_cast<const char*>(characters) : std::string();
}

std::string qualifiedName(const xmlChar* localName, const xmlChar* prefix) {
  return prefix ? text(prefix) + ":" + text(localName) : text(localName);
}

os::Error errorFrom(const xmlError* error) {
  if (!error || error->code == XML_ERR_OK) {
    return os::Error(kXMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML could not be read.");
  }
  std::string message = text(reinterpret_cast<const xmlChar*>(error->message));
  while (!message.empty() && message.back() == '\n') message.pop_back();
  std::string description = "XML error at line " + std::to_string(error->line) + ": " + message;
  return os::Error(kXMLParserErrorDomain, error->code, std::move(description));
}

// libxml2 takes an int length.
bool fitsLibxml(const os::Data& data) { return data.size() <= static_cast<size_t>(INT_MAX); }

// Network access off, and no output of libxml2's own on standard error: errors are returned.
constexpr int kAlwaysOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Options that would make a server's document read local files or other resources; dropped.
constexpr int kExternalContentOptions = XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR |
                                        XML_PARSE_DTDVALID | XML_PARSE_XINCLUDE;

using ContextPointer = std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)>;

// What one parse keeps in its libxml2 context: the event parser to call (none for a document)
// and the first error. libxml2 goes on after a fatal error to find more, and its "last error"
// is then a consequence rather than the cause.
struct XMLParseState {
  XMLParser* parser = nullptr;
  std::optional<os::Error> firstError;

  static XMLParseState& of(void* context) {
    return *static_cast<XMLParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private);
  }

  static void recordError(void* context, xmlErrorPtr error) {
    XMLParseState& state = of(context);
    if (!state.firstError && error && error->level >= XML_ERR_ERROR) {
      state.firstError = errorFrom(error);
    }
  }

  // Runs `parse` on `context` with this state attached; the error, if the document was not
  // well-formed.
  template <typename Parse>
  std::optional<os::Error> run(xmlParserCtxtPtr context, Parse parse) {
    if (!context) return errorFrom(nullptr);
    context->_private = this;
    context->sax->serror = &XMLParseState::recordError;
    bool parsed = parse(context);
    if (parsed && context->wellFormed) return std::nullopt;
    return firstError ? *firstError : errorFrom(xmlCtxtGetLastError(context));
  }
};

}  // namespace

void XMLParserDelegate::didStartElement(XMLParser&, const std::string&, const Attributes&) {}
void XMLParserDelegate::didEndElement(XMLParser&, const std::string&) {}
void XMLParserDelegate::foundCharacters(XMLParser&, const std::string&) {}
void XMLParserDelegate::parseErrorOccurred(XMLParser&, const os::Error&) {}

// libxml2's SAX callbacks, which reach the parser through the parse state.
struct XMLParserCallbacks {
  static void startElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                           const xmlChar*, int, const xmlChar**, int attributeCount, int,
                           const xmlChar** attributes) {
    XMLParser& self = *XMLParseState::of(context).parser;
    if (!self.delegate_) return;
    XMLParserDelegate::Attributes values;
    // Five pointers per attribute: local name, prefix, URI, value start, value end.
    for (int i = 0; i < attributeCount; ++i) {
      const xmlChar** attribute = attributes + 5 * i;
      values[qualifiedName(attribute[0], attribute[1])] = std::string(
          reinterpret_cast<const char*>(attribute[3]), reinterpret_cast<const char*>(attribute[4]));
    }
    self.delegate_->didStartElement(self, qualifiedName(localName, prefix), values);
  }

  static void endElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                         const xmlChar*) {
    XMLParser& self = *XMLParseState::of(context).parser;
    if (self.delegate_) self.delegate_->didEndElement(self, qualifiedName(localName, prefix));
  }

  static void characters(void* context, const xmlChar* characters, int length) {
    XMLParser& self = *XMLParseState::of(context).parser;
    if (self.delegate_) {
      self.delegate_->foundCharacters(
          self, std::string(reinterpret_cast<const char*>(characters), length));
    }
  }
};

XMLParser::XMLParser(os::Data data) : data_(std::move(data)) {}

bool XMLParser::parse() {
  initialiseLibxml();
  error_.reset();
  if (data_.empty()) {
    error_ = os::Error(kXMLParserErrorDomain, XML_ERR_DOCUMENT_EMPTY, "The XML document is empty.");
  } else if (!fitsLibxml(data_)) {
    error_ = os::Error(kXMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML is too large.");
  } else {
    ContextPointer context(xmlCreateMemoryParserCtxt(reinterpret_cast<const char*>(data_.data()),
                                                     static_cast<int>(data_.size())),
                           &xmlFreeParserCtxt);
    XMLParseState state{this, std::nullopt};
    error_ = state.run(context.get(), [](xmlParserCtxtPtr context) {
      xmlSAXHandler handler{};
      handler.initialized = XML_SAX2_MAGIC;
      handler.startElementNs = &XMLParserCallbacks::startElement;
      handler.endElementNs = &XMLParserCallbacks::endElement;
      handler.characters = &XMLParserCallbacks::characters;
      handler.cdataBlock = &XMLParserCallbacks::characters;
      handler.serror = context->sax->serror;
      *context->sax = handler;
      xmlCtxtUseOptions(context, kAlwaysOptions);
      const bool parsed = xmlParseDocument(context) == 0;
      // An inline DTD makes libxml2 build a document to hold its declarations even for an
      // event parser, and the context does not free it.
      xmlFreeDoc(context->myDoc);
      context->myDoc = nullptr;
      return parsed;
    });
  }
  if (error_ && delegate_) delegate_->parseErrorOccurred(*this, *error_);
  return !error_;
}

std::shared_ptr<XMLDocument> XMLDocument::fromData(const os::Data& data, int options,
                                                   os::Error* error) {
  initialiseLibxml();
  if (!fitsLibxml(data)) {
    os::fail(error,
             os::Error(kXMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML is too large."));
    return nullptr;
  }
  ContextPointer context(xmlNewParserCtxt(), &xmlFreeParserCtxt);
  xmlDocPtr document = nullptr;
  XMLParseState state;
  std::optional<os::Error> failure = state.run(context.get(), [&](xmlParserCtxtPtr context) {
    document = xmlCtxtReadMemory(context, reinterpret_cast<const char*>(data.data()),
                                 static_cast<int>(data.size()), nullptr, nullptr,
                                 (options & ~kExternalContentOptions) | kAlwaysOptions);
    return document != nullptr;
  });
  if (failure) {
    if (document) xmlFreeDoc(document);
    os::fail(error, std::move(*failure));
    return nullptr;
  }
  return std::shared_ptr<XMLDocument>(new XMLDocument(document));
}

std::string XMLDocument::rootElementName() const {
  xmlNodePtr root = xmlDocGetRootElement(document_.get());
  return root ? text(root->name) : std::string();
}
