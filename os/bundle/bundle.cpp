#include "os/bundle/bundle.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "os/bundle/languages.h"
#include "os/bundle/strings_table.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"
#include "os/value/plist.h"

namespace os {

// What the copies of one Bundle share.
struct internal::BundleState {
  std::string path;
  std::filesystem::path resources;
  Value info = Dictionary{};
  std::string executable;

  os::Mutex mutex;
  std::optional<std::vector<std::string>> localizations OS_GUARDED_BY(mutex);
  std::optional<std::vector<std::string>> preferredLocalizations OS_GUARDED_BY(mutex);
  // Parsed tables by (localisation, table name); null for a table that is missing.
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const strings::Table>> tables
      OS_GUARDED_BY(mutex);
};

namespace {

constexpr std::string_view kDefaultTable = "Localizable";

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

Value readInfoDictionary(const std::filesystem::path& file) {
  if (!files::exists(file)) return Dictionary{};
  Error error;
  std::optional<std::string> bytes = files::readFile(file, &error);
  std::optional<Value> info = bytes ? plist::parse(*bytes, &error) : std::nullopt;
  if (info && info->isDictionary()) return std::move(*info);
  if (info) error.description = "not a dictionary";
  log::write(log::Level::Warning, "Ignoring the bundle's info dictionary " + file.string() + ": " +
                                      error.localizedDescription());
  return Dictionary{};
}

std::shared_ptr<internal::BundleState> makeState(std::string path) {
  auto state = std::make_shared<internal::BundleState>();
  state->path = withoutTrailingSlashes(std::move(path));
  const std::filesystem::path root = state->path;
  if (files::isDirectory(root / "Contents")) {
    state->resources = root / "Contents" / "Resources";
    state->info = readInfoDictionary(root / "Contents" / "Info.plist");
    const std::string* executable = state->info["CFBundleExecutable"].asString();
    if (executable != nullptr && !executable->empty()) {
      state->executable = (root / "Contents" / "MacOS" / *executable).string();
    }
  } else {
    state->resources = root;
  }
  return state;
}

std::shared_ptr<internal::BundleState> findMainState() {
  const char* overridden = getenv("TESSARO_MAIN_BUNDLE");
  if (overridden != nullptr && *overridden != '\0') return makeState(overridden);

  std::error_code ignored;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", ignored);
  const std::filesystem::path folder = executable.parent_path();
  if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
    return makeState(folder.parent_path().parent_path().string());
  }
  auto state = makeState(folder.string());
  state->executable = executable.string();
  return state;
}

// The parsed table, or null when the file is missing. A malformed table is logged and read as
// empty, so that its keys show through as the fallback texts.
std::shared_ptr<const strings::Table> loadTable(const std::filesystem::path& file) {
  if (!files::exists(file)) return nullptr;
  Error error;
  std::optional<std::string> bytes = files::readFile(file, &error);
  std::optional<strings::Table> table = bytes ? strings::parse(*bytes, &error) : std::nullopt;
  if (!table) {
    log::write(log::Level::Warning,
               "Ignoring the strings table " + file.string() + ": " + error.localizedDescription());
    return std::make_shared<const strings::Table>();
  }
  return std::make_shared<const strings::Table>(std::move(*table));
}

// The table `table` ("Localizable" when empty) of `localization`, from the cache or loaded.
// Loading under the lock reads each table exactly once, so a malformed one is reported once.
std::shared_ptr<const strings::Table> cachedTable(internal::BundleState& state,
                                                  const std::string& localization,
                                                  std::string_view table) {
  std::pair<std::string, std::string> key(localization, table.empty() ? kDefaultTable : table);
  os::MutexLock lock(state.mutex);
  auto it = state.tables.find(key);
  if (it == state.tables.end()) {
    const std::filesystem::path file =
        state.resources / (key.first + ".lproj") / (key.second + ".strings");
    it = state.tables.emplace(std::move(key), loadTable(file)).first;
  }
  return it->second;
}

os::Mutex mainMutex;
std::shared_ptr<internal::BundleState> mainState OS_GUARDED_BY(mainMutex);

}  // namespace

Bundle::Bundle(std::shared_ptr<internal::BundleState> state) : state_(std::move(state)) {}

Bundle::Bundle(std::string path) : state_(makeState(std::move(path))) {}

Bundle Bundle::main() {
  os::MutexLock lock(mainMutex);
  if (!mainState) mainState = findMainState();
  return Bundle(mainState);
}

void Bundle::resetMainForTesting() {
  os::MutexLock lock(mainMutex);
  mainState.reset();
}

const std::string& Bundle::bundlePath() const { return state_->path; }

Value Bundle::infoDictionary() const { return state_->info; }

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const { return state_->info[key]; }

std::string Bundle::bundleIdentifier() const {
  const std::string* identifier = state_->info["CFBundleIdentifier"].asString();
  return identifier != nullptr ? *identifier : std::string();
}

std::string Bundle::name() const {
  const std::string* name = state_->info["CFBundleName"].asString();
  if (name != nullptr && !name->empty()) return *name;
  const std::filesystem::path folder = state_->path;
  return folder.extension() == ".app" ? folder.stem().string() : folder.filename().string();
}

std::string Bundle::executablePath() const { return state_->executable; }

std::string Bundle::resourcePath() const { return state_->resources.string(); }

std::string Bundle::developmentLocalization() const {
  const std::string* region = state_->info["CFBundleDevelopmentRegion"].asString();
  return region != nullptr && !region->empty() ? *region : std::string("en");
}

std::vector<std::string> Bundle::localizations() const {
  {
    os::MutexLock lock(state_->mutex);
    if (state_->localizations) return *state_->localizations;
  }
  constexpr std::string_view kExtension = ".lproj";
  std::vector<std::string> found;
  for (const std::string& item : files::contentsOfDirectory(state_->resources, nullptr)
                                     .value_or(std::vector<std::string>{})) {
    if (item.size() > kExtension.size() && item.ends_with(kExtension) &&
        files::isDirectory(state_->resources / item)) {
      found.push_back(item.substr(0, item.size() - kExtension.size()));
    }
  }
  os::MutexLock lock(state_->mutex);
  if (!state_->localizations) state_->localizations = std::move(found);
  return *state_->localizations;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
  {
    os::MutexLock lock(state_->mutex);
    if (state_->preferredLocalizations) return *state_->preferredLocalizations;
  }
  // Computed outside the lock: the languages come from the user defaults, whose domain name
  // comes from the main bundle.
  const std::vector<std::string> available = localizations();
  std::vector<std::string> chosen = os::preferredLocalizations(available, preferredLanguages());
  const std::string development = developmentLocalization();
  const std::vector<std::string> developmentMatch =
      os::preferredLocalizations(available, {development});
  const std::string& fallback = developmentMatch.empty() ? development : developmentMatch.front();
  if (std::find(chosen.begin(), chosen.end(), fallback) == chosen.end()) {
    chosen.push_back(fallback);
  }
  os::MutexLock lock(state_->mutex);
  if (!state_->preferredLocalizations) state_->preferredLocalizations = std::move(chosen);
  return *state_->preferredLocalizations;
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
  if (name.empty()) return std::nullopt;
  if (type.starts_with('.')) type.remove_prefix(1);
  std::string fileName(name);
  if (!type.empty()) fileName.append(".").append(type);

  const std::filesystem::path relative = std::filesystem::path(subdirectory) / fileName;
  std::filesystem::path candidate = state_->resources / relative;
  if (files::exists(candidate)) return candidate.string();
  for (const std::string& localization : preferredLocalizations()) {
    candidate = state_->resources / (localization + ".lproj") / relative;
    if (files::exists(candidate)) return candidate.string();
  }
  return std::nullopt;
}

std::string Bundle::localizedString(std::string_view key, std::string_view value,
                                    std::string_view table) const {
  std::vector<std::string> order = preferredLocalizations();
  for (std::string extra : {developmentLocalization(), std::string("Base")}) {
    if (std::find(order.begin(), order.end(), extra) == order.end()) {
      order.push_back(std::move(extra));
    }
  }
  for (const std::string& localization : order) {
    if (std::shared_ptr<const strings::Table> texts = cachedTable(*state_, localization, table)) {
      if (auto it = texts->find(key); it != texts->end()) return it->second;
    }
  }
  return std::string(value.empty() ? key : value);
}

std::string Bundle::localizedStringForLanguage(std::string_view key, std::string_view language,
                                               std::string_view table) const {
  if (!language.empty()) {
    if (std::shared_ptr<const strings::Table> texts =
            cachedTable(*state_, std::string(language), table)) {
      if (auto it = texts->find(key); it != texts->end()) return it->second;
    }
  }
  return std::string(key);
}

}  // namespace os
