// A store purchase as the engine sees it, and the key by which a purchase is recognised when the
// store delivers it again.
//
//   PurchaseTransaction purchase{.state = kPurchaseStatePurchased,
//                                .transactionIdentifier = "1000000123",
//                                .productIdentifier = "com.example.gold"};
//   std::optional<std::string> key = transactionFingerprint(&purchase);  // MD5 hex of the id
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace measurement {

// The store's transaction states that matter here.
inline constexpr int64_t kPurchaseStatePurchased = 1;

struct PurchaseTransaction {
  int64_t state = 0;
  std::optional<std::string> transactionIdentifier;
  std::optional<std::string> originalTransactionIdentifier;
  // Seconds since 1970.
  double transactionDate = 0;
  std::string productIdentifier;
  int64_t quantity = 1;
  // The store's error code of a failed transaction, 0 otherwise.
  int64_t errorCode = 0;
};

// The lower-case MD5 hex digest of the transaction identifier of a completed purchase; nullopt
// (logged) for no transaction, another state, or an identifier that is missing, empty or made of
// zeroes and dashes only.
std::optional<std::string> transactionFingerprint(const PurchaseTransaction* transaction);

}  // namespace measurement
