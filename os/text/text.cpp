#include "os/text/text.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "os/value/value_utf8.h"

namespace os::text {
namespace {

constexpr UChar32 kReplacementCharacter = 0xFFFD;

// ICU fails only when its data is missing or memory runs out; nothing sensible can go on then.
void requireSuccess(UErrorCode status, const char* operation) {
  if (U_FAILURE(status)) {
    std::fprintf(stderr, "os::text: ICU %s failed: %s\n", operation, u_errorName(status));
    std::abort();
  }
}

// Decodes the code point at byte offset `i` of `s` and advances `i` past it. A maximal ill-formed
// subsequence is consumed whole and gives a negative value (it stands for U+FFFD).
UChar32 nextCodePoint(std::string_view s, size_t& i) {
  UChar32 c;
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, s.size(), c);
  return c;
}

// Number of UTF-16 units that the code point returned by nextCodePoint() takes.
size_t utf16UnitsOf(UChar32 c) { return c < 0 ? 1 : U16_LENGTH(c); }

void appendUtf8(std::string& out, UChar32 c) {
  char bytes[U8_MAX_LENGTH];
  size_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, c);
  out.append(bytes, length);
}

// Calls an ICU function that writes a UTF-16 string, with the usual preflight: a first try into
// a buffer of `capacityHint` units, and a second one of the exact size when that was too small.
template <typename Write>
std::u16string icuString(size_t capacityHint, const char* operation, Write write) {
  std::u16string out(capacityHint, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = write(out.data(), static_cast<int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    length = write(out.data(), static_cast<int32_t>(out.size()), &status);
  }
  requireSuccess(status, operation);
  out.resize(static_cast<size_t>(length));
  return out;
}

int32_t icuLength(std::u16string_view s) { return static_cast<int32_t>(s.size()); }

const UNormalizer2* nfd() {
  static const UNormalizer2* const instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* normalizer = unorm2_getNFDInstance(&status);
    requireSuccess(status, "NFD instance");
    return normalizer;
  }();
  return instance;
}

const UNormalizer2* nfkc() {
  static const UNormalizer2* const instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* normalizer = unorm2_getNFKCInstance(&status);
    requireSuccess(status, "NFKC instance");
    return normalizer;
  }();
  return instance;
}

std::u16string normalizeNfd(std::u16string_view s) {
  return icuString(s.size() + 4, "NFD normalisation",
                   [&](UChar* dest, int32_t capacity, UErrorCode* status) {
                     return unorm2_normalize(nfd(), s.data(), icuLength(s), dest, capacity, status);
                   });
}

std::u16string foldCase(std::u16string_view s) {
  return icuString(
      s.size() + 4, "case folding", [&](UChar* dest, int32_t capacity, UErrorCode* status) {
        return u_strFoldCase(dest, capacity, s.data(), icuLength(s), U_FOLD_CASE_DEFAULT, status);
      });
}

// Replaces full-width and half-width forms by their ordinary counterparts, which is exactly their
// <wide> or <narrow> compatibility mapping.
std::u16string foldWidth(std::u16string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    int32_t type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    if (type == U_DT_WIDE || type == U_DT_NARROW) {
      out += icuString(4, "width mapping", [&](UChar* dest, int32_t capacity, UErrorCode* status) {
        return unorm2_getRawDecomposition(nfkc(), c, dest, capacity, status);
      });
    } else {
      size_t length = out.size();
      out.resize(length + U16_LENGTH(c));
      U16_APPEND_UNSAFE(out.data(), length, c);
    }
  }
  return out;
}

void removeNonspacingMarks(std::u16string& s) {
  std::u16string kept;
  for (size_t i = 0; i < s.size();) {
    size_t start = i;
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    if (u_charType(c) != U_NON_SPACING_MARK) kept.append(s, start, i - start);
  }
  s = std::move(kept);
}

// The grapheme-cluster iterator of this thread, set to `text`, which must outlive its use.
UBreakIterator* characterBreaks(std::u16string_view text) {
  struct Closer {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
  };
  thread_local std::unique_ptr<UBreakIterator, Closer> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* opened = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
    requireSuccess(status, "character break iterator");
    return std::unique_ptr<UBreakIterator, Closer>(opened);
  }();
  UErrorCode status = U_ZERO_ERROR;
  ubrk_setText(iterator.get(), text.data(), icuLength(text), &status);
  requireSuccess(status, "break iterator text");
  return iterator.get();
}

// Where UTF-16 index `index` falls in `s`: the byte offset of the code point that holds it (or
// s.size() at the end), and whether the index points at the second half of a surrogate pair.
struct Utf16Position {
  size_t byte;
  bool insidePair;
};

std::optional<Utf16Position> locateUtf16Index(std::string_view s, size_t index) {
  size_t byte = 0;
  size_t unit = 0;
  while (unit < index) {
    if (byte == s.size()) return std::nullopt;
    size_t start = byte;
    unit += utf16UnitsOf(nextCodePoint(s, byte));
    if (unit > index) return Utf16Position{start, true};
  }
  return Utf16Position{byte, false};
}

// A text prepared for matching under compare options. Without kLiteral the text is cut into
// pieces at NFD boundaries (a character with its combining marks), each piece is transformed on
// its own, and every unit of the result remembers the piece of the original it came from, so that
// a match maps back to the original's UTF-16 units even when a piece grew or shrank ("ß" folds to
// "ss", "é" decomposes to "e" + U+0301).
struct MatchKey {
  struct Origin {
    size_t begin;
    size_t end;
  };
  std::u16string units;
  std::vector<Origin> origins;  // parallel to `units`; empty unless asked for

  // True when a match may start or end before unit `k`: not inside a piece.
  bool isPieceBoundary(size_t k) const {
    return k == 0 || k == units.size() || origins[k - 1].begin != origins[k].begin;
  }
};

bool decomposes(CompareOptions options) {
  return !(options & kLiteral) || (options & kDiacriticInsensitive);
}

bool transforms(CompareOptions options) {
  return decomposes(options) || (options & (kCaseInsensitive | kWidthInsensitive));
}

void appendPieceKey(std::u16string_view piece, CompareOptions options, std::u16string& out) {
  if (piece.size() == 1 && piece[0] < 0x80) {  // ASCII needs only the case folded
    char16_t c = piece[0];
    if ((options & kCaseInsensitive) && c >= u'A' && c <= u'Z') c = c - u'A' + u'a';
    out.push_back(c);
    return;
  }
  std::u16string key(piece);
  if (options & kWidthInsensitive) key = foldWidth(key);
  if (decomposes(options)) key = normalizeNfd(key);
  if (options & kCaseInsensitive) {
    key = foldCase(key);
    if (decomposes(options)) key = normalizeNfd(key);
  }
  if (options & kDiacriticInsensitive) removeNonspacingMarks(key);
  out += key;
}

MatchKey matchKey(std::u16string_view text, CompareOptions options, bool withOrigins) {
  MatchKey key;
  key.units.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t begin = i;
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    while (decomposes(options) && i < text.size()) {
      size_t next = i;
      U16_NEXT(text.data(), next, text.size(), c);
      if (unorm2_hasBoundaryBefore(nfd(), c)) break;
      i = next;
    }
    appendPieceKey(text.substr(begin, i - begin), options, key.units);
    if (withOrigins) key.origins.resize(key.units.size(), MatchKey::Origin{begin, i});
  }
  return key;
}

// The position of the first (last with `backwards`) occurrence of `needle` in `haystack` that
// `acceptable` takes; with `anchored` only one at the start (end with `backwards`) counts.
template <typename Acceptable>
std::optional<size_t> findOccurrence(std::u16string_view haystack, std::u16string_view needle,
                                     CompareOptions options, Acceptable acceptable) {
  if (needle.empty() || needle.size() > haystack.size()) return std::nullopt;
  bool backwards = options & kBackwards;
  if (options & kAnchored) {
    size_t at = backwards ? haystack.size() - needle.size() : 0;
    if (haystack.substr(at, needle.size()) == needle && acceptable(at)) return at;
    return std::nullopt;
  }
  if (!backwards) {
    for (size_t at = haystack.find(needle); at != haystack.npos; at = haystack.find(needle, at + 1))
      if (acceptable(at)) return at;
  } else {
    for (size_t at = haystack.rfind(needle); at != haystack.npos;
         at = at == 0 ? haystack.npos : haystack.rfind(needle, at - 1))
      if (acceptable(at)) return at;
  }
  return std::nullopt;
}

int sign(int value) { return (value > 0) - (value < 0); }

int compareUnits(std::u16string_view a, std::u16string_view b) { return sign(a.compare(b)); }

bool isDecimalDigit(char16_t c) { return u_charType(c) == U_DECIMAL_DIGIT_NUMBER; }

// Compares like compareUnits, except that runs of decimal digits compare by their value.
int compareNumeric(std::u16string_view a, std::u16string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (!isDecimalDigit(a[i]) || !isDecimalDigit(b[j])) {
      if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
      ++i;
      ++j;
      continue;
    }
    auto significantDigits = [](std::u16string_view s, size_t& at) {
      while (at < s.size() && u_charDigitValue(s[at]) == 0) ++at;
      size_t start = at;
      while (at < s.size() && isDecimalDigit(s[at])) ++at;
      return s.substr(start, at - start);
    };
    std::u16string_view digitsA = significantDigits(a, i);
    std::u16string_view digitsB = significantDigits(b, j);
    if (digitsA.size() != digitsB.size()) return digitsA.size() < digitsB.size() ? -1 : 1;
    for (size_t k = 0; k < digitsA.size(); ++k) {
      int difference = u_charDigitValue(digitsA[k]) - u_charDigitValue(digitsB[k]);
      if (difference != 0) return sign(difference);
    }
  }
  return (i < a.size()) - (j < b.size());
}

}  // namespace

bool isValidUtf8(std::string_view s) { return internal::isValidUtf8(s); }

size_t utf16Length(std::string_view s) {
  size_t length = 0;
  for (size_t i = 0; i < s.size();) length += utf16UnitsOf(nextCodePoint(s, i));
  return length;
}

size_t unicodeScalarCount(std::string_view s) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++count) nextCodePoint(s, i);
  return count;
}

size_t composedCharacterCount(std::string_view s) {
  std::u16string text = toUtf16(s);
  UBreakIterator* breaks = characterBreaks(text);
  size_t count = 0;
  ubrk_first(breaks);
  while (ubrk_next(breaks) != UBRK_DONE) ++count;
  return count;
}

std::optional<Range> rangeOfComposedCharacterSequence(std::string_view s, size_t index) {
  std::u16string text = toUtf16(s);
  if (index >= text.size()) return std::nullopt;
  UBreakIterator* breaks = characterBreaks(text);
  // The end first: ICU moves an offset inside a surrogate pair back to the pair's start, which
  // is fine for following() but would make preceding() skip the pair's own cluster.
  int32_t end = ubrk_following(breaks, static_cast<int32_t>(index));
  int32_t start = ubrk_preceding(breaks, end);
  return Range{static_cast<size_t>(start), static_cast<size_t>(end - start)};
}

std::optional<size_t> byteOffsetOfUtf16Index(std::string_view s, size_t index) {
  std::optional<Utf16Position> position = locateUtf16Index(s, index);
  if (!position || position->insidePair) return std::nullopt;
  return position->byte;
}

std::optional<size_t> utf16IndexOfByteOffset(std::string_view s, size_t offset) {
  if (offset > s.size()) return std::nullopt;
  size_t byte = 0;
  size_t unit = 0;
  while (byte < offset) unit += utf16UnitsOf(nextCodePoint(s, byte));
  if (byte != offset) return std::nullopt;
  return unit;
}

std::optional<std::string> substring(std::string_view s, Range range) {
  if (range.length > SIZE_MAX - range.location) return std::nullopt;
  std::optional<Utf16Position> start = locateUtf16Index(s, range.location);
  std::optional<Utf16Position> end = locateUtf16Index(s, range.end());
  if (!start || !end) return std::nullopt;
  std::string out;
  if (range.length == 0) return out;
  size_t byte = start->byte;
  if (start->insidePair) {
    appendUtf8(out, kReplacementCharacter);
    byte += U8_MAX_LENGTH;  // a surrogate pair is always a well-formed four-byte sequence
  }
  while (byte < end->byte) {
    size_t characterStart = byte;
    if (nextCodePoint(s, byte) < 0) {
      appendUtf8(out, kReplacementCharacter);
    } else {
      out.append(s, characterStart, byte - characterStart);
    }
  }
  if (end->insidePair) appendUtf8(out, kReplacementCharacter);
  return out;
}

std::u16string toUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    UChar32 c = nextCodePoint(s, i);
    if (c < 0) c = kReplacementCharacter;
    size_t length = out.size();
    out.resize(length + U16_LENGTH(c));
    U16_APPEND_UNSAFE(out.data(), length, c);
  }
  return out;
}

std::string fromUtf16(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    appendUtf8(out, U_IS_SURROGATE(c) ? kReplacementCharacter : c);
  }
  return out;
}

Range rangeOf(std::string_view text, std::string_view needle, CompareOptions options,
              std::optional<Range> searchRange) {
  std::u16string whole = toUtf16(text);
  Range range = searchRange.value_or(Range{0, whole.size()});
  if (range.location > whole.size() || range.length > whole.size() - range.location)
    return kNotFoundRange;
  std::u16string_view haystack = std::u16string_view(whole).substr(range.location, range.length);
  std::u16string pattern = toUtf16(needle);

  if (!transforms(options)) {
    std::optional<size_t> at =
        findOccurrence(haystack, pattern, options, [](size_t) { return true; });
    return at ? Range{range.location + *at, pattern.size()} : kNotFoundRange;
  }
  MatchKey key = matchKey(haystack, options, true);
  std::u16string patternKey = matchKey(pattern, options, false).units;
  std::optional<size_t> at = findOccurrence(key.units, patternKey, options, [&](size_t k) {
    return key.isPieceBoundary(k) && key.isPieceBoundary(k + patternKey.size());
  });
  if (!at) return kNotFoundRange;
  size_t begin = key.origins[*at].begin;
  size_t end = key.origins[*at + patternKey.size() - 1].end;
  return Range{range.location + begin, end - begin};
}

Order compare(std::string_view a, std::string_view b, CompareOptions options) {
  std::u16string unitsA = toUtf16(a);
  std::u16string unitsB = toUtf16(b);
  std::u16string keyA = transforms(options) ? matchKey(unitsA, options, false).units : unitsA;
  std::u16string keyB = transforms(options) ? matchKey(unitsB, options, false).units : unitsB;
  int result = (options & kNumeric) ? compareNumeric(keyA, keyB) : compareUnits(keyA, keyB);
  if (result == 0 && (options & kForcedOrdering)) result = compareUnits(unitsA, unitsB);
  return static_cast<Order>(result);
}

namespace {

// The ICU collator of `locale` at `strength` for the calling thread (ICU collators are not meant
// to be shared between threads), made on first use; null when ICU cannot make one.
UCollator* threadCollator(const std::string& locale, UCollationStrength strength) {
  struct Collators {
    std::map<std::pair<std::string, UCollationStrength>, UCollator*> byLocale;
    ~Collators() {
      for (auto& [key, collator] : byLocale) {
        if (collator) ucol_close(collator);
      }
    }
  };
  thread_local Collators collators;
  auto [entry, made] = collators.byLocale.try_emplace({locale, strength}, nullptr);
  if (made) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status) && collator) ucol_close(collator);
    if (U_SUCCESS(status) && collator) {
      ucol_setStrength(collator, strength);
      entry->second = collator;
    }
  }
  return entry->second;
}

// `a` against `b` by `collator`; nullopt when there is none or ICU fails.
std::optional<Order> collate(UCollator* collator, std::string_view a, std::string_view b) {
  if (!collator) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult result = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()),
                                             b.data(), static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  return static_cast<Order>(result);
}

}  // namespace

Order localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
  // Without a language setting (the C locale) ICU's default is "en_US_POSIX", whose collation is
  // code-point order; the platform's users always have a language, so that case takes the
  // language-neutral root order.
  std::string locale = uloc_getDefault();
  if (locale == "en_US_POSIX") locale.clear();
  return collate(threadCollator(locale, UCOL_SECONDARY), a, b)
      .value_or(compare(a, b, kCaseInsensitive));
}

Order compareInLocale(std::string_view a, std::string_view b, const std::string& locale) {
  return collate(threadCollator(locale, UCOL_TERTIARY), a, b).value_or(compare(a, b));
}

bool hasPrefix(std::string_view s, std::string_view prefix) {
  // For well-formed UTF-8, byte order and boundaries agree with UTF-16 code units.
  if (isValidUtf8(s) && isValidUtf8(prefix)) return s.starts_with(prefix);
  return std::u16string_view(toUtf16(s)).starts_with(toUtf16(prefix));
}

bool hasSuffix(std::string_view s, std::string_view suffix) {
  if (isValidUtf8(s) && isValidUtf8(suffix)) return s.ends_with(suffix);
  return std::u16string_view(toUtf16(s)).ends_with(toUtf16(suffix));
}

std::string lowercase(std::string_view s) {
  std::u16string text = toUtf16(s);
  return fromUtf16(icuString(
      text.size(), "lowercase mapping", [&](UChar* dest, int32_t capacity, UErrorCode* status) {
        return u_strToLower(dest, capacity, text.data(), icuLength(text), "", status);
      }));
}

std::string uppercase(std::string_view s) {
  std::u16string text = toUtf16(s);
  return fromUtf16(icuString(
      text.size(), "uppercase mapping", [&](UChar* dest, int32_t capacity, UErrorCode* status) {
        return u_strToUpper(dest, capacity, text.data(), icuLength(text), "", status);
      }));
}

}  // namespace os::text
