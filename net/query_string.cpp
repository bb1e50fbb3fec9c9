#include "net/query_string.h"

#include <algorithm>

#include "os/net/url.h"
#include "os/text/text.h"

namespace {

// What the query escaping keeps besides ASCII letters and digits: the URL query set without the
// RFC 3986 general delimiters ":#[]@" and sub-delimiters "!$&'()*+,;=".
constexpr std::string_view kQueryComponentAllowed = "-._~/?";

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

// Sorts by the platform's plain `compare:` of the keys (descriptions). For ASCII texts, nearly
// every key, the normalised UTF-16 comparison equals byte order, which spares ICU on large
// parameter sets.
template <typename Entry>
void sortByKey(std::vector<Entry>& entries) {
  bool allASCII = std::all_of(entries.begin(), entries.end(),
                              [](const Entry& entry) { return isASCII(entry.first); });
  std::stable_sort(entries.begin(), entries.end(), [allASCII](const Entry& a, const Entry& b) {
    if (allASCII) return a.first < b.first;
    return os::text::compare(a.first, b.first) == os::text::Order::Ascending;
  });
}

void appendPairs(const std::optional<std::string>& key, const os::Value& value,
                 std::vector<NKQueryStringPair>& pairs);
void appendPairs(const std::optional<std::string>& key, const NKParameters& value,
                 std::vector<NKQueryStringPair>& pairs);

// Entries in key order, each under "key[entry]".
template <typename Map>
void appendPairsOfDictionary(const std::optional<std::string>& key, const Map& dictionary,
                             std::vector<NKQueryStringPair>& pairs) {
  std::vector<std::pair<std::string_view, const typename Map::mapped_type*>> entries;
  for (const auto& [entryKey, entry] : dictionary) entries.emplace_back(entryKey, &entry);
  sortByKey(entries);
  for (const auto& [entryKey, entry] : entries) {
    appendPairs(key ? *key + "[" + std::string(entryKey) + "]" : std::string(entryKey), *entry,
                pairs);
  }
}

// Elements in array order, each under "key[]".
template <typename Vector>
void appendPairsOfArray(const std::optional<std::string>& key, const Vector& array,
                        std::vector<NKQueryStringPair>& pairs) {
  for (const auto& element : array) appendPairs(key.value_or("") + "[]", element, pairs);
}

// Elements in the order of their descriptions, each under `key` itself.
void appendPairsOfSet(const std::optional<std::string>& key, const std::vector<os::Value>& set,
                      std::vector<NKQueryStringPair>& pairs) {
  std::vector<std::pair<std::string, const os::Value*>> sorted;
  for (const os::Value& element : set) sorted.emplace_back(element.description(), &element);
  sortByKey(sorted);
  for (const auto& [description, element] : sorted) appendPairs(key, *element, pairs);
}

void appendPairs(const std::optional<std::string>& key, const os::Value& value,
                 std::vector<NKQueryStringPair>& pairs) {
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    appendPairsOfDictionary(key, *dictionary, pairs);
  } else if (const os::Array* array = value.asArray()) {
    appendPairsOfArray(key, *array, pairs);
  } else {
    pairs.push_back({key.value_or(""), value});
  }
}

void appendPairs(const std::optional<std::string>& key, const NKParameters& value,
                 std::vector<NKQueryStringPair>& pairs) {
  if (const os::Value* plain = value.asValue()) {
    appendPairs(key, *plain, pairs);
  } else if (const NKParameters::Dictionary* dictionary = value.asDictionary()) {
    appendPairsOfDictionary(key, *dictionary, pairs);
  } else if (const NKParameters::Array* array = value.asArray()) {
    appendPairsOfArray(key, *array, pairs);
  } else {
    appendPairsOfSet(key, *value.asSet(), pairs);
  }
}

}  // namespace

std::string NKQueryStringPair::URLEncodedStringValue() const {
  std::string encoded = NKPercentEscapedStringFromString(field);
  if (value.isNull()) return encoded;
  encoded += '=';
  encoded += NKPercentEscapedStringFromString(value.description());
  return encoded;
}

std::string NKPercentEscapedStringFromString(std::string_view text) {
  // Escaping UTF-8 byte by byte never splits a character, so the text needs no slicing.
  return os::url::percentEncode(text, kQueryComponentAllowed);
}

NKParameters NKParameters::set(std::vector<os::Value> elements) {
  std::vector<os::Value> distinct;
  for (os::Value& element : elements) {
    if (std::find(distinct.begin(), distinct.end(), element) == distinct.end()) {
      distinct.push_back(std::move(element));
    }
  }
  return NKParameters(Set{std::move(distinct)});
}

std::optional<os::Value> NKParameters::toValue() const {
  if (const os::Value* value = asValue()) return *value;
  if (const Dictionary* dictionary = asDictionary()) {
    os::Dictionary converted;
    for (const auto& [key, entry] : *dictionary) {
      std::optional<os::Value> value = entry.toValue();
      if (!value) return std::nullopt;
      converted.emplace(key, std::move(*value));
    }
    return converted;
  }
  if (const Array* array = asArray()) {
    os::Array converted;
    for (const NKParameters& element : *array) {
      std::optional<os::Value> value = element.toValue();
      if (!value) return std::nullopt;
      converted.push_back(std::move(*value));
    }
    return converted;
  }
  return std::nullopt;
}

std::vector<NKQueryStringPair> NKQueryStringPairsFromKeyAndValue(
    const std::optional<std::string>& key, const NKParameters& value) {
  std::vector<NKQueryStringPair> pairs;
  appendPairs(key, value, pairs);
  return pairs;
}

std::string NKQueryStringFromParameters(const NKParameters& parameters) {
  std::string query;
  bool first = true;
  for (const NKQueryStringPair& pair :
       NKQueryStringPairsFromKeyAndValue(std::nullopt, parameters)) {
    if (!first) query += '&';
    query += pair.URLEncodedStringValue();
    first = false;
  }
  return query;
}
