#include "os/files/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

TEST(Paths, UserFoldersFollowHomeAndTheXdgDefaults) {
  testsupport::Sandbox sandbox;
  const fs::path home = sandbox.home();
  EXPECT_EQ(os::paths::home(), home);
  EXPECT_EQ(os::paths::applicationSupport(), home / ".local/share");
  EXPECT_EQ(os::paths::caches(), home / ".cache");
  EXPECT_EQ(os::paths::preferences(), home / ".config");
  EXPECT_EQ(os::paths::desktop(), home / "Desktop");
  EXPECT_EQ(os::paths::userApplications(), home / "Applications");
}

TEST(Paths, AbsoluteXdgValuesWinAndOthersAreIgnored) {
  struct Case {
    const char* variable;
    std::function<fs::path()> folder;
    const char* fallback;
  };
  const Case cases[] = {
      {"XDG_DATA_HOME", os::paths::applicationSupport, ".local/share"},
      {"XDG_CACHE_HOME", os::paths::caches, ".cache"},
      {"XDG_CONFIG_HOME", os::paths::preferences, ".config"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    testsupport::Sandbox sandbox;
    sandbox.setEnv(c.variable, "/elsewhere/xdg");
    EXPECT_EQ(c.folder(), "/elsewhere/xdg");
    sandbox.setEnv(c.variable, "relative/xdg");
    EXPECT_EQ(c.folder(), sandbox.home() / c.fallback);
    sandbox.setEnv(c.variable, "");
    EXPECT_EQ(c.folder(), sandbox.home() / c.fallback);
  }
}

TEST(Paths, TheDesktopIsTheOneTheDesktopEnvironmentConfigured) {
  testsupport::Sandbox sandbox;
  const fs::path home = sandbox.home();
  const struct {
    const char* line;
    fs::path desktop;
  } cases[] = {
      {"XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"", home / "Schreibtisch"},
      {"XDG_DESKTOP_DIR=\"/srv/shared desktop\"", "/srv/shared desktop"},
      {"XDG_DESKTOP_DIR=\"$HOME/\"", home / "Desktop"},  // the home folder: no desktop set
      {"XDG_DESKTOP_DIR=\"$HOMEWORK\"", home / "Desktop"},
      {"XDG_DESKTOP_DIR=relative", home / "Desktop"},
      {"# XDG_DESKTOP_DIR=\"$HOME/Commented\"", home / "Desktop"},
  };
  fs::create_directories(home / ".config");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::ofstream(home / ".config/user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                                   << c.line << "\n";
    EXPECT_EQ(os::paths::desktop(), c.desktop);
  }
}

TEST(Paths, HomeFallsBackToThePasswordDatabase) {
  testsupport::Sandbox sandbox;
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    sandbox.setEnv("HOME", value);
    EXPECT_EQ(os::paths::home(), fs::path(entry->pw_dir));
    EXPECT_EQ(os::paths::desktop(), fs::path(entry->pw_dir) / "Desktop");
  }
}

TEST(Paths, SystemFoldersLieUnderTheSystemRoot) {
  testsupport::Sandbox sandbox;
  EXPECT_EQ(os::paths::systemRoot(), sandbox.systemRoot());
  EXPECT_EQ(os::paths::systemApplications(), sandbox.systemRoot() / "Applications");
  EXPECT_EQ(os::paths::volumes(), sandbox.systemRoot() / "media");

  sandbox.setEnv("TESSARO_SYSTEM_ROOT", std::nullopt);
  EXPECT_EQ(os::paths::systemRoot(), "/");
  EXPECT_EQ(os::paths::systemApplications(), "/Applications");
  EXPECT_EQ(os::paths::volumes(), "/media");
}

TEST(Paths, TemporaryFolderFollowsTmpdir) {
  testsupport::Sandbox sandbox;
  sandbox.setEnv("TMPDIR", (sandbox.root() / "tmp").string());
  EXPECT_EQ(os::paths::temporary(), sandbox.root() / "tmp");
  sandbox.setEnv("TMPDIR", std::nullopt);
  EXPECT_EQ(os::paths::temporary(), "/tmp");
}

}  // namespace
