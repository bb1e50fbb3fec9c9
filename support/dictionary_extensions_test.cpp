#include "support/dictionary_extensions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/value/json.h"
#include "os/value/plist.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

using ::testing::HasSubstr;

// Debian's own interpreter: a version manager's shim on PATH may depend on the real HOME,
// which the sandbox replaces.
constexpr const char* kPython = "/usr/bin/python3";

// What Python's plistlib reads from `plist`, as canonical JSON (data and dates tagged).
std::string loadedByPlistlib(const testsupport::Sandbox& sandbox, const os::Data& plist) {
  const auto input = sandbox.root() / "written.plist";
  const auto output = sandbox.root() / "loaded.json";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(plist.data()),
             static_cast<std::streamsize>(plist.size()));
  const std::string script =
      "import plistlib, sys, json, datetime\n"
      "def plain(v):\n"
      "    if isinstance(v, bytes): return 'data:' + v.hex()\n"
      "    if isinstance(v, datetime.datetime): return 'date:' + v.isoformat()\n"
      "    if isinstance(v, dict): return {k: plain(x) for k, x in v.items()}\n"
      "    if isinstance(v, list): return [plain(x) for x in v]\n"
      "    return v\n"
      "with open(sys.argv[1], 'rb') as f: value = plistlib.load(f)\n"
      "print(json.dumps(plain(value), sort_keys=True, ensure_ascii=False))\n";
  const std::string command =
      std::string(kPython) + " -c \"$SCRIPT\" " + input.string() + " > " + output.string();
  setenv("SCRIPT", script.c_str(), 1);
  const int status = std::system(command.c_str());
  unsetenv("SCRIPT");
  EXPECT_EQ(status, 0);
  return testsupport::readFile(output);
}

os::Dictionary sample() {
  return os::Dictionary{
      {"name", "Brevalo ✓"},
      {"count", 7},
      {"ratio", 2.5},
      {"enabled", true},
      {"bytes", os::Data{0x00, 0xff, 0x10}},
      {"installed", os::Date{978307200 + 86400}},
      {"nested", os::Dictionary{{"list", os::Array{1, "two", false}}}},
  };
}

TEST(DictionaryExtensionsTest, XmlPropertyListsLoadInPythonPlistlib) {
  if (access(kPython, X_OK) != 0) GTEST_SKIP() << kPython << " is not installed";
  testsupport::Sandbox sandbox;
  std::optional<os::Data> plist = ExtendTool::dictionaryToData(sample());
  ASSERT_TRUE(plist);
  EXPECT_THAT(std::string(plist->begin(), plist->end()), HasSubstr("<?xml"));
  EXPECT_EQ(loadedByPlistlib(sandbox, *plist),
            R"({"bytes": "data:00ff10", "count": 7, "enabled": true, )"
            R"("installed": "date:2001-01-02T00:00:00", "name": "Brevalo ✓", )"
            R"("nested": {"list": [1, "two", false]}, "ratio": 2.5})"
            "\n");
  EXPECT_EQ(ExtendTool::mutableDictionaryToData(sample()), plist);
}

TEST(DictionaryExtensionsTest, PropertyListRoundTripsAndRefusesNull) {
  std::optional<os::Data> plist = ExtendTool::dictionaryToData(sample());
  ASSERT_TRUE(plist);
  EXPECT_EQ(os::plist::parse(std::string(plist->begin(), plist->end())), os::Value(sample()));

  os::Error error;
  EXPECT_FALSE(ExtendTool::dictionaryToData({{"gap", nullptr}}, &error));
  EXPECT_EQ(error.code, os::plist::kWriteInvalidError);
  EXPECT_FALSE(ExtendTool::mutableDictionaryToData({{"gap", nullptr}}));
}

TEST(DictionaryExtensionsTest, ToJsonIsPrettyAndOnlyForJsonValues) {
  const os::Dictionary document{{"a", 1}, {"b", os::Array{true, "x/y"}}};
  std::optional<std::string> json = ExtendTool::toJson(document);
  ASSERT_TRUE(json);
  EXPECT_THAT(*json, HasSubstr("\n  \"a\": 1"));
  EXPECT_EQ(os::json::parse(*json), os::Value(document));

  EXPECT_FALSE(ExtendTool::toJson({{"when", os::Date{0}}}));
  EXPECT_FALSE(ExtendTool::toJson({{"bytes", os::Data{1}}}));
  EXPECT_EQ(ExtendTool::toJson({}), "{}");
}

TEST(DictionaryExtensionsTest, MutableDeepCopySharesNothing) {
  const os::Dictionary source = sample();
  os::Dictionary copy = ExtendTool::mutableDeepCopy(source);
  EXPECT_EQ(copy, source);
  copy["nested"].asDictionary()->at("list").asArray()->push_back("more");
  (*copy["nested"].asDictionary())["added"] = 1;
  EXPECT_EQ(source.at("nested")["list"].count(), 3u);
  EXPECT_TRUE(source.at("nested")["added"].isNull());
}

}  // namespace
