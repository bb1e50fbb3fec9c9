// Pieces of SQL that the database's operations build from caller values.
//
//   store.recordsForQuery("SELECT * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '!'",
//                         {likePrefixLiteral("_ltv_")});
//   rowIDCondition(3);   // "rowid IN (?,?,?)"
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace measurement {

// The LIKE escape character the database's patterns declare with ESCAPE '!'.
inline constexpr char kLikeEscape = '!';

// `text` as a LIKE pattern that matches exactly it (ASCII case folded, as LIKE does): "%", "_"
// and "!" are escaped with "!", so "level_" no longer finds "levelX".
std::string likeLiteral(std::string_view text);

// "rowid IN (?,...)" with `count` question marks, bound to the row ids in order.
std::string rowIDCondition(size_t count);

}  // namespace measurement
