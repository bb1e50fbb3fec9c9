// The engine's purchase duplicate filter: only completed purchases whose fingerprint was not
// stored before are passed on to be reported.
#include "measurement/engine/measurement.h"

namespace {

using measurement::MonitorLevel;
using measurement::PurchaseTransaction;

}  // namespace

void APMMeasurement::filterPurchaseTransactions(
    std::vector<PurchaseTransaction> transactions,
    std::function<void(std::vector<PurchaseTransaction>)> callback) {
  scheduleWeakly("APMMeasurement:4063", [transactions = std::move(transactions),
                                         callback = std::move(callback)](APMMeasurement& engine) {
    std::vector<PurchaseTransaction> passed;
    for (const PurchaseTransaction& transaction : transactions) {
      if (transaction.state != measurement::kPurchaseStatePurchased) continue;
      std::optional<std::string> fingerprint = measurement::transactionFingerprint(&transaction);
      if (!fingerprint || fingerprint->empty()) {
        monitor().log(MonitorLevel::kErrorSilent, 23139,
                      "Purchase has nil or empty fingerprint. Purchase will not be checked for "
                      "duplicates. Product ID",
                      transaction.productIdentifier);
        passed.push_back(transaction);
        continue;
      }
      os::Error error;
      std::optional<bool> stored;
      if (engine.database_) {
        stored = engine.database_->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error);
      }
      // No answer is a failure whether or not an error came with it: the purchase is reported
      // rather than lost as a duplicate it may not be.
      if (!stored) {
        monitor().log(MonitorLevel::kErrorSampled, 23140,
                      "Failed to save purchase fingerprint. Purchase will not be checked for "
                      "duplicates. Product ID, error",
                      transaction.productIdentifier, error);
        passed.push_back(transaction);
        continue;
      }
      if (!*stored) {
        monitor().log(MonitorLevel::kWarningSampled, 23141,
                      "Purchase is a duplicate and will not be reported. Product ID",
                      transaction.productIdentifier);
        continue;
      }
      passed.push_back(transaction);
    }
    os::DispatchQueue::global()->async(
        [callback, passed = std::move(passed)] { callback(passed); });
  });
}
