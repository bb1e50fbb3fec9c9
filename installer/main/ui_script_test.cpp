#include "installer/main/ui_script.h"

#include <gtest/gtest.h>

namespace {

using Kind = UiScript::Action::Kind;

TEST(UiScriptTest, ParsesEveryActionAndSkipsBlankAndCommentLines) {
  os::Error error;
  auto actions = UiScript::parse(
      "# the first screen\n"
      "wait install\n"
      "\n"
      "wait try-again 2.5\n"
      "  click install  \n"
      "snapshot /tmp/shots/first screen.png\n"
      "sleep 0.25\n",
      &error);
  ASSERT_TRUE(actions) << error.description;
  ASSERT_EQ(actions->size(), 5u);
  const std::vector<std::tuple<Kind, std::string, double, int>> expected = {
      {Kind::Wait, "install", UiScript::kDefaultWaitSeconds, 2},
      {Kind::Wait, "try-again", 2.5, 4},
      {Kind::Click, "install", 0, 5},
      {Kind::Snapshot, "/tmp/shots/first screen.png", 0, 6},
      {Kind::Sleep, "", 0.25, 7}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& [kind, argument, seconds, line] = expected[i];
    EXPECT_EQ((*actions)[i].kind, kind) << i;
    EXPECT_EQ((*actions)[i].argument, argument) << i;
    EXPECT_DOUBLE_EQ((*actions)[i].seconds, seconds) << i;
    EXPECT_EQ((*actions)[i].line, line) << i;
  }
}

TEST(UiScriptTest, RejectsBadLinesNamingTheLine) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"tap install\n", 1},
      {"wait\n", 1},
      {"wait install soon\n", 1},
      {"wait install -1\n", 1},
      {"wait install 1 2\n", 1},
      {"click install now\n", 1},
      {"click\n", 1},
      {"sleep\n", 1},
      {"sleep 1x\n", 1},
      {"sleep 1 2\n", 1},
      {"wait install\nsnapshot\n", 2},
  };
  for (const auto& [text, line] : cases) {
    os::Error error;
    EXPECT_FALSE(UiScript::parse(text, &error)) << text;
    EXPECT_EQ(error.code, line) << text;
    EXPECT_NE(error.description.find("line " + std::to_string(line)), std::string::npos) << text;
  }
}

}  // namespace
