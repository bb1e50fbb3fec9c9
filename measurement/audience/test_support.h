// For the audience tests: wire messages written as protobuf text and encoded by libprotobuf,
// the independent reference of the wire format, so that a test states a filter the way a
// server would send it.
//
//   APMPBStringFilter filter = message<APMPBStringFilter, ref::StringFilter>(
//       "match_type: 2 expression: 'abc'");
//   ref::ResultData decoded = reference<ref::ResultData>(*bytes);
#pragma once

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "measurement/foundation/monitor.h"
#include "measurement/wire/schema/apmpb.h"
#include "measurement/wire/schema/cpp/audience.pb.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "os/value/value.h"
#include "testsupport/sandbox.h"

namespace measurement::testing {

namespace ref = ::tessaro::measurement;

// A test whose monitor reports are made and saved inside a sandbox, which stays until the
// monitor has finished them.
class SandboxedTest : public ::testing::Test {
 protected:
  ~SandboxedTest() override { monitor().drain(); }
  testsupport::Sandbox sandbox_;
};

template <typename Reference>
Reference reference(std::string_view text) {
  Reference parsed;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(std::string(text), &parsed)) << text;
  return parsed;
}

template <typename Reference>
Reference reference(const os::Data& bytes) {
  Reference parsed;
  EXPECT_TRUE(parsed.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())));
  return parsed;
}

inline os::Data bytesOf(const google::protobuf::MessageLite& message) {
  std::string bytes = message.SerializeAsString();
  return os::Data(bytes.begin(), bytes.end());
}

// The wrapper of the message the text describes.
template <typename Wrapper, typename Reference>
Wrapper message(std::string_view text) {
  std::optional<Wrapper> wrapper = Wrapper::initWithBuffer(bytesOf(reference<Reference>(text)));
  EXPECT_TRUE(wrapper) << text;
  return wrapper ? std::move(*wrapper) : Wrapper();
}

}  // namespace measurement::testing
