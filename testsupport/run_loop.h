// The one wait of the tests that turn the main run loop: until a condition holds, with one
// patience for every test. The patience is generous because it only runs out when a test fails;
// a test that passes returns as soon as its condition holds.
//
//   ASSERT_TRUE(testsupport::runUntil([&] { return done; })) << "the completion never came";
#pragma once

#include <functional>

namespace testsupport {

// Seconds a test waits for something that should happen, before it counts as a failure.
inline constexpr double kPatience = 60.0;

// Turns the main run loop until `condition` holds (true) or `seconds` have passed (false).
bool runUntil(const std::function<bool()>& condition, double seconds = kPatience);

}  // namespace testsupport
