#include "os/value/plist.h"

#include <locale.h>
#include <plist/plist.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "os/value/internal/plist_binary_check.h"
#include "os/value/internal/plist_bytes.h"
#include "os/value/internal/plist_xml_check.h"
#include "os/value/value_utf8.h"

namespace os::plist {
namespace {

using internal::hexByte;
using internal::kMaxPlistDepth;
using internal::readBigEndian;

// The platform's reference date, 2001-01-01 00:00:00 UTC, in seconds since 1970.
constexpr double kReferenceDate = 978307200;

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

void appendBigEndian(std::string& out, uint64_t value, size_t count) {
  for (size_t i = count; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

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
    if (depth + 1 > kMaxPlistDepth) {
      fail("arrays and dictionaries nested more than " + std::to_string(kMaxPlistDepth) +
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
    if (auto reason = internal::checkBinaryPlist(bytes)) {
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
    if (auto reason = internal::checkXmlPlist(text)) {
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
