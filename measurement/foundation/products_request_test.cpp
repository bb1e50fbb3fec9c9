#include "measurement/foundation/products_request.h"

#include <gtest/gtest.h>

#include "measurement/foundation/measurement_error.h"
#include "os/sync/mutex.h"

namespace measurement {
namespace {

// A catalogue whose answers the test gives, as often as it likes.
class ScriptedCatalogue final : public ProductCatalogue {
 public:
  explicit ScriptedCatalogue(bool accepts) : accepts_(accepts) {}
  bool requestProducts(const std::set<std::string>& identifiers, Callbacks callbacks) override {
    asked = identifiers;
    callbacks_ = std::move(callbacks);
    return accepts_;
  }
  Callbacks& callbacks() { return callbacks_; }
  std::set<std::string> asked;

 private:
  const bool accepts_;
  Callbacks callbacks_;
};

struct Answer {
  ProductsByIdentifier products;
  std::set<std::string> invalid;
  std::optional<os::Error> error;
};

class ProductsRequestTest : public testing::Test {
 protected:
  ~ProductsRequestTest() override { ProductsRequest::setCatalogue(nullptr); }

  void request(const std::set<std::string>& identifiers) {
    ProductsRequest::requestProducts(
        identifiers, queue_,
        [this](ProductsByIdentifier products, std::set<std::string> invalid,
               std::optional<os::Error> error) {
          EXPECT_TRUE(queue_->isCurrent());
          os::MutexLock lock(mutex_);
          answers_.push_back({std::move(products), std::move(invalid), std::move(error)});
        });
  }
  // The answers so far, once the queue has run what was queued before.
  std::vector<Answer> answers() {
    queue_->sync([] {});
    os::MutexLock lock(mutex_);
    return answers_;
  }

  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("ProductsRequestTest");
  os::Mutex mutex_;
  std::vector<Answer> answers_ OS_GUARDED_BY(mutex_);
};

TEST_F(ProductsRequestTest, WithoutAStoreEveryIdentifierIsInvalid) {
  request({"gold", "silver"});
  std::vector<Answer> got = answers();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].products.empty());
  EXPECT_EQ(got[0].invalid, (std::set<std::string>{"gold", "silver"}));
  EXPECT_FALSE(got[0].error);
}

TEST_F(ProductsRequestTest, TheHandlerRunsOnceWithTheProductsByIdentifier) {
  auto catalogue = std::make_shared<ScriptedCatalogue>(true);
  ProductsRequest::setCatalogue(catalogue);
  request({"gold", "silver", "bronze"});
  EXPECT_EQ(catalogue->asked, (std::set<std::string>{"gold", "silver", "bronze"}));
  catalogue->callbacks().didReceiveResponse({{"gold", Decimal::parse("0.99"), "EUR", "Gold"},
                                             {"", Decimal::parse("1"), "EUR", "Nameless"},
                                             {"gold", Decimal::parse("1.99"), "USD", "Gold again"}},
                                            {"bronze"});
  // Answers after the first find no handler.
  catalogue->callbacks().didFail(os::Error("SKErrorDomain", 2, "cancelled"));
  catalogue->callbacks().didReceiveResponse({}, {});
  std::vector<Answer> got = answers();
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].products.size(), 1u);
  EXPECT_EQ(got[0].products.at("gold").localizedTitle, "Gold again");
  EXPECT_EQ(got[0].products.at("gold").price->text(), "1.99");
  EXPECT_EQ(got[0].invalid, std::set<std::string>{"bronze"});
  EXPECT_FALSE(got[0].error);
}

TEST_F(ProductsRequestTest, FailuresAndRefusalsComeBackAsErrors) {
  auto failing = std::make_shared<ScriptedCatalogue>(true);
  ProductsRequest::setCatalogue(failing);
  request({"gold"});
  failing->callbacks().didFail(os::Error("SKErrorDomain", 0, "unknown"));
  failing->callbacks().didReceiveResponse({{"gold", {}, {}, {}}}, {});

  ProductsRequest::setCatalogue(std::make_shared<ScriptedCatalogue>(false));
  request({""});
  std::vector<Answer> got = answers();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].error->domain, "SKErrorDomain");
  EXPECT_TRUE(got[0].products.empty());
  EXPECT_EQ(got[1].error, measurementError(1, "Invalid product identifiers."));
}

TEST_F(ProductsRequestTest, NoQueueOrNoHandlerMeansNoRequest) {
  auto catalogue = std::make_shared<ScriptedCatalogue>(true);
  ProductsRequest::setCatalogue(catalogue);
  ProductsRequest::requestProducts({"gold"}, nullptr, [](auto, auto, auto) { FAIL(); });
  ProductsRequest::requestProducts({"gold"}, queue_, nullptr);
  EXPECT_TRUE(catalogue->asked.empty());
}

}  // namespace
}  // namespace measurement
