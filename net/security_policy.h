// NKSecurityPolicy decides whether a server's TLS chain is acceptable for a host. A session
// manager asks its policy in every server-trust challenge and refuses the connection (before a
// byte of the request is sent) when the policy says no.
//
// The default policy trusts what the system trusts: the chain must lead to one of the system's
// roots (or to a certificate of the PEM file named by TESSARO_CA_FILE) and the certificate must
// be valid for the host. Accepting any certificate is an explicit, visible choice:
//
//   auto anything = NKSecurityPolicy::defaultPolicy();
//   anything->setAllowInvalidCertificates(true);
//   anything->setValidatesDomainName(false);   // both, or the policy refuses every host
//   manager->setSecurityPolicy(anything);
//
// Configure a policy before handing it to a manager; evaluation is then thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/urlsession.h"

class NKSecurityPolicy {
 public:
  // Certificates must be valid (allowInvalidCertificates false) and valid for the host
  // (validatesDomainName true).
  NKSecurityPolicy() = default;
  // The policy every manager starts with: a new policy as above.
  static std::shared_ptr<NKSecurityPolicy> defaultPolicy();

  // Accept chains that do not lead to a trusted root, or that have expired.
  bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
  void setAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }
  // Check that the leaf certificate names the host.
  bool validatesDomainName() const { return validatesDomainName_; }
  void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }

  // True to accept `trust` for `domain` (the host the request went to; nullopt when unknown):
  //  - invalid certificates allowed with the domain validated, for a given domain: refused,
  //    with a console line, since a name cannot be checked on a chain nobody vouches for;
  //  - invalid certificates allowed: accepted without evaluation;
  //  - otherwise accepted exactly when the chain evaluates as trusted (os::ServerTrust), for
  //    the domain when validatesDomainName, else for any name.
  bool evaluateServerTrust(const os::ServerTrust& trust,
                           const std::optional<std::string>& domain) const;

 private:
  bool allowInvalidCertificates_ = false;
  bool validatesDomainName_ = true;
};
