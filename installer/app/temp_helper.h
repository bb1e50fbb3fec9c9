// The installer's places on disk, the user's language, localised texts and file digests. Class
// functions only, no state; all may be called from any thread.
//
//   std::string cache = TempHelper::getAppCachePath();     // created when missing
//   std::string title = TempHelper::getDefaultsLocalizableLanguages("Install_App_Prompt_Msg3");
//   std::string sum = TempHelper::md5ForFile(cache + "/Brevalo.zip");
//
// Folders (none is ever deleted by the installer):
//   application support  <Application Support>/<main bundle identifier>/<main bundle name>
//   temporary            <application support>/tmp
//   cache                <application support>/Cache
//   user Applications    ~/Applications (os::paths::userApplications), never created here
//
// Localised texts come from the main bundle's <language>.lproj/Localizable.strings, in a
// language chosen from the user's language and the product (see localizationLanguage); a key
// missing there gives the key itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TempHelper {
 public:
  // The folders above; each but the user's Applications folder is created, with its parents,
  // when missing (a failure to create it is ignored: the later file operation reports it).
  static std::string getAppSupportPath();
  static std::string getAppTempPath();
  static std::string getAppCachePath();
  static std::string getApplicationPath();

  // True for a missing text and for "" (a blank is text).
  static bool stringIsNilOrEmpty(std::optional<std::string_view> text);

  // The user's language: the first of os::preferredLanguages() (the "AppleLanguages" default,
  // else the environment's locale), "en" when there is none.
  static std::string userLanguage();

  // The user's language as the tracker reports it: unchanged when it begins with one of "en",
  // "ja", "fr", "de", "es", "ar", "it", "pt", "ko", "zh", "nl", "tr"; otherwise "en".
  static std::string currentSelectionLanguage();

  // The language folder that texts come from for a user of `language` installing product
  // `product`, before checking that the bundle has that folder. Prefix tests, first match wins:
  // products 14 and 15 offer "ja" and "en" only; otherwise "en", "ja", "de", "fr", "es", "ar"
  // for everyone, "it" and "pt" for products 1, 3, 8, 9 and 13, "zh-Hant", "ko", "nl" and "tr"
  // for products 1, 8 and 13; everything else is "en".
  static std::string localizationLanguage(std::string_view language, int32_t product);

  // The localised text of `key` for the user's language and the installed product: from the
  // folder localizationLanguage() chooses when the main bundle has it, else from "en"; the key
  // itself when the text is missing.
  static std::string getDefaultsLocalizableLanguages(std::string_view key);

  // The MD5 of the file's contents as 32 lower-case hexadecimal digits, read piece by piece so
  // that a large file costs no memory. A file that cannot be read is digested as empty input;
  // a read error midway digests what was read.
  static std::string md5ForFile(const std::string& path);

  // The second "."-separated part of the operating system's version text
  // (os::process::operatingSystemVersionString(), "Version 6.1.0 (Linux)" gives "1"), or "0"
  // when the text has no ".".
  static std::string getSystemLastNumberString();
  // Whether `equalVersion` is at least `version`, runs of digits compared by value ("1.10" is
  // above "1.9"); false for an empty `version`.
  static bool isVersionMajorEqual(std::string_view version, std::string_view equalVersion);
};

// The screens' short name for TempHelper::getDefaultsLocalizableLanguages.
inline std::string localized(std::string_view key) {
  return TempHelper::getDefaultsLocalizableLanguages(key);
}
