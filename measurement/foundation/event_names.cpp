#include "measurement/foundation/event_names.h"

namespace measurement {

const NameTable& publicToInternalEventNames() {
  static const NameTable table{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"ga_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
      {"error", "_err"},
      {"riveravo_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"ga_campaign", "_cmp"},
  };
  return table;
}

const NameTable& internalToPublicEventNames() {
  static const NameTable table = [] {
    NameTable reversed;
    for (const auto& [publicName, internalName] : publicToInternalEventNames()) {
      reversed.emplace(internalName, publicName);
    }
    return reversed;
  }();
  return table;
}

const NameTable& allowedPublicAdEventNames() {
  static const NameTable table{{"ad_impression", "_ai"}};
  return table;
}

const NameSet& itemsArrayEventNames() {
  static const NameSet names{
      "add_payment_info",
      "add_shipping_info",
      "add_to_cart",
      "add_to_wishlist",
      "begin_checkout",
      "purchase",
      "refund",
      "remove_from_cart",
      "select_item",
      "select_promotion",
      "view_cart",
      "view_item",
      "view_item_list",
      "view_promotion",
      "ecommerce_purchase",
      "checkout_progress",
      "purchase_refund",
      "select_content",
      "set_checkout_option",
      "view_search_results",
  };
  return names;
}

}  // namespace measurement
