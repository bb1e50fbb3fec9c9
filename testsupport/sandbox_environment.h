// One Sandbox for a whole test program, for programs whose code under test writes to
// process-wide stores from any test or thread (the measurement monitor keeps its health sample
// in the preferences folder), so that nothing reaches the real home folder. Register it once per
// test program, in one of its test files:
//
//   static testing::Environment* const kSandbox =
//       testing::AddGlobalTestEnvironment(new testsupport::SandboxEnvironment);
//
// Tests may still make their own Sandbox inside it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "testsupport/sandbox.h"

namespace testsupport {

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { sandbox_ = std::make_unique<Sandbox>(); }
  void TearDown() override { sandbox_.reset(); }

 private:
  std::unique_ptr<Sandbox> sandbox_;
};

}  // namespace testsupport
