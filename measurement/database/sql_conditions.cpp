#include "measurement/database/sql_conditions.h"

namespace measurement {

std::string likeLiteral(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '_' || c == kLikeEscape) escaped.push_back(kLikeEscape);
    escaped.push_back(c);
  }
  return escaped;
}

std::string rowIDCondition(size_t count) {
  std::string condition = "rowid IN (";
  for (size_t i = 0; i < count; ++i) condition += i == 0 ? "?" : ",?";
  return condition + ")";
}

}  // namespace measurement
