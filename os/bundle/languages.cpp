#include "os/bundle/languages.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string_view>
#include <utility>

#include "os/bundle/defaults.h"

namespace os {
namespace {

std::string lowercased(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return result;
}

void appendUnique(std::vector<std::string>& list, std::string item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

// "ja_JP.UTF-8" → "ja-JP", "de_DE@euro" → "de-DE"; nullopt for "C", "POSIX" and empty names.
std::optional<std::string> languageFromLocaleName(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return std::nullopt;
  std::string language(locale);
  std::replace(language.begin(), language.end(), '_', '-');
  return language;
}

std::vector<std::string> languagesFromEnvironment() {
  std::vector<std::string> languages;
  auto add = [&](std::string_view locale) {
    if (std::optional<std::string> language = languageFromLocaleName(locale)) {
      appendUnique(languages, std::move(*language));
    }
  };
  if (const char* list = getenv("LANGUAGE")) {
    std::string_view rest = list;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      add(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* locale = getenv(name)) add(locale);
  }
  return languages;
}

// A language identifier taken apart, lower-cased, for matching.
struct Tag {
  std::string language;
  std::string script;  // as written; empty when the identifier names none
  std::string region;
  // Set for "English" and its kind, which match as well as "en" but not better.
  bool isLegacyName = false;
  // The script that the identifier implies: `script`, or for Chinese the one its region (or
  // its absence) stands for; empty when unknown.
  std::string impliedScript;
};

constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kLegacyNames = {{
    {"english", "en"},
    {"japanese", "ja"},
    {"german", "de"},
    {"french", "fr"},
    {"spanish", "es"},
    {"italian", "it"},
    {"dutch", "nl"},
}};

std::string impliedChineseScript(const std::string& region) {
  if (region.empty() || region == "cn" || region == "sg") return "hans";
  if (region == "tw" || region == "hk" || region == "mo") return "hant";
  return {};
}

Tag parseTag(std::string_view identifier) {
  std::string text = lowercased(identifier);
  std::replace(text.begin(), text.end(), '_', '-');
  for (const auto& [name, code] : kLegacyNames) {
    if (text == name) return Tag{std::string(code), {}, {}, true, {}};
  }
  Tag tag;
  size_t start = 0;
  for (int index = 0; start <= text.size(); ++index) {
    const size_t end = std::min(text.find('-', start), text.size());
    const std::string subtag = text.substr(start, end - start);
    start = end + 1;
    if (index == 0) {
      tag.language = subtag;
    } else if (index == 1 && subtag.size() == 4) {
      tag.script = subtag;
    } else if (tag.region.empty() && (subtag.size() == 2 || subtag.size() == 3)) {
      tag.region = subtag;
    } else {
      break;
    }
  }
  tag.impliedScript =
      tag.language == "zh" && tag.script.empty() ? impliedChineseScript(tag.region) : tag.script;
  return tag;
}

// How well `available` serves `preferred`: 1 (best) to 5, or nullopt when it does not.
std::optional<int> matchRank(const Tag& available, const Tag& preferred) {
  if (available.language != preferred.language) return std::nullopt;
  if (!available.impliedScript.empty() && !preferred.impliedScript.empty() &&
      available.impliedScript != preferred.impliedScript) {
    return std::nullopt;
  }
  if (available.script == preferred.script && available.region == preferred.region &&
      available.isLegacyName == preferred.isLegacyName) {
    return 1;
  }
  if (!available.region.empty() && available.region == preferred.region) return 2;
  if (available.region.empty() && available.impliedScript == preferred.impliedScript) return 3;
  if (available.region.empty() && available.script.empty()) return 4;
  return 5;
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  if (std::optional<Array> list = UserDefaults::standard().arrayForKey("AppleLanguages")) {
    for (const Value& entry : *list) {
      if (const std::string* language = entry.asString(); language && !language->empty()) {
        appendUnique(languages, *language);
      }
    }
  }
  if (languages.empty()) languages = languagesFromEnvironment();
  if (languages.empty()) languages.push_back("en");
  return languages;
}

std::vector<std::string> preferredLocalizations(const std::vector<std::string>& available,
                                                const std::vector<std::string>& preferred) {
  std::vector<Tag> availableTags;
  availableTags.reserve(available.size());
  for (const std::string& identifier : available) availableTags.push_back(parseTag(identifier));

  std::vector<std::string> chosen;
  for (const std::string& language : preferred) {
    const Tag wanted = parseTag(language);
    std::optional<size_t> best;
    std::pair<int, bool> bestScore;
    for (size_t i = 0; i < availableTags.size(); ++i) {
      const std::optional<int> rank = matchRank(availableTags[i], wanted);
      if (!rank) continue;
      // A legacy name loses a tie with a modern identifier.
      const std::pair<int, bool> score(*rank, availableTags[i].isLegacyName);
      if (!best || score < bestScore) {
        best = i;
        bestScore = score;
      }
    }
    if (best) appendUnique(chosen, available[*best]);
  }
  return chosen;
}

}  // namespace os
