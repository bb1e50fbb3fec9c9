#include "support/string_extensions.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "os/bundle/bundle.h"
#include "os/value/exception.h"
#include "os/value/plist.h"
#include "testsupport/external_tool.h"
#include "testsupport/sandbox.h"

namespace ExtendTool {
namespace {

os::Data bytesOf(std::string_view text) { return os::Data(text.begin(), text.end()); }

TEST(StringExtensions, StringFromBase64String) {
  struct Case {
    std::string_view base64;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {"aHR0cHM6Ly9leGFtcGxlLmNvbS9maWxlLnppcA==", "https://example.com/file.zip"},
      {"aHR0cHM6Ly9leGFtcGxlLmNvbS9maWxlLnppcA", "https://example.com/file.zip"},
      {"w6l0w6k=", "\xC3\xA9t\xC3\xA9"},               // été
      {"", ""},                                        // empty text, not nothing
      {"/w==", std::nullopt},                          // 0xFF is not UTF-8
      {"https://example.com/file.zip", std::nullopt},  // not base64: its letters decode to junk
  };
  for (const Case& c : cases) EXPECT_EQ(stringFromBase64String(c.base64), c.text) << c.base64;
}

TEST(StringExtensions, Base64StringOfUtf8Bytes) {
  EXPECT_EQ(base64String("\xC3\xA9t\xC3\xA9"), "w6l0w6k=");
  EXPECT_EQ(base64String(""), "");
}

TEST(StringExtensions, ContainmentAndPrefix) {
  using os::text::kCaseInsensitive;
  using os::text::kNoOptions;
  struct Case {
    std::string_view text;
    std::string_view needle;
    os::text::CompareOptions options;
    bool contains;
    bool startsWith;
  };
  const Case cases[] = {
      {"Brevalo Installer", "Installer", kNoOptions, true, false},
      {"Brevalo Installer", "Brevalo", kNoOptions, true, true},
      {"Brevalo Installer", "installer", kNoOptions, false, false},
      {"Brevalo Installer", "brevalo", kCaseInsensitive, true, true},
      {"abcabc", "abc", kNoOptions, true, true},
      {"xabc", "abc", kNoOptions, true, false},  // the prefix only later
      {"abc", "", kNoOptions, false, false},     // the empty needle is never found
      {"", "", kNoOptions, false, false},
      {"caf\xC3\xA9", "cafe\xCC\x81", kNoOptions, true, true},  // canonically equivalent
      {"caf\xC3\xA9", "cafe", kNoOptions, false, false},        // a match never splits é
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + std::string(c.needle));
    EXPECT_EQ(containsString(c.text, c.needle, c.options), c.contains);
    EXPECT_EQ(startWithString(c.text, c.needle, c.options), c.startsWith);
    if (c.options == kNoOptions) {
      EXPECT_EQ(containsString(c.text, c.needle), c.contains);
      EXPECT_EQ(contains(c.text, c.needle), c.contains);
      EXPECT_EQ(startWithString(c.text, c.needle), c.startsWith);
    }
  }
}

TEST(StringExtensions, ParentDirectory) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a"}, {"name", "name"}, {"/", "/"},       {"", ""},
      {"/a", "/"},    {"a/b", "a"},    {"a/", ""},       {"//a//b", "/a"}, {"/a/b/c.txt", "/a/b"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(getParentDirectory(path), parent) << path;
}

TEST(StringExtensions, TypeOfPathAndAliases) {
  testsupport::Sandbox sandbox;
  const std::filesystem::path root = sandbox.root();
  std::ofstream(root / "file") << "x";
  std::filesystem::create_directory(root / "folder");
  std::filesystem::create_directory_symlink(root / "folder", root / "link");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (root / "sock").string();
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  struct Case {
    std::string path;
    uint32_t type;
    bool alias;
  };
  const Case cases[] = {
      {(root / "file").string(), kPathTypeRegular, false},
      {(root / "folder").string(), kPathTypeDirectory, false},
      {(root / "link").string(), kPathTypeLink, true},  // the link itself, not its folder
      {(root / "pipe").string(), kPathTypeFifo, false},
      {socketPath, kPathTypeSocket, false},
      {"/dev/null", kPathTypeCharDevice, false},
      {(root / "missing").string(), kPathTypeUnknown, false},
      {"", kPathTypeUnknown, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(typeOfPath(c.path), c.type) << c.path;
    EXPECT_EQ(isAlias(c.path), c.alias) << c.path;
  }
  ::close(listener);
  // The codes spell their names from the most significant byte down.
  EXPECT_EQ(kPathTypeRegular, uint32_t{'r'} << 24 | uint32_t{'e'} << 16 | uint32_t{'g'} << 8 | 'u');
  EXPECT_EQ(kPathTypeUnknown, uint32_t{'u'} << 24 | uint32_t{'n'} << 16 | uint32_t{'k'} << 8 | 'n');
}

TEST(StringExtensions, AppSupportPathOfTheMainBundle) {
  testsupport::Sandbox sandbox;
  const std::filesystem::path bundle = sandbox.root() / "Installer.app";
  std::filesystem::create_directories(bundle / "Contents");
  const os::Value info =
      os::Dictionary{{"CFBundleIdentifier", "com.example.installer"}, {"CFBundleName", "Brevalo"}};
  std::ofstream(bundle / "Contents/Info.plist")
      << *os::plist::serialize(info, os::plist::Format::Xml);
  sandbox.setEnv("TESSARO_MAIN_BUNDLE", bundle.string());
  os::Bundle::resetMainForTesting();

  const std::filesystem::path expected =
      sandbox.home() / ".local/share/com.example.installer/Brevalo";
  EXPECT_EQ(getAppSupportPath(), expected.string());
  EXPECT_TRUE(std::filesystem::is_directory(expected));
  EXPECT_EQ(getAppSupportPath(), expected.string()) << "an existing folder is fine";

  // A folder that cannot be made: the path all the same.
  std::filesystem::remove_all(sandbox.home() / ".local");
  std::ofstream(sandbox.home() / ".local") << "a file in the way";
  EXPECT_EQ(getAppSupportPath(), expected.string());
  EXPECT_FALSE(std::filesystem::exists(expected));
  os::Bundle::resetMainForTesting();
}

TEST(StringExtensions, NilOrEmptyAndGuids) {
  EXPECT_TRUE(isNilOrEmpty(std::nullopt));
  EXPECT_TRUE(isNilOrEmpty(""));
  EXPECT_FALSE(isNilOrEmpty(" "));

  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    std::string guid = generateGUID();
    ASSERT_EQ(guid.size(), 36u);
    for (size_t dash : {8, 13, 18, 23}) EXPECT_EQ(guid[dash], '-') << guid;
    EXPECT_EQ(guid.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 20u);
}

TEST(StringExtensions, HexToBytes) {
  const std::pair<std::string_view, os::Data> cases[] = {
      {"0aFF", {0x0A, 0xFF}},
      {"abc", {0xAB}},  // the unpaired last character is ignored
      {"a", {}},
      {"", {}},
      {"1z", {0x01}},  // a pair read as far as it is hexadecimal
      {"zz", {0x00}},
      {"\xC3\xA9\xC3\xA9"
       "AB",
       {0x00, 0xAB}},  // pairs of characters, not of bytes: "éé" "AB"
  };
  for (const auto& [hex, bytes] : cases) EXPECT_EQ(hexToBytes(hex), bytes) << hex;
}

TEST(StringExtensions, BytesToHex) {
  const uint8_t bytes[] = {0x00, 0xAB, 0x0F};
  EXPECT_EQ(bytesToHex(bytes, 3), "00AB0F");
  EXPECT_EQ(bytesToHex(bytes, 1), "00");
  EXPECT_EQ(bytesToHex(bytes, 0), "");
  EXPECT_EQ(bytesToHex(bytes, -1), "");
  EXPECT_EQ(bytesToHex(nullptr, 3), "");
  EXPECT_EQ(dataToHex(os::Data{0xFE, 0x01}), "FE01");
}

TEST(StringExtensions, IntegersAsHexAndBinary) {
  const std::pair<int32_t, std::string_view> hex[] = {
      {0, "0"},         {9, "9"},
      {10, "A"},        {16, "10"},
      {255, "FF"},      {0x7FFFFFFF, "7FFFFFFF"},
      {-1, "FFFFFFFF"}, {INT32_MIN, "80000000"},
  };
  for (const auto& [value, text] : hex) EXPECT_EQ(intToHex(value), text) << value;

  struct Binary {
    int32_t value;
    int backLength;
    std::string_view text;
  };
  const Binary binary[] = {
      {5, 8, "00000101"}, {0, 3, "000"},
      {0, 0, ""},         {5, 0, "101"},
      {1, 1, "1"},        {255, 4, "11111111"},  // longer than asked: not cut
      {6, -2, "110"},     {-1, 0, std::string_view("11111111111111111111111111111111")},
  };
  for (const Binary& b : binary) {
    EXPECT_EQ(decimalTOBinary(b.value, b.backLength), b.text) << b.value << "/" << b.backLength;
  }

  const std::pair<std::string_view, std::optional<std::string>> digits[] = {
      {"0F", "00001111"}, {"a1", "10100001"}, {"", ""}, {"G", std::nullopt}, {"1 2", std::nullopt},
  };
  for (const auto& [text, bits] : digits) EXPECT_EQ(getBinaryByhex(text), bits) << text;
}

TEST(StringExtensions, StringOfIndexTakesWholeCharacters) {
  // a, 😀 (two UTF-16 units), e + combining acute (two units, one character), b.
  const std::string text =
      "a\xF0\x9F\x98\x80"
      "e\xCC\x81"
      "b";
  const std::pair<size_t, std::string_view> cases[] = {
      {0, "a"},  {1, "\xF0\x9F\x98\x80"}, {2, ""}, {3, "e\xCC\x81"}, {4, ""}, {5, "b"}, {6, ""},
      {100, ""},
  };
  for (const auto& [index, character] : cases) {
    EXPECT_EQ(stringOfIndex(text, index), character) << index;
  }
  EXPECT_EQ(stringOfIndex("", 0), "");
}

TEST(StringExtensions, ToDataByEncoding) {
  const std::string e = "\xC3\xA9";              // é, U+00E9
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  struct Case {
    std::string text;
    StringEncoding encoding;
    std::optional<os::Data> bytes;
  };
  const Case cases[] = {
      {"a" + e, StringEncoding::kUTF8, os::Data{'a', 0xC3, 0xA9}},
      {"ab", StringEncoding::kASCII, os::Data{'a', 'b'}},
      {"a" + e, StringEncoding::kASCII, std::nullopt},
      {"a" + e, StringEncoding::kISOLatin1, os::Data{'a', 0xE9}},
      {"\xE2\x82\xAC", StringEncoding::kISOLatin1, std::nullopt},  // €
      {"a" + e, StringEncoding::kUTF16, os::Data{0xFF, 0xFE, 'a', 0, 0xE9, 0}},
      {"a" + emoji, StringEncoding::kUTF16BigEndian, os::Data{0, 'a', 0xD8, 0x3D, 0xDE, 0x00}},
      {"a" + emoji, StringEncoding::kUTF16LittleEndian, os::Data{'a', 0, 0x3D, 0xD8, 0x00, 0xDE}},
      {emoji, StringEncoding::kUTF32, os::Data{0xFF, 0xFE, 0, 0, 0x00, 0xF6, 0x01, 0x00}},
      {"a" + emoji, StringEncoding::kUTF32BigEndian,
       os::Data{0, 0, 0, 'a', 0x00, 0x01, 0xF6, 0x00}},
      {"a", StringEncoding::kUTF32LittleEndian, os::Data{'a', 0, 0, 0}},
      {"", StringEncoding::kUTF16BigEndian, os::Data{}},
      {"a", StringEncoding(12345), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toDataByEncoding(c.text, c.encoding), c.bytes)
        << c.text << " in " << uint64_t(c.encoding);
  }
}

TEST(StringExtensions, JsonValueAndJsonString) {
  EXPECT_EQ(jsonValue(R"({"a":[1,"x"]})"), os::Value(os::Dictionary{{"a", os::Array{1, "x"}}}));
  EXPECT_EQ(jsonValue("[1, 2"), std::nullopt);
  EXPECT_EQ(jsonValue("3"), std::nullopt) << "a top-level scalar is no JSON value here";

  EXPECT_EQ(jsonString(os::Dictionary{{"b", 1}, {"a", "x/y"}}), bytesOf(R"({"a":"x\/y","b":1})"));
  EXPECT_EQ(jsonString(os::Array{}), bytesOf("[]"));
  EXPECT_EQ(jsonString("text"), std::nullopt);
  EXPECT_EQ(jsonString(os::Array{os::Data{1}}), std::nullopt);
}

TEST(StringExtensions, NumericComparison) {
  struct Case {
    std::string_view text;
    std::string_view other;
    bool greater, greaterOrEqual, less, lessOrEqual;
  };
  const Case cases[] = {
      {"1.10", "1.9", true, true, false, false},
      {"file9", "file10", false, false, true, true},
      {"2.0", "2.0", false, true, false, true},
      {"01", "1", false, true, false, true},  // the same number
      {"b", "a", true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " vs " + std::string(c.other));
    EXPECT_EQ(isGreaterThan(c.text, c.other), c.greater);
    EXPECT_EQ(isGreaterThanOrEqual(c.text, c.other), c.greaterOrEqual);
    EXPECT_EQ(isMajorEqual(c.text, c.other), c.greaterOrEqual);
    EXPECT_EQ(isLessThan(c.text, c.other), c.less);
    EXPECT_EQ(isLessThanOrEqual(c.text, c.other), c.lessOrEqual);
  }
}

TEST(StringExtensions, RangeOfStringAtOccurrence) {
  struct Case {
    std::string_view text;
    std::string_view needle;
    int64_t occurrence;
    os::text::Range range;
  };
  const std::string emojiText =
      "\xF0\x9F\x98\x80"
      "a"
      "\xF0\x9F\x98\x80"
      "a";
  const Case cases[] = {
      {"banana", "a", 1, {1, 1}},
      {"banana", "a", 2, {3, 1}},
      {"banana", "a", 3, {5, 1}},
      {"banana", "a", 4, os::text::kNotFoundRange},
      {"banana", "a", 0, os::text::kNotFoundRange},
      {"banana", "a", -2, os::text::kNotFoundRange},
      {"aaaa", "aa", 2, {2, 2}},  // occurrences do not overlap
      {"aaaa", "aa", 3, os::text::kNotFoundRange},
      {"banana", "x", 1, os::text::kNotFoundRange},
      {"banana", "", 1, os::text::kNotFoundRange},
      {emojiText, "a", 2, {5, 1}},                                // counted in UTF-16 units
      {"caf\xC3\xA9", "e\xCC\x81", 1, os::text::kNotFoundRange},  // literal: é is not e + accent
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rangeOfString(c.text, c.needle, c.occurrence), c.range)
        << c.text << " / " << c.needle << " #" << c.occurrence;
  }
}

TEST(StringExtensions, DigestsOfTheWholeUtf8Text) {
  struct Case {
    std::string_view text;
    std::string_view sha1;
    std::string_view md5;
  };
  const Case cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d", "900150983cd24fb0d6963f7d28e17f72"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709", "d41d8cd98f00b204e9800998ecf8427e"},
      // Outside ASCII: each text has its own digest (none collapses to the empty one).
      {"\xC3\xA9", "bf15be717ac1b080b4f1c456692825891ff5073d", "66ddcd97cfdeabb2f6fb8a999b4bc76f"},
      {"\xC3\xBC", "94a759fd37735430753c7b6b80684306d80ea16e", "c03410a5204b21cd8229ff754688d743"},
      // A zero byte does not end the input.
      {std::string_view("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8",
       "70350f6027bce3713f6b76473084309b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sha1);
    EXPECT_EQ(sha1HexString(c.text), c.sha1);
    EXPECT_EQ(dataToHex(sha1(c.text)), os::text::uppercase(c.sha1));
    EXPECT_EQ(md5HexString(c.text), c.md5);
    EXPECT_EQ(MD5FromData(bytesOf(c.text)), c.md5);
    // The old names answer as their twins.
    EXPECT_EQ(md5(c.text), c.sha1);
    EXPECT_EQ(sha1Hex(c.text), c.md5);
  }
}

TEST(StringExtensions, TextEncryptionMatchesOpensslAndRoundTrips) {
  testsupport::ExternalTool tool;
  const std::string text = "Brevalo \xC3\xA9t\xC3\xA9 download";
  // The key "key" as the cipher uses it: its bytes, zero-filled to 32.
  const std::string command = "openssl enc -aes-256-cbc -a -A -K 6B6579" + std::string(58, '0') +
                              " -iv " + std::string(32, '0') + " -in {in} -out {out}";
  std::optional<std::string> sealed = AES256EncryptWithKey(text, "key");
  ASSERT_TRUE(sealed);
  EXPECT_EQ(*sealed, tool.runText(command, text));
  EXPECT_EQ(AES256DecryptWithKey(*sealed, "key"), text);

  EXPECT_EQ(AES256EncryptWithKey("", "key"), "64EyU5Tv5aY1TB9sEUOtcg==");
  EXPECT_EQ(AES256DecryptWithKey("64EyU5Tv5aY1TB9sEUOtcg==", "key"), "");
}

TEST(StringExtensions, TextDecryptionFailures) {
  const std::string sealed = *AES256EncryptWithKey("secret", "key");
  EXPECT_EQ(AES256DecryptWithKey(sealed, "other key"), std::nullopt);
  EXPECT_EQ(AES256DecryptWithKey("", "key"), std::nullopt);
  EXPECT_EQ(AES256DecryptWithKey("not base64 at all!", "key"), std::nullopt);
  // Bytes that decrypt well but are not UTF-8.
  const std::string notText = base64Encoding(*AES256EncryptWithKey(os::Data{0xFF, 0xFE}, "key"));
  EXPECT_EQ(AES256DecryptWithKey(notText, "key"), std::nullopt);
}

TEST(StringExtensions, CheckNotNullRaisesNullPointer) {
  int object = 0;
  EXPECT_NO_THROW(checkNotNull(&object, "object"));
  try {
    checkNotNull(nullptr, "delegate");
    FAIL() << "nothing raised";
  } catch (const os::Exception& exception) {
    EXPECT_EQ(exception.name(), "NullPointer");
    EXPECT_EQ(exception.reason(), "delegate");
  }
}

}  // namespace
}  // namespace ExtendTool
