#include "net/security_policy.h"

#include "os/log.h"

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::defaultPolicy() {
  return std::make_shared<NKSecurityPolicy>();
}

bool NKSecurityPolicy::evaluateServerTrust(const os::ServerTrust& trust,
                                           const std::optional<std::string>& domain) const {
  if (domain && allowInvalidCertificates_ && validatesDomainName_) {
    os::log::console(
        "In order to validate a domain name for self signed certificates, you MUST use pinning.");
    return false;
  }
  if (allowInvalidCertificates_) return true;
  return trust.evaluate(validatesDomainName_ ? domain : std::nullopt);
}
