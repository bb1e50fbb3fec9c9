#include "measurement/engine/purchase_transaction.h"

#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

std::optional<std::string> transactionFingerprint(const PurchaseTransaction* transaction) {
  if (!transaction) {
    monitor().log(MonitorLevel::kErrorSilent, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->state != kPurchaseStatePurchased) return std::nullopt;
  const std::optional<std::string>& identifier = transaction->transactionIdentifier;
  if (!identifier) {
    monitor().log(MonitorLevel::kErrorSilent, 21015, "Transaction identifier is nil. Code",
                  transaction->errorCode);
    return std::nullopt;
  }
  if (identifier->empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 21016, "Transaction identifier is empty. Code",
                  transaction->errorCode);
    return std::nullopt;
  }
  if (identifier->find_first_not_of("0-") == std::string::npos) {
    monitor().log(MonitorLevel::kErrorSilent, 21017, "Transaction identifier is only zeroes. Code",
                  transaction->errorCode);
    return std::nullopt;
  }
  return apm_MD5String(*identifier);
}

}  // namespace measurement
