// The user's preferred languages and the choice of a bundle's localisations from them.
//
//   std::vector<std::string> languages = os::preferredLanguages();   // {"ja-JP", "en"}
//   os::preferredLocalizations({"Base", "English", "ja", "zh_CN"}, languages);  // {"ja",
//   "English"}
//
// Language identifiers are BCP 47 style tags ("en", "pt-BR", "zh-Hans-CN"); "_" is accepted in
// place of "-" and letter case is ignored when matching.
#pragma once

#include <string>
#include <vector>

namespace os {

// The user's preferred languages, best first, never empty:
//  - the string entries of the "AppleLanguages" array of the standard user defaults (its search
//    list includes the global domain, where the system keeps the list), when there is one;
//  - else from the environment, in this order: each entry of the colon-separated LANGUAGE, then
//    LC_ALL, LC_MESSAGES and LANG. A POSIX locale name loses its codeset and modifier and takes
//    "-" before the region ("ja_JP.UTF-8" → "ja-JP", "de_DE@euro" → "de-DE"); "C" and "POSIX"
//    are skipped. All the variables contribute (unlike glibc, which reads LANGUAGE only when
//    the locale is not "C" and lets LC_ALL hide the others);
//  - else {"en"}.
// Duplicates are removed; the first occurrence keeps its place.
std::vector<std::string> preferredLanguages();

// The localisations among `available` (folder names such as "en", "pt_BR", "zh-Hans",
// "Japanese") to use for the languages `preferred`, best first, without duplicates: for each
// preferred language its best available match, if any. Matches of the same language, best first:
//   1. the same identifier ("pt-BR" for "pt-BR", also "pt_BR");
//   2. the same region ("zh_CN" for "zh-Hans-CN", "en_US" for "en-US");
//   3. no region and the same script ("ja" for "ja-JP", "zh-Hans" for "zh-Hans-CN"); the legacy
//      names English, Japanese, German, French, Spanish, Italian and Dutch stand for en, ja, de,
//      fr, es, it and nl ("English" for "en-GB");
//   4. no region and no script when the preferred one names a script ("sr" for "sr-Latn");
//   5. any other region or script that does not contradict the preferred one ("pt-BR" for
//      "pt-PT", "en-GB" for "en").
// Chinese is matched by script: a tag without a script takes it from its region (CN and SG are
// Simplified, Hans; TW, HK and MO are Traditional, Hant) and a bare "zh" counts as Simplified,
// so "zh-TW" finds "zh-Hant" or "zh_HK" but never "zh_CN", "zh-Hans" or "zh", and "zh-Hans-CN"
// or "zh" finds "zh_CN", "zh-Hans" or "zh".
// Among equally good matches a modern identifier beats a legacy name, else the first in
// `available` wins.
std::vector<std::string> preferredLocalizations(const std::vector<std::string>& available,
                                                const std::vector<std::string>& preferred);

}  // namespace os
