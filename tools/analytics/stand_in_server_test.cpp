#include "tools/analytics/stand_in_server.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

using tools::Cut;
using tools::ReplyBody;
using tools::ScriptedFault;

bool sameFault(const ScriptedFault& a, const ScriptedFault& b) {
  return a.status == b.status && a.delay == b.delay && a.hold == b.hold && a.cut == b.cut &&
         a.body == b.body && a.contentEncoding == b.contentEncoding;
}

TEST(ScriptedFault, ParsesFaultWordsAndRefusesTheRest) {
  struct Case {
    const char* words;
    bool replyBodies;
    std::optional<ScriptedFault> fault;
  };
  const Case cases[] = {
      {"", false, ScriptedFault{}},
      {"status=503", false, ScriptedFault{.status = 503}},
      {" delay-ms=250  hold ", false,
       ScriptedFault{.delay = std::chrono::milliseconds(250), .hold = true}},
      {"status=500 cut=response", false, ScriptedFault{.status = 500, .cut = Cut::MidResponse}},
      {"cut=request", false, ScriptedFault{.cut = Cut::AfterRequest}},
      {"body=bomb content-encoding", true,
       ScriptedFault{.body = ReplyBody::GzipBomb, .contentEncoding = true}},
      {"body=not-gzip", true, ScriptedFault{.body = ReplyBody::NotGzip}},
      {"body=garbage", true, ScriptedFault{.body = ReplyBody::GzipOfGarbage}},
      {"body=bomb", false, std::nullopt},  // not a fault of this server
      {"content-encoding", false, std::nullopt},
      {"status=5x", false, std::nullopt},
      {"status=99", false, std::nullopt},
      {"status=", false, std::nullopt},
      {"delay-ms=-1", false, std::nullopt},
      {"cut=sideways", false, std::nullopt},
      {"body=zip", true, std::nullopt},
      {"hold=1", false, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string problem;
    std::optional<ScriptedFault> parsed = tools::parseFault(c.words, c.replyBodies, &problem);
    ASSERT_EQ(parsed.has_value(), c.fault.has_value()) << c.words;
    if (parsed) {
      EXPECT_TRUE(sameFault(*parsed, *c.fault)) << c.words;
    } else {
      EXPECT_NE(problem.find("unknown fault"), std::string::npos) << c.words << ": " << problem;
    }
  }
}

TEST(StandInServer, CommandsQueueFaultsPerEndpointAndAnswerEachLine) {
  tools::StandInServer stand(
      {.hostNames = {"a.tessaro.example", "b.tessaro.example"}, .endpoints = {"upload", "config"}});
  const int port = stand.http().port();
  EXPECT_EQ(stand.connectTo(), "a.tessaro.example:443:127.0.0.1:" + std::to_string(port) +
                                   ",b.tessaro.example:443:127.0.0.1:" + std::to_string(port));

  // The commands as a binary reads them from its standard input.
  const std::string script =
      "upload status=503\n"
      "\n"
      "# a comment\n"
      "config status=304 delay-ms=1\r\n"
      "upload status=429\n"
      "experiments status=500\n"
      "upload explode\n"
      "release\n";
  FILE* input = fmemopen(const_cast<char*>(script.data()), script.size(), "r");
  char* written = nullptr;
  size_t writtenSize = 0;
  FILE* output = open_memstream(&written, &writtenSize);
  tools::runCommands(input, output, [&](std::string_view command, std::string* problem) {
    return stand.applyCommand(command, problem);
  });
  std::fclose(input);
  std::fclose(output);
  EXPECT_EQ(std::string(written, writtenSize),
            "ok\nok\nok\n"
            "error: unknown command \"experiments status=500\"\n"
            "error: unknown fault \"explode\"\n"
            "ok\n");
  std::free(written);

  EXPECT_EQ(stand.takeFault("upload").status, 503);
  EXPECT_EQ(stand.takeFault("upload").status, 429);
  EXPECT_EQ(stand.takeFault("upload").status, 0);
  const ScriptedFault config = stand.takeFault("config");
  EXPECT_EQ(config.status, 304);
  EXPECT_EQ(config.delay, std::chrono::milliseconds(1));
}

}  // namespace
