#include "measurement/foundation/products_request.h"

#include "measurement/foundation/measurement_error.h"
#include "os/sync/mutex.h"

namespace measurement {
namespace {

// No store on this host: nothing is for sale.
class UnavailableCatalogue final : public ProductCatalogue {
 public:
  bool requestProducts(const std::set<std::string>& identifiers, Callbacks callbacks) override {
    callbacks.didReceiveResponse({}, identifiers);
    return true;
  }
};

os::Mutex gCatalogueMutex;
std::shared_ptr<ProductCatalogue> gCatalogue OS_GUARDED_BY(gCatalogueMutex);

std::shared_ptr<ProductCatalogue> currentCatalogue() {
  os::MutexLock lock(gCatalogueMutex);
  if (!gCatalogue) gCatalogue = std::make_shared<UnavailableCatalogue>();
  return gCatalogue;
}

// One request in flight: it keeps the handler and the queue until the first answer, then lets
// go of both, so that the handler runs at most once.
class PendingRequest {
 public:
  PendingRequest(std::shared_ptr<os::DispatchQueue> queue,
                 ProductsRequest::CompletionHandler handler)
      : queue_(std::move(queue)), handler_(std::move(handler)) {}

  void finish(ProductsByIdentifier products, std::set<std::string> invalid,
              std::optional<os::Error> error) {
    std::shared_ptr<os::DispatchQueue> queue;
    ProductsRequest::CompletionHandler handler;
    {
      os::MutexLock lock(mutex_);
      queue = std::move(queue_);
      handler = std::move(handler_);
    }
    if (!queue || !handler) return;
    queue->async([handler = std::move(handler), products = std::move(products),
                  invalid = std::move(invalid), error = std::move(error)]() mutable {
      handler(std::move(products), std::move(invalid), std::move(error));
    });
  }

 private:
  os::Mutex mutex_;
  std::shared_ptr<os::DispatchQueue> queue_ OS_GUARDED_BY(mutex_);
  ProductsRequest::CompletionHandler handler_ OS_GUARDED_BY(mutex_);
};

}  // namespace

void ProductsRequest::requestProducts(const std::set<std::string>& identifiers,
                                      std::shared_ptr<os::DispatchQueue> queue,
                                      CompletionHandler handler) {
  if (!queue || !handler) return;
  auto pending = std::make_shared<PendingRequest>(std::move(queue), std::move(handler));
  ProductCatalogue::Callbacks callbacks{
      .didReceiveResponse =
          [pending](std::vector<Product> products, std::set<std::string> invalid) {
            ProductsByIdentifier byIdentifier;
            for (Product& product : products) {
              if (product.productIdentifier.empty()) continue;
              std::string identifier = product.productIdentifier;
              byIdentifier.insert_or_assign(std::move(identifier), std::move(product));
            }
            pending->finish(std::move(byIdentifier), std::move(invalid), std::nullopt);
          },
      .didFail = [pending](os::Error error) { pending->finish({}, {}, std::move(error)); },
  };
  if (!currentCatalogue()->requestProducts(identifiers, std::move(callbacks))) {
    pending->finish({}, {}, measurementError(kInvalidInput, "Invalid product identifiers."));
  }
}

void ProductsRequest::setCatalogue(std::shared_ptr<ProductCatalogue> catalogue) {
  os::MutexLock lock(gCatalogueMutex);
  gCatalogue = std::move(catalogue);
}

}  // namespace measurement
