#include "measurement/foundation/decimal.h"

#include <algorithm>

namespace measurement {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr unsigned __int128 tenToThe(int power) {
  unsigned __int128 value = 1;
  for (int i = 0; i < power; ++i) value *= 10;
  return value;
}

constexpr unsigned __int128 kMantissaLimit = tenToThe(Decimal::kMaxDigits);

int digitCount(unsigned __int128 value) {
  int count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

// The order of two magnitudes mantissa * 10^exponent, both mantissas non-zero.
std::strong_ordering compareMagnitudes(unsigned __int128 a, int aExponent, unsigned __int128 b,
                                       int bExponent) {
  // The position of the leading digit decides unless it is the same; then scaling the one with
  // the larger power down to the other's keeps it within 38 digits.
  const int aLead = digitCount(a) + aExponent;
  const int bLead = digitCount(b) + bExponent;
  if (aLead != bLead) return aLead <=> bLead;
  if (aExponent > bExponent) a *= tenToThe(aExponent - bExponent);
  if (bExponent > aExponent) b *= tenToThe(bExponent - aExponent);
  return a <=> b;
}

std::string digitsOf(unsigned __int128 value) {
  std::string digits;
  do {
    digits += static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

}  // namespace

Decimal::Decimal(bool negative, unsigned __int128 mantissa, int exponent)
    : negative_(negative && mantissa != 0), mantissa_(mantissa), exponent_(exponent) {
  if (mantissa_ == 0) exponent_ = 0;
  while (mantissa_ != 0 && mantissa_ % 10 == 0) {
    mantissa_ /= 10;
    ++exponent_;
  }
}

std::optional<Decimal> Decimal::parse(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned __int128 mantissa = 0;
  int kept = 0;
  // Dropped integer digits raise the power; kept fraction digits lower it. Counted in 64 bits
  // so that a long text cannot overflow the count before the range check.
  int64_t exponent = 0;
  int firstDroppedDigit = -1;
  bool anyDigit = false;
  bool seenPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !seenPoint) {
      seenPoint = true;
      continue;
    }
    if (!isDigit(c)) return std::nullopt;
    anyDigit = true;
    if (mantissa == 0 && c == '0') {
      if (seenPoint) --exponent;
      continue;
    }
    if (kept < kMaxDigits) {
      mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
      ++kept;
      if (seenPoint) --exponent;
    } else {
      if (firstDroppedDigit < 0) firstDroppedDigit = c - '0';
      if (!seenPoint) ++exponent;
    }
  }
  if (!anyDigit) return std::nullopt;
  if (mantissa == 0) return Decimal(false, 0, 0);
  // Dropped digits round the kept ones half up; a carry past 38 digits moves the power.
  if (firstDroppedDigit >= 5 && ++mantissa == kMantissaLimit) {
    mantissa /= 10;
    ++exponent;
  }
  Decimal result(negative, mantissa, 0);
  exponent += result.exponent_;
  if (exponent < kMinExponent || exponent > kMaxExponent) return std::nullopt;
  result.exponent_ = static_cast<int>(exponent);
  return result;
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) {
  if (a.negative_ != b.negative_)
    return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  if (a.mantissa_ == 0 || b.mantissa_ == 0) {
    // Zero is never negative, so the other one's sign decides.
    if (a.mantissa_ == b.mantissa_) return std::strong_ordering::equal;
    const bool aIsLarger = a.mantissa_ != 0 ? !a.negative_ : b.negative_;
    return aIsLarger ? std::strong_ordering::greater : std::strong_ordering::less;
  }
  std::strong_ordering magnitude =
      compareMagnitudes(a.mantissa_, a.exponent_, b.mantissa_, b.exponent_);
  if (!a.negative_) return magnitude;
  return 0 <=> magnitude;
}

std::string Decimal::text() const {
  std::string digits = digitsOf(mantissa_);
  std::string body;
  if (exponent_ >= 0) {
    body = digits + std::string(static_cast<size_t>(exponent_), '0');
  } else {
    const size_t fraction = static_cast<size_t>(-exponent_);
    if (digits.size() <= fraction) {
      body = "0." + std::string(fraction - digits.size(), '0') + digits;
    } else {
      body = digits.substr(0, digits.size() - fraction) + "." +
             digits.substr(digits.size() - fraction);
    }
  }
  return negative_ ? "-" + body : body;
}

}  // namespace measurement
