#include "net/security_policy.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include "net/coding.h"
#include "os/files/files.h"
#include "os/log/log.h"

namespace {

constexpr const char* kClassName = "NKSecurityPolicy";
constexpr const char* kPinningModeKey = "SSLPinningMode";
constexpr const char* kAllowInvalidKey = "allowInvalidCertificates";
constexpr const char* kValidatesDomainKey = "validatesDomainName";
constexpr const char* kPinnedCertificatesKey = "pinnedCertificates";

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

Certificate certificateFromDER(const os::Data& der) {
  const unsigned char* bytes = der.data();
  return Certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

struct SequenceFree {
  void operator()(STACK_OF(ASN1_TYPE) * elements) const {
    sk_ASN1_TYPE_pop_free(elements, ASN1_TYPE_free);
  }
};
using Sequence = std::unique_ptr<STACK_OF(ASN1_TYPE), SequenceFree>;

// The elements of the DER SEQUENCE in `bytes`; nullptr when `bytes` hold none.
Sequence sequenceOf(const unsigned char* bytes, int length) {
  return Sequence(d2i_ASN1_SEQUENCE_ANY(nullptr, &bytes, length));
}

// The bytes of the certificate's SubjectPublicKeyInfo, as it is encoded in the certificate:
// equal keys give equal bytes. The certificate is read as plain DER: decoding it as a
// certificate would decode the key itself, which costs more than a handshake's other checks.
std::optional<os::Data> subjectPublicKeyInfoOf(const os::Data& certificate) {
  Sequence outer = sequenceOf(certificate.data(), static_cast<int>(certificate.size()));
  ASN1_TYPE* toBeSigned = outer ? sk_ASN1_TYPE_value(outer.get(), 0) : nullptr;
  if (toBeSigned == nullptr || toBeSigned->type != V_ASN1_SEQUENCE) return std::nullopt;
  Sequence fields =
      sequenceOf(toBeSigned->value.sequence->data, toBeSigned->value.sequence->length);
  if (!fields || sk_ASN1_TYPE_num(fields.get()) < 1) return std::nullopt;
  // version [0] (optional), serialNumber, signature, issuer, validity, subject, then the key.
  const int index = sk_ASN1_TYPE_value(fields.get(), 0)->type == V_ASN1_OTHER ? 6 : 5;
  ASN1_TYPE* key = sk_ASN1_TYPE_value(fields.get(), index);
  if (key == nullptr || key->type != V_ASN1_SEQUENCE) return std::nullopt;
  return os::Data(key->value.sequence->data,
                  key->value.sequence->data + key->value.sequence->length);
}

// True when `certificate` is valid for `hostName`, an IP address or a DNS name.
bool namesHost(X509* certificate, const std::string& hostName) {
  int address = X509_check_ip_asc(certificate, hostName.c_str(), 0);
  // -2: the name is no IP address.
  if (address != -2) return address == 1;
  return X509_check_host(certificate, hostName.data(), hostName.size(), 0, nullptr) == 1;
}

}  // namespace

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::defaultPolicy() {
  return std::make_shared<NKSecurityPolicy>();
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode mode) {
  return policyWithPinningMode(mode, defaultPinnedCertificates());
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::policyWithPinningMode(
    NKSSLPinningMode mode, std::set<os::Data> pinnedCertificates) {
  auto policy = std::make_shared<NKSecurityPolicy>();
  policy->setSSLPinningMode(mode);
  policy->setPinnedCertificates(std::move(pinnedCertificates));
  return policy;
}

std::set<os::Data> NKSecurityPolicy::certificatesInBundle(const os::Bundle& bundle) {
  std::set<os::Data> certificates;
  const std::filesystem::path folder = bundle.resourcePath();
  std::optional<std::vector<std::string>> names = os::files::contentsOfDirectory(folder, nullptr);
  if (!names) return certificates;
  for (const std::string& name : *names) {
    if (std::filesystem::path(name).extension() != ".cer") continue;
    if (std::optional<std::string> contents = os::files::readFile(folder / name, nullptr)) {
      certificates.emplace(contents->begin(), contents->end());
    }
  }
  return certificates;
}

const std::set<os::Data>& NKSecurityPolicy::defaultPinnedCertificates() {
  static const std::set<os::Data> certificates = certificatesInBundle(os::Bundle::main());
  return certificates;
}

void NKSecurityPolicy::setPinnedCertificates(std::set<os::Data> certificates) {
  pinnedCertificates_ = std::move(certificates);
  pinnedPublicKeys_.clear();
  for (const os::Data& der : pinnedCertificates_) {
    if (!certificateFromDER(der)) continue;
    if (std::optional<os::Data> key = subjectPublicKeyInfoOf(der)) {
      pinnedPublicKeys_.insert(std::move(*key));
    }
  }
}

bool NKSecurityPolicy::evaluateServerTrust(const os::ServerTrust& trust,
                                           const std::optional<std::string>& domain) const {
  if (domain && allowInvalidCertificates_ && validatesDomainName_ &&
      (mode_ == NKSSLPinningMode::None || pinnedCertificates_.empty())) {
    os::log::console(
        "In order to validate a domain name for self signed certificates, you MUST use pinning.");
    return false;
  }
  const std::optional<std::string> hostName = validatesDomainName_ ? domain : std::nullopt;
  switch (mode_) {
    case NKSSLPinningMode::None:
      return allowInvalidCertificates_ || trust.evaluate(hostName);
    case NKSSLPinningMode::Certificate:
      if (!allowInvalidCertificates_ && !trust.evaluate(hostName)) return false;
      // The evaluated chain ends at one of its roots, and those are the pinned certificates.
      return chainLeadsToPinnedCertificate(trust, hostName);
    case NKSSLPinningMode::PublicKey:
      if (!allowInvalidCertificates_ && !trust.evaluate(hostName)) return false;
      // Only the leaf proves, in the handshake, that the server holds its private key; any
      // other certificate of the chain is merely sent along (anyone can send a copy of ours),
      // so it counts only through a chain that verifiably leads to it.
      // When the evaluation above ran, it has checked the leaf's name already.
      return leafHasPinnedPublicKey(trust, allowInvalidCertificates_ ? hostName : std::nullopt) ||
             chainLeadsToPinnedCertificate(trust, hostName);
  }
  return false;
}

bool NKSecurityPolicy::chainLeadsToPinnedCertificate(
    const os::ServerTrust& trust, const std::optional<std::string>& hostName) const {
  // No anchors would mean the system's roots.
  if (pinnedCertificates_.empty()) return false;
  os::ServerTrust anchored(trust.certificates(), trust.host());
  anchored.setAnchorCertificates(
      std::vector<os::Data>(pinnedCertificates_.begin(), pinnedCertificates_.end()));
  return anchored.evaluate(hostName);
}

bool NKSecurityPolicy::leafHasPinnedPublicKey(const os::ServerTrust& trust,
                                              const std::optional<std::string>& hostName) const {
  if (trust.certificates().empty()) return false;
  const os::Data& leaf = trust.certificates().front();
  std::optional<os::Data> key = subjectPublicKeyInfoOf(leaf);
  if (!key || pinnedPublicKeys_.count(*key) == 0) return false;
  if (!hostName) return true;
  Certificate certificate = certificateFromDER(leaf);
  return certificate && namesHost(certificate.get(), *hostName);
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::copy() const {
  auto copied = std::make_shared<NKSecurityPolicy>();
  copied->setSSLPinningMode(mode_);
  copied->setAllowInvalidCertificates(allowInvalidCertificates_);
  copied->setValidatesDomainName(validatesDomainName_);
  copied->setPinnedCertificates(pinnedCertificates_);
  return copied;
}

os::Value NKSecurityPolicy::encode() const {
  return os::Dictionary{
      {kNKCodedClassKey, kClassName},
      {kPinningModeKey, static_cast<uint64_t>(mode_)},
      {kAllowInvalidKey, allowInvalidCertificates_},
      {kValidatesDomainKey, validatesDomainName_},
      {kPinnedCertificatesKey, os::Array(pinnedCertificates_.begin(), pinnedCertificates_.end())},
  };
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::decode(const os::Value& coded,
                                                           os::Error* error) {
  const os::Dictionary* entries = NKCodedObject(coded, kClassName);
  if (!entries) {
    os::fail(error, NKCoderReadCorruptError("Not a coded security policy."));
    return nullptr;
  }
  auto policy = std::make_shared<NKSecurityPolicy>();
  auto mode = static_cast<uint64_t>(policy->mode_);
  std::set<os::Data> certificates;
  bool readable = NKDecodeUnsigned(*entries, kPinningModeKey, &mode) &&
                  NKDecodeBool(*entries, kAllowInvalidKey, &policy->allowInvalidCertificates_) &&
                  NKDecodeBool(*entries, kValidatesDomainKey, &policy->validatesDomainName_);
  const os::Value& codedCertificates = coded[kPinnedCertificatesKey];
  if (readable && !codedCertificates.isNull()) {
    const os::Array* array = codedCertificates.asArray();
    readable = array && std::all_of(array->begin(), array->end(),
                                    [](const os::Value& element) { return element.isData(); });
    if (readable) {
      for (const os::Value& element : *array) certificates.insert(*element.asData());
    }
  }
  if (!readable) {
    os::fail(error,
             NKCoderReadCorruptError("A coded security policy holds a value of the wrong kind."));
    return nullptr;
  }
  policy->setSSLPinningMode(static_cast<NKSSLPinningMode>(mode));
  policy->setPinnedCertificates(std::move(certificates));
  return policy;
}
