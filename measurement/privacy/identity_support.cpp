#include "measurement/privacy/identity_support.h"

namespace measurement {

const std::shared_ptr<DefaultIdentitySupport>& DefaultIdentitySupport::sharedInstance() {
  static const std::shared_ptr<DefaultIdentitySupport> shared =
      std::make_shared<DefaultIdentitySupport>();
  return shared;
}

}  // namespace measurement
