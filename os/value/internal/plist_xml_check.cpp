#include "os/value/internal/plist_xml_check.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "os/value/internal/plist_bytes.h"
#include "os/value/value_utf8.h"

namespace os::internal {
namespace {

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
      fail("unexpected '" + sanitizeUtf8(text_.substr(pos_, end - pos_)) + "' " + place);
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
    fail("unterminated tag <" + sanitizeUtf8(tag.name));
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
          fail("expected </" + name + ">, found </" + sanitizeUtf8(tag.name) + ">");
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
      if (depth + 1 > kMaxPlistDepth) {
        pos_ = tagStart;
        fail("arrays and dictionaries nested more than " + std::to_string(kMaxPlistDepth) +
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
            fail("expected </" + name + ">, found </" + sanitizeUtf8(close.name) + ">");
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
    fail("unexpected element <" + sanitizeUtf8(name) + ">");
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::optional<std::string> reason_;
};

}  // namespace

std::optional<std::string> checkXmlPlist(std::string_view text) { return XmlChecker(text).check(); }

}  // namespace os::internal
