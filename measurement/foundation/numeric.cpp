#include "measurement/foundation/numeric.h"

#include <cerrno>
#include <cstring>

#include "measurement/foundation/monitor.h"
#include "os/crypto/crypto.h"

namespace measurement {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isDecimalNumberString(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t integerDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++integerDigits;
  if (i == text.size()) return integerDigits > 0;
  if (text[i++] != '.') return false;
  size_t fractionDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++fractionDigits;
  if (i != text.size()) return false;
  // "12." or ".5" and "1.5"; a lone point is not a number.
  return integerDigits > 0 || fractionDigits > 0;
}

std::optional<Decimal> decimalNumberFromString(std::string_view text) {
  if (!isDecimalNumberString(text)) {
    monitor().log(MonitorLevel::kErrorSilent, 26001,
                  "String value does not represent a numeric value. Value", std::string(text));
    return std::nullopt;
  }
  std::optional<Decimal> parsed = Decimal::parse(text);
  if (!parsed) {
    monitor().log(MonitorLevel::kErrorSilent, 26002,
                  "Unable to create a NSDecimalNumber from string value. Value", std::string(text));
    return std::nullopt;
  }
  // A number written without its leading zero gains one, so that the canonical text of an exact
  // parse occurs in it; digits lost past the 38th make the canonical text differ.
  std::string written(text);
  if (written.starts_with("+.") || written.starts_with("-.") || written.starts_with(".")) {
    written.replace(written.find('.'), 1, "0.");
  }
  std::string canonical = parsed->text();
  if (parsed->isNegative()) canonical.erase(0, 1);
  if (written.find(canonical) == std::string::npos) {
    monitor().log(MonitorLevel::kErrorSilent, 26003,
                  "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
                  written);
    return std::nullopt;
  }
  return parsed;
}

int64_t randomInt64() {
  int64_t value = 0;
  if (std::optional<os::Data> bytes = os::crypto::randomBytes(sizeof value)) {
    std::memcpy(&value, bytes->data(), sizeof value);
  } else {
    monitor().log(MonitorLevel::kWarningSilent, 26004, "Unable to generate random integer",
                  std::string(strerror(errno)));
  }
  return value;
}

uint32_t uniformRandom(uint32_t bound) {
  // A 64-bit draw reduced modulo a 32-bit bound: the bias is below 2^-32.
  return static_cast<uint32_t>(static_cast<uint64_t>(randomInt64()) % bound);
}

const NameTable& publicToInternalParameterNames() {
  static const NameTable table{
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"riveravo_conversion", "_c"},
      {"riveravo_debug", "_dbg"},
      {"riveravo_error", "_err"},
      {"riveravo_error_length", "_el"},
      {"riveravo_error_value", "_ev"},
      {"riveravo_event_origin", "_o"},
      {"riveravo_feature_rollouts", "_ffr"},
      {"riveravo_previous_class", "_pc"},
      {"riveravo_previous_id", "_pi"},
      {"riveravo_previous_screen", "_pn"},
      {"riveravo_realtime", "_r"},
      {"riveravo_screen", "_sn"},
      {"riveravo_screen_class", "_sc"},
      {"riveravo_screen_id", "_si"},
      {"ga_conversion", "_c"},
      {"ga_debug", "_dbg"},
      {"ga_dedupe_id", "_did"},
      {"ga_error", "_err"},
      {"ga_error_length", "_el"},
      {"session_id", "_sid"},
      {"topic", "_nt"},
      {"ga_error_value", "_ev"},
      {"ga_event_id", "_eid"},
      {"ga_event_name", "_en"},
      {"ga_event_origin", "_o"},
      {"ga_extra_params_ct", "_epc"},
      {"ga_group_name", "_gn"},
      {"ga_index", "_i"},
      {"ga_list_length", "_ll"},
      {"ga_previous_class", "_pc"},
      {"ga_previous_id", "_pi"},
      {"ga_previous_screen", "_pn"},
      {"ga_realtime", "_r"},
      {"ga_screen", "_sn"},
      {"ga_screen_class", "_sc"},
      {"ga_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_gmp_app_id", "_pgmp"},
      {"previous_os_version", "_po"},
      {"session_number", "_sno"},
      {"update_with_analytics", "_uwa"},
  };
  return table;
}

const NameTable& userPropertyInternalNames() {
  static const NameTable table{
      {"riveravo_last_notification", "_ln"}, {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},           {"ga_session_id", "_sid"},
      {"ga_session_number", "_sno"},         {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},    {"user_id", "_id"},
  };
  return table;
}

}  // namespace measurement
