#include "os/process/process.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace os::process {
namespace {

using testsupport::readFile;

constexpr const char* kChildOutputVariable = "TESSARO_PROCESS_TEST_OUTPUT";

// Runs only in the child that the next test starts: reports what the child sees, each item
// followed by a NUL byte, into the file named by kChildOutputVariable.
TEST(ProcessChild, DISABLED_ReportArguments) {
  std::optional<std::string> output = getEnv(kChildOutputVariable);
  ASSERT_TRUE(output);
  std::ofstream file(*output, std::ios::binary);
  file << processName() << '\0' << hasArgument("-Flag") << '\0' << hasArgument("-Missing") << '\0';
  for (const std::string& argument : arguments()) file << argument << '\0';
}

TEST(ProcessArguments, WithoutSetArgumentsTheKernelsCommandLineIsRead) {
  testsupport::Sandbox sandbox;
  std::filesystem::path output = sandbox.root() / "child.out";
  sandbox.setEnv(kChildOutputVariable, output.string());

  std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> childArguments = {executable,
                                             "--gtest_also_run_disabled_tests",
                                             "--gtest_filter=ProcessChild.DISABLED_ReportArguments",
                                             "-Flag",
                                             "two words",
                                             "",
                                             "ünï"};
  // The child's own test report is shown only when the child fails.
  testsupport::ChildRun child =
      testsupport::runChild(childArguments, testsupport::ChildOutput::Both);
  ASSERT_TRUE(child.succeeded()) << child.output;

  std::string expected =
      std::filesystem::path(executable).filename().string() + '\0' + "1" + '\0' + "0" + '\0';
  for (const std::string& argument : childArguments) expected += argument + '\0';
  EXPECT_EQ(readFile(output), expected);
}

TEST(ProcessArguments, SetArgumentsReplacesThemAndNamesTheProcess) {
  const char* argv[] = {"/opt/app/bin/installer", "-Flag", "-NSFlag=1"};
  setArguments(3, argv);
  EXPECT_EQ(arguments(),
            (std::vector<std::string>{"/opt/app/bin/installer", "-Flag", "-NSFlag=1"}));
  EXPECT_TRUE(hasArgument("-Flag"));
  EXPECT_FALSE(hasArgument("-NSFlag"));
  EXPECT_FALSE(hasArgument("-flag"));
  EXPECT_EQ(processName(), "installer");

  const char* bare[] = {"installer"};
  setArguments(1, bare);
  EXPECT_EQ(processName(), "installer");
  EXPECT_FALSE(hasArgument("-Flag"));

  // With no usable argv[0], the name the kernel started the program under.
  setArguments(0, nullptr);
  EXPECT_TRUE(arguments().empty());
  EXPECT_EQ(processName(),
            std::filesystem::read_symlink("/proc/self/exe").filename().string().substr(0, 15));
}

TEST(ProcessEnvironment, GetEnvTellsUnsetFromEmpty) {
  testsupport::Sandbox sandbox;
  sandbox.setEnv("TESSARO_PROCESS_TEST_VALUE", "a=b c");
  EXPECT_EQ(getEnv("TESSARO_PROCESS_TEST_VALUE"), "a=b c");
  sandbox.setEnv("TESSARO_PROCESS_TEST_VALUE", "");
  EXPECT_EQ(getEnv("TESSARO_PROCESS_TEST_VALUE"), "");
  sandbox.setEnv("TESSARO_PROCESS_TEST_VALUE", std::nullopt);
  EXPECT_EQ(getEnv("TESSARO_PROCESS_TEST_VALUE"), std::nullopt);
}

TEST(ProcessSystem, KernelReleasesParseToVersionTriples) {
  const std::pair<const char*, OperatingSystemVersion> cases[] = {
      {"6.1.0-27-amd64", {6, 1, 0}},
      {"6.18.44-fc-v1523", {6, 18, 44}},
      {"5.15", {5, 15, 0}},
      {"6.8-rc3", {6, 8, 0}},
      {"4.19.0+", {4, 19, 0}},
      {"3", {3, 0, 0}},
      {"10.2.3.4", {10, 2, 3}},
      {"unknown", {0, 0, 0}},
      {"", {0, 0, 0}},
  };
  for (const auto& [release, expected] : cases) {
    OperatingSystemVersion parsed = internal::parseKernelRelease(release);
    EXPECT_EQ(parsed, expected) << release << " gave " << parsed.majorVersion << "."
                                << parsed.minorVersion << "." << parsed.patchVersion;
  }
}

TEST(ProcessSystem, PrettyNameComesFromOsReleaseWithoutQuotes) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Fedora Linux 40'", "Fedora Linux 40"},
      {"PRETTY_NAME=Alpine", "Alpine"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\ ok\"\n", "Say \"hi\" \\ ok"},
      {"#PRETTY_NAME=\"Commented\"\nPRETTY_NAME_EXTRA=x\nNAME=Linux\n", std::nullopt},
      {"PRETTY_NAME=\"\"\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [contents, expected] : cases) {
    EXPECT_EQ(internal::prettyNameFromOsRelease(contents), expected) << contents;
  }
  EXPECT_EQ(internal::versionString({6, 1, 0}, "Debian GNU/Linux 12 (bookworm)"),
            "Version 6.1.0 (Debian GNU/Linux 12 (bookworm))");
}

TEST(ProcessSystem, DescribesTheRunningSystem) {
  struct utsname name = {};
  ASSERT_EQ(uname(&name), 0);
  OperatingSystemVersion version = operatingSystemVersion();
  EXPECT_GE(version.majorVersion, 3);
  EXPECT_EQ(version, internal::parseKernelRelease(name.release));

  std::string text = operatingSystemVersionString();
  std::string prefix = "Version " + std::to_string(version.majorVersion) + "." +
                       std::to_string(version.minorVersion) + "." +
                       std::to_string(version.patchVersion) + " (";
  EXPECT_EQ(text.substr(0, prefix.size()), prefix) << text;
  EXPECT_EQ(text.back(), ')') << text;
  std::optional<std::string> prettyName = internal::prettyNameFromOsRelease(
      std::filesystem::exists("/etc/os-release") ? readFile("/etc/os-release")
                                                 : readFile("/usr/lib/os-release"));
  EXPECT_EQ(text, prefix + prettyName.value_or(name.sysname) + ")");

  std::string model = machineModel();
  std::string dmi = readFile("/sys/devices/virtual/dmi/id/product_name");
  while (!dmi.empty() && std::isspace(static_cast<unsigned char>(dmi.back()))) dmi.pop_back();
  EXPECT_EQ(model, dmi.empty() ? std::string(name.machine) : dmi);
  EXPECT_FALSE(model.empty());

  EXPECT_EQ(processIdentifier(), getpid());
}

}  // namespace
}  // namespace os::process
