// The wire format against libprotobuf on the same bytes: encoding and decoding an upload batch
// of 40 events (about 7.4 KB, what one upload usually carries) and a large one (500 events of
// 12 parameters, each tenth with an items array of 3 items).
//
// Each run of a side repeats its operation --iterations times (scaled down for the large batch)
// so that one run lasts milliseconds; the table gives the time of one run.
#include <cstdio>
#include <functional>
#include <string>

#include "bench/harness.h"
#include "measurement/wire/decode.h"
#include "measurement/wire/encode.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "measurement/wire/schema/schema_types.h"

namespace {

namespace ref = tessaro::measurement;

void addParam(ref::EventParam* param, int index) {
  param->set_name("_p" + std::to_string(index));
  switch (index % 3) {
    case 0:
      param->set_string_value("value number " + std::to_string(index));
      break;
    case 1:
      param->set_int_value(1000003LL * index);
      break;
    default:
      param->set_double_value(index * 0.25);
  }
}

// A batch of one bundle: device metadata, `events` events of `params` parameters (every tenth
// event with an items array when `items` is set) and a few user attributes.
ref::MeasurementBatch makeBatch(int events, int params, bool items) {
  ref::MeasurementBatch batch;
  ref::MeasurementBundle* bundle = batch.add_bundles();
  bundle->set_protocol_version(1);
  bundle->set_upload_timestamp_millis(1765400000000);
  bundle->set_start_timestamp_millis(1765399000000);
  bundle->set_end_timestamp_millis(1765399900000);
  bundle->set_platform("macos");
  bundle->set_os_version("14.5");
  bundle->set_device_model("MacBookPro18,3");
  bundle->set_user_default_language("en-us");
  bundle->set_timezone_offset_minutes(60);
  bundle->set_app_id("com.tessaro.installer");
  bundle->set_app_version("3.2.1");
  bundle->set_library_version(110000);
  bundle->set_app_instance_id("6A1B0C4E8F2D4B7A9E3C5D1F0A2B4C6D");
  bundle->set_gmp_app_id("1:123456789012:ios:0123456789abcdef");
  bundle->set_bundle_sequential_index(17);
  for (int e = 0; e < events; ++e) {
    ref::Event* event = bundle->add_events();
    event->set_name(e % 2 ? "Install_SW" : "_e");
    event->set_timestamp_millis(1765399000000 + e * 1000);
    event->set_previous_timestamp_millis(1765398000000 + e * 1000);
    for (int p = 0; p < params; ++p) addParam(event->add_params(), p);
    if (items && e % 10 == 0) {
      ref::EventParam* array = event->add_params();
      array->set_name("items");
      for (int i = 0; i < 3; ++i) {
        ref::EventParam* item = array->add_param_value();
        for (int p = 0; p < 4; ++p) addParam(item->add_param_value(), p);
      }
    }
  }
  for (int a = 0; a < 5; ++a) {
    ref::UserAttribute* attribute = bundle->add_user_attributes();
    attribute->set_name("_fot" + std::to_string(a));
    attribute->set_set_timestamp_millis(1765390000000);
    attribute->set_int_value(a);
  }
  return batch;
}

void compareBatch(bench::Harness& harness, const std::string& label,
                  const ref::MeasurementBatch& batch, uint64_t iterations) {
  const std::string wire = batch.SerializeAsString();
  const auto* bytes = reinterpret_cast<const uint8_t*>(wire.data());
  const wire::MessageType& type = wire::schema::kMeasurementBatchType;
  const wire::MessagePtr ours = wire::decodeMessageInfo(type, bytes, wire.size());
  if (!ours || wire::encodeMessageInfo(*ours) != os::Data(wire.begin(), wire.end())) {
    std::fprintf(stderr, "wire_bench: the two encodings of %s differ\n", label.c_str());
    return;
  }
  const std::string per = ", " + std::to_string(wire.size()) + " B x " + std::to_string(iterations);
  // One run of a side: `operation` `iterations` times, failing when any call failed.
  auto repeat = [iterations](std::function<bool()> operation) {
    return [iterations, operation] {
      bool ok = true;
      for (uint64_t i = 0; i < iterations; ++i) ok &= operation();
      return ok;
    };
  };
  harness.compare({
      .path = "encode " + label + per,
      .ours = {"wire::encodeMessageInfo", {}, repeat([&] {
                 return wire::encodeMessageInfo(*ours).has_value();
               })},
      .reference = {"libprotobuf", {}, repeat([&] {
                      return batch.SerializeAsString().size() == wire.size();
                    })},
  });
  harness.compare({
      .path = "decode " + label + per,
      .ours = {"wire::decodeMessageInfo", {}, repeat([&] {
                 return wire::decodeMessageInfo(type, bytes, wire.size()) != nullptr;
               })},
      .reference = {"libprotobuf", {}, repeat([&] {
                      ref::MeasurementBatch parsed;
                      return parsed.ParseFromArray(wire.data(), static_cast<int>(wire.size()));
                    })},
  });
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t iterations = 2000;
  auto harness = bench::Harness::fromArguments(argc, argv, {{"--iterations=", &iterations}});
  if (!harness) return 1;
  compareBatch(*harness, "40 events", makeBatch(40, 8, false), iterations);
  compareBatch(*harness, "500 events x 12 params with items", makeBatch(500, 12, true),
               iterations / 100 + 1);
  harness->printTable();
  return 0;
}
