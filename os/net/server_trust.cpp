// Server trust over OpenSSL's X.509 verification: the default roots are the system's plus the
// certificates of TESSARO_CA_FILE.
#include "os/net/internal/server_trust.h"

#include <arpa/inet.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>

#include "os/dispatch/dispatch.h"
#include "os/log/log.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"

namespace os {
namespace {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using Certificate = std::unique_ptr<X509, X509Free>;
using Store = std::unique_ptr<X509_STORE, StoreFree>;

Certificate certificateFromDER(const Data& der) {
  const unsigned char* bytes = der.data();
  return Certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

Data derOf(X509* certificate) {
  int length = i2d_X509(certificate, nullptr);
  if (length <= 0) return {};
  Data der(static_cast<size_t>(length));
  unsigned char* out = der.data();
  i2d_X509(certificate, &out);
  return der;
}

// The system's roots and TESSARO_CA_FILE, built once per value of that variable (tests point it
// at their own servers' certificates). The store is shared: OpenSSL locks its lookups.
Store defaultStore() {
  static Mutex mutex;
  static std::string builtFor;
  static X509_STORE* cached = nullptr;
  const char* variable = std::getenv("TESSARO_CA_FILE");
  std::string caFile = variable ? variable : "";
  MutexLock lock(mutex);
  if (cached == nullptr || caFile != builtFor) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_set_default_paths(store);
    if (!caFile.empty() && X509_STORE_load_file(store, caFile.c_str()) != 1) {
      log::write(log::Level::Warning,
                 "TESSARO_CA_FILE: could not read certificates from " + caFile);
    }
    if (cached != nullptr) X509_STORE_free(cached);
    cached = store;
    builtFor = caFile;
  }
  X509_STORE_up_ref(cached);
  return Store(cached);
}

// A store of exactly `anchors`. A pinning client evaluates every connection against the same
// few certificates: the store of the last list is kept, so that they are not parsed again each
// time.
Store anchoredStore(const std::vector<Data>& anchors) {
  static Mutex mutex;
  static std::vector<Data> builtFor;
  static X509_STORE* cached = nullptr;
  MutexLock lock(mutex);
  if (cached == nullptr || anchors != builtFor) {
    X509_STORE* store = X509_STORE_new();
    // Any anchor ends a chain, as the platform's anchors do: pinning a leaf or an intermediate
    // of an authority-issued chain trusts that certificate without its authority.
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    for (const Data& anchor : anchors) {
      if (Certificate certificate = certificateFromDER(anchor)) {
        X509_STORE_add_cert(store, certificate.get());
      }
    }
    if (cached != nullptr) X509_STORE_free(cached);
    cached = store;
    builtFor = anchors;
  }
  X509_STORE_up_ref(cached);
  return Store(cached);
}

bool isIPAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

ServerTrust::ServerTrust(std::vector<Data> chain, std::string host)
    : chain_(std::move(chain)), host_(std::move(host)) {}

ServerTrust::~ServerTrust() = default;

void ServerTrust::setAnchorCertificates(std::vector<Data> anchors) {
  MutexLock lock(mutex_);
  anchors_ = std::move(anchors);
}

void ServerTrust::loadDefaultAnchorsInBackground() {
  DispatchQueue::global()->async([] { defaultStore(); });
}

bool ServerTrust::evaluate(const std::optional<std::string>& hostName, Error* error) const {
  auto untrusted = [&](const std::string& reason) {
    return fail(error, Error(kURLErrorDomain, kURLErrorServerCertificateUntrusted, reason,
                             Dictionary{{"NSLocalizedDescription", reason}}));
  };
  if (chain_.empty()) return untrusted("The server presented no certificate.");
  std::vector<Data> anchors;
  {
    MutexLock lock(mutex_);
    anchors = anchors_;
  }
  Store store = anchors.empty() ? defaultStore() : anchoredStore(anchors);
  Certificate leaf = certificateFromDER(chain_.front());
  if (!leaf) return untrusted("The server's certificate could not be read.");
  std::vector<Certificate> intermediates;
  std::unique_ptr<STACK_OF(X509), StackFree> untrustedStack(sk_X509_new_null());
  for (size_t i = 1; i < chain_.size(); ++i) {
    if (Certificate certificate = certificateFromDER(chain_[i])) {
      sk_X509_push(untrustedStack.get(), certificate.get());
      intermediates.push_back(std::move(certificate));
    }
  }
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context ||
      X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), untrustedStack.get()) != 1) {
    return untrusted("The server's certificate could not be evaluated.");
  }
  if (hostName) {
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
    if (isIPAddress(*hostName)) {
      X509_VERIFY_PARAM_set1_ip_asc(parameters, hostName->c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(parameters, hostName->c_str(), hostName->size());
    }
  }
  if (X509_verify_cert(context.get()) == 1) return true;
  return untrusted(X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
}

namespace internal {

std::vector<Data> peerChainOf(X509_STORE_CTX* context) {
  std::vector<Data> chain;
  X509* leaf = X509_STORE_CTX_get0_cert(context);
  if (leaf != nullptr) chain.push_back(derOf(leaf));
  STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(context);
  for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
    X509* certificate = sk_X509_value(sent, i);
    if (certificate != leaf && X509_cmp(certificate, leaf) != 0)
      chain.push_back(derOf(certificate));
  }
  return chain;
}

}  // namespace internal
}  // namespace os
