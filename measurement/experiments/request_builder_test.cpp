// The experiment request as the server decodes it (libprotobuf): the app's description from
// the environment and one client property per registered SDK.
#include "measurement/experiments/request_builder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "measurement/experiments/experiments_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "os/bundle/bundle.h"
#include "platform/utilities/app_environment_util.h"

namespace measurement {
namespace {

namespace reference = tessaro::measurement;

reference::ExperimentRequest decoded(const APMPBExperimentRequest& request) {
  os::Data bytes = request.protoBuffer().value_or(os::Data());
  reference::ExperimentRequest message;
  EXPECT_TRUE(message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())));
  return message;
}

class Properties final : public APMESDKPropertyProviderDelegate {
 public:
  explicit Properties(std::optional<os::Dictionary> dynamic) : dynamic_(std::move(dynamic)) {}
  std::optional<os::Dictionary> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty&) override {
    return dynamic_;
  }

 private:
  std::optional<os::Dictionary> dynamic_;
};

class RequestBuilderTest : public ::testing::Test {
 protected:
  ~RequestBuilderTest() override {
    os::Bundle::resetMainForTesting();
    VDUAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
  }
  // Makes the main bundle one whose identifier is `identifier`.
  void setBundleIdentifier(const std::string& identifier) {
    std::filesystem::path contents = sandbox_.root() / "App.app" / "Contents";
    std::filesystem::create_directories(contents / "MacOS");
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>"
        << identifier << "</string></dict></plist>\n";
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", (sandbox_.root() / "App.app").string());
    os::Bundle::resetMainForTesting();
  }

  testing::DatabaseSandbox sandbox_;
};

TEST_F(RequestBuilderTest, DescribesTheAppFromItsEnvironment) {
  APMEExperimentRequestBuilder builder([] { return std::string("ab12c"); });
  sandbox_.setEnv("LANGUAGE", "pt_BR:en");
  setBundleIdentifier("com.tessaro.brevalo.installer");
  VDUAppEnvironmentUtil::setFromAppStoreForTesting(true);
  reference::ExperimentRequest request = decoded(builder.request());
  ASSERT_TRUE(request.has_app_property());
  const reference::AppProperty& app = request.app_property();
  EXPECT_EQ(app.platform(), "macos");
  EXPECT_EQ(app.language(), "pt-br");
  EXPECT_EQ(app.app_id(), "com.tessaro.brevalo.installer");
  EXPECT_TRUE(app.is_from_app_store());
  EXPECT_EQ(app.manager_version(), 10000);
  EXPECT_FALSE(app.has_string_2());
  EXPECT_FALSE(app.has_string_3());
  // A request without SDKs still describes the app.
  EXPECT_EQ(request.client_properties_size(), 0);
}

TEST_F(RequestBuilderTest, EachSDKIsDescribedOnceWithItsDiversionKey) {
  std::string appKey = "ab12c";
  APMEExperimentRequestBuilder builder([&] { return appKey; });
  auto dynamic = std::make_shared<Properties>(os::Dictionary{{"channel", "dynamic"}, {"n", 3}});
  auto silent = std::make_shared<Properties>(std::nullopt);
  builder.addSDKProperty({.name = "zad_odavodivezi", .version = 1, .delegate = silent});
  // Registering the same name again replaces the property.
  builder.addSDKProperty({.name = "zad_odavodivezi",
                          .version = 102800,
                          .delegate = dynamic,
                          .customProperties = {{"channel", "static"}, {"kept", "yes"}}});
  builder.addSDKProperty({.name = "own", .appID = "1:1:ios:ab", .diversionKey = "zz999"});

  reference::ExperimentRequest request = decoded(builder.request());
  ASSERT_EQ(request.client_properties_size(), 2);
  const reference::ClientProperty& own = request.client_properties(0);
  EXPECT_EQ(own.sdk_name(), "own");
  EXPECT_EQ(own.diversion_id(), "zz999-own");
  EXPECT_EQ(own.app_id(), "1:1:ios:ab");
  EXPECT_EQ(own.custom_properties_size(), 0);
  const reference::ClientProperty& measurement = request.client_properties(1);
  EXPECT_EQ(measurement.sdk_name(), "zad_odavodivezi");
  EXPECT_EQ(measurement.diversion_id(), "ab12c-zad_odavodivezi");
  EXPECT_EQ(measurement.sdk_version(), 102800);
  EXPECT_FALSE(measurement.has_app_id());
  std::map<std::string, std::string> custom;
  for (const reference::CustomProperty& property : measurement.custom_properties()) {
    custom[property.key()] = property.value();
  }
  EXPECT_EQ(custom, (std::map<std::string, std::string>{
                        {"channel", "dynamic"}, {"kept", "yes"}, {"n", "3"}}));

  // Without any diversion key an SDK is left out.
  appKey.clear();
  MonitorCapture capture;
  request = decoded(builder.request());
  ASSERT_EQ(request.client_properties_size(), 1);
  EXPECT_EQ(request.client_properties(0).sdk_name(), "own");
  EXPECT_TRUE(capture.contains(860001));
}

}  // namespace
}  // namespace measurement
