#include "measurement/database/queue_bundle.h"

#include <limits>

#include "measurement/foundation/measurement_error.h"
#include "measurement/wire/access.h"
#include "platform/utilities/gzip.h"

namespace measurement {

std::optional<os::Data> queueDataFromBundleBytes(std::span<const uint8_t> encoded,
                                                 os::Error* error) {
  std::optional<os::Data> compressed = VDUNSDataZlib::gul_dataByGzippingData(encoded);
  if (!compressed || compressed->empty()) {
    setErrorOutParameter(error, kOperationFailed, "Failed to compress bundle");
    return std::nullopt;
  }
  return compressed;
}

std::optional<APMPBMeasurementBundle> bundleFromQueueData(std::span<const uint8_t> compressed,
                                                          std::optional<int64_t> retryCount,
                                                          os::Error* error) {
  if (!requireOrSetError(!compressed.empty(), error, kDatabaseFailure,
                         "Cannot decompress an empty bundle data")) {
    return std::nullopt;
  }
  os::Error inflateError;
  std::optional<os::Data> encoded =
      VDUNSDataZlib::gul_dataByInflatingGzippedData(compressed, &inflateError);
  if (!encoded || encoded->empty()) {
    setErrorOutParameter(error, kOperationFailed, inflateError.localizedDescription());
    return std::nullopt;
  }
  std::optional<APMPBMeasurementBundle> bundle = APMPBMeasurementBundle::initWithBuffer(*encoded);
  if (!requireObjectOrSetError(bundle, error, kOperationFailed,
                               "Unable to parse bundle from decompressed data")) {
    return std::nullopt;
  }
  // The column never passes the int32 maximum: incrementing stops there.
  if (retryCount && *retryCount > 0 && *retryCount <= std::numeric_limits<int32_t>::max()) {
    APMPBSetInt32(*bundle, kMeasurementBundle_retry_count, static_cast<int32_t>(*retryCount));
  }
  return bundle;
}

}  // namespace measurement
