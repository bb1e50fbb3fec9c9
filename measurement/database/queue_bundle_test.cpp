#include "measurement/database/queue_bundle.h"

#include <gtest/gtest.h>

#include "measurement/wire/access.h"
#include "os/files/files.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace measurement {
namespace {

APMPBMeasurementBundle sampleBundle() {
  APMPBMeasurementBundle bundle;
  APMPBSetString(bundle, kMeasurementBundle_app_id, "1:123:ios:abc");
  APMPBSetInt64(bundle, kMeasurementBundle_end_timestamp_millis, 1700000000123);
  APMPBEvent event;
  APMPBSetString(event, kEvent_name, "_vs");
  APMPBSetArray(bundle, kMeasurementBundle_events, std::vector<APMPBEvent>{event});
  return bundle;
}

// What Python's zlib and protoc, independent of our code, read in a queue row.
std::string decodedByReferenceTools(const os::Data& row) {
  testsupport::Sandbox sandbox;
  std::filesystem::path file = sandbox.home() / "row.gz";
  EXPECT_TRUE(os::files::writeAtomically(
      file, std::string_view(reinterpret_cast<const char*>(row.data()), row.size()), nullptr));
  const char* script =
      "import sys, zlib, subprocess\n"
      "data = zlib.decompress(open(sys.argv[1], 'rb').read(), 31)\n"
      "out = subprocess.run([sys.argv[2], '--decode_raw'], input=data, capture_output=True)\n"
      "sys.stdout.write(out.stdout.decode())\n"
      "sys.exit(out.returncode)\n";
  testsupport::ChildRun run =
      testsupport::runChild({"python3", "-c", script, file.string(), TESSARO_PROTOC});
  EXPECT_TRUE(run.succeeded()) << run.output;
  return run.output;
}

TEST(QueueBundle, RowsAreGzipStreamsOfTheEncodedBundle) {
  std::optional<os::Data> row = queueDataFromBundleBytes(*sampleBundle().protoBuffer(), nullptr);
  ASSERT_TRUE(row);
  std::string decoded = decodedByReferenceTools(*row);
  EXPECT_NE(decoded.find("6: 1700000000123"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("14: \"1:123:ios:abc\""), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("39:"), std::string::npos) << decoded;

  os::Error error;
  EXPECT_FALSE(queueDataFromBundleBytes({}, &error));
  EXPECT_EQ(error.description, "Failed to compress bundle");
}

TEST(QueueBundle, ReadingBackAddsOnlyAPositiveRetryCount) {
  os::Data row = *queueDataFromBundleBytes(*sampleBundle().protoBuffer(), nullptr);
  for (std::optional<int64_t> retries : {std::optional<int64_t>(), std::optional<int64_t>(0)}) {
    std::optional<APMPBMeasurementBundle> bundle = bundleFromQueueData(row, retries, nullptr);
    ASSERT_TRUE(bundle);
    EXPECT_FALSE(APMPBHasField(*bundle, kMeasurementBundle_retry_count));
    EXPECT_EQ(bundle->protoBuffer(), sampleBundle().protoBuffer());
  }
  std::optional<APMPBMeasurementBundle> retried = bundleFromQueueData(row, 2, nullptr);
  EXPECT_EQ(APMPBGetInt32(*retried, kMeasurementBundle_retry_count), 2);
  // The field is tag 39 on the wire.
  std::optional<os::Data> again = queueDataFromBundleBytes(*retried->protoBuffer(), nullptr);
  EXPECT_NE(decodedByReferenceTools(*again).find("39: 2"), std::string::npos);
}

TEST(QueueBundle, RefusesRowsThatDoNotHoldABundle) {
  os::Data notGzip{'n', 'o', 't'};
  os::Data gzipOfGarbage = *queueDataFromBundleBytes(os::Data{0xff, 0xff, 0xff}, nullptr);
  os::Data truncated = *queueDataFromBundleBytes(*sampleBundle().protoBuffer(), nullptr);
  truncated.resize(truncated.size() / 2);
  struct Case {
    const char* what;
    os::Data row;
    int64_t code;
    const char* description;  // nullptr: the inflater's
  } cases[] = {
      {"empty", {}, 3, "Cannot decompress an empty bundle data"},
      {"not gzip", notGzip, 2, nullptr},
      {"truncated", truncated, 2, nullptr},
      {"not a bundle", gzipOfGarbage, 2, "Unable to parse bundle from decompressed data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::Error error;
    EXPECT_FALSE(bundleFromQueueData(c.row, 1, &error));
    EXPECT_EQ(error.code, c.code);
    if (c.description) {
      EXPECT_EQ(error.description, c.description);
    } else {
      EXPECT_FALSE(error.description.empty());
    }
    EXPECT_FALSE(bundleFromQueueData(c.row, 1, nullptr));
  }
}

}  // namespace
}  // namespace measurement
