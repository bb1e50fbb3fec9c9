// App-identifier validation: "<version>:<project number>:ios:<hexadecimal hash>", version 1.
#include <string>
#include <vector>

#include "core/logger.h"
#include "core/zuzaze.h"

namespace {

// The versions whose form is known.
constexpr std::string_view kKnownVersion = "1";
constexpr std::string_view kPlatform = "ios";

// Reads a text from left to right, skipping nothing, as the platform's scanner does.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool isAtEnd() const { return at_ == text_.size(); }

  // A run of decimal digits.
  bool scanDigits(std::string* digits) {
    size_t start = at_;
    while (at_ < text_.size() && isDigit(text_[at_])) ++at_;
    if (digits) *digits = std::string(text_.substr(start, at_ - start));
    return at_ > start;
  }

  bool scanString(std::string_view expected) {
    if (text_.substr(at_).substr(0, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }

  // An optionally signed decimal integer.
  bool scanInteger() {
    size_t start = at_;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
    if (!scanDigits(nullptr)) {
      at_ = start;
      return false;
    }
    return true;
  }

  // Everything up to `stop` (or the end); false when that is nothing.
  bool scanUpTo(char stop, std::string* scanned) {
    size_t end = text_.find(stop, at_);
    if (end == std::string_view::npos) end = text_.size();
    *scanned = std::string(text_.substr(at_, end - at_));
    at_ = end;
    return !scanned->empty();
  }

  // A hexadecimal number, "0x" or "0X" allowed before it.
  bool scanHexNumber() {
    size_t start = at_;
    if (text_.substr(at_, 2) == "0x" || text_.substr(at_, 2) == "0X") at_ += 2;
    size_t digits = at_;
    while (at_ < text_.size() && isHexDigit(text_[at_])) ++at_;
    if (at_ > digits) return true;
    // "0x" without digits is the number 0 followed by "x".
    at_ = start;
    if (at_ < text_.size() && text_[at_] == '0') {
      ++at_;
      return true;
    }
    return false;
  }

 private:
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  std::string_view text_;
  size_t at_ = 0;
};

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

bool ZUZAze::validateAppID(std::string_view appID) {
  if (appID.empty()) return false;
  Scanner scanner(appID);
  std::string version;
  if (!scanner.scanDigits(&version) || !scanner.scanString(":")) return false;
  if (version != kKnownVersion) {
    RVOLogAtInfo(kRVOLoggerCore, "I-COR000010", "Unknown VEDODO_APP_ID version: %@", version);
    return true;
  }
  return validateAppIDFormat(appID, version) && validateBundleIDHashWithinAppID(appID, version);
}

bool ZUZAze::validateAppIDFormat(std::string_view appID, std::string_view version) {
  if (appID.empty() || version.empty()) return false;
  Scanner scanner(appID);
  std::string platform;
  return scanner.scanString(version) && scanner.scanString(":") && scanner.scanInteger() &&
         scanner.scanString(":") && scanner.scanUpTo(':', &platform) && platform == kPlatform &&
         scanner.scanString(":") && scanner.scanHexNumber() && scanner.isAtEnd();
}

bool ZUZAze::validateBundleIDHashWithinAppID(std::string_view appID, std::string_view version) {
  std::vector<std::string_view> parts = split(appID, ':');
  if (parts.size() != 4 || parts[3].empty()) return false;
  Scanner hash(parts[3]);
  return hash.scanHexNumber() && version == kKnownVersion;
}
