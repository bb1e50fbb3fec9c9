#include "os/plist.h"

#include <locale.h>
#include <plist/plist.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "os/value_utf8.h"

namespace os::plist {
namespace {

// The platform's reference date, 2001-01-01 00:00:00 UTC, in seconds since 1970.
constexpr double kReferenceDate = 978307200;
// Arrays and dictionaries nested deeper than this are refused in both directions: libplist
// reads, writes and frees trees recursively, and so does the conversion to Value.
constexpr size_t kMaxDepth = 512;

Error readError(const std::string& reason) {
  return Error(
      kErrorDomain, kReadCorruptError,
      "The data couldn\u2019t be read because it isn\u2019t in the correct format: " + reason,
      Dictionary{{"NSDebugDescription", reason}});
}

Error writeError(const std::string& reason) {
  return Error(
      kErrorDomain, kWriteInvalidError,
      "The data couldn\u2019t be written because it isn\u2019t in the correct format: " + reason,
      Dictionary{{"NSDebugDescription", reason}});
}

struct NodeDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// libplist reads <real> with atof and writes with "%g": both follow LC_NUMERIC. This makes the
// calling thread use the C locale for the scope's life.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    if (cLocale) previous_ = uselocale(cLocale);
  }
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = locale_t{};
};

uint64_t readBigEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

void appendBigEndian(std::string& out, uint64_t value, size_t count) {
  for (size_t i = count; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::string hexByte(unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  return std::string("0x") + kHex[(value >> 4) & 0xf] + kHex[value & 0xf];
}

// ---------------------------------------------------------------------------------------------
// Binary property lists are checked here before libplist sees them: every offset, length and
// reference must stay inside the object area, dictionary keys must be strings, there must be no
// reference cycle and no nesting beyond kMaxDepth, and shared containers may not expand the
// tree beyond a bound. libplist 2.2 checks most bounds itself but recurses without limit and
// reports nothing but a null result; this check gives the reason.

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
             internal::sanitizeUtf8(
                 std::string_view(reinterpret_cast<const char*>(bytes_) + 6, 2)) +
             "'";
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
      if (stack.size() >= kMaxDepth) {
        return where(index) + "arrays and dictionaries nested more than " +
               std::to_string(kMaxDepth) + " levels deep";
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

// ---------------------------------------------------------------------------------------------
// XML property lists are checked here before libplist sees them. libplist 2.2's XML reader is
// lax: it takes "<real>abc</real>" as 0, a malformed date as 1970, ignores text after the end,
// nests a second top-level value inside the first, and reads "010" as octal. This check
// accepts the property-list grammar only: an optional <plist> root around exactly one value,
// dictionaries of <key>/value pairs, decimal (or 0x hex) integers that fit in 64 bits, decimal
// reals (or nan/inf), dates as YYYY-MM-DDTHH:MM:SSZ and padded base64 data.

class XmlChecker {
 public:
  explicit XmlChecker(std::string_view text) : text_(text) {}

  std::optional<std::string> check() {
    skipMisc();
    if (failed()) return reason_;
    bool hasRoot = false;
    if (startsWith("<plist") && nameEndsAt(6)) {
      Tag tag = readTag();
      if (failed()) return reason_;
      if (tag.selfClosing) return "the <plist> element is empty";
      hasRoot = true;
    }
    skipMisc();
    if (failed()) return reason_;
    if (hasRoot && startsWith("</plist")) return "the <plist> element is empty";
    value(0);
    if (failed()) return reason_;
    skipMisc();
    if (failed()) return reason_;
    if (hasRoot) {
      if (!startsWith("</")) return unexpected("after the top-level value");
      Tag tag = readTag();
      if (failed()) return reason_;
      if (tag.name != "plist") return "expected </plist>, found </" + tag.name + ">";
      skipMisc();
      if (failed()) return reason_;
    }
    if (pos_ < text_.size()) return unexpected("after the end of the property list");
    return std::nullopt;
  }

 private:
  struct Tag {
    std::string name;
    bool closing = false;
    bool selfClosing = false;
  };

  bool failed() const { return reason_.has_value(); }

  void fail(std::string reason) {
    if (!reason_) reason_ = std::move(reason) + " (at byte " + std::to_string(pos_) + ")";
  }

  std::string unexpected(const std::string& place) {
    if (pos_ >= text_.size()) {
      fail("unexpected end of input " + place);
    } else {
      size_t end = std::min(text_.size(), pos_ + 20);
      fail("unexpected '" + internal::sanitizeUtf8(text_.substr(pos_, end - pos_)) + "' " + place);
    }
    return *reason_;
  }

  bool startsWith(std::string_view prefix) const {
    return text_.substr(pos_, prefix.size()) == prefix;
  }

  bool nameEndsAt(size_t length) const {
    if (pos_ + length >= text_.size()) return true;
    char c = text_[pos_ + length];
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '/';
  }

  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }

  // Skips to just after `terminator`; fails when there is none.
  void skipPast(std::string_view terminator, const char* what) {
    size_t found = text_.find(terminator, pos_);
    if (found == std::string_view::npos) {
      fail(std::string("unterminated ") + what);
      return;
    }
    pos_ = found + terminator.size();
  }

  // Whitespace, comments, processing instructions and the DOCTYPE between elements.
  void skipMisc() {
    while (!failed()) {
      skipSpace();
      if (startsWith("<?")) {
        skipPast("?>", "processing instruction");
      } else if (startsWith("<!--")) {
        skipPast("-->", "comment");
      } else if (startsWith("<!DOCTYPE")) {
        size_t close = text_.find('>', pos_);
        size_t subset = text_.find('[', pos_);
        if (subset != std::string_view::npos && subset < close) {
          skipPast("]>", "DOCTYPE");
        } else {
          skipPast(">", "DOCTYPE");
        }
      } else {
        return;
      }
    }
  }

  // Reads "<name ...>", "</name>" or "<name .../>" at pos_.
  Tag readTag() {
    Tag tag;
    ++pos_;  // '<'
    if (pos_ < text_.size() && text_[pos_] == '/') {
      tag.closing = true;
      ++pos_;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && !isSpace(text_[pos_]) && text_[pos_] != '>' &&
           text_[pos_] != '/' && text_[pos_] != '<') {
      ++pos_;
    }
    tag.name = std::string(text_.substr(start, pos_ - start));
    char quote = 0;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '<') {
        break;
      } else if (c == '>') {
        tag.selfClosing = pos_ > start && text_[pos_ - 1] == '/';
        ++pos_;
        if (tag.closing && tag.selfClosing) fail("malformed closing tag </" + tag.name + "/>");
        return tag;
      }
      ++pos_;
    }
    fail("unterminated tag <" + internal::sanitizeUtf8(tag.name));
    return tag;
  }

  // The character data up to the closing tag of `name`, which is consumed. With `plain`, the
  // content must be plain text (no markup, CDATA or comments); otherwise they are skipped.
  std::string_view content(const std::string& name, bool plain) {
    const size_t start = pos_;
    while (!failed()) {
      size_t open = text_.find('<', pos_);
      if (open == std::string_view::npos) {
        fail("unterminated <" + name + ">");
        break;
      }
      pos_ = open;
      if (startsWith("</")) {
        const size_t end = pos_;
        Tag tag = readTag();
        if (failed()) break;
        if (tag.name != name) {
          fail("expected </" + name + ">, found </" + internal::sanitizeUtf8(tag.name) + ">");
          break;
        }
        return text_.substr(start, end - start);
      }
      if (!plain && startsWith("<![CDATA[")) {
        skipPast("]]>", "CDATA section");
      } else if (!plain && startsWith("<!--")) {
        skipPast("-->", "comment");
      } else {
        unexpected(("inside <" + name + ">").c_str());
      }
    }
    return {};
  }

  static std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  static std::optional<std::string> integerProblem(std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
      negative = text[0] == '-';
      text.remove_prefix(1);
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      if (negative) return "a negative hexadecimal integer";
      std::string_view digits = text.substr(2);
      if (digits.size() > 16) return "an integer beyond 64 bits";
      for (char c : digits) {
        if (!isDigit(c) && !((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
          return "an invalid integer";
        }
      }
      return std::nullopt;
    }
    if (text.empty()) return "an empty integer";
    for (char c : text) {
      if (!isDigit(c)) return "an invalid integer";
    }
    if (text.size() > 1 && text[0] == '0') {
      return "an integer with a leading zero (libplist would read it as octal)";
    }
    // Fits in 64 bits: up to UINT64_MAX, or down to -2^63.
    std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
    if (text.size() > limit.size() || (text.size() == limit.size() && text > limit)) {
      return "an integer beyond 64 bits";
    }
    return std::nullopt;
  }

  static bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
      if (x != b[i]) return false;
    }
    return true;
  }

  static std::optional<std::string> realProblem(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    if (equalsIgnoringCase(text, "nan") || equalsIgnoringCase(text, "inf") ||
        equalsIgnoringCase(text, "infinity")) {
      return std::nullopt;
    }
    size_t i = 0;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
      ++i;
      while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return "an invalid real";
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
      ++i;
      if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
      size_t exponentDigits = 0;
      while (i < text.size() && isDigit(text[i])) ++i, ++exponentDigits;
      if (exponentDigits == 0) return "an invalid real";
    }
    if (i != text.size()) return "an invalid real";
    return std::nullopt;
  }

  static std::optional<std::string> dateProblem(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ
    static constexpr std::string_view kPattern = "dddd-dd-ddTdd:dd:ddZ";
    bool shaped = text.size() == kPattern.size();
    for (size_t i = 0; shaped && i < text.size(); ++i) {
      shaped = kPattern[i] == 'd' ? isDigit(text[i]) : text[i] == kPattern[i];
    }
    if (!shaped) return "a date not of the form YYYY-MM-DDTHH:MM:SSZ";
    auto number = [&](size_t at, size_t length) {
      int value = 0;
      for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
      return value;
    };
    int month = number(5, 2), day = number(8, 2), hour = number(11, 2);
    int minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
      return "an invalid date";
    }
    return std::nullopt;
  }

  static std::optional<std::string> dataProblem(std::string_view text) {
    size_t count = 0;
    size_t padding = 0;
    for (char c : text) {
      if (isSpace(c)) continue;
      bool base64 =
          (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '+' || c == '/';
      if (c == '=') {
        ++padding;
      } else if (!base64 || padding > 0) {
        return "invalid base64 data";
      }
      ++count;
    }
    if (count % 4 != 0 || padding > 2) return "base64 data of a length that is not a multiple of 4";
    return std::nullopt;
  }

  void checkScalar(const std::string& name, std::optional<std::string> problem) {
    if (problem) fail("<" + name + "> holds " + *problem);
  }

  // One value at pos_ (after skipMisc), at nesting `depth`.
  void value(size_t depth) {
    if (pos_ >= text_.size()) {
      fail("a value is missing (unexpected end)");
      return;
    }
    if (text_[pos_] != '<' || startsWith("</")) {
      unexpected("where a value was expected");
      return;
    }
    const size_t tagStart = pos_;
    Tag tag = readTag();
    if (failed()) return;
    const std::string& name = tag.name;
    if (name == "array" || name == "dict") {
      if (tag.selfClosing) return;
      if (depth + 1 > kMaxDepth) {
        pos_ = tagStart;
        fail("arrays and dictionaries nested more than " + std::to_string(kMaxDepth) +
             " levels deep");
        return;
      }
      const bool dictionary = name == "dict";
      while (!failed()) {
        skipMisc();
        if (failed()) return;
        if (startsWith("</")) {
          Tag close = readTag();
          if (failed()) return;
          if (close.name != name) {
            fail("expected </" + name + ">, found </" + internal::sanitizeUtf8(close.name) + ">");
          }
          return;
        }
        if (dictionary) {
          if (!startsWith("<key") || !nameEndsAt(4)) {
            unexpected("in <dict> where a <key> was expected");
            return;
          }
          Tag key = readTag();
          if (failed()) return;
          if (!key.selfClosing) content("key", false);
          if (failed()) return;
          skipMisc();
          if (failed()) return;
          if (startsWith("</")) {
            fail("a <key> in <dict> has no value");
            return;
          }
        }
        value(depth + 1);
      }
      return;
    }
    if (name == "true" || name == "false") {
      if (!tag.selfClosing)
        checkScalar(name, trimmed(content(name, true)).empty()
                              ? std::nullopt
                              : std::optional<std::string>("text"));
      return;
    }
    if (name == "string") {
      if (!tag.selfClosing) content(name, false);
      return;
    }
    if (name == "integer" || name == "real" || name == "date") {
      std::string_view text = tag.selfClosing ? std::string_view() : content(name, true);
      if (failed()) return;
      if (name == "integer") checkScalar(name, integerProblem(text));
      if (name == "real") checkScalar(name, realProblem(text));
      if (name == "date") checkScalar(name, dateProblem(text));
      return;
    }
    if (name == "data") {
      std::string_view text = tag.selfClosing ? std::string_view() : content(name, true);
      if (failed()) return;
      checkScalar(name, dataProblem(text));
      return;
    }
    pos_ = tagStart;
    fail("unexpected element <" + internal::sanitizeUtf8(name) + ">");
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::optional<std::string> reason_;
};

// ---------------------------------------------------------------------------------------------
// libplist 2.2's public API cannot express every value exactly: plist_new_date takes whole
// int32 seconds and microseconds since 2001 (so 1933 to 2069 only), plist_get_date_val
// truncates the same way, and plist_new_uint makes an integer that the writers treat as
// signed. Both are fixed by going through the binary form, which libplist reads and writes
// exactly: a one-object binary property list makes the node, and a node written alone gives its
// exact bytes back.

Node nodeFromSingleObject(unsigned char marker, const unsigned char* payload, size_t length) {
  std::string bytes = "bplist00";
  bytes += static_cast<char>(marker);
  bytes.append(reinterpret_cast<const char*>(payload), length);
  const size_t tableOffset = bytes.size();
  bytes += static_cast<char>(8);  // object 0 starts after the header
  bytes.append(6, '\0');          // unused bytes and sort version
  bytes += static_cast<char>(1);  // offset size
  bytes += static_cast<char>(1);  // object reference size
  appendBigEndian(bytes, 1, 8);   // object count
  appendBigEndian(bytes, 0, 8);   // top object
  appendBigEndian(bytes, tableOffset, 8);
  plist_t node = nullptr;
  plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  return Node(node);
}

Node newDate(double secondsSinceReference) {
  unsigned char payload[8];
  uint64_t bits = std::bit_cast<uint64_t>(secondsSinceReference);
  for (int i = 0; i < 8; ++i) payload[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  return nodeFromSingleObject(0x33, payload, sizeof payload);
}

Node newUnsignedAboveInt64(uint64_t value) {
  unsigned char payload[16] = {};
  for (int i = 0; i < 8; ++i) payload[8 + i] = static_cast<unsigned char>(value >> (56 - 8 * i));
  return nodeFromSingleObject(0x14, payload, sizeof payload);
}

std::optional<double> dateSinceReference(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::optional<double> exact;
  if (bytes && length >= 17 && static_cast<unsigned char>(bytes[8]) == 0x33) {
    uint64_t bits = readBigEndian(reinterpret_cast<const unsigned char*>(bytes) + 9, 8);
    exact = std::bit_cast<double>(bits);
  }
  if (bytes) plist_to_bin_free(bytes);
  return exact;
}

// A PLIST_UINT node holds 64 bits and a length: 8 for a signed integer, 16 for an unsigned one
// above INT64_MAX. Nodes compare equal only when their lengths are equal too.
bool isUnsignedAboveInt64(plist_t node, uint64_t bits) {
  if (bits <= static_cast<uint64_t>(INT64_MAX)) return false;
  Node signedForm(plist_new_uint(bits));
  return !plist_compare_node_value(node, signedForm.get());
}

// ---------------------------------------------------------------------------------------------

class Reader {
 public:
  std::optional<std::string> reason;

  Value convert(plist_t node) {
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return Value(value != 0);
      }
      case PLIST_UINT: {
        uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        if (isUnsignedAboveInt64(node, bits)) return Value(bits);
        return Value(static_cast<int64_t>(bits));
      }
      case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return Value(value);
      }
      case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        std::string value(text ? text : "", text ? length : 0);
        if (!internal::isValidUtf8(value)) fail("a string is not valid UTF-8");
        return Value(std::move(value));
      }
      case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
        return Value(bytes ? Data(begin, begin + length) : Data());
      }
      case PLIST_DATE: {
        std::optional<double> seconds = dateSinceReference(node);
        if (!seconds) fail("libplist could not give a date's value");
        return Value(Date{seconds.value_or(0) + kReferenceDate});
      }
      case PLIST_ARRAY: {
        Array array;
        array.reserve(plist_array_get_size(node));
        plist_array_iter iterator = nullptr;
        plist_array_new_iter(node, &iterator);
        for (plist_t item = nullptr; !reason;) {
          item = nullptr;
          plist_array_next_item(node, iterator, &item);
          if (!item) break;
          array.push_back(convert(item));
        }
        std::free(iterator);
        return Value(std::move(array));
      }
      case PLIST_DICT: {
        Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        while (!reason) {
          char* key = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, iterator, &key, &item);
          if (!item) {
            std::free(key);
            break;
          }
          std::string name(key ? key : "");
          std::free(key);
          if (!internal::isValidUtf8(name)) fail("a dictionary key is not valid UTF-8");
          dictionary.insert_or_assign(std::move(name), convert(item));
        }
        std::free(iterator);
        return Value(std::move(dictionary));
      }
      case PLIST_UID:
        fail("UID objects (keyed-archive references) are not supported");
        return Value();
      default:
        fail("libplist returned a node of unknown type");
        return Value();
    }
  }

 private:
  void fail(std::string text) {
    if (!reason) reason = std::move(text);
  }
};

class Writer {
 public:
  explicit Writer(Format format) : format_(format) {}

  std::optional<std::string> reason;

  Node convert(const Value& value, const std::string& path, size_t depth) {
    switch (value.type()) {
      case Value::Type::Null:
        return fail("a null cannot be written in a property list (at " + path + ")");
      case Value::Type::Boolean:
        return Node(plist_new_bool(*value.asBool() ? 1 : 0));
      case Value::Type::Integer:
        return Node(plist_new_uint(static_cast<uint64_t>(*value.asInteger())));
      case Value::Type::Unsigned: {
        uint64_t number = *value.asUnsigned();
        if (number <= static_cast<uint64_t>(INT64_MAX)) return Node(plist_new_uint(number));
        Node node = newUnsignedAboveInt64(number);
        if (!node) return fail("libplist could not make an unsigned integer (at " + path + ")");
        return node;
      }
      case Value::Type::Real:
        return Node(plist_new_real(*value.asReal()));
      case Value::Type::String:
        if (!checkString(*value.asString(), "a string", path)) return nullptr;
        return Node(plist_new_string(value.asString()->c_str()));
      case Value::Type::Data: {
        const Data& data = *value.asData();
        return Node(plist_new_data(reinterpret_cast<const char*>(data.data()), data.size()));
      }
      case Value::Type::Date: {
        double seconds = value.asDate()->secondsSince1970;
        if (!std::isfinite(seconds)) return fail("a date is not finite (at " + path + ")");
        // XML dates are written YYYY-MM-DDTHH:MM:SSZ, so years 0001 to 9999 only.
        constexpr double kXmlFirst = -62135596800.0;  // 0001-01-01T00:00:00Z
        constexpr double kXmlEnd = 253402300800.0;    // 10000-01-01T00:00:00Z
        if (format_ == Format::Xml && (seconds < kXmlFirst || seconds >= kXmlEnd)) {
          return fail("a date outside the years 1 to 9999 has no XML form (at " + path + ")");
        }
        double sinceReference = seconds - kReferenceDate;
        // XML keeps whole seconds; libplist would truncate toward 2001, the platform floors.
        if (format_ == Format::Xml) sinceReference = std::floor(sinceReference);
        Node node = newDate(sinceReference);
        if (!node) return fail("libplist could not make a date (at " + path + ")");
        return node;
      }
      case Value::Type::Array: {
        if (!checkDepth(depth, path)) return nullptr;
        Node array(plist_new_array());
        const Array& items = *value.asArray();
        for (size_t i = 0; i < items.size(); ++i) {
          Node item = convert(items[i], path + "[" + std::to_string(i) + "]", depth + 1);
          if (!item) return nullptr;
          plist_array_append_item(array.get(), item.release());
        }
        return array;
      }
      case Value::Type::Dictionary: {
        if (!checkDepth(depth, path)) return nullptr;
        Node dictionary(plist_new_dict());
        for (const auto& [key, item] : *value.asDictionary()) {
          if (!checkString(key, "a key", path)) return nullptr;
          Node node = convert(item, path + "." + key, depth + 1);
          if (!node) return nullptr;
          plist_dict_set_item(dictionary.get(), key.c_str(), node.release());
        }
        return dictionary;
      }
    }
    return fail("unknown value type (at " + path + ")");
  }

 private:
  Node fail(std::string text) {
    if (!reason) reason = std::move(text);
    return nullptr;
  }

  bool checkDepth(size_t depth, const std::string& path) {
    if (depth + 1 > kMaxDepth) {
      fail("arrays and dictionaries nested more than " + std::to_string(kMaxDepth) +
           " levels deep (at " + path + ")");
      return false;
    }
    return true;
  }

  bool checkString(const std::string& text, const char* what, const std::string& path) {
    if (!internal::isValidUtf8(text)) {
      fail(std::string(what) + " is not valid UTF-8 (at " + path + ")");
      return false;
    }
    if (text.find('\0') != std::string::npos) {
      fail(std::string(what) + " holds a NUL character, which libplist cannot store (at " + path +
           ")");
      return false;
    }
    if (format_ == Format::Xml) {
      for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          fail(std::string(what) + " holds the control character " +
               hexByte(static_cast<unsigned char>(c)) + ", which XML cannot carry (at " + path +
               ")");
          return false;
        }
      }
    }
    return true;
  }

  Format format_;
};

}  // namespace

std::optional<Value> parse(std::string_view bytes, Error* error, Format* format) {
  if (bytes.empty()) {
    fail(error, readError("the input is empty"));
    return std::nullopt;
  }
  if (bytes.size() > UINT32_MAX) {
    fail(error, readError("the input is larger than 4 GiB"));
    return std::nullopt;
  }
  CLocaleScope cLocale;
  const bool binary = bytes.substr(0, 6) == "bplist";
  plist_t root = nullptr;
  if (binary) {
    if (auto reason = BinaryChecker(bytes).check()) {
      fail(error, readError(*reason));
      return std::nullopt;
    }
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) {
      fail(error, readError("libplist could not read the binary property list"));
      return std::nullopt;
    }
  } else {
    std::string_view text = bytes;
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);  // UTF-8 byte-order mark
    if (auto reason = XmlChecker(text).check()) {
      fail(error, readError("XML property list: " + *reason));
      return std::nullopt;
    }
    plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
    if (!root) {
      fail(error, readError("libplist could not read the XML property list"));
      return std::nullopt;
    }
  }
  Node tree(root);
  Reader reader;
  Value value = reader.convert(tree.get());
  if (reader.reason) {
    fail(error, readError(*reader.reason));
    return std::nullopt;
  }
  if (format) *format = binary ? Format::Binary : Format::Xml;
  return value;
}

std::optional<std::string> serialize(const Value& value, Format format, Error* error) {
  CLocaleScope cLocale;
  Writer writer(format);
  Node tree = writer.convert(value, "$", 0);
  if (!tree) {
    fail(error, writeError(writer.reason.value_or("libplist could not make a node")));
    return std::nullopt;
  }
  char* bytes = nullptr;
  uint32_t length = 0;
  if (format == Format::Xml) {
    plist_to_xml(tree.get(), &bytes, &length);
  } else {
    plist_to_bin(tree.get(), &bytes, &length);
  }
  if (!bytes) {
    fail(error, writeError("libplist could not write the property list"));
    return std::nullopt;
  }
  std::string out(bytes, length);
  if (format == Format::Xml) {
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin_free(bytes);
  }
  return out;
}

bool hasPropertyListForm(const Value& value) {
  if (value.isNull()) return false;
  if (const Array* array = value.asArray()) {
    for (const Value& element : *array) {
      if (!hasPropertyListForm(element)) return false;
    }
  }
  if (const Dictionary* dictionary = value.asDictionary()) {
    for (const auto& [name, element] : *dictionary) {
      if (!hasPropertyListForm(element)) return false;
    }
  }
  return true;
}

}  // namespace os::plist
