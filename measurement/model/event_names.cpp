#include "measurement/model/event_names.h"

#include "measurement/foundation/monitor.h"

namespace measurement {

const std::map<int64_t, std::string>& errorCodeNames() {
  static const std::map<int64_t, std::string> names{
      {0, "NoError"},
      {1, "InvalidGMPAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlocked"},
      {12, "UserPropertyIsBlocked"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
      {20, "InvalidArrayParamName"},
      {21, "InvalidArrayParamEventName"},
      {22, "InvalidArrayParamNesting"},
      {23, "CustomParamsInArrayElement"},
      {28, "ItemScopedCustomParameterLimitReached"},
  };
  return names;
}

const NameSet& itemParameterNames() {
  static const NameSet names{
      "affiliation",     "coupon",         "creative_name",
      "creative_slot",   "currency",       "discount",
      "index",           "item_id",        "item_brand",
      "item_category",   "item_category2", "item_category3",
      "item_category4",  "item_category5", "item_list_name",
      "item_list_id",    "item_name",      "item_variant",
      "location_id",     "payment_type",   "price",
      "promotion_id",    "promotion_name", "quantity",
      "shipping",        "shipping_tier",  "tax",
      "transaction_id",  "value",          "checkout_step",
      "checkout_option", "item_list",      "item_location_id",
  };
  return names;
}

bool isPurchaseEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" ||
         name == "refund";
}

bool isPublicName(std::string_view name) {
  if (name.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return name.front() != '_';
}

bool isErrorEvent(std::string_view eventName) {
  if (eventName.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return eventName == "_err";
}

bool isNotErrorEventName(std::string_view name) { return name != "_err"; }

bool isSubscriptionEvent(std::string_view eventName, const Parameters& parameters) {
  if (eventName == "_assc" || eventName == "_assr") return true;
  if (eventName != "_iap") return false;
  auto subscription = parameters.find("subscription");
  return subscription != parameters.end() && subscription->second.isInt64() &&
         subscription->second.int64Value() == 1;
}

bool hasScreenParameters(const Parameters& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

Parameters screenParametersFromParameters(const Parameters& parameters) {
  Parameters screen;
  for (const char* name : {"_sn", "_sc", "_si"}) {
    if (auto entry = parameters.find(name); entry != parameters.end()) screen.insert(*entry);
  }
  return screen;
}

int32_t arrayParameterElementCount(const Parameters& parameters) {
  int64_t count = 0;
  for (const auto& [name, value] : parameters) {
    if (const os::Array* items = value.arrayValue()) count += static_cast<int64_t>(items->size());
  }
  return static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
}

}  // namespace measurement
