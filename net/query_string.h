// Query strings and form bodies from a parameters object: nested dictionaries, arrays and sets
// become "key[sub][]=value" pairs in a fixed order, each part percent-escaped.
//
//   NKParameters parameters = NKParameters::Dictionary{
//       {"b", 1},
//       {"a", NKParameters::Dictionary{{"y", 2}, {"x", os::Array{3, 4}}}},
//       {"tags", NKParameters::set({"red", "blue"})}};
//   NKQueryStringFromParameters(parameters);
//   // "a%5Bx%5D%5B%5D=3&a%5Bx%5D%5B%5D=4&a%5By%5D=2&b=1&tags=blue&tags=red"
//
// Order: dictionary keys and set elements are sorted by their descriptions with the platform's
// plain string comparison (os::text::compare); array elements keep their order.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "os/value/value.h"

// One "field=value" of a query string. `field` is the key path ("a[x][]"), empty for a
// parameters object that is a single value; `value` is never a collection.
struct NKQueryStringPair {
  std::string field;
  os::Value value;

  // "field=value" with both escaped (NKPercentEscapedStringFromString of their descriptions);
  // the escaped field alone when the value is null.
  std::string URLEncodedStringValue() const;
};

class NKParameters;

// `text` escaped for a query component: ASCII letters and digits and "-._~/?" stay, every other
// byte becomes "%XX" (upper-case hex), so a UTF-8 character becomes one escape per byte.
std::string NKPercentEscapedStringFromString(std::string_view text);

// The pairs of `value` under `key` (nullopt for a whole parameters object), depth first:
// a dictionary recurses into each entry under "key[entry]" (the entry's own key at the top
// level), an array into each element under "key[]", a set into each element under `key`; any
// other value is one pair.
std::vector<NKQueryStringPair> NKQueryStringPairsFromKeyAndValue(
    const std::optional<std::string>& key, const NKParameters& value);

// The encoded pairs of `parameters` joined with "&".
std::string NKQueryStringFromParameters(const NKParameters& parameters);

// A parameters object: anything an os::Value holds, plus sets, the one collection of the
// platform's parameter objects that os::Value has no kind for. Sets can be written into query
// strings and form bodies only; a JSON body refuses them. Build nested parameters with the
// Dictionary and Array kinds of this class wherever a set sits somewhere inside; everywhere else
// a plain os::Value converts implicitly.
class NKParameters {
 public:
  using Dictionary = std::map<std::string, NKParameters, std::less<>>;
  using Array = std::vector<NKParameters>;

  // Any value an os::Value can be made from (strings, numbers, os::Dictionary, os::Data, ...).
  template <typename T>
  requires std::is_constructible_v<os::Value, T> NKParameters(T&& value)
      : storage_(os::Value(std::forward<T>(value))) {}
  NKParameters(Dictionary dictionary) : storage_(std::move(dictionary)) {}
  NKParameters(Array array) : storage_(std::move(array)) {}

  // An unordered collection: its elements are written in sorted order, each under the key of
  // the set itself ("k=a&k=b"). Duplicates (equal values) are dropped.
  static NKParameters set(std::vector<os::Value> elements);

  // The same parameters as an os::Value; nullopt when a set is inside.
  std::optional<os::Value> toValue() const;

  // Typed access: the held kind, or nullptr when the parameters are of another kind. A value
  // made from an os::Value is asValue() even when it holds a dictionary or an array.
  const os::Value* asValue() const { return std::get_if<os::Value>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  // The distinct elements of a set, in the order given.
  const std::vector<os::Value>* asSet() const {
    const Set* set = std::get_if<Set>(&storage_);
    return set ? &set->elements : nullptr;
  }

 private:
  struct Set {
    std::vector<os::Value> elements;
  };
  NKParameters(Set set) : storage_(std::move(set)) {}

  std::variant<os::Value, Dictionary, Array, Set> storage_;
};
