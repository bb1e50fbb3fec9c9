// Sandbox gives a test a fresh temporary folder as HOME, clears the XDG_* variables, and puts
// the system root (TESSARO_SYSTEM_ROOT) and the temporary folder (TMPDIR) inside it, so that
// nothing the test does reaches the real home folder, /Applications, the desktop or /tmp. Every
// connection to a standard HTTP or HTTPS port (any real service) goes to a closed port on this
// machine unless the test points that host elsewhere through TESSARO_CONNECT_TO, which setEnv
// extends with that catch-all.
// Everything is restored and removed on destruction.
//
//   TEST(Tracker, WritesTrackingFile) {
//     testsupport::Sandbox sandbox;
//     ... code under test resolves its folders from the environment ...
//     EXPECT_TRUE(std::filesystem::exists(sandbox.home() / ".local/share/..."));
//   }
//
// The environment is process-wide: tests that use a Sandbox must not run code on other threads
// that reads these variables while the sandbox is created or destroyed.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The temporary folder that holds everything.
  const std::filesystem::path& root() const { return root_; }
  // HOME during the sandbox's life: root()/home, created.
  std::filesystem::path home() const { return root_ / "home"; }
  // TESSARO_SYSTEM_ROOT during the sandbox's life: root()/system, created.
  std::filesystem::path systemRoot() const { return root_ / "system"; }
  // TMPDIR during the sandbox's life: root()/tmp, created.
  std::filesystem::path temporary() const { return root_ / "tmp"; }

  // Sets an environment variable for the sandbox's life; the previous value comes back after.
  void setEnv(const std::string& name, const std::optional<std::string>& value);

 private:
  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testsupport
