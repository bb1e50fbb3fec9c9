// wire::Message is one protocol-buffer message of the measurement protocol in memory: its type
// and one slot per field, addressed by the field's access index (its position in the schema's
// declaration, not its wire tag). Everything reachable from the slots belongs to the message.
//
// Callers outside this folder use the typed wrappers of apmpb.h and the APMPB* operations of
// access.h; this header is the data model those share with the decoder and the encoder.
//
//   wire::MessagePtr event = wire::initMessageInfo(wire::schema::kEventType);
//   wire::MessagePtr copy = wire::copyMessageInfo(*event);   // deep and independent
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace wire {

// Kind word of a field: one label bit and one type bit.
enum Kind : int32_t {
  kSingular = 0x2,
  kRepeated = 0x8,
  kBool = 0x20,
  kEnum = 0x40,
  kInt32 = 0x80,
  kUInt32 = 0x100,
  kInt64 = 0x200,
  kUInt64 = 0x400,
  kFloat = 0x800,
  kDouble = 0x1000,
  kString = 0x2000,
  kMessage = 0x4000,
  kBytes = 0x8000,
};

// Messages nest at most this many levels, the outermost one included. Deeper input fails to
// decode and no setter builds a deeper tree, so copying, encoding and freeing never recurse
// further than this.
inline constexpr int kMaxNestingDepth = 100;
// Longest string or bytes value accepted on the wire.
inline constexpr size_t kMaxWireStringLength = 1048576;

struct MessageType;

struct FieldInfo {
  uint32_t tag;
  int32_t kind;
  const char* name;
  const MessageType* itemType;  // message kinds only

  bool isRepeated() const { return kind & kRepeated; }
  bool isText() const { return kind & (kString | kBytes); }
  bool isMessage() const { return kind & kMessage; }
};

// The static description of one message type, generated from the schema.
struct MessageType {
  const char* name;
  int32_t fieldCount;
  const FieldInfo* fields;    // by access index
  const int16_t* indexByTag;  // -1 where the tag does not exist
  uint32_t maxTag;
  const int16_t* tagOrder;  // the access indices by ascending tag

  // The access index of `tag`, or -1.
  int32_t indexOfTag(uint32_t tag) const { return tag <= maxTag ? indexByTag[tag] : -1; }
};

// The bytes of a string or bytes value in one heap block, always followed by a zero byte.
class Bytes {
 public:
  static Bytes* create(const void* data, size_t size);
  // A value of `size` bytes for the caller to fill.
  static Bytes* allocate(size_t size);
  static void destroy(Bytes* bytes);

  size_t size() const { return size_; }
  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }

 private:
  explicit Bytes(size_t size) : size_(size) {}
  size_t size_;
};

class Message;

// One value: a scalar (bools 0 or 1, 32-bit kinds zero-extended), or an owned pointer.
union Value {
  uint64_t bits;
  float f;
  double d;
  Bytes* bytes;
  Message* message;
};

// A singular field holds `value` and is present when `count` is 1; a repeated field holds
// `count` items (of `capacity` allocated) and always exists, empty or not.
struct Slot {
  union {
    Value value;
    Value* items;
  };
  uint32_t count;
  uint32_t capacity;
};

struct MessageDeleter {
  void operator()(Message* message) const;
};
using MessagePtr = std::unique_ptr<Message, MessageDeleter>;

class Message {
 public:
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  const MessageType& type() const { return *type_; }
  const char* name() const { return type_->name; }
  int32_t fieldCount() const { return type_->fieldCount; }
  const FieldInfo& field(int32_t index) const { return type_->fields[index]; }
  Slot& slot(int32_t index) { return slots()[index]; }
  const Slot& slot(int32_t index) const { return slots()[index]; }

  // Scratch state of the glue: the level of this message in the tree being decoded (1 for the
  // outermost), and the encoded size the encoder measured before writing.
  int32_t decodeDepth() const { return decodeDepth_; }
  void setDecodeDepth(int32_t depth) { decodeDepth_ = depth; }
  size_t encodedSize() const { return encodedSize_; }
  void setEncodedSize(size_t size) const { encodedSize_ = size; }

 private:
  friend MessagePtr initMessageInfo(const MessageType& type);
  friend struct MessageDeleter;

  explicit Message(const MessageType& type) : type_(&type) {}
  ~Message() = default;
  Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }
  const Slot* slots() const { return reinterpret_cast<const Slot*>(this + 1); }

  const MessageType* type_;
  int32_t decodeDepth_ = 1;
  mutable size_t encodedSize_ = 0;
};
static_assert(sizeof(Message) % alignof(Slot) == 0, "slots follow the message header");

// An empty message of `type`: every singular field absent, every repeated field empty.
MessagePtr initMessageInfo(const MessageType& type);
// A deep copy of `source`, sharing nothing with it.
MessagePtr copyMessageInfo(const Message& source);
// Frees field `index` of `message`: a singular field becomes absent, a repeated one empty. An
// index outside the message prints "<ERROR> <name>: Cannot deallocate field <index>: Unknown
// field" and answers false, changing nothing.
bool deallocMessageField(Message& message, int32_t index);
// The number of message levels in `message`'s tree, itself included.
int nestingDepth(const Message& message);

// Item helpers shared by the glue and the access layer. A value of kind `kind` (any label):
// a copy owning its own bytes or sub-message; freeing what it owns.
Value copyValue(int32_t kind, Value value);
void freeValue(int32_t kind, Value value);
// Appends `value` to the repeated field `slot`, which takes ownership.
void appendItem(Slot& slot, Value value);
// Replaces the singular field `slot` (of kind `kind`) with the present `value`.
void setSingular(Slot& slot, int32_t kind, Value value);

}  // namespace wire
