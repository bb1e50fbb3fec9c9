// Programs that tests start, without a shell. A child inherits the environment (a Sandbox's),
// reads its standard input from /dev/null, and writes to the test's own standard output and
// error unless the test takes them.
//
//   testsupport::ChildRun run = testsupport::runChild({program, "--flag"});
//   EXPECT_TRUE(run.succeeded()) << run.output;
//
//   testsupport::Child server({serverProgram}, testsupport::ChildOutput::StandardOutput);
//   std::optional<std::string> first = server.readLine();
//   server.signal(SIGTERM);
//   EXPECT_TRUE(server.wait().succeeded());
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Which of the child's streams the test takes.
enum class ChildOutput { None, StandardOutput, StandardError, Both };

// How a child ended.
struct ChildRun {
  bool started = false;
  int waitStatus = 0;  // as waitpid() reports it
  // The most memory the child (not its own children) ever held resident.
  size_t peakResidentBytes = 0;
  // What wait() read of the taken streams (what readLine() and readSome() took is not here).
  std::string output;

  // The exit status, or -1 when the child did not exit by itself.
  int exitCode() const;
  // The signal that ended the child, or 0.
  int signal() const;
  // Started, and exited with status 0.
  bool succeeded() const { return exitCode() == 0; }
};

// A child running beside the test. Not thread-safe, except that one thread may read its output
// with readSome() while another signals it and waits for it with wait(false).
class Child {
 public:
  // Starts `command` (the first word is looked up on PATH when it has no slash). A child that
  // cannot be started reports started() false and ends as not started.
  explicit Child(const std::vector<std::string>& command, ChildOutput taken = ChildOutput::None);
  // A child not waited for is killed (SIGKILL) and collected.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Appends what the taken streams have next to `output`, waiting for it; 0 once the child has
  // closed them (or nothing is taken), -1 after a read error.
  ssize_t readSome(std::string& output);
  // The next line of the taken streams, without its line break; nullopt at their end.
  std::optional<std::string> readLine();

  void signal(int number);
  // Waits for the child to end and collects it. With `readRest`, the rest of the taken streams
  // is read to their end first and becomes the run's output; without, they are left to the
  // thread that reads them with readSome().
  ChildRun wait(bool readRest = true);
  // Collects the child if it has ended, without waiting (its output is left unread).
  std::optional<ChildRun> waitIfEnded();

 private:
  pid_t pid_ = 0;
  int output_ = -1;      // the read end of the taken streams
  std::string pending_;  // read past the last line readLine() returned
  std::optional<ChildRun> ended_;
};

// Runs `command` to its end.
ChildRun runChild(const std::vector<std::string>& command,
                  ChildOutput taken = ChildOutput::StandardOutput);

// The "name=value" lines of a child's output by name; a later line of the same name wins, and
// other lines are skipped.
std::map<std::string, std::string> nameValueLines(const std::string& output);

// The first `count` lines a stand-in server prints as it starts ("name=value" or "name value"),
// by name; fewer when the child stops printing first.
std::map<std::string, std::string> readSettingLines(Child& child, int count);

}  // namespace testsupport
