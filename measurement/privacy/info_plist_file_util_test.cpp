#include "measurement/privacy/info_plist_file_util.h"

#include <gtest/gtest.h>

#include "measurement/privacy/test_support.h"

namespace measurement {
namespace {

TEST(InfoPlistFileUtilTest, ReadsTheServicePlistOnlyAsADictionary) {
  PrivacySandbox sandbox;
  EXPECT_EQ(InfoPlistFileUtil::vedodoServiceInfoPlistPath(), std::nullopt);
  EXPECT_EQ(InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist(), std::nullopt);

  const os::Dictionary service{{"VEDODO_APP_ID", "1:1:ios:1"}, {"ZEZUD_APP_ID", "z"}};
  sandbox.writeServicePlist(service);
  EXPECT_EQ(InfoPlistFileUtil::vedodoServiceInfoPlistPath(),
            (sandbox.bundle() / "Contents/Resources/ZiroreVevuraz-Eziz.plist").string());
  EXPECT_EQ(InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist(), service);

  sandbox.writeServicePlist(os::Array{"VEDODO_APP_ID"});
  EXPECT_TRUE(InfoPlistFileUtil::vedodoServiceInfoPlistPath());
  EXPECT_EQ(InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist(), std::nullopt);

  os::files::writeAtomically(sandbox.bundle() / "Contents/Resources/ZiroreVevuraz-Eziz.plist",
                             "<plist><dict><key>broken", nullptr);
  EXPECT_EQ(InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist(), std::nullopt);
}

}  // namespace
}  // namespace measurement
