// User defaults: small settings that persist across launches, the application's own and those
// of named suites, with the platform's search order and coercions.
//
//   os::UserDefaults defaults = os::UserDefaults::standard();
//   defaults.setObject("cid", "channel-7");               // on disk when the call returns
//   std::optional<std::string> cid = defaults.stringForKey("cid");
//   std::optional<os::Array> languages = defaults.arrayForKey("AppleLanguages");
//
//   std::optional<os::UserDefaults> suite = os::UserDefaults::suite("com.example.suite");
//   if (suite) suite->setObject("flag", true);
//
// Domains. A read looks in the object's own domain (the application's, or the suite's), then in
// the global domain (where the system keeps settings shared by all applications, such as
// "AppleLanguages", the user's preferred languages), then in the registration domain
// (registerDefaults). Writes go to the object's own domain only; removing a key there lets a
// global or registered value show through again.
//
// Storage. A domain lives in the binary property list <os::paths::preferences()>/<domain>.plist
// ("<preferences>/.GlobalPreferences.plist" for the global domain, which this class only reads).
// Every change is written at once, atomically (os::files::writeAtomically), so another process
// and a crash always find a complete file. Each domain has one cache per process, shared by all
// UserDefaults objects of that domain: a change through one is seen through the others at once.
// Changes made by another process are picked up by synchronize(), and before each write, so
// that a write does not undo keys the other process wrote meanwhile. A file that is not a
// readable property list counts as empty (the problem is logged) and is left alone until the
// first change to that domain.
//
// Threads: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace os {

class UserDefaults {
 public:
  // The global domain's name as the platform spells it, refused as a suite name.
  static constexpr const char* kGlobalDomain = "NSGlobalDomain";
  // The domain name under which the global domain is stored (its file name without
  // ".plist"), also refused as a suite name, because a suite of that name would write there.
  static constexpr const char* kGlobalDomainFileName = ".GlobalPreferences";

  // The application's own defaults. The domain is the main bundle's identifier, or the
  // executable's file name when the bundle has no identifier. Computed once per process (and
  // again after resetForTesting()); the main bundle must therefore not read the standard
  // defaults while it is being created.
  static UserDefaults standard();

  // The defaults of the named suite, or nullopt when the name is refused, as the platform
  // refuses it: the application's own domain (use standard()), kGlobalDomain and
  // kGlobalDomainFileName; also a name that is not a plain file name ("a/b", "..").
  // An empty name gives the application's own domain, like standard().
  static std::optional<UserDefaults> suite(std::string_view suiteName);

  // The name of the domain this object reads and writes ("com.example.app" for the file
  // "com.example.app.plist").
  const std::string& domainName() const { return domain_; }

  // The value of `key` by the search order above; null when no domain has it.
  Value objectForKey(std::string_view key) const;

  // Stores `value` under `key` in this object's domain and writes the domain's file; a null
  // value removes the key. A value that has no property-list form (a null inside an array or
  // dictionary) raises os::Exception kInvalidArgumentException, as the platform raises for a
  // non-property-list object, and changes nothing. Text that is not valid UTF-8 (in the value
  // or the key) is stored with U+FFFD for each ill-formed sequence and each NUL character, as a
  // property list holds only valid text. When the file cannot be written the failure is logged, the
  // change stays visible in this process, and the next change or synchronize() writes it again.
  void setObject(std::string_view key, Value value);

  // Removes `key` from this object's domain (same as setObject(key, nullptr)).
  void removeObject(std::string_view key);

  // Typed reads with the platform's coercions (os::Value's boolValue, integerValue,
  // doubleValue, stringValue): numbers and numeric strings convert, "YES"/"true" are true, a
  // missing key or another kind gives false or 0.
  bool boolForKey(std::string_view key) const;
  int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  // A string as itself, a number or boolean as its description; nullopt otherwise.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // These three give their kind only: nullopt for a missing key or a value of another kind.
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;

  // Adds `defaults` to this domain's registration domain: values read when neither the domain
  // nor the global domain has the key. Kept in memory only, never written; a later
  // registration of the same key replaces the earlier one. Shared by all objects of the domain.
  void registerDefaults(const Dictionary& defaults);

  // Every key this object can read, with the value a read gives: registered, global and own
  // values merged, the own domain winning over the global one and both over registrations.
  Dictionary dictionaryRepresentation() const;

  // Writes this domain's changes that could not be written before, and re-reads this domain's
  // file and the global domain's file when another process has changed them. False when a
  // change could not be written (the failure is logged).
  bool synchronize();

  // Drops every domain cache, the registrations and the application's domain name, so that the
  // next call starts afresh from the environment (tests switch HOME between cases). No other
  // thread may use user defaults meanwhile.
  static void resetForTesting();

 private:
  explicit UserDefaults(std::string domain) : domain_(std::move(domain)) {}

  std::string domain_;
};

}  // namespace os
