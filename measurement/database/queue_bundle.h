// The form in which finished upload bundles wait in the queue table: the gzip stream of the
// encoded MeasurementBundle. How often its upload failed lives in the row's own retry_count
// column and goes back into the bundle's `retry_count` field when the bundle is read for upload.
//
//   std::optional<os::Data> row = queueDataFromBundleBytes(*bundle.protoBuffer(), &error);
//   std::optional<APMPBMeasurementBundle> back = bundleFromQueueData(*row, 2, &error);
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "measurement/wire/schema/apmpb.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// The gzip stream of an encoded bundle; code 2 "Failed to compress bundle" when there is none.
std::optional<os::Data> queueDataFromBundleBytes(std::span<const uint8_t> encoded,
                                                 os::Error* error);

// The bundle a queue row holds, with a positive `retryCount` written into its `retry_count`
// field. Fails with code 3 "Cannot decompress an empty bundle data", code 2 with the inflater's
// description, or code 2 "Unable to parse bundle from decompressed data".
std::optional<APMPBMeasurementBundle> bundleFromQueueData(std::span<const uint8_t> compressed,
                                                          std::optional<int64_t> retryCount,
                                                          os::Error* error);

}  // namespace measurement
