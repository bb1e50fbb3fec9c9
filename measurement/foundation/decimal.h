// An exact decimal number of at most 38 significant digits: a sign, an integer mantissa and a
// power of ten, as audience filters compare numbers that arrive as text. Only parsing and the
// canonical text and their exact order are needed: "007" reads as 7, "1.50" as 1.5, ".5" as 0.5.
//
//   std::optional<Decimal> half = Decimal::parse("0.50");
//   half->text();  // "0.5"
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace measurement {

class Decimal {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  // Reads an optional sign, digits and an optional "." with more digits (at least one digit in
  // all). Digits past the 38th are dropped and round the kept ones half up, as the platform's
  // decimal numbers do; the caller finds the loss by comparing texts. std::nullopt for any other
  // text or a power of ten outside [-128, 127].
  static std::optional<Decimal> parse(std::string_view text);

  // The shortest plain decimal text: no exponent, no leading or trailing zeros, "0" for zero,
  // a "-" before negative numbers.
  std::string text() const;
  bool isNegative() const { return negative_; }

  friend bool operator==(const Decimal&, const Decimal&) = default;
  // Exact numeric order: 1.5 < 2, -3 < -2.99.
  friend std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);

 private:
  Decimal(bool negative, unsigned __int128 mantissa, int exponent);

  // Normalised: no trailing zero in the mantissa, zero is never negative.
  bool negative_ = false;
  unsigned __int128 mantissa_ = 0;
  int exponent_ = 0;
};

}  // namespace measurement
