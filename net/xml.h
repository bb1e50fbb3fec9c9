// XML through libxml2: an event parser that reports elements and text to a delegate as it reads
// (what the XML parser serializer hands out), and a parsed document tree (what the XML document
// serializer hands out). Neither ever loads anything, from the network or from local files: no
// external entity, external DTD or XInclude is read, whatever options are given, since the
// documents come from servers.
//
//   class Titles : public XMLParserDelegate {
//     void didStartElement(XMLParser&, const std::string& name, const Attributes&) override {...}
//   };
//   XMLParser parser(bytes);
//   Titles titles;
//   parser.setDelegate(&titles);
//   if (!parser.parse()) log(parser.parserError()->description);
//
//   auto document = XMLDocument::fromData(bytes, 0, &error);
//   xmlNode* root = xmlDocGetRootElement(document->get());   // libxml2's own tree API
//
// Errors are in the domain kXMLParserErrorDomain with libxml2's error number as the code (the
// platform's XML parser codes are the same numbers: 4 is an empty document, 5 premature end...).
#pragma once

#include <libxml/tree.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/value/error.h"
#include "os/value/value.h"

inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";

class XMLParser;

// Receives what XMLParser::parse() reads, in document order, on the thread that parses. Every
// method is optional.
class XMLParserDelegate {
 public:
  // Attribute names (with their prefix, as written) to values.
  using Attributes = std::map<std::string, std::string>;

  virtual ~XMLParserDelegate() = default;
  // An element starts; `name` is its name as written, prefix included.
  virtual void didStartElement(XMLParser& parser, const std::string& name,
                               const Attributes& attributes);
  virtual void didEndElement(XMLParser& parser, const std::string& name);
  // Text (character data, entities resolved) inside the current element; a long text may come
  // in several pieces.
  virtual void foundCharacters(XMLParser& parser, const std::string& text);
  // The first fatal error; parse() stops and returns false after it.
  virtual void parseErrorOccurred(XMLParser& parser, const os::Error& error);
};

// A one-shot event parser over a copy of some bytes.
class XMLParser {
 public:
  explicit XMLParser(os::Data data);
  XMLParser(const XMLParser&) = delete;
  XMLParser& operator=(const XMLParser&) = delete;

  // `delegate` is not owned and must outlive parse(); null reports nothing.
  void setDelegate(XMLParserDelegate* delegate) { delegate_ = delegate; }
  const os::Data& data() const { return data_; }

  // Reads the whole document, calling the delegate; true when it is well-formed. Call once.
  bool parse();
  // Why the last parse() failed; nullopt after a success or before parsing.
  const std::optional<os::Error>& parserError() const { return error_; }

 private:
  friend struct XMLParserCallbacks;

  os::Data data_;
  XMLParserDelegate* delegate_ = nullptr;
  std::optional<os::Error> error_;
};

// A parsed XML document, owned; read it with libxml2's tree functions through get().
class XMLDocument {
 public:
  // Parses `data` with libxml2's parser `options` (XML_PARSE_* bits; those that would load
  // external content are ignored). nullptr and `error` when the bytes are not a well-formed
  // document.
  static std::shared_ptr<XMLDocument> fromData(const os::Data& data, int options, os::Error* error);

  XMLDocument(const XMLDocument&) = delete;
  XMLDocument& operator=(const XMLDocument&) = delete;

  // Valid while this document lives.
  xmlDocPtr get() const { return document_.get(); }
  // The root element's name ("" when there is none).
  std::string rootElementName() const;

 private:
  struct Release {
    void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
  };
  explicit XMLDocument(xmlDocPtr document) : document_(document) {}

  std::unique_ptr<xmlDoc, Release> document_;
};
