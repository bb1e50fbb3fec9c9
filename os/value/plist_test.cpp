#include "os/value/plist.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>

#include "os/value/json.h"
#include "testsupport/files.h"

namespace os::plist {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr uint64_t kUint64Max = std::numeric_limits<uint64_t>::max();
const double kInf = std::numeric_limits<double>::infinity();

Data allBytes() {
  Data bytes(256);
  std::iota(bytes.begin(), bytes.end(), 0);
  return bytes;
}

// Every kind a property list can carry, with the edges that matter: 64-bit extremes, an
// unsigned above INT64_MAX, reals that libplist writes as 4-byte floats, non-finite reals, dates
// with fractions and outside libplist's int32 date API (before 1933, after 2069), all 256 byte
// values, non-ASCII and empty strings, nested and empty collections.
Value everyKind() {
  return Dictionary{
      {"true", true},
      {"false", false},
      {"int", 42},
      {"negative", -7},
      {"int64min", kInt64Min},
      {"int64max", kInt64Max},
      {"unsignedAbove", uint64_t{1} << 63},
      {"uint64max", kUint64Max},
      {"real", 0.1},
      {"realIntegral", 3.0},
      {"realTiny", -2.5e-300},
      {"realFloat", 0.5},
      {"nan", std::nan("")},
      {"inf", kInf},
      {"minusInf", -kInf},
      {"date", Date{1700000000.5}},
      {"dateBefore1933", Date{-2208988800.25}},
      {"dateAfter2069", Date{32503680000.0}},
      {"epoch", Date{0}},
      {"data", allBytes()},
      {"emptyData", Data{}},
      {"string",
       "h\xc3\xa9llo w\xc3\xb6rld \xe2\x9c\x93 \xf0\x9d\x84\x9e \xe6\x97\xa5\xe6\x9c\xac"},
      {"ascii", "plain"},
      {"emptyString", ""},
      {"markup", "<a href=\"x\">&amp;</a> ]]>"},
      {"whitespace", " \t\n "},
      {"array", Array{1, "two", Array{3.5, Array{}}}},
      {"emptyArray", Array{}},
      {"dict", Dictionary{{"nested", Dictionary{{"x", 1}}},
                          {"\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87", "\xd0\xb7\xd0\xbd"}}},
      {"emptyDict", Dictionary{}},
  };
}

// XML keeps dates in whole seconds (floored, as the platform and Python write them).
Value everyKindAsXmlKeepsIt() {
  Value value = everyKind();
  for (auto& [key, item] : *value.asDictionary()) {
    if (const Date* date = item.asDate()) item = Date{std::floor(date->secondsSince1970)};
  }
  return value;
}

std::string serialized(const Value& value, Format format) {
  Error error;
  auto bytes = serialize(value, format, &error);
  EXPECT_TRUE(bytes.has_value()) << error.description;
  return bytes.value_or("");
}

Value parsed(std::string_view bytes, Format expected) {
  Error error;
  Format format = expected == Format::Xml ? Format::Binary : Format::Xml;
  auto value = parse(bytes, &error, &format);
  EXPECT_TRUE(value.has_value()) << error.description;
  EXPECT_EQ(format, expected);
  return value.value_or(Value());
}

// Equality that also requires the same kinds, except that an Unsigned up to INT64_MAX reads
// back as Integer (property lists have one integer kind below 2^63).
void expectSameKinds(const Value& a, const Value& b, const std::string& path = "$") {
  Value::Type ta = a.type(), tb = b.type();
  if (ta == Value::Type::Unsigned && *a.asUnsigned() <= uint64_t{kInt64Max}) {
    ta = Value::Type::Integer;
  }
  EXPECT_EQ(ta, tb) << path;
  EXPECT_EQ(a, b) << path << ": " << a.description() << " vs " << b.description();
  if (a.isArray() && b.isArray() && a.count() == b.count()) {
    for (size_t i = 0; i < a.count(); ++i)
      expectSameKinds(a[i], b[i], path + "[" + std::to_string(i) + "]");
  }
  if (a.isDictionary() && b.isDictionary()) {
    for (const auto& [key, item] : *a.asDictionary())
      expectSameKinds(item, b[key], path + "." + key);
  }
}

TEST(Plist, RoundTripsEveryKindThroughBinary) {
  Value value = everyKind();
  std::string bytes = serialized(value, Format::Binary);
  ASSERT_EQ(bytes.substr(0, 8), "bplist00");
  Value back = parsed(bytes, Format::Binary);
  expectSameKinds(value, back);
  // Dates are exact in binary, sub-microsecond parts included.
  Value precise = Array{Date{1700000000.123456789}, Date{-1e12 + 0.25}, Date{1e13}};
  expectSameKinds(precise, parsed(serialized(precise, Format::Binary), Format::Binary));
}

TEST(Plist, RoundTripsEveryKindThroughXml) {
  std::string text = serialized(everyKind(), Format::Xml);
  ASSERT_EQ(text.substr(0, 5), "<?xml");
  EXPECT_NE(text.find("<integer>18446744073709551615</integer>"), std::string::npos);
  EXPECT_NE(text.find("<integer>-9223372036854775808</integer>"), std::string::npos);
  EXPECT_NE(text.find("<date>1899-12-31T23:59:59Z</date>"), std::string::npos);
  EXPECT_NE(text.find("<date>3000-01-01T00:00:00Z</date>"), std::string::npos);
  expectSameKinds(everyKindAsXmlKeepsIt(), parsed(text, Format::Xml));
}

TEST(Plist, RoundTripsEveryTopLevelKind) {
  const Value values[] = {true,
                          false,
                          0,
                          -1,
                          kUint64Max,
                          2.5,
                          "text",
                          "",
                          Data{1, 2},
                          Date{1e9},
                          Array{},
                          Dictionary{},
                          Array{Array{Array{1}}}};
  for (const Value& value : values) {
    for (Format format : {Format::Xml, Format::Binary}) {
      expectSameKinds(value, parsed(serialized(value, format), format));
    }
  }
}

TEST(Plist, LargeCollectionsNeedWiderReferences) {
  // 70000 distinct objects make libplist use 3-byte object references.
  Array numbers;
  for (int i = 0; i < 70000; ++i) numbers.push_back(i * 3 - 100000);
  Value value = Dictionary{{"numbers", numbers}, {"text", std::string(100000, 'x')}};
  for (Format format : {Format::Binary, Format::Xml}) {
    EXPECT_EQ(parsed(serialized(value, format), format), value);
  }
}

TEST(Plist, RefusesWhatItCannotWrite) {
  struct Case {
    Value value;
    Format format;
    const char* reason;
  };
  const Case cases[] = {
      {Value(), Format::Binary, "null"},
      {Dictionary{{"list", Array{1, Value()}}}, Format::Xml, "null cannot be written"},
      {Dictionary{{"list", Array{1, Value()}}}, Format::Binary, "$.list[1]"},
      {Array{std::string("a\0b", 3)}, Format::Binary, "NUL"},
      {Dictionary{{std::string("k\0", 2), 1}}, Format::Xml, "NUL"},
      {Array{"\xff"}, Format::Binary, "not valid UTF-8"},
      {Dictionary{{"\xc3", 1}}, Format::Binary, "key is not valid UTF-8"},
      {Array{"bell\x07"}, Format::Xml, "control character 0x07"},
      {Array{Date{std::nan("")}}, Format::Binary, "not finite"},
      {Array{Date{kInf}}, Format::Xml, "not finite"},
      {Array{Date{253402300800.0}}, Format::Xml, "years 1 to 9999"},
      {Array{Date{-62135596801.0}}, Format::Xml, "years 1 to 9999"},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(serialize(c.value, c.format, &error).has_value()) << c.value.description();
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, kWriteInvalidError);
    EXPECT_NE(error.description.find(c.reason), std::string::npos) << error.description;
  }
  // What XML cannot carry, binary can.
  Value binaryOnly = Array{"bell\x07", Date{253402300800.0}};
  expectSameKinds(binaryOnly, parsed(serialized(binaryOnly, Format::Binary), Format::Binary));
}

TEST(Plist, ReadsXmlWrittenByHand) {
  const char* text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<!-- a comment -->
<plist version="1.0">
<dict>
  <key>hex</key><integer>0x1F</integer>
  <key>plus</key><integer> +5 </integer>
  <key>zero</key><integer>0</integer>
  <key>real</key><real>-1.5e3</real>
  <key>realInt</key><real>2</real>
  <key>nan</key><real>nan</real>
  <key>inf</key><real>+infinity</real>
  <key>entities</key><string>a &amp; b &lt; c &#x41;&#233;</string>
  <key>cdata</key><string><![CDATA[x<y]]></string>
  <key>empty</key><string/>
  <key>emptyData</key><data></data>
  <key>data</key><data>
    AAEC
    Aw==
  </data>
  <key>no</key><false/>
  <key>yes</key><true></true>
  <key>list</key><array><!-- inside --><array/><dict/></array>
  <key>dup</key><integer>1</integer>
  <key>dup</key><integer>2</integer>
</dict>
</plist>
)";
  Value value = parsed(text, Format::Xml);
  EXPECT_EQ(value["hex"], Value(31));
  EXPECT_EQ(value["plus"], Value(5));
  EXPECT_EQ(value["zero"], Value(0));
  EXPECT_EQ(value["real"], Value(-1500.0));
  EXPECT_EQ(value["realInt"].type(), Value::Type::Real);
  EXPECT_TRUE(std::isnan(*value["nan"].asReal()));
  EXPECT_EQ(value["inf"], Value(kInf));
  EXPECT_EQ(value["entities"], Value("a & b < c A\xc3\xa9"));
  EXPECT_EQ(value["cdata"], Value("x<y"));
  EXPECT_EQ(value["empty"], Value(""));
  EXPECT_EQ(value["emptyData"], Value(Data{}));
  EXPECT_EQ(value["data"], Value(Data{0, 1, 2, 3}));
  EXPECT_EQ(value["no"], Value(false));
  EXPECT_EQ(value["yes"], Value(true));
  EXPECT_EQ(value["list"], Value(Array{Array{}, Dictionary{}}));
  EXPECT_EQ(value["dup"], Value(2));

  // No <plist> root, and a UTF-8 byte-order mark.
  EXPECT_EQ(parsed("\xef\xbb\xbf<array><string>x</string></array>", Format::Xml),
            Value(Array{"x"}));
}

// ---------------------------------------------------------------------------------------------
// Binary property lists built by hand, for corruptions.

void appendBigEndian(std::string& out, uint64_t value, size_t count) {
  for (size_t i = count; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}

std::string ascii(const std::string& text) {
  return static_cast<char>(0x50 | text.size()) + text;  // shorter than 15
}

std::string refs(unsigned marker, std::initializer_list<uint64_t> list, unsigned refSize = 1) {
  std::string out(1, static_cast<char>(marker | list.size()));
  for (uint64_t ref : list) appendBigEndian(out, ref, refSize);
  return out;
}

std::string dict(std::initializer_list<uint64_t> keys, std::initializer_list<uint64_t> values) {
  std::string out(1, static_cast<char>(0xd0 | keys.size()));
  for (uint64_t ref : keys) appendBigEndian(out, ref, 1);
  for (uint64_t ref : values) appendBigEndian(out, ref, 1);
  return out;
}

std::string makeBinary(const std::vector<std::string>& objects, uint64_t top = 0,
                       unsigned refSize = 1) {
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const uint64_t tableOffset = out.size();
  const unsigned offsetSize = tableOffset < 0x100 ? 1 : tableOffset < 0x10000 ? 2 : 4;
  for (uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
  out.append(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  appendBigEndian(out, objects.size(), 8);
  appendBigEndian(out, top, 8);
  appendBigEndian(out, tableOffset, 8);
  return out;
}

// A chain of `depth` arrays, each holding the next; the last is empty.
std::string nestedArrays(size_t depth) {
  std::vector<std::string> objects;
  for (size_t i = 0; i + 1 < depth; ++i) objects.push_back(refs(0xa0, {i + 1}, 4));
  objects.push_back(bytes({0xa0}));
  return makeBinary(objects, 0, 4);
}

void expectReadError(std::string_view input, const char* reason, const std::string& label) {
  Error error;
  Format format = Format::Xml;
  EXPECT_FALSE(parse(input, &error, &format).has_value()) << label;
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain") << label;
  EXPECT_EQ(error.code, kReadCorruptError) << label;
  EXPECT_NE(error.description.find(reason), std::string::npos)
      << label << " gave: " << error.description;
  EXPECT_EQ(error.userInfo["NSDebugDescription"].asString() != nullptr, true) << label;
  EXPECT_TRUE(json::serialize(Value(Array{error.description})).has_value())
      << "description is not valid UTF-8: " << label;
}

TEST(Plist, HandBuiltBinaryIsRead) {
  std::string good = makeBinary({dict({1}, {2}), ascii("key"), bytes({0x10, 0x05})});
  EXPECT_EQ(parsed(good, Format::Binary), Value(Dictionary{{"key", 5}}));
  // A set reads as an array; UTF-16 strings with a surrogate pair; a 2-byte length.
  std::string more =
      makeBinary({refs(0xc0, {1, 2}), bytes({0x63, 0x00, 0xe9, 0xd8, 0x34, 0xdd, 0x1e}),
                  bytes({0x4f, 0x10, 0x0f}) + std::string(15, 'z')});
  EXPECT_EQ(parsed(more, Format::Binary), Value(Array{"\xc3\xa9\xf0\x9d\x84\x9e", Data(15, 'z')}));
  // Shared scalars are fine, and so is the same array reached twice (not a cycle).
  std::string shared = makeBinary({refs(0xa0, {1, 1, 2, 2}), ascii("s"), refs(0xa0, {1})});
  EXPECT_EQ(parsed(shared, Format::Binary), Value(Array{"s", "s", Array{"s"}, Array{"s"}}));
  // 512 nested arrays are accepted.
  Value deep = parsed(nestedArrays(512), Format::Binary);
  size_t depth = 0;
  for (const Value* level = &deep; level->isArray(); level = &(*level)[0]) ++depth;
  EXPECT_EQ(depth, 512u);
}

TEST(Plist, MalformedBinaryIsRefusedWithTheReason) {
  const std::string good = makeBinary({dict({1}, {2}), ascii("key"), bytes({0x10, 0x05})});
  const size_t trailer = good.size() - 32;
  auto patched = [&](size_t at, std::initializer_list<int> values) {
    std::string copy = good;
    for (int v : values) copy[at++] = static_cast<char>(v);
    return copy;
  };
  const uint64_t tableOffset = trailer - 3;
  struct Case {
    std::string input;
    const char* reason;
    const char* label;
  };
  const Case cases[] = {
      {"bplist00", "truncated", "header only"},
      {"bplist00" + std::string(33, '\0'), "truncated", "41 bytes"},
      {"bplist17" + good.substr(8), "unsupported binary property list version '17'", "version"},
      {patched(trailer + 6, {0}), "offset size 0", "offset size 0"},
      {patched(trailer + 6, {9}), "offset size 9", "offset size 9"},
      {patched(trailer + 7, {0}), "reference size 0", "ref size 0"},
      {patched(trailer + 8, {0, 0, 0, 0, 0, 0, 0, 0}), "object count is 0", "no objects"},
      {patched(trailer + 8, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), "runs past",
       "huge object count"},
      {patched(trailer + 8, {0, 0, 0, 0, 0, 0, 0, 4}), "runs past", "one object too many"},
      {patched(trailer + 16, {0, 0, 0, 0, 0, 0, 0, 3}), "top object 3", "top beyond count"},
      {patched(trailer + 24, {0, 0, 0, 0, 0, 0, 0, 0}), "offset table offset 0", "table at 0"},
      {patched(trailer + 24, {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
       "points outside the data", "table far away"},
      {patched(trailer + 24, {0, 0, 0, 0, 0, 0, 0, static_cast<int>(trailer)}),
       "points outside the data", "table at the trailer"},
      {patched(tableOffset, {0}), "object 0: offset 0 points outside", "offset into header"},
      {patched(tableOffset + 1, {static_cast<int>(tableOffset)}), "object 1: offset",
       "offset at the table"},
      {patched(tableOffset + 2, {0xff}), "object 2: offset 255 points outside", "offset past end"},
      {patched(8, {0xd1, 1, 7}), "reference 7 is not below the object count", "bad reference"},
      {patched(8, {0xd1, 2, 2}), "key (object 2) is not a string", "integer key"},
      {patched(8, {0xd1, 0, 2}), "reference cycle", "dictionary keyed by itself"},
      {patched(11, {0x5f, 0x10, 0x40}), "runs past", "string longer than the area"},
      {patched(11, {0x5f, 0x25}), "invalid length marker", "length marker not an integer"},
      {patched(11, {0x5f}), "", "length marker missing"},
      {patched(11, {0x00}), "key (object 1) is not a string", "null key"},
      {patched(15, {0x00}), "null objects are not supported", "null value"},
      {patched(15, {0x80}), "UID", "UID value"},
      {patched(15, {0x0f}), "unknown object type 0x0f", "fill byte"},
      {patched(15, {0x70}), "unknown object type 0x70", "type 7"},
      {patched(15, {0xe0}), "unknown object type 0xe0", "type e"},
      {patched(15, {0x15}), "invalid integer size", "32-byte integer"},
      {patched(15, {0x13}), "integer runs past", "8-byte integer in 1 byte"},
      {patched(15, {0x21}), "invalid real size", "2-byte real"},
      {patched(15, {0x32}), "invalid date size", "4-byte date"},
      {patched(15, {0x33}), "date runs past", "truncated date"},
      {patched(15, {0x42}), "data runs past", "data longer than the area"},
      {patched(12, {0xff}), "non-ASCII byte 0xff", "non-ASCII ASCII string"},
      {patched(12, {0x00}), "NUL", "NUL in string"},
      {patched(8, {0xd5}), "dictionary references run past", "too many entries"},
      {makeBinary({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})}),
       "does not fit in 64 bits", "128-bit integer"},
      {makeBinary({bytes({0x61, 0xd8, 0x00})}), "unpaired UTF-16 surrogate", "lone lead"},
      {makeBinary({bytes({0x62, 0xdc, 0x00, 0x00, 0x41})}), "unpaired", "lone trail"},
      {makeBinary({bytes({0x61, 0x00, 0x00})}), "NUL", "UTF-16 NUL"},
      {makeBinary({bytes({0x62, 0x00, 0x41})}), "string runs past", "short UTF-16"},
      {makeBinary({refs(0xa0, {0})}), "reference cycle through object 0", "self-containing"},
      {makeBinary({refs(0xa0, {1}), refs(0xa0, {0})}), "reference cycle", "two-array cycle"},
      {makeBinary({refs(0xa0, {1}), dict({2}, {0}), ascii("k")}), "reference cycle",
       "cycle through a dictionary value"},
      {nestedArrays(513), "nested more than 512 levels", "513 levels"},
      {nestedArrays(100000), "nested more than 512 levels", "100000 levels"},
      {makeBinary({refs(0xa0, {9})}), "reference 9 is not below", "array reference"},
      {makeBinary({refs(0xa0, {0, 0}, 3)}, 0, 3), "", "3-byte refs to itself"},
  };
  for (const Case& c : cases) expectReadError(c.input, c.reason, c.label);

  // Shared containers that expand exponentially (2^60 leaves from 60 objects).
  std::vector<std::string> bomb;
  for (uint64_t i = 0; i < 60; ++i) bomb.push_back(refs(0xa0, {i + 1, i + 1}));
  bomb.push_back(bytes({0x09}));
  expectReadError(makeBinary(bomb), "expands to more than", "shared-container bomb");
}

TEST(Plist, EveryTruncationOfABinaryPlistIsRefused) {
  std::string good = serialized(everyKind(), Format::Binary);
  for (size_t length = 0; length < good.size(); ++length) {
    Error error;
    EXPECT_FALSE(parse(std::string_view(good).substr(0, length), &error).has_value()) << length;
    EXPECT_EQ(error.code, kReadCorruptError) << length;
    EXPECT_FALSE(error.description.empty()) << length;
  }
}

TEST(Plist, EveryOffsetPointingOutsideTheBufferIsRefused) {
  std::string good = serialized(everyKind(), Format::Binary);
  const size_t trailer = good.size() - 32;
  const unsigned offsetSize = static_cast<unsigned char>(good[trailer + 6]);
  uint64_t count = 0, tableOffset = 0;
  for (int i = 0; i < 8; ++i) {
    count = (count << 8) | static_cast<unsigned char>(good[trailer + 8 + i]);
    tableOffset = (tableOffset << 8) | static_cast<unsigned char>(good[trailer + 24 + i]);
  }
  ASSERT_GT(count, 50u);
  const uint64_t outside[] = {
      0, 7, tableOffset, good.size(), good.size() + 1000, (uint64_t{1} << (8 * offsetSize)) - 1};
  for (uint64_t object = 0; object < count; ++object) {
    for (uint64_t offset : outside) {
      if (offsetSize < 8 && offset >= (uint64_t{1} << (8 * offsetSize))) continue;
      std::string corrupt = good;
      std::string encoded;
      appendBigEndian(encoded, offset, offsetSize);
      corrupt.replace(tableOffset + object * offsetSize, offsetSize, encoded);
      expectReadError(corrupt, "points outside the object area",
                      "object " + std::to_string(object) + " at " + std::to_string(offset));
    }
  }
}

TEST(Plist, MalformedXmlIsRefusedWithTheReason) {
  struct Case {
    std::string input;
    const char* reason;
  };
  const Case cases[] = {
      {"", "the input is empty"},
      {"   \n", "a value is missing"},
      {"hello", "unexpected 'hello'"},
      {"\xff\xfe<\x00p\x00", "unexpected '\\xFF\\xFE<"},
      {"<plist></plist>", "the <plist> element is empty"},
      {"<plist version=\"1.0\"/>", "the <plist> element is empty"},
      {"<plist><array></plist>", "expected </array>, found </plist>"},
      {"<plist><array></dict></plist>", "expected </array>, found </dict>"},
      {"<plist><array><integer>1</integer></array>", "unexpected end of input after the top"},
      {"<plist><array/><array/></plist>", "unexpected '<array/></plist>' after the top-level"},
      {"<array/><array/>", "after the end of the property list"},
      {"<plist><integer>1</integer></plist>trailing", "unexpected 'trailing'"},
      {"<plist><dict><key>a</key></dict></plist>", "a <key> in <dict> has no value"},
      {"<plist><dict><string>a</string></dict></plist>", "where a <key> was expected"},
      {"<plist><dict><key>a</key><key>b</key></dict></plist>", "unexpected element <key>"},
      {"<plist><key>a</key></plist>", "unexpected element <key>"},
      {"<plist><foo/></plist>", "unexpected element <foo>"},
      {"<plist><array>text<true/></array></plist>", "unexpected 'text<true/>"},
      {"<plist><true>x</true></plist>", "<true> holds text"},
      {"<plist><integer>abc</integer></plist>", "<integer> holds an invalid integer"},
      {"<plist><integer>1.5</integer></plist>", "invalid integer"},
      {"<plist><integer>010</integer></plist>", "leading zero"},
      {"<plist><integer>18446744073709551616</integer></plist>", "beyond 64 bits"},
      {"<plist><integer>-9223372036854775809</integer></plist>", "beyond 64 bits"},
      {"<plist><integer>0x10000000000000000</integer></plist>", "beyond 64 bits"},
      {"<plist><integer>-0x10</integer></plist>", "negative hexadecimal"},
      {"<plist><integer></integer></plist>", "empty integer"},
      {"<plist><integer/></plist>", "empty integer"},
      {"<plist><integer>1<!-- c --></integer></plist>", "inside <integer>"},
      {"<plist><real>abc</real></plist>", "invalid real"},
      {"<plist><real>1.5.5</real></plist>", "invalid real"},
      {"<plist><real>1e</real></plist>", "invalid real"},
      {"<plist><real>0x1p3</real></plist>", "invalid real"},
      {"<plist><real></real></plist>", "invalid real"},
      {"<plist><date>garbage</date></plist>", "YYYY-MM-DDTHH:MM:SSZ"},
      {"<plist><date>2001-01-01</date></plist>", "YYYY-MM-DDTHH:MM:SSZ"},
      {"<plist><date>2001-13-01T00:00:00Z</date></plist>", "an invalid date"},
      {"<plist><date>2001-01-01T24:00:00Z</date></plist>", "an invalid date"},
      {"<plist><data>!!!!</data></plist>", "invalid base64"},
      {"<plist><data>QUJD\nRA</data></plist>", "not a multiple of 4"},
      {"<plist><data>QU=D</data></plist>", "invalid base64"},
      {"<plist><string>a &bogus; b</string></plist>", "libplist could not read"},
      {"<plist><string>unterminated", "unterminated <string>"},
      {"<plist><string><b>x</b></string></plist>", "unexpected '<b>x</b>"},
      {"<plist><string>\xff</string></plist>", "a string is not valid UTF-8"},
      {"<plist><dict><key>\xc3</key><true/></dict></plist>", "key is not valid UTF-8"},
      {"<plist><string><![CDATA[x</string></plist>", "unterminated CDATA"},
      {"<!-- unterminated", "unterminated comment"},
      {"<?xml version=\"1.0\"", "unterminated processing instruction"},
      {"<plist", "unterminated tag <plist"},
      {"<plist><array></array/></plist>", "malformed closing tag"},
      {"<plist>" + std::string(513 * 7, ' ') + "</plist>", "the <plist> element is empty"},
      {"<plist>" +
           [] {
             std::string s;
             for (int i = 0; i < 513; ++i) s += "<array>";
             return s;
           }(),
       "nested more than 512 levels"},
      {[] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "<dict><key>k</key>";
         return s;
       }(),
       "nested more than 512 levels"},
  };
  for (const Case& c : cases) expectReadError(c.input, c.reason, c.input.substr(0, 60));

  std::string deep;
  for (int i = 0; i < 512; ++i) deep += "<array>";
  for (int i = 0; i < 512; ++i) deep += "</array>";
  EXPECT_TRUE(parse(deep).has_value());
}

TEST(Plist, RandomBytesAndMutationsNeverCrash) {
  std::mt19937 random(20240601);
  auto randomByte = [&] { return static_cast<char>(random() & 0xff); };
  // Pure noise, with and without the binary magic.
  for (int i = 0; i < 500; ++i) {
    std::string noise(1 + random() % 200, '\0');
    for (char& c : noise) c = randomByte();
    if (i % 2 == 0) noise = "bplist00" + noise;
    Error error;
    EXPECT_FALSE(parse(noise, &error).has_value());
    EXPECT_EQ(error.code, kReadCorruptError);
  }
  // Mutations of valid documents: they either parse or fail with 3840, and what parses writes.
  const std::string seeds[] = {serialized(everyKind(), Format::Binary),
                               serialized(everyKind(), Format::Xml),
                               makeBinary({dict({1}, {2}), ascii("key"), refs(0xa0, {1, 1})})};
  int parsedCount = 0;
  for (const std::string& seed : seeds) {
    for (int i = 0; i < 1500; ++i) {
      std::string mutant = seed;
      int edits = 1 + static_cast<int>(random() % 4);
      for (int e = 0; e < edits; ++e) {
        size_t at = random() % mutant.size();
        switch (random() % 4) {
          case 0:
            mutant[at] = randomByte();
            break;
          case 1:
            mutant[at] = static_cast<char>(mutant[at] ^ (1 << (random() % 8)));
            break;
          case 2:
            mutant.erase(at, 1 + random() % 8);
            break;
          default:
            mutant.insert(at, 1, randomByte());
        }
        if (mutant.empty()) mutant = "x";
      }
      Error error;
      auto value = parse(mutant, &error);
      if (value) {
        ++parsedCount;
        EXPECT_TRUE(serialize(*value, Format::Binary).has_value());
      } else {
        EXPECT_EQ(error.code, kReadCorruptError);
      }
    }
  }
  EXPECT_GT(parsedCount, 0);
}

TEST(Plist, ReadsRealsTheSameInAnyLocale) {
  // libplist reads <real> with atof; parse() makes it use the C locale whatever the process's.
  const char* names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "ru_RU.UTF-8"};
  const char* previous = setlocale(LC_NUMERIC, nullptr);
  std::string saved = previous ? previous : "C";
  const char* chosen = nullptr;
  for (const char* name : names) {
    if (setlocale(LC_NUMERIC, name)) {
      chosen = name;
      break;
    }
  }
  Value value = Array{1.5, 0.25};
  std::string text = serialized(value, Format::Xml);
  Value back = parsed(text, Format::Xml);
  setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_NE(text.find("<real>1.5</real>"), std::string::npos);
  EXPECT_EQ(back, value);
  if (!chosen) std::cout << "note: no locale with a decimal comma is installed\n";
}

// ---------------------------------------------------------------------------------------------
// Interoperation with Python's plistlib in a real child process.

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "os-plist-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Runs `python3 script args...` in `dir`; returns its standard output, or fails the test.
std::string runPython(const TempDir& dir, const std::string& script,
                      const std::vector<std::string>& args) {
  writeFile(dir.path() / "script.py", script);
  std::string command = "cd '" + dir.path().string() + "' && python3 script.py";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " > out.txt 2> err.txt";
  int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << command << "\n" << readFile(dir.path() / "err.txt");
  return readFile(dir.path() / "out.txt");
}

// Python prints each value as [kind, payload]: the payload of a date is its ISO text with
// microseconds, of data its hex, of non-finite reals "nan"/"inf"/"-inf".
const char* kCanonicalPython = R"(
import datetime, json, math, plistlib, sys

def canon(v):
    if isinstance(v, bool): return ["bool", v]
    if isinstance(v, int): return ["int", v]
    if isinstance(v, float):
        if math.isnan(v): return ["real", "nan"]
        if math.isinf(v): return ["real", "inf" if v > 0 else "-inf"]
        return ["real", v]
    if isinstance(v, datetime.datetime): return ["date", v.strftime("%Y-%m-%dT%H:%M:%S.%f")]
    if isinstance(v, bytes): return ["data", v.hex()]
    if isinstance(v, str): return ["string", v]
    if isinstance(v, list): return ["array", [canon(x) for x in v]]
    if isinstance(v, dict): return ["dict", {k: canon(x) for k, x in v.items()}]
    return ["unknown", repr(v)]
)";

std::string isoWithMicroseconds(double secondsSince1970) {
  double whole = std::floor(secondsSince1970);
  long long micros = std::llround((secondsSince1970 - whole) * 1e6);
  std::time_t time = static_cast<std::time_t>(whole);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lld", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, micros);
  return text;
}

Value canonical(const Value& value) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (value.type()) {
    case Value::Type::Boolean:
      return Array{"bool", value};
    case Value::Type::Integer:
    case Value::Type::Unsigned:
      return Array{"int", value};
    case Value::Type::Real: {
      double real = *value.asReal();
      if (std::isnan(real)) return Array{"real", "nan"};
      if (std::isinf(real)) return Array{"real", real > 0 ? "inf" : "-inf"};
      return Array{"real", value};
    }
    case Value::Type::Date:
      return Array{"date", isoWithMicroseconds(value.asDate()->secondsSince1970)};
    case Value::Type::Data: {
      std::string hex;
      for (uint8_t byte : *value.asData()) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0xf];
      }
      return Array{"data", hex};
    }
    case Value::Type::String:
      return Array{"string", value};
    case Value::Type::Array: {
      Array items;
      for (const Value& item : *value.asArray()) items.push_back(canonical(item));
      return Array{"array", items};
    }
    case Value::Type::Dictionary: {
      Dictionary items;
      for (const auto& [key, item] : *value.asDictionary()) items[key] = canonical(item);
      return Array{"dict", items};
    }
    case Value::Type::Null:
      break;
  }
  return Array{"null"};
}

TEST(PlistInterop, PythonReadsWhatWeWrite) {
  TempDir dir;
  writeFile(dir.path() / "ours.bplist", serialized(everyKind(), Format::Binary));
  writeFile(dir.path() / "ours.xml", serialized(everyKind(), Format::Xml));
  std::string script = std::string(kCanonicalPython) + R"(
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        data = f.read()
    expected = plistlib.FMT_BINARY if path.endswith(".bplist") else plistlib.FMT_XML
    value = plistlib.loads(data, fmt=expected)
    print(json.dumps(canon(value), sort_keys=True))
)";
  std::string output = runPython(dir, script, {"ours.bplist", "ours.xml"});
  std::istringstream lines(output);
  std::string binaryLine, xmlLine;
  std::getline(lines, binaryLine);
  std::getline(lines, xmlLine);
  Error error;
  auto fromBinary = json::parse(binaryLine, &error);
  ASSERT_TRUE(fromBinary.has_value()) << error.description << "\n" << output;
  auto fromXml = json::parse(xmlLine, &error);
  ASSERT_TRUE(fromXml.has_value()) << error.description << "\n" << output;
  expectSameKinds(canonical(everyKind()), *fromBinary);
  expectSameKinds(canonical(everyKindAsXmlKeepsIt()), *fromXml);
}

TEST(PlistInterop, WeReadWhatPythonWrites) {
  TempDir dir;
  std::string script = R"(
import datetime, plistlib
value = {
    "true": True, "false": False, "int": 42, "negative": -7,
    "int64min": -2**63, "int64max": 2**63 - 1, "unsignedAbove": 2**63, "uint64max": 2**64 - 1,
    "real": 0.1, "realIntegral": 3.0, "realTiny": -2.5e-300, "realFloat": 0.5,
    "nan": float("nan"), "inf": float("inf"), "minusInf": float("-inf"),
    "date": datetime.datetime(2023, 11, 14, 22, 13, 20, 500000),
    "dateBefore1933": datetime.datetime(1899, 12, 31, 23, 59, 59, 750000),
    "dateAfter2069": datetime.datetime(3000, 1, 1),
    "epoch": datetime.datetime(1970, 1, 1),
    "data": bytes(range(256)), "emptyData": b"",
    "string": "h\u00e9llo w\u00f6rld \u2713 \U0001d11e \u65e5\u672c", "ascii": "plain",
    "emptyString": "", "markup": '<a href="x">&amp;</a> ]]>', "whitespace": " \t\n ",
    "array": [1, "two", [3.5, []]], "emptyArray": [],
    "dict": {"nested": {"x": 1}, "\u043a\u043b\u044e\u0447": "\u0437\u043d"}, "emptyDict": {},
}
with open("python.bplist", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
with open("python.xml", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_XML)
big = {"numbers": list(range(-100000, 110000, 3)), "shared": ["same"] * 1000}
with open("big.bplist", "wb") as f:
    plistlib.dump(big, f, fmt=plistlib.FMT_BINARY)
print("ok")
)";
  EXPECT_EQ(runPython(dir, script, {}), "ok\n");
  expectSameKinds(everyKind(), parsed(readFile(dir.path() / "python.bplist"), Format::Binary));
  expectSameKinds(everyKindAsXmlKeepsIt(),
                  parsed(readFile(dir.path() / "python.xml"), Format::Xml));
  Value big = parsed(readFile(dir.path() / "big.bplist"), Format::Binary);
  ASSERT_EQ(big["numbers"].count(), 70000u);
  EXPECT_EQ(big["numbers"][0], Value(-100000));
  EXPECT_EQ(big["numbers"][69999], Value(109997));
  EXPECT_EQ(big["shared"].count(), 1000u);
  EXPECT_EQ(big["shared"][999], Value("same"));
}

}  // namespace
}  // namespace os::plist
