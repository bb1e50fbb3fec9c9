// Server-sent regular expressions of string filters: ICU's dialect, compiled once per pattern and
// case rule and kept in a process-wide cache, and matched with a time and a stack limit so that a
// backtracking pattern cannot stall the worker queue that evaluates every event.
//
//   std::shared_ptr<const CompiledRegex> regex = cachedRegex("^lev(el)?_\\d+$", false, &error);
//   regex->firstMatch("LEVEL_3");    // true
//   regex->firstMatch(longInput);    // std::nullopt when the limits stop the match
//
// Any thread: a compiled expression is never changed; each match runs on a clone of its own,
// taken from the expression's idle clones (or made) and put back after the match, so that
// clones are made once per concurrent match rather than once per match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/sync/mutex.h"
#include "os/sync/thread_annotations.h"
#include "os/value/error.h"

struct URegularExpression;

namespace measurement {

// Steps of ICU's match engine (each about ten thousand backtracking moves) one match may take.
inline constexpr int32_t kRegexTimeLimitSteps = 50;
// Bytes of heap ICU's backtracking stack may grow to in one match.
inline constexpr int32_t kRegexStackLimitBytes = 256 * 1024;

class CompiledRegex {
 public:
  // The expression in ICU's syntax, ignoring case unless `caseSensitive`; nullptr with `error`
  // (ICU's error name as description) when it does not compile.
  static std::shared_ptr<const CompiledRegex> compile(std::string_view pattern, bool caseSensitive,
                                                      os::Error* error);
  ~CompiledRegex();
  CompiledRegex(const CompiledRegex&) = delete;
  CompiledRegex& operator=(const CompiledRegex&) = delete;

  // Whether the expression matches anywhere in `text`; std::nullopt when the time or stack
  // limit ended the search (or ICU failed otherwise) before it could tell.
  std::optional<bool> firstMatch(std::string_view text) const;

 private:
  explicit CompiledRegex(URegularExpression* compiled) : compiled_(compiled) {}
  // An idle clone with the limits set; nullptr when ICU could not make one.
  URegularExpression* takeMatcher() const;
  void returnMatcher(URegularExpression* matcher) const;

  URegularExpression* compiled_;
  mutable os::Mutex mutex_;
  mutable std::vector<URegularExpression*> idleMatchers_ OS_GUARDED_BY(mutex_);
};

// The process's compiled expressions by pattern and case rule, at most kRegexCacheCapacity of
// them: a full cache is emptied before the next one is added, which only costs compiling again.
inline constexpr size_t kRegexCacheCapacity = 1024;

std::shared_ptr<const CompiledRegex> cachedRegex(std::string_view pattern, bool caseSensitive,
                                                 os::Error* error);

}  // namespace measurement
