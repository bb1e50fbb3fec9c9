#include "measurement/audience/regex_cache.h"

#include <unicode/uregex.h>
#include <unicode/utypes.h>

#include "os/text/text.h"

namespace measurement {
namespace {

constexpr const char* kRegexErrorDomain = "ICURegularExpression";

class RegexCache {
 public:
  std::shared_ptr<const CompiledRegex> find(const std::pair<std::string, bool>& key) {
    os::MutexLock lock(mutex_);
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : found->second;
  }
  void insert(std::pair<std::string, bool> key, std::shared_ptr<const CompiledRegex> regex) {
    os::MutexLock lock(mutex_);
    if (entries_.size() >= kRegexCacheCapacity) entries_.clear();
    entries_.insert_or_assign(std::move(key), std::move(regex));
  }

 private:
  os::Mutex mutex_;
  std::map<std::pair<std::string, bool>, std::shared_ptr<const CompiledRegex>> entries_
      OS_GUARDED_BY(mutex_);
};

RegexCache& regexCache() {
  static RegexCache* cache = new RegexCache();
  return *cache;
}

}  // namespace

std::shared_ptr<const CompiledRegex> CompiledRegex::compile(std::string_view pattern,
                                                            bool caseSensitive, os::Error* error) {
  const std::u16string units = os::text::toUtf16(pattern);
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  URegularExpression* compiled =
      uregex_open(units.data(), static_cast<int32_t>(units.size()),
                  caseSensitive ? 0 : UREGEX_CASE_INSENSITIVE, &parseError, &status);
  if (U_FAILURE(status)) {
    uregex_close(compiled);
    if (error) *error = os::Error(kRegexErrorDomain, status, u_errorName(status));
    return nullptr;
  }
  return std::shared_ptr<const CompiledRegex>(new CompiledRegex(compiled));
}

CompiledRegex::~CompiledRegex() {
  os::MutexLock lock(mutex_);
  for (URegularExpression* matcher : idleMatchers_) uregex_close(matcher);
  uregex_close(compiled_);
}

URegularExpression* CompiledRegex::takeMatcher() const {
  {
    os::MutexLock lock(mutex_);
    if (!idleMatchers_.empty()) {
      URegularExpression* matcher = idleMatchers_.back();
      idleMatchers_.pop_back();
      return matcher;
    }
  }
  // A clone shares the compiled pattern and carries its own match state and limits.
  UErrorCode status = U_ZERO_ERROR;
  URegularExpression* matcher = uregex_clone(compiled_, &status);
  uregex_setTimeLimit(matcher, kRegexTimeLimitSteps, &status);
  uregex_setStackLimit(matcher, kRegexStackLimitBytes, &status);
  if (U_FAILURE(status)) {
    uregex_close(matcher);
    return nullptr;
  }
  return matcher;
}

void CompiledRegex::returnMatcher(URegularExpression* matcher) const {
  // The idle clone keeps no pointer to the text of its last match.
  UErrorCode status = U_ZERO_ERROR;
  uregex_setText(matcher, u"", 0, &status);
  if (U_FAILURE(status)) {
    uregex_close(matcher);
    return;
  }
  os::MutexLock lock(mutex_);
  idleMatchers_.push_back(matcher);
}

std::optional<bool> CompiledRegex::firstMatch(std::string_view text) const {
  URegularExpression* matcher = takeMatcher();
  if (matcher == nullptr) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const std::u16string units = os::text::toUtf16(text);
  uregex_setText(matcher, units.data(), static_cast<int32_t>(units.size()), &status);
  const bool found = U_SUCCESS(status) && uregex_find(matcher, 0, &status);
  returnMatcher(matcher);
  if (U_FAILURE(status)) return std::nullopt;
  return found;
}

std::shared_ptr<const CompiledRegex> cachedRegex(std::string_view pattern, bool caseSensitive,
                                                 os::Error* error) {
  std::pair<std::string, bool> key(std::string(pattern), caseSensitive);
  if (std::shared_ptr<const CompiledRegex> cached = regexCache().find(key)) return cached;
  std::shared_ptr<const CompiledRegex> compiled =
      CompiledRegex::compile(pattern, caseSensitive, error);
  if (compiled) regexCache().insert(std::move(key), compiled);
  return compiled;
}

}  // namespace measurement
