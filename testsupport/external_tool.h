// For tests only: runs a reference command-line tool (coreutils `base64`, `openssl`, `python3`)
// on files in a throw-away folder, so that our results can be compared with the tool's.
//
//   testsupport::ExternalTool tool;
//   os::Data expected = tool.run("base64 -w0 {in} > {out}", input);
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <string_view>

#include "os/value/value.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace testsupport {

class ExternalTool {
 public:
  // Writes `input` to a file, runs `command` through the shell with "{in}" and "{out}" replaced
  // by the quoted paths of the input and output files, and returns the output file's bytes.
  // A command that fails is a test failure (its standard error is shown).
  os::Data run(std::string command, std::span<const uint8_t> input) {
    const std::filesystem::path in = sandbox_.root() / "in.bin";
    const std::filesystem::path out = sandbox_.root() / "out.bin";
    const std::filesystem::path messages = sandbox_.root() / "stderr.txt";
    std::filesystem::remove(out);
    {
      std::ofstream file(in, std::ios::binary);
      file.write(reinterpret_cast<const char*>(input.data()),
                 static_cast<std::streamsize>(input.size()));
    }
    replaceAll(command, "{in}", "'" + in.string() + "'");
    replaceAll(command, "{out}", "'" + out.string() + "'");
    const std::string shellCommand = "(" + command + ") 2>'" + messages.string() + "'";
    if (std::system(shellCommand.c_str()) != 0) {
      ADD_FAILURE() << command << " failed: " << readFile(messages);
      return {};
    }
    std::string bytes = readFile(out);
    return os::Data(bytes.begin(), bytes.end());
  }

  // run() for a text input and a text result.
  std::string runText(std::string command, std::string_view input) {
    os::Data output =
        run(std::move(command), {reinterpret_cast<const uint8_t*>(input.data()), input.size()});
    return std::string(output.begin(), output.end());
  }

 private:
  static void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }

  Sandbox sandbox_;
};

}  // namespace testsupport
