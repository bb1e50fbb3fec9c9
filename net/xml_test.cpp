#include "net/xml.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport/sandbox.h"

namespace {

os::Data bytes(std::string_view text) { return os::Data(text.begin(), text.end()); }

// Writes every event as one line.
class Recorder : public XMLParserDelegate {
 public:
  void didStartElement(XMLParser&, const std::string& name, const Attributes& attributes) override {
    std::string line = "start " + name;
    for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
    events.push_back(line);
  }
  void didEndElement(XMLParser&, const std::string& name) override {
    events.push_back("end " + name);
  }
  void foundCharacters(XMLParser&, const std::string& text) override {
    if (!events.empty() && events.back().rfind("text ", 0) == 0) {
      events.back() += text;
    } else {
      events.push_back("text " + text);
    }
  }
  void parseErrorOccurred(XMLParser&, const os::Error& error) override {
    events.push_back("error " + std::to_string(error.code));
  }

  std::vector<std::string> events;
};

TEST(XMLParser, ReportsElementsAttributesAndTextInOrder) {
  XMLParser parser(
      bytes(R"(<a:feed xmlns:a="urn:x" v="1"><t id="2">x &amp; <![CDATA[<y>]]></t></a:feed>)"));
  Recorder recorder;
  parser.setDelegate(&recorder);
  EXPECT_TRUE(parser.parse());
  EXPECT_FALSE(parser.parserError());
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"start a:feed v=1", "start t id=2",
                                                       "text x & <y>", "end t", "end a:feed"}));
}

TEST(XMLParser, StopsAtTheFirstFatalErrorAndReportsIt) {
  const struct {
    const char* xml;
    int code;
  } cases[] = {
      {"", XML_ERR_DOCUMENT_EMPTY},
      {"<a><b></a>", XML_ERR_TAG_NAME_MISMATCH},
      {"<a>", XML_ERR_TAG_NOT_FINISHED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    XMLParser parser(bytes(c.xml));
    Recorder recorder;
    parser.setDelegate(&recorder);
    EXPECT_FALSE(parser.parse());
    ASSERT_TRUE(parser.parserError());
    EXPECT_EQ(parser.parserError()->domain, kXMLParserErrorDomain);
    EXPECT_EQ(parser.parserError()->code, c.code);
    ASSERT_FALSE(recorder.events.empty());
    EXPECT_EQ(recorder.events.back(), "error " + std::to_string(c.code));
  }
}

// Declarations in an inline DTD make libxml2 build a document of its own while it parses
// events; the parser frees it whether the parse succeeds or fails (LeakSanitizer checks).
TEST(XMLParser, AnInlineDTDLeavesNothingBehind) {
  const struct {
    const char* xml;
    bool wellFormed;
  } cases[] = {
      // A broken header, a declaration cut short, then entities that expand into one another.
      {"<?xm| version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaa\"\xbe<!EUTITY b \"&a;&a;&a;\">]>"
       "<r x=\"1\">&b;<c/>t</r>",
       false},
      {"<!DOCTYPE r [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;\">]><r>&b;</r>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    XMLParser parser(bytes(c.xml));
    EXPECT_EQ(parser.parse(), c.wellFormed);
  }
}

// A document from a server must not make us read local files.
TEST(XML, ExternalEntitiesAreNeverLoaded) {
  testsupport::Sandbox sandbox;
  std::filesystem::path secret = sandbox.root() / "secret.txt";
  std::ofstream(secret) << "SECRET";
  std::string xml =
      "<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]><a>&x;</a>";

  XMLParser parser(bytes(xml));
  Recorder recorder;
  parser.setDelegate(&recorder);
  parser.parse();
  for (const std::string& event : recorder.events)
    EXPECT_EQ(event.find("SECRET"), std::string::npos);

  // Not even when the caller asks for entities to be substituted.
  os::Error error;
  auto document = XMLDocument::fromData(bytes(xml), XML_PARSE_NOENT | XML_PARSE_DTDLOAD, &error);
  ASSERT_NE(document, nullptr) << error.description;
  xmlChar* text = xmlNodeGetContent(xmlDocGetRootElement(document->get()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)).find("SECRET"), std::string::npos);
  xmlFree(text);
}

TEST(XMLDocument, ParsesOrExplains) {
  os::Error error;
  auto document =
      XMLDocument::fromData(bytes("<?xml version=\"1.0\"?><plist><dict/></plist>"), 0, &error);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(document->rootElementName(), "plist");

  EXPECT_EQ(XMLDocument::fromData(bytes("<a></b>"), 0, &error), nullptr);
  EXPECT_EQ(error.domain, kXMLParserErrorDomain);
  EXPECT_EQ(error.code, XML_ERR_TAG_NAME_MISMATCH);
  EXPECT_NE(error.description.find("line 1"), std::string::npos);
}

}  // namespace
