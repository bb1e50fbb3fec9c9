// Text as the desktop platform's string class sees it, over our UTF-8 std::string: lengths,
// indices and ranges in UTF-16 code units, Unicode scalars, composed character sequences
// (grapheme clusters), searches and comparisons with the platform's compare options. All of it is
// ICU; call these helpers wherever ported code counts or indexes characters, never byte counts.
//
//   os::text::utf16Length("😀a");                                      // 3
//   os::text::composedCharacterCount("😀a");                           // 2
//   os::text::rangeOf("xabcx", "ABC", os::text::kCaseInsensitive);     // {1, 3}
//   os::text::compare("file9", "file10", os::text::kNumeric);          // Order::Ascending
//   os::text::substring("😀abc", {2, 2});                              // "ab"
//
// Invalid UTF-8: every function reads a string as ICU's lenient UTF-8 decoder does, each maximal
// ill-formed subsequence standing for one U+FFFD REPLACEMENT CHARACTER (one UTF-16 code unit).
// Nothing here rejects or crashes on such input, and texts produced here are always valid UTF-8.
// Strings longer than 2 GiB are outside what ICU's break iterators and normalisers accept.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace os::text {

// The platform's NSNotFound (INT64_MAX), the location of a range that was not found.
inline constexpr size_t kNotFound = 0x7fffffffffffffff;

// A range of UTF-16 code units.
struct Range {
  size_t location = 0;
  size_t length = 0;

  // One past the last unit (NSMaxRange).
  size_t end() const { return location + length; }
  bool found() const { return location != kNotFound; }
  friend bool operator==(const Range&, const Range&) = default;
};

// What a search that finds nothing returns.
inline constexpr Range kNotFoundRange{kNotFound, 0};

// True when `s` is well-formed UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
bool isValidUtf8(std::string_view s);

// Number of UTF-16 code units of `s` (the platform's length).
size_t utf16Length(std::string_view s);

// Number of Unicode scalar values (code points) of `s`.
size_t unicodeScalarCount(std::string_view s);

// Number of composed character sequences (extended grapheme clusters) of `s`.
size_t composedCharacterCount(std::string_view s);

// The UTF-16 range of the composed character sequence that contains UTF-16 index `index`;
// nullopt when `index >= utf16Length(s)` (where the platform raises).
std::optional<Range> rangeOfComposedCharacterSequence(std::string_view s, size_t index);

// The byte offset in `s` at which UTF-16 index `index` starts. `index == utf16Length(s)` gives
// s.size(). nullopt when the index is past the end or falls between the two halves of a
// surrogate pair (no byte offset lies there; widen to the composed character sequence first).
std::optional<size_t> byteOffsetOfUtf16Index(std::string_view s, size_t index);

// The UTF-16 index at which byte offset `offset` of `s` starts. `offset == s.size()` gives
// utf16Length(s). nullopt when the offset is past the end or inside a multi-byte sequence (or
// inside an ill-formed sequence, which counts as one character).
std::optional<size_t> utf16IndexOfByteOffset(std::string_view s, size_t offset);

// The text of `s` in the UTF-16 range `range`; nullopt when the range does not lie within `s`
// (where the platform raises). A range that splits a surrogate pair gets U+FFFD for each half it
// holds, so the result always has `range.length` UTF-16 units.
std::optional<std::string> substring(std::string_view s, Range range);

// `s` as UTF-16 (ill-formed sequences become U+FFFD).
std::u16string toUtf16(std::string_view s);
// `s` as UTF-8; unpaired surrogates become U+FFFD.
std::string fromUtf16(std::u16string_view s);

// The platform's string compare options, with the platform's values. Combine with `|`; a value
// from ported code converts with CompareOptions(value).
enum CompareOptions : unsigned {
  kNoOptions = 0,
  kCaseInsensitive = 1,
  kLiteral = 2,
  kBackwards = 4,
  kAnchored = 8,
  kNumeric = 64,
  kDiacriticInsensitive = 128,
  kWidthInsensitive = 256,
  kForcedOrdering = 512,
};
constexpr CompareOptions operator|(CompareOptions a, CompareOptions b) {
  return CompareOptions(unsigned(a) | unsigned(b));
}

// How the options shape searches and comparisons:
// - Without kLiteral, canonically equivalent texts are equal (both sides are NFD-normalised),
//   and a match never starts or ends inside a character and its combining marks: "e" is not
//   found in "é", however that "é" is written. With kLiteral, UTF-16 code units are compared as
//   they are.
// - kCaseInsensitive: full Unicode case folding ("ß" matches "SS").
// - kDiacriticInsensitive: combining marks are dropped after canonical decomposition ("é" matches
//   "e").
// - kWidthInsensitive: full-width and half-width forms match their ordinary forms ("Ａ" matches
//   "A").

// The UTF-16 range (in `text`'s own units) of the first occurrence of `needle` in `text`, within
// `searchRange` (whole text by default). kBackwards finds the last occurrence; kAnchored accepts
// only a match that starts at the start of the search range (with kBackwards: ends at its end).
// An empty needle, or a search range that does not lie within `text`, finds nothing.
Range rangeOf(std::string_view text, std::string_view needle, CompareOptions options = kNoOptions,
              std::optional<Range> searchRange = std::nullopt);

enum class Order { Ascending = -1, Same = 0, Descending = 1 };

// Orders `a` against `b`. Texts are compared by UTF-16 code units after the treatment above
// (without kLiteral: of their NFD forms, so "é" and "e\u0301" are Same). kNumeric compares runs
// of decimal digits by value ("file9" < "file10", "01" equals "1"). kForcedOrdering turns a Same
// between texts that differ into the order of their plain UTF-16 code units. kBackwards and
// kAnchored have no effect.
Order compare(std::string_view a, std::string_view b, CompareOptions options = kNoOptions);

// Orders `a` against `b` as the user's language sorts text, ignoring case (the platform's
// localized case-insensitive comparison): ICU collation of the default locale at secondary
// strength, so "apple" < "Banana" < "cherry" and "a-b" < "a/b" < "ab". Texts that differ only in
// case are Same.
Order localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// Orders `a` against `b` as the language of `locale` ("en_US") sorts text, case included (the
// platform's comparison with a locale and no options): ICU collation of that locale at tertiary
// strength, so "a" < "A" < "b" and "_b" < "a". A locale ICU does not know takes the root order.
Order compareInLocale(std::string_view a, std::string_view b, const std::string& locale);

// True when the UTF-16 code units of `s` start (end) with those of `prefix` (`suffix`).
bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);

// Full case mappings, independent of the user's locale: uppercase("straße") is "STRASSE".
std::string lowercase(std::string_view s);
std::string uppercase(std::string_view s);

}  // namespace os::text
