#include "testsupport/sandbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace testsupport {
namespace {

std::optional<std::string> env(const char* name) {
  const char* value = getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(Sandbox, RedirectsHomeAndSystemRootThenRestoresAndRemovesEverything) {
  // Known values beforehand, so that restoring is observable whatever the caller's environment.
  setenv("XDG_CONFIG_HOME", "/outside/config", 1);
  unsetenv("TESSARO_SYSTEM_ROOT");
  std::optional<std::string> home = env("HOME");
  std::filesystem::path root;
  {
    Sandbox sandbox;
    root = sandbox.root();
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.home()));
    EXPECT_TRUE(std::filesystem::is_directory(sandbox.systemRoot()));
    EXPECT_EQ(env("HOME"), sandbox.home().string());
    EXPECT_EQ(env("TESSARO_SYSTEM_ROOT"), sandbox.systemRoot().string());
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_DESKTOP_DIR"}) {
      EXPECT_EQ(env(name), std::nullopt) << name;
    }
    sandbox.setEnv("TESSARO_SANDBOX_TEST", "set");
    EXPECT_EQ(env("TESSARO_SANDBOX_TEST"), "set");

    // A read-only folder with a file in it is still removed at the end.
    std::filesystem::path locked = sandbox.home() / "locked";
    std::filesystem::create_directories(locked);
    std::ofstream(locked / "file") << "data";
    std::filesystem::permissions(
        locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  }
  EXPECT_FALSE(std::filesystem::exists(root));
  EXPECT_EQ(env("HOME"), home);
  EXPECT_EQ(env("XDG_CONFIG_HOME"), "/outside/config");
  EXPECT_EQ(env("TESSARO_SYSTEM_ROOT"), std::nullopt);
  EXPECT_EQ(env("TESSARO_SANDBOX_TEST"), std::nullopt);
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace testsupport
