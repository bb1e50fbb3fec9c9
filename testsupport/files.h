// Files as tests make and look at them: whole contents written and read, a folder tree described
// item by item, and the wait for a file that another process writes (with a final rename, so
// that its appearance means it is complete).
//
//   testsupport::writeFile(sandbox.home() / "a/b.txt", "text");   // makes a/ as needed
//   EXPECT_EQ(testsupport::readFile(sandbox.home() / "marker"), "done\n");
//   ASSERT_TRUE(testsupport::waitForFile(marker)) << "the child never wrote its marker";
//   auto before = testsupport::describeTree(bundle);
//   ...
//   EXPECT_EQ(testsupport::describeTree(bundle), before);   // nothing added, changed or moved
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace testsupport {

// Writes `bytes` as the whole file, making its folders first, with the permission bits `mode`.
// Throws std::runtime_error (which fails the running test) when it cannot be written.
void writeFile(const std::filesystem::path& path, std::string_view bytes,
               std::filesystem::perms mode = std::filesystem::perms(0644));

// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Every item under `root` by its path relative to `root`, described by its kind and permission
// bits and a file's contents ("file 0644 text") or a link's target ("link -> target"; links are
// described, never followed). With `withTimes`, a file's description also holds its modification
// time, so that rewriting it with the same bytes shows. Empty when `root` does not exist.
std::map<std::string, std::string> describeTree(const std::filesystem::path& root,
                                                bool withTimes = false);

// Waits until `path` exists, looking every 10 ms; false once `limit` has passed without it.
bool waitForFile(const std::filesystem::path& path,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace testsupport
