// Asks the store for the records of a set of products (their price and currency, for purchase
// reports) and hands the answer to a handler on a given queue, once.
//
//   ProductsRequest::requestProducts({"com.example.gold"}, queue,
//       [](ProductsByIdentifier products, std::set<std::string> invalid,
//          std::optional<os::Error> error) { ... });
//
// This host has no store of its own: the catalogue behind the requests is pluggable, and the
// default one answers every identifier as invalid, without an error.
//
// Threads: every member may be called from any thread; a catalogue may answer on any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/decimal.h"
#include "os/dispatch/dispatch.h"
#include "os/value/error.h"

namespace measurement {

// What purchase reports need of a product record.
struct Product {
  std::string productIdentifier;
  std::optional<Decimal> price;
  // The currency code of the price's locale ("EUR"), when it has one.
  std::optional<std::string> currencyCode;
  std::optional<std::string> localizedTitle;
};

using ProductsByIdentifier = std::map<std::string, Product>;

// Where product records come from.
class ProductCatalogue {
 public:
  struct Callbacks {
    // The products found and the identifiers the store does not know.
    std::function<void(std::vector<Product> products, std::set<std::string> invalidIdentifiers)>
        didReceiveResponse;
    std::function<void(os::Error error)> didFail;
  };

  virtual ~ProductCatalogue() = default;
  // Starts a request for `identifiers`, to be answered through one of `callbacks`; false, with
  // no callback to come, when the catalogue refuses the set.
  virtual bool requestProducts(const std::set<std::string>& identifiers, Callbacks callbacks) = 0;
};

class ProductsRequest {
 public:
  using CompletionHandler =
      std::function<void(ProductsByIdentifier products, std::set<std::string> invalidIdentifiers,
                         std::optional<os::Error> error)>;

  // Runs `handler` on `queue` once: with the products by identifier (an empty identifier left
  // out, a later product replacing an earlier one of the same identifier) and the invalid
  // identifiers; or, empty, with the catalogue's error, or with the measurement error 1
  // "Invalid product identifiers." when the catalogue refuses the set. Nothing at all without a
  // queue or a handler. Later answers of the catalogue to the same request are ignored.
  static void requestProducts(const std::set<std::string>& identifiers,
                              std::shared_ptr<os::DispatchQueue> queue, CompletionHandler handler);

  // Replaces the catalogue that later requests ask; nullptr restores the default.
  static void setCatalogue(std::shared_ptr<ProductCatalogue> catalogue);
};

}  // namespace measurement
