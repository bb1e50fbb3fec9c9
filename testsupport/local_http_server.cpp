#include "testsupport/local_http_server.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cstdio>
#include <stdexcept>

#include "os/sync/mutex.h"
#include "testsupport/files.h"

namespace testsupport {
namespace {

// Idle keep-alive connections hold a worker thread until this passes, and the server's stop
// waits for its workers; a second keeps connection reuse working without a slow stop.
constexpr time_t kKeepAliveSeconds = 1;

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string("LocalHttpServer: ") + what);
}

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// `issuer` signs the extension's context: the authority key identifier names its key.
void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "bad certificate extension");
  int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  require(added == 1, "could not add a certificate extension");
}

Bio memoryOf(const std::string& text) {
  Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  require(bio != nullptr, "out of memory");
  return bio;
}

Certificate certificateFromPEM(const std::string& pem) {
  Certificate certificate(PEM_read_bio_X509(memoryOf(pem).get(), nullptr, nullptr, nullptr));
  require(certificate != nullptr, "unreadable certificate");
  return certificate;
}

Key keyFromPEM(const std::string& pem) {
  Key key(PEM_read_bio_PrivateKey(memoryOf(pem).get(), nullptr, nullptr, nullptr));
  require(key != nullptr, "unreadable private key");
  return key;
}

// What `write` puts into a memory BIO, as text.
template <typename Write>
std::string pemOf(Write write) {
  Bio bio(BIO_new(BIO_s_mem()));
  require(bio != nullptr && write(bio.get()) == 1, "could not write PEM");
  char* bytes = nullptr;
  long length = BIO_get_mem_data(bio.get(), &bytes);
  return std::string(bytes, static_cast<size_t>(length));
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Where a kept Content-Encoding waits while the library reads the body.
constexpr const char* kHeldEncodingHeader = "X-Tessaro-Held-Content-Encoding";

// Renames every `from` header of `request` to `to`. The library hands its handlers the request
// it owns as a non-const local of the connection, so changing it through the const reference is
// sound.
void renameHeaders(const httplib::Request& request, const std::string& from,
                   const std::string& to) {
  auto& headers = const_cast<httplib::Headers&>(request.headers);
  auto [first, last] = headers.equal_range(from);
  std::vector<std::string> values;
  for (auto it = first; it != last; ++it) values.push_back(it->second);
  headers.erase(first, last);
  for (std::string& value : values) headers.emplace(to, std::move(value));
}

std::string firstValue(const auto& multimap, const std::string& key) {
  auto found = multimap.find(key);
  return found == multimap.end() ? std::string() : found->second;
}

}  // namespace

TestIdentity makeTestIdentity(const TestIdentityOptions& options) {
  Key key(EVP_EC_gen("P-256"));
  require(key != nullptr, "could not generate a key");
  Certificate certificate(X509_new());
  require(certificate != nullptr, "out of memory");
  X509* cert = certificate.get();
  require(X509_set_version(cert, X509_VERSION_3) == 1, "certificate version");
  // A random serial keeps two servers' certificates apart in any client-side cache.
  uint64_t serial = 0;
  require(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "random");
  require(ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1) == 1, "serial");
  require(X509_gmtime_adj(X509_getm_notBefore(cert), options.notBeforeSeconds) != nullptr,
          "validity");
  require(X509_gmtime_adj(X509_getm_notAfter(cert), options.notAfterSeconds) != nullptr,
          "validity");
  require(X509_set_pubkey(cert, key.get()) == 1, "public key");
  X509_NAME* name = X509_get_subject_name(cert);
  require(X509_NAME_add_entry_by_txt(
              name, "CN", MBSTRING_ASC,
              reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0) == 1,
          "subject");

  Certificate issuerCertificate;
  Key issuerKey;
  if (options.issuer != nullptr) {
    issuerCertificate = certificateFromPEM(options.issuer->certificatePEM);
    issuerKey = keyFromPEM(options.issuer->privateKeyPEM);
  }
  X509* issuer = issuerCertificate ? issuerCertificate.get() : cert;
  require(X509_set_issuer_name(cert, X509_get_subject_name(issuer)) == 1, "issuer");

  std::string alternativeNames = "IP:127.0.0.1,DNS:localhost";
  for (const std::string& hostName : options.hostNames) alternativeNames += ",DNS:" + hostName;
  if (options.isAuthority) {
    addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, issuer, NID_key_usage, "critical,digitalSignature,keyCertSign");
  } else {
    addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, issuer, NID_key_usage, "critical,digitalSignature");
  }
  addExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
  addExtension(cert, issuer, NID_subject_key_identifier, "hash");
  addExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
  addExtension(cert, issuer, NID_subject_alt_name, alternativeNames);
  require(X509_sign(cert, issuerKey ? issuerKey.get() : key.get(), EVP_sha256()) > 0,
          "could not sign the certificate");

  TestIdentity identity;
  identity.certificatePEM = pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
  identity.privateKeyPEM = pemOf([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  int length = i2d_X509(cert, nullptr);
  require(length > 0, "could not encode the certificate");
  identity.certificateDER.resize(static_cast<size_t>(length));
  unsigned char* out = identity.certificateDER.data();
  i2d_X509(cert, &out);
  return identity;
}

std::string RecordedRequest::header(const std::string& name) const {
  return firstValue(headers, name);
}

std::string RecordedRequest::queryValue(const std::string& name) const {
  return firstValue(query, name);
}

LocalHttpServer::LocalHttpServer() : LocalHttpServer(Options()) {}

LocalHttpServer::LocalHttpServer(Options options) : options_(std::move(options)) {
  // A client that hangs up while a response is being written would otherwise end the process.
  signal(SIGPIPE, SIG_IGN);
  try {
    start();
  } catch (...) {
    stop();
    if (!certificateFolder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(certificateFolder_, ignored);
    }
    throw;
  }
}

LocalHttpServer::~LocalHttpServer() {
  stop();
  server_.reset();
  if (!certificateFolder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(certificateFolder_, ignored);
  }
}

void LocalHttpServer::start() {
  if (options_.tls) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaro-http-XXXXXX").string();
    require(mkdtemp(pattern.data()) != nullptr, "could not create the certificate folder");
    certificateFolder_ = pattern;
    certificatePath_ = certificateFolder_ / "certificate.pem";

    TestIdentity identity = options_.identity ? *options_.identity
                                              : makeTestIdentity({.hostNames = options_.hostNames});
    writeFile(certificatePath_, identity.certificatePEM);
    Certificate certificate = certificateFromPEM(identity.certificatePEM);
    Key key = keyFromPEM(identity.privateKeyPEM);
    std::vector<Certificate> chain;
    for (const std::string& pem : options_.extraChain) chain.push_back(certificateFromPEM(pem));
    // The context takes its own references to the certificates and the key.
    server_ = std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
      SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION);
      bool ready = SSL_CTX_use_certificate(&context, certificate.get()) == 1 &&
                   SSL_CTX_use_PrivateKey(&context, key.get()) == 1;
      for (const Certificate& extra : chain) {
        ready = ready && SSL_CTX_add1_chain_cert(&context, extra.get()) == 1;
      }
      return ready;
    });
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  require(server_->is_valid(), "the server could not be set up");
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  // A reply goes out in several writes (headers, then body pieces); with Nagle's algorithm the
  // second waits for the client's delayed acknowledgement, 40 ms on Linux, which a real server
  // does not cost and which would otherwise be most of a local fetch.
  server_->set_tcp_nodelay(true);

  // Every method goes through one dispatcher so that requests are logged and routed alike,
  // and paths without a route get 404 from us rather than from the library.
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    dispatch(request, response);
  };
  if (options_.keepRequestEncoding) {
    // The library undoes a Content-Encoding while it reads the body, which it does after this
    // handler; the header is moved aside here and put back in dispatch().
    server_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
      renameHeaders(request, "Content-Encoding", kHeldEncodingHeader);
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }
  const std::string anyPath = ".*";
  server_->Get(anyPath, handler);
  server_->Post(anyPath, handler);
  server_->Put(anyPath, handler);
  server_->Patch(anyPath, handler);
  server_->Delete(anyPath, handler);
  server_->Options(anyPath, handler);

  port_ = server_->bind_to_any_port("127.0.0.1");
  require(port_ > 0, "could not bind 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The listening socket already accepts connections; wait until the accept loop runs so that
  // an early stop() is not missed by a loop that has not started yet.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    require(std::chrono::steady_clock::now() < deadline, "the server thread did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LocalHttpServer::stop() {
  {
    os::MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string LocalHttpServer::baseUrl() const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string LocalHttpServer::url(const std::string& pathAndQuery) const {
  return baseUrl() + pathAndQuery;
}

void LocalHttpServer::on(const std::string& method, const std::string& path, Handler handler) {
  auto shared = std::make_shared<const Handler>(std::move(handler));
  os::MutexLock lock(mutex_);
  for (Route& route : routes_) {
    if (route.method == method && route.path == path) {
      route.handler = std::move(shared);
      return;
    }
  }
  routes_.push_back({method, path, std::move(shared)});
}

void LocalHttpServer::respond(const std::string& method, const std::string& path, Reply reply) {
  on(method, path,
     [this, reply = std::move(reply)](const httplib::Request&, httplib::Response& response) {
       send(reply, response);
     });
}

void LocalHttpServer::respond(const std::string& method, const std::string& path, int status,
                              std::string body, httplib::Headers headers) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.headers = std::move(headers);
  respond(method, path, std::move(reply));
}

void LocalHttpServer::send(const Reply& reply, httplib::Response& response) {
  if (reply.delay.count() > 0 && !pause(reply.delay)) {
    response.status = 503;
    return;
  }
  response.status = reply.status;
  std::string contentType = "application/octet-stream";
  for (const auto& [name, value] : reply.headers) {
    if (equalsIgnoringCase(name, "Content-Type")) {
      contentType = value;
    } else {
      response.headers.emplace(name, value);
    }
  }
  if (reply.pieceSize == 0 && !reply.chunked) {
    response.set_content(reply.body, contentType);
    return;
  }

  auto body = std::make_shared<const std::string>(reply.body);
  size_t pieceSize = reply.pieceSize > 0 ? reply.pieceSize : std::max<size_t>(body->size(), 1);
  std::chrono::milliseconds pauseBetween = reply.pause;
  // Each call of a provider writes one piece; returning false drops the connection, which is
  // what a stopping server does to a response still in flight.
  if (reply.chunked) {
    response.set_chunked_content_provider(
        contentType, [this, body, pieceSize, pauseBetween](size_t offset, httplib::DataSink& sink) {
          if (offset > 0 && !pause(pauseBetween)) return false;
          size_t length = std::min(pieceSize, body->size() - offset);
          if (length > 0 && !sink.write(body->data() + offset, length)) return false;
          if (offset + length == body->size()) sink.done();
          return true;
        });
  } else {
    response.set_content_provider(body->size(), contentType,
                                  [this, body, pieceSize, pauseBetween](
                                      size_t offset, size_t remaining, httplib::DataSink& sink) {
                                    if (offset > 0 && !pause(pauseBetween)) return false;
                                    return sink.write(body->data() + offset,
                                                      std::min(pieceSize, remaining));
                                  });
  }
}

bool LocalHttpServer::pause(std::chrono::milliseconds duration) {
  os::MutexLock lock(mutex_);
  return !changed_.wait_for(lock, duration, [this]() OS_REQUIRES(mutex_) { return stopping_; });
}

void LocalHttpServer::dropConnection(const httplib::Request& request) {
  if (request.ssl != nullptr) shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
}

void LocalHttpServer::dispatch(const httplib::Request& request, httplib::Response& response) {
  if (options_.keepRequestEncoding) {
    renameHeaders(request, kHeldEncodingHeader, "Content-Encoding");
  }
  RecordedRequest record;
  record.method = request.method;
  record.target = request.target;
  record.path = request.path;
  record.query.insert(request.params.begin(), request.params.end());
  record.headers = request.headers;
  record.body = request.body;
  {
    os::MutexLock lock(mutex_);
    requests_.push_back(std::move(record));
  }
  changed_.notify_all();

  std::shared_ptr<const Handler> handler = findHandler(request.method, request.path);
  if (!handler && request.method == "HEAD") handler = findHandler("GET", request.path);
  if (!handler) {
    response.status = 404;
    response.set_content("Not Found", "text/plain");
    return;
  }
  (*handler)(request, response);
}

std::shared_ptr<const LocalHttpServer::Handler> LocalHttpServer::findHandler(
    const std::string& method, const std::string& path) const {
  os::MutexLock lock(mutex_);
  for (const Route& route : routes_) {
    if (route.method != method) continue;
    const bool matches =
        route.path.ends_with('*')
            ? path.starts_with(std::string_view(route.path).substr(0, route.path.size() - 1))
            : route.path == path;
    if (matches) return route.handler;
  }
  return nullptr;
}

std::vector<RecordedRequest> LocalHttpServer::requests() const {
  os::MutexLock lock(mutex_);
  return requests_;
}

size_t LocalHttpServer::requestCount() const {
  os::MutexLock lock(mutex_);
  return requests_.size();
}

bool LocalHttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  os::MutexLock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&]() OS_REQUIRES(mutex_) { return requests_.size() >= count; });
}

void LocalHttpServer::clearRequests() {
  os::MutexLock lock(mutex_);
  requests_.clear();
}

}  // namespace testsupport
