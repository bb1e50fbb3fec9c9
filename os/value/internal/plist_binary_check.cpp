#include "os/value/internal/plist_binary_check.h"

#include <cstring>
#include <vector>

#include "os/value/internal/plist_bytes.h"
#include "os/value/value_utf8.h"

namespace os::internal {
namespace {

class BinaryChecker {
 public:
  explicit BinaryChecker(std::string_view bytes)
      : bytes_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  // Nullopt when the bytes are a well-formed binary property list, else the reason.
  std::optional<std::string> check() {
    // Header "bplist00", at least one object byte and one offset byte, and a 32-byte trailer.
    if (size_ < 8 + 1 + 1 + 32) {
      return "binary property list is truncated (" + std::to_string(size_) +
             " bytes is too short for a header, an object and a trailer)";
    }
    if (std::memcmp(bytes_, "bplist00", 8) != 0) {
      return "unsupported binary property list version '" +
             sanitizeUtf8(std::string_view(reinterpret_cast<const char*>(bytes_) + 6, 2)) + "'";
    }
    const size_t trailer = size_ - 32;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    objectCount_ = readBigEndian(bytes_ + trailer + 8, 8);
    const uint64_t topObject = readBigEndian(bytes_ + trailer + 16, 8);
    tableOffset_ = readBigEndian(bytes_ + trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8) {
      return "trailer: offset size " + std::to_string(offsetSize_) + " is not 1 to 8 (truncated?)";
    }
    if (refSize_ < 1 || refSize_ > 8) {
      return "trailer: object reference size " + std::to_string(refSize_) +
             " is not 1 to 8 (truncated?)";
    }
    if (objectCount_ == 0) return "trailer: the object count is 0 (truncated?)";
    if (topObject >= objectCount_) {
      return "trailer: top object " + std::to_string(topObject) +
             " is not below the object count " + std::to_string(objectCount_);
    }
    if (tableOffset_ < 9 || tableOffset_ >= trailer) {
      return "trailer: offset table offset " + std::to_string(tableOffset_) +
             " points outside the data (" + std::to_string(size_) + " bytes; truncated?)";
    }
    if (objectCount_ > (trailer - tableOffset_) / offsetSize_) {
      return "offset table of " + std::to_string(objectCount_) + " entries of " +
             std::to_string(offsetSize_) + " bytes runs past the trailer";
    }
    for (uint64_t i = 0; i < objectCount_; ++i) {
      uint64_t offset = objectOffset(i);
      if (offset < 8 || offset >= tableOffset_) {
        return "object " + std::to_string(i) + ": offset " + std::to_string(offset) +
               " points outside the object area (8 to " + std::to_string(tableOffset_) + ")";
      }
    }
    return walk(topObject);
  }

 private:
  struct Object {
    unsigned char marker = 0;
    uint64_t count = 0;    // length of data and strings, entries of arrays and dictionaries
    uint64_t payload = 0;  // offset of the bytes after the marker and length
  };

  struct Frame {
    uint64_t object;
    uint64_t refsAt;
    uint64_t refCount;  // 2 * entries for a dictionary
    uint64_t keyCount;  // the first keyCount references of a dictionary are its keys
    uint64_t next;
  };

  uint64_t objectOffset(uint64_t index) const {
    return readBigEndian(bytes_ + tableOffset_ + index * offsetSize_, offsetSize_);
  }

  // True when [start, start + length) lies inside the object area.
  bool fits(uint64_t start, uint64_t length) const {
    return start <= tableOffset_ && length <= tableOffset_ - start;
  }

  static std::string where(uint64_t index) { return "object " + std::to_string(index) + ": "; }

  // Reads the marker and length of object `index` and checks that its bytes fit.
  std::optional<std::string> header(uint64_t index, Object& object) const {
    const uint64_t offset = objectOffset(index);
    object.marker = bytes_[offset];
    const unsigned type = object.marker >> 4;
    const unsigned low = object.marker & 0xf;
    object.payload = offset + 1;
    object.count = low;
    const bool sized =
        type == 0x4 || type == 0x5 || type == 0x6 || type == 0xa || type == 0xc || type == 0xd;
    if (sized && low == 0xf) {
      if (!fits(object.payload, 1)) return where(index) + "length runs past the object area";
      const unsigned char lengthMarker = bytes_[object.payload];
      if ((lengthMarker >> 4) != 0x1 || (lengthMarker & 0xf) > 3) {
        return where(index) + "invalid length marker " + hexByte(lengthMarker);
      }
      const size_t lengthSize = size_t{1} << (lengthMarker & 0xf);
      if (!fits(object.payload + 1, lengthSize)) {
        return where(index) + "length runs past the object area";
      }
      object.count = readBigEndian(bytes_ + object.payload + 1, lengthSize);
      object.payload += 1 + lengthSize;
    }
    const uint64_t room = fits(object.payload, 0) ? tableOffset_ - object.payload : 0;
    switch (type) {
      case 0x0:
        if (low == 0x8 || low == 0x9) return std::nullopt;
        if (low == 0x0) return where(index) + "null objects are not supported";
        return where(index) + "unknown object type " + hexByte(object.marker);
      case 0x1: {
        if (low > 4) return where(index) + "invalid integer size " + hexByte(object.marker);
        const size_t size = size_t{1} << low;
        if (size > room) return where(index) + "integer runs past the object area";
        if (size == 16 && readBigEndian(bytes_ + object.payload, 8) != 0) {
          return where(index) + "integer does not fit in 64 bits";
        }
        return std::nullopt;
      }
      case 0x2:
        if (low != 2 && low != 3)
          return where(index) + "invalid real size " + hexByte(object.marker);
        if ((size_t{1} << low) > room) return where(index) + "real runs past the object area";
        return std::nullopt;
      case 0x3:
        if (low != 3) return where(index) + "invalid date size " + hexByte(object.marker);
        if (8 > room) return where(index) + "date runs past the object area";
        return std::nullopt;
      case 0x4:
        if (object.count > room) return where(index) + "data runs past the object area";
        return std::nullopt;
      case 0x5:
        if (object.count > room) return where(index) + "string runs past the object area";
        for (uint64_t i = 0; i < object.count; ++i) {
          unsigned char c = bytes_[object.payload + i];
          if (c == 0) return where(index) + "string holds a NUL character (not supported)";
          if (c >= 0x80)
            return where(index) + "ASCII string holds the non-ASCII byte " + hexByte(c);
        }
        return std::nullopt;
      case 0x6:
        if (object.count > room / 2) return where(index) + "string runs past the object area";
        for (uint64_t i = 0; i < object.count; ++i) {
          uint64_t unit = readBigEndian(bytes_ + object.payload + 2 * i, 2);
          if (unit == 0) return where(index) + "string holds a NUL character (not supported)";
          if (unit >= 0xd800 && unit <= 0xdbff) {
            uint64_t trail =
                i + 1 < object.count ? readBigEndian(bytes_ + object.payload + 2 * (i + 1), 2) : 0;
            if (trail < 0xdc00 || trail > 0xdfff) {
              return where(index) + "string holds an unpaired UTF-16 surrogate";
            }
            ++i;
          } else if (unit >= 0xdc00 && unit <= 0xdfff) {
            return where(index) + "string holds an unpaired UTF-16 surrogate";
          }
        }
        return std::nullopt;
      case 0x8:
        return where(index) + "UID objects (keyed-archive references) are not supported";
      case 0xa:
      case 0xc:
        if (object.count > room / refSize_) {
          return where(index) + "array references run past the object area";
        }
        return std::nullopt;
      case 0xd:
        if (object.count > room / (2 * refSize_)) {
          return where(index) + "dictionary references run past the object area";
        }
        return std::nullopt;
      default:
        return where(index) + "unknown object type " + hexByte(object.marker);
    }
  }

  // Visits the object graph from the top object without recursion.
  std::optional<std::string> walk(uint64_t top) {
    // A tree visits each reference once, and references take at least one byte each; shared
    // containers (which no common writer produces) may expand it a few times, not more.
    const uint64_t visitLimit = 8 * static_cast<uint64_t>(size_) + 1024;
    uint64_t visits = 0;
    std::vector<bool> onPath(objectCount_, false);
    std::vector<Frame> stack;

    auto enter = [&](uint64_t index) -> std::optional<std::string> {
      if (++visits > visitLimit) {
        return "the object graph expands to more than " + std::to_string(visitLimit) +
               " objects (shared containers)";
      }
      Object object;
      if (auto reason = header(index, object)) return reason;
      const unsigned type = object.marker >> 4;
      if (type != 0xa && type != 0xc && type != 0xd) return std::nullopt;
      if (stack.size() >= kMaxPlistDepth) {
        return where(index) + "arrays and dictionaries nested more than " +
               std::to_string(kMaxPlistDepth) + " levels deep";
      }
      const bool dictionary = type == 0xd;
      onPath[index] = true;
      stack.push_back(Frame{index, object.payload, dictionary ? 2 * object.count : object.count,
                            dictionary ? object.count : 0, 0});
      return std::nullopt;
    };

    if (auto reason = enter(top)) return reason;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.refCount) {
        onPath[frame.object] = false;
        stack.pop_back();
        continue;
      }
      const uint64_t parent = frame.object;
      const bool isKey = frame.next < frame.keyCount;
      const uint64_t ref = readBigEndian(bytes_ + frame.refsAt + frame.next * refSize_, refSize_);
      ++frame.next;  // `frame` may dangle once enter() pushes
      if (ref >= objectCount_) {
        return where(parent) + "reference " + std::to_string(ref) +
               " is not below the object count " + std::to_string(objectCount_);
      }
      if (onPath[ref]) {
        return where(parent) + "reference cycle through object " + std::to_string(ref);
      }
      if (isKey) {
        unsigned type = bytes_[objectOffset(ref)] >> 4;
        if (type != 0x5 && type != 0x6) {
          return where(parent) + "dictionary key (object " + std::to_string(ref) +
                 ") is not a string";
        }
      }
      if (auto reason = enter(ref)) return reason;
    }
    return std::nullopt;
  }

  const unsigned char* bytes_;
  size_t size_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t tableOffset_ = 0;
};

}  // namespace

std::optional<std::string> checkBinaryPlist(std::string_view bytes) {
  return BinaryChecker(bytes).check();
}

}  // namespace os::internal
