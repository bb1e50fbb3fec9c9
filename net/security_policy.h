// NKSecurityPolicy decides whether a server's TLS chain is acceptable for a host. A session
// manager asks its policy in every server-trust challenge and refuses the connection (before a
// byte of the request is sent) when the policy says no; the task then completes with
// os::kURLErrorCancelled.
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
// Pinning ties a host to certificates the application ships (DER files of type "cer" in its
// bundle's resources, or any DER data):
//
//   auto pinned = NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode::PublicKey);
//   pinned->setAllowInvalidCertificates(true);  // a self-signed server whose key we know
//   manager->setSecurityPolicy(pinned);
//
// Configure a policy before handing it to a manager; evaluation is then thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "os/bundle/bundle.h"
#include "os/net/urlsession.h"
#include "os/value/error.h"
#include "os/value/value.h"

// What a pinning policy compares the server's chain with; the platform's numbers.
enum class NKSSLPinningMode : uint64_t {
  // No pinning: the chain is judged by the system's roots alone.
  None = 0,
  // The server must hold the private key of a pinned certificate.
  PublicKey = 1,
  // The chain must lead to a pinned certificate.
  Certificate = 2,
};

class NKSecurityPolicy {
 public:
  // No pinning; certificates must be valid (allowInvalidCertificates false) and valid for the
  // host (validatesDomainName true).
  NKSecurityPolicy() = default;
  // The policy every manager starts with: a new policy as above.
  static std::shared_ptr<NKSecurityPolicy> defaultPolicy();
  // A new policy as above with `mode` and the certificates of defaultPinnedCertificates().
  static std::shared_ptr<NKSecurityPolicy> policyWithPinningMode(NKSSLPinningMode mode);
  // A new policy as above with `mode` and `pinnedCertificates` (DER).
  static std::shared_ptr<NKSecurityPolicy> policyWithPinningMode(
      NKSSLPinningMode mode, std::set<os::Data> pinnedCertificates);

  // The contents of every file of type "cer" directly in `bundle`'s resource folder (not in its
  // .lproj folders); files that cannot be read are skipped.
  static std::set<os::Data> certificatesInBundle(const os::Bundle& bundle);
  // certificatesInBundle() of the main bundle, read once per process.
  static const std::set<os::Data>& defaultPinnedCertificates();

  NKSSLPinningMode SSLPinningMode() const { return mode_; }
  void setSSLPinningMode(NKSSLPinningMode mode) { mode_ = mode; }

  // The pinned certificates as DER. Setting them derives pinnedPublicKeys() again.
  const std::set<os::Data>& pinnedCertificates() const { return pinnedCertificates_; }
  void setPinnedCertificates(std::set<os::Data> certificates);
  // The public keys of the pinned certificates, each as its DER SubjectPublicKeyInfo; pinned
  // data that are no certificate give no key.
  const std::set<os::Data>& pinnedPublicKeys() const { return pinnedPublicKeys_; }

  // Accept chains that do not lead to a trusted root, or that have expired.
  bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
  void setAllowInvalidCertificates(bool allow) { allowInvalidCertificates_ = allow; }
  // Check that the leaf certificate names the host.
  bool validatesDomainName() const { return validatesDomainName_; }
  void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }

  // True to accept `trust` for `domain` (the host the request went to; nullopt when unknown).
  // The host name is checked only when validatesDomainName() and a domain is given. In order:
  //  - invalid certificates allowed with the domain validated, for a given domain, and no
  //    pinning (mode None or no pinned certificates): refused, with a console line, since a
  //    name cannot be checked on a chain nobody vouches for;
  //  - mode None: accepted when invalid certificates are allowed, else exactly when the chain
  //    evaluates as trusted against the system's roots (os::ServerTrust);
  //  - the pinning modes first require that evaluation unless invalid certificates are allowed;
  //  - Certificate: accepted when the chain evaluates as trusted with the pinned certificates
  //    as the only roots (so it ends at a pinned certificate), dates and host included;
  //  - PublicKey: accepted when the leaf's public key is pinned (and, when the host is checked,
  //    the leaf names it), or when the chain evaluates as under Certificate. A pinned
  //    certificate that the server merely sends along with an unrelated leaf is not enough;
  //  - any other mode: refused.
  bool evaluateServerTrust(const os::ServerTrust& trust,
                           const std::optional<std::string>& domain) const;

  // --- copying and coding ---
  // A new policy with the same mode, switches and pinned certificates (keys derived again).
  std::shared_ptr<NKSecurityPolicy> copy() const;
  // The policy's keyed form as a property-list dictionary: "$class" ("NKSecurityPolicy"),
  // "SSLPinningMode" (an integer), "allowInvalidCertificates" and "validatesDomainName"
  // (booleans), "pinnedCertificates" (an array of data, sorted).
  os::Value encode() const;
  // A new policy given the coded mode, switches and certificates (keys derived again); a key
  // that is absent keeps the new policy's value. nullptr with an error (os::kCocoaErrorDomain,
  // kNKCoderReadCorruptError) when `coded` is no coded policy or a key holds the wrong kind.
  static std::shared_ptr<NKSecurityPolicy> decode(const os::Value& coded, os::Error* error);

 private:
  // True when the chain evaluates with the pinned certificates as its only roots.
  bool chainLeadsToPinnedCertificate(const os::ServerTrust& trust,
                                     const std::optional<std::string>& hostName) const;
  // True when the leaf's public key is pinned and, for a host name, the leaf is valid for it.
  bool leafHasPinnedPublicKey(const os::ServerTrust& trust,
                              const std::optional<std::string>& hostName) const;

  NKSSLPinningMode mode_ = NKSSLPinningMode::None;
  std::set<os::Data> pinnedCertificates_;
  std::set<os::Data> pinnedPublicKeys_;
  bool allowInvalidCertificates_ = false;
  bool validatesDomainName_ = true;
};
