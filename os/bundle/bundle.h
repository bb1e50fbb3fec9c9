// os::Bundle is an application bundle laid out as on the desktop platform:
//
//   X.app/Contents/Info.plist               the info dictionary (XML or binary property list)
//   X.app/Contents/MacOS/<executable>       CFBundleExecutable
//   X.app/Contents/Resources/               resources, with <lang>.lproj/ folders of
//                                           localised resources and <table>.strings tables
//
//   os::Bundle bundle = os::Bundle::main();
//   std::string id = bundle.bundleIdentifier();            // "com.example.installer"
//   auto icon = bundle.pathForResource("AppIcon", "png");  // nullopt when absent
//   std::string title = bundle.localizedString("INSTALL_TITLE");
//
// A Bundle is a cheap handle: copies share the loaded info dictionary and the cache of parsed
// strings tables. Every member may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/value/value.h"

namespace os {

namespace internal {
struct BundleState;
}  // namespace internal

class Bundle {
 public:
  // The bundle of the running program, made on first use:
  //  - the environment variable TESSARO_MAIN_BUNDLE, when set and non-empty, names its folder
  //    (tests and the demo point it at an X.app they built);
  //  - else, when the executable (/proc/self/exe) lies at <folder>/Contents/MacOS/<name>, the
  //    bundle is <folder>;
  //  - else the bundle is the executable's own folder, with an empty info dictionary; its
  //    resources (and <lang>.lproj folders) are then looked for directly in that folder, and
  //    executablePath() is the executable itself.
  static Bundle main();
  // Forgets the main bundle so that the next main() finds it again (after a test changed
  // TESSARO_MAIN_BUNDLE or the languages). Handles obtained earlier stay valid and unchanged.
  static void resetMainForTesting();

  // The bundle at `path`. A folder with a "Contents" folder has the X.app layout above; any
  // other folder is a flat bundle whose resources lie directly in it and whose info dictionary
  // is empty. A missing Info.plist, or one that is not a readable dictionary (logged), gives an
  // empty info dictionary; a missing folder gives a bundle in which nothing is found. A trailing
  // "/" of `path` is dropped.
  explicit Bundle(std::string path);

  // The bundle's folder, as given (or as found for the main bundle).
  const std::string& bundlePath() const;
  // The info dictionary: always a dictionary, empty when the bundle has no readable Info.plist.
  Value infoDictionary() const;
  // The info dictionary's value for `key`; null when absent.
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // CFBundleIdentifier; empty when absent or not a string.
  std::string bundleIdentifier() const;
  // CFBundleName; else the bundle folder's name without its ".app" extension.
  std::string name() const;
  // Contents/MacOS/<CFBundleExecutable>; empty when the info dictionary names no executable.
  // For a main bundle outside any X.app, the running executable.
  std::string executablePath() const;
  // Contents/Resources for an X.app; the bundle folder itself for a flat bundle.
  std::string resourcePath() const;

  // CFBundleDevelopmentRegion; "en" when absent.
  std::string developmentLocalization() const;
  // The names of the <name>.lproj folders in the resources, without ".lproj", sorted
  // ("Base" included when present). Read once per bundle.
  std::vector<std::string> localizations() const;
  // The localisations to use, best first: for each of os::preferredLanguages() the best match
  // among localizations() (os::preferredLocalizations in os/bundle/languages.h), then the development
  // localisation (its best match, else itself). Never empty. Computed once per bundle, as the
  // platform does: a bundle made later sees changed language preferences.
  std::vector<std::string> preferredLocalizations() const;

  // The path of the resource "<name>.<type>" (just `name` when `type` is empty; a leading "."
  // of `type` is ignored), in resourcePath()/<subdirectory>, else in
  // resourcePath()/<loc>.lproj/<subdirectory> for each of preferredLocalizations(). Folders
  // count: pathForResource("ja", "lproj") finds the "ja.lproj" folder. nullopt when absent.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                             std::string_view subdirectory = {}) const;

  // The localised text of `key` in the strings table `table` ("Localizable" when empty): looked
  // up in <loc>.lproj/<table>.strings for each of preferredLocalizations(), then the development
  // localisation, then Base.lproj. A key found nowhere gives `value` when it is non-empty, else
  // the key itself. Tables are parsed once per (localisation, table) and cached; a malformed
  // table is logged once and treated as empty.
  std::string localizedString(std::string_view key, std::string_view value = {},
                              std::string_view table = {}) const;
  // The text of `key` in exactly <language>.lproj/<table>.strings ("Localizable" when `table`
  // is empty), for callers that choose the language themselves; the key itself when the folder,
  // the table or the key is missing.
  std::string localizedStringForLanguage(std::string_view key, std::string_view language,
                                         std::string_view table = {}) const;

 private:
  explicit Bundle(std::shared_ptr<internal::BundleState> state);

  std::shared_ptr<internal::BundleState> state_;
};

}  // namespace os
