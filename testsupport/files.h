// Files as tests look at them: whole contents, and the wait for a file that another process
// writes (with a final rename, so that its appearance means it is complete).
//
//   EXPECT_EQ(testsupport::readFile(sandbox.home() / "marker"), "done\n");
//   ASSERT_TRUE(testsupport::waitForFile(marker)) << "the child never wrote its marker";
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace testsupport {

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Waits until `path` exists, looking every 10 ms; false once `limit` has passed without it.
bool waitForFile(const std::filesystem::path& path,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace testsupport
