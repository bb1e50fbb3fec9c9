// Our decoder and encoder against libprotobuf on the same schema: for every message type,
// random messages serialised by libprotobuf decode into the same values, encode back to the same
// bytes, and libprotobuf reads our bytes back equal.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "measurement/wire/decode.h"
#include "measurement/wire/encode.h"
#include "measurement/wire/schema/cpp/audience.pb.h"
#include "measurement/wire/schema/cpp/config.pb.h"
#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "measurement/wire/schema/cpp/program.pb.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "measurement/wire/schema/schema_types.h"

namespace {

namespace pb = google::protobuf;
using FieldDescriptor = pb::FieldDescriptor;

// Fills libprotobuf messages with values that probe every kind's corners.
class RandomFiller {
 public:
  explicit RandomFiller(uint32_t seed) : random_(seed) {}

  void fill(pb::Message& message, int depth) {
    const pb::Descriptor* descriptor = message.GetDescriptor();
    const pb::Reflection* reflection = message.GetReflection();
    for (int i = 0; i < descriptor->field_count(); ++i) {
      const FieldDescriptor* field = descriptor->field(i);
      if (field->is_repeated()) {
        const int count = repeatedCount(field, depth);
        for (int n = 0; n < count; ++n) add(message, reflection, field, depth);
      } else if (chance(2, 3)) {
        set(message, reflection, field, depth);
      }
    }
  }

 private:
  bool chance(int numerator, int denominator) {
    return std::uniform_int_distribution<int>(1, denominator)(random_) <= numerator;
  }
  template <class T>
  T pick(std::initializer_list<T> values) {
    return *(values.begin() + std::uniform_int_distribution<size_t>(0, values.size() - 1)(random_));
  }
  uint64_t any64() { return std::uniform_int_distribution<uint64_t>()(random_); }

  int repeatedCount(const FieldDescriptor* field, int depth) {
    if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE && depth >= 4) return 0;
    return pick({0, 0, 1, 2, 3, 5, 40});
  }

  int32_t int32() {
    return pick<int32_t>({0, 1, -1, 127, 128, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max(), static_cast<int32_t>(any64())});
  }
  int64_t int64() {
    return pick<int64_t>({0, -1, 300, std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max(), static_cast<int64_t>(any64())});
  }
  uint64_t uint64() {
    return pick<uint64_t>({0, 1, uint64_t{1} << 63, std::numeric_limits<uint64_t>::max(), any64()});
  }
  uint32_t uint32() { return pick<uint32_t>({0, 1, 0xFFFFFFFFu, static_cast<uint32_t>(any64())}); }
  double real() {
    return pick<double>({0.0, -0.0, 1.5, std::nan(""), std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::denorm_min(),
                         std::bit_cast<double>(any64())});
  }
  std::string text() {
    switch (std::uniform_int_distribution<int>(0, 4)(random_)) {
      case 0:
        return "";
      case 1:
        return "_vs";
      case 2:
        return "Gr\xC3\xBC\xC3\x9F\x65 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";  // non-ASCII
      case 3:
        return std::string(300, 'p');
      default: {
        std::string value(std::uniform_int_distribution<int>(1, 20)(random_), ' ');
        for (char& c : value)
          c = static_cast<char>(std::uniform_int_distribution<int>(0x20, 0x7E)(random_));
        return value;
      }
    }
  }

  void set(pb::Message& message, const pb::Reflection* r, const FieldDescriptor* field, int depth) {
    switch (field->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT32:
        r->SetInt32(&message, field, int32());
        break;
      case FieldDescriptor::CPPTYPE_INT64:
        r->SetInt64(&message, field, int64());
        break;
      case FieldDescriptor::CPPTYPE_UINT32:
        r->SetUInt32(&message, field, uint32());
        break;
      case FieldDescriptor::CPPTYPE_UINT64:
        r->SetUInt64(&message, field, uint64());
        break;
      case FieldDescriptor::CPPTYPE_DOUBLE:
        r->SetDouble(&message, field, real());
        break;
      case FieldDescriptor::CPPTYPE_FLOAT:
        r->SetFloat(&message, field, static_cast<float>(real()));
        break;
      case FieldDescriptor::CPPTYPE_BOOL:
        r->SetBool(&message, field, chance(1, 2));
        break;
      case FieldDescriptor::CPPTYPE_STRING:
        r->SetString(&message, field, text());
        break;
      case FieldDescriptor::CPPTYPE_MESSAGE:
        fill(*r->MutableMessage(&message, field), depth + 1);
        break;
      default:
        FAIL() << field->full_name();
    }
  }

  void add(pb::Message& message, const pb::Reflection* r, const FieldDescriptor* field, int depth) {
    switch (field->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT64:
        r->AddInt64(&message, field, int64());
        break;
      case FieldDescriptor::CPPTYPE_UINT32:
        r->AddUInt32(&message, field, uint32());
        break;
      case FieldDescriptor::CPPTYPE_UINT64:
        r->AddUInt64(&message, field, uint64());
        break;
      case FieldDescriptor::CPPTYPE_STRING:
        r->AddString(&message, field, text());
        break;
      case FieldDescriptor::CPPTYPE_MESSAGE:
        fill(*r->AddMessage(&message, field), depth + 1);
        break;
      default:
        FAIL() << field->full_name();
    }
  }

  std::mt19937_64 random_;
};

// Our message holds what libprotobuf's holds, field by field through the schema tables.
void expectSameValues(const wire::Message& ours, const pb::Message& theirs) {
  const pb::Reflection* r = theirs.GetReflection();
  for (int32_t index = 0; index < ours.fieldCount(); ++index) {
    const wire::FieldInfo& info = ours.field(index);
    const FieldDescriptor* field =
        theirs.GetDescriptor()->FindFieldByNumber(static_cast<int>(info.tag));
    ASSERT_NE(field, nullptr) << ours.name() << " index " << index;
    ASSERT_EQ(std::string(info.name), field->name());
    const wire::Slot& slot = ours.slot(index);
    SCOPED_TRACE(field->full_name());
    if (field->is_repeated()) {
      ASSERT_EQ(static_cast<int>(slot.count), r->FieldSize(theirs, field));
      for (uint32_t i = 0; i < slot.count; ++i) {
        const wire::Value item = slot.items[i];
        switch (field->cpp_type()) {
          case FieldDescriptor::CPPTYPE_INT64:
            EXPECT_EQ(static_cast<int64_t>(item.bits), r->GetRepeatedInt64(theirs, field, i));
            break;
          case FieldDescriptor::CPPTYPE_UINT32:
            EXPECT_EQ(item.bits, r->GetRepeatedUInt32(theirs, field, i));
            break;
          case FieldDescriptor::CPPTYPE_UINT64:
            EXPECT_EQ(item.bits, r->GetRepeatedUInt64(theirs, field, i));
            break;
          case FieldDescriptor::CPPTYPE_STRING:
            EXPECT_EQ(std::string(item.bytes->data(), item.bytes->size()),
                      r->GetRepeatedString(theirs, field, i));
            break;
          default:
            expectSameValues(*item.message, r->GetRepeatedMessage(theirs, field, i));
        }
      }
      continue;
    }
    ASSERT_EQ(slot.count == 1, r->HasField(theirs, field));
    if (slot.count == 0) continue;
    const wire::Value value = slot.value;
    switch (field->cpp_type()) {
      case FieldDescriptor::CPPTYPE_INT32:
        EXPECT_EQ(static_cast<int32_t>(value.bits), r->GetInt32(theirs, field));
        break;
      case FieldDescriptor::CPPTYPE_INT64:
        EXPECT_EQ(static_cast<int64_t>(value.bits), r->GetInt64(theirs, field));
        break;
      case FieldDescriptor::CPPTYPE_BOOL:
        EXPECT_EQ(value.bits, r->GetBool(theirs, field) ? 1u : 0u);
        break;
      case FieldDescriptor::CPPTYPE_FLOAT:
        EXPECT_EQ(std::bit_cast<uint32_t>(value.f),
                  std::bit_cast<uint32_t>(r->GetFloat(theirs, field)));
        break;
      case FieldDescriptor::CPPTYPE_DOUBLE:
        EXPECT_EQ(value.bits, std::bit_cast<uint64_t>(r->GetDouble(theirs, field)));
        break;
      case FieldDescriptor::CPPTYPE_STRING:
        EXPECT_EQ(std::string(value.bytes->data(), value.bytes->size()),
                  r->GetString(theirs, field));
        break;
      default:
        expectSameValues(*value.message, r->GetMessage(theirs, field));
    }
  }
}

TEST(WireDifferential, EveryMessageTypeAgreesWithLibprotobuf) {
  // Referencing one message of each file links its descriptors into the generated pool.
  const pb::FileDescriptor* files[] = {
      tessaro::measurement::MeasurementBundle::descriptor()->file(),
      tessaro::measurement::MeasurementConfig::descriptor()->file(),
      tessaro::measurement::Audience::descriptor()->file(),
      tessaro::measurement::Program::descriptor()->file(),
      tessaro::measurement::Flag::descriptor()->file(),
  };
  ASSERT_EQ(std::size(files), 5u);
  pb::util::DefaultFieldComparator comparator;
  comparator.set_treat_nan_as_equal(true);
  pb::util::MessageDifferencer differencer;
  differencer.set_field_comparator(&comparator);

  RandomFiller filler(20261210);
  for (const wire::MessageType* type : wire::schema::kAllMessageTypes) {
    const pb::Descriptor* descriptor = pb::DescriptorPool::generated_pool()->FindMessageTypeByName(
        std::string("tessaro.measurement.") + type->name);
    ASSERT_NE(descriptor, nullptr) << type->name;
    const pb::Message* prototype =
        pb::MessageFactory::generated_factory()->GetPrototype(descriptor);
    for (int round = 0; round < 25; ++round) {
      SCOPED_TRACE(std::string(type->name) + " round " + std::to_string(round));
      std::unique_ptr<pb::Message> theirs(prototype->New());
      filler.fill(*theirs, 1);
      const std::string wire = theirs->SerializeAsString();

      wire::MessagePtr ours = wire::decodeMessageInfo(
          *type, reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
      ASSERT_TRUE(ours);
      expectSameValues(*ours, *theirs);

      std::optional<os::Data> encoded = wire::encodeMessageInfo(*ours);
      ASSERT_TRUE(encoded);
      ASSERT_EQ(std::string(encoded->begin(), encoded->end()), wire);

      std::unique_ptr<pb::Message> readBack(prototype->New());
      ASSERT_TRUE(readBack->ParseFromArray(encoded->data(), static_cast<int>(encoded->size())));
      EXPECT_TRUE(differencer.Compare(*theirs, *readBack));
      EXPECT_TRUE(readBack->GetReflection()->GetUnknownFields(*readBack).empty());
    }
  }
}

}  // namespace
