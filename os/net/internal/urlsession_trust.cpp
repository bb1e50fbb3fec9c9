// The server-trust side of the URL session engine: each TLS handshake's peer chain is decided
// by the session's delegate (or the default evaluation) on the transfer thread, which waits for
// the delegate queue's answer while the handshake is held.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "os/net/internal/server_trust.h"
#include "os/net/internal/urlsession_engine.h"
#include "os/net/internal/urlsession_errors.h"

namespace os::internal {

namespace {

// The server trust of one TLS handshake needs the task that started the connection; the link
// lives with the connection's SSL context and is freed with it.
struct HandshakeLink {
  std::weak_ptr<URLSessionTask> task;
  URLSessionEngine* engine;
  std::string host;
  int port;
};

void freeHandshakeLink(void*, void* link, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<HandshakeLink*>(link);
}

int handshakeLinkIndex() {
  static const int index =
      SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeHandshakeLink);
  return index;
}

// OpenSSL's verification of the peer's chain, replaced by ours: decided while the handshake
// runs, so a refused server never sees a byte of the request.
int verifyPeerChain(X509_STORE_CTX* context, void* argument) {
  auto* link = static_cast<HandshakeLink*>(argument);
  auto trust = std::make_shared<ServerTrust>(peerChainOf(context), link->host);
  bool accepted;
  if (std::shared_ptr<URLSessionTask> task = link->task.lock()) {
    accepted = link->engine->decideTrust(task, trust, link->port);
  } else {
    // A renegotiation on a connection whose task is gone: no delegate to ask.
    accepted = trust->evaluate(link->host);
  }
  X509_STORE_CTX_set_error(context, accepted ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
  return accepted ? 1 : 0;
}

}  // namespace

CURLcode URLSessionEngine::onSslContext(CURL*, void* context, void* hopPointer) {
  auto& hop = *static_cast<Hop*>(hopPointer);
  auto* sslContext = static_cast<SSL_CTX*>(context);
  auto* link = new HandshakeLink{hop.task, hop.engine, hop.request.url().host(),
                                 hop.request.url().effectivePort().value_or(443)};
  delete static_cast<HandshakeLink*>(SSL_CTX_get_ex_data(sslContext, handshakeLinkIndex()));
  SSL_CTX_set_ex_data(sslContext, handshakeLinkIndex(), link);
  // curl's own verification is off (it would check a chain that the delegate may accept);
  // this callback is the verification, and it must be able to stop the handshake.
  SSL_CTX_set_verify(sslContext, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(sslContext, verifyPeerChain, link);
  return CURLE_OK;
}

bool URLSessionEngine::decideTrust(const std::shared_ptr<URLSessionTask>& task,
                                   const std::shared_ptr<ServerTrust>& trust, int port) {
  TaskTransfer& transfer = *task->transfer_;
  const URL url = task->currentRequest().url();
  auto refuse = [&](Error error) {
    if (transfer.hop && !transfer.hop->failure) transfer.hop->failure = std::move(error);
    return false;
  };

  URLAuthenticationChallenge challenge{
      URLProtectionSpace{trust->host(), port, "https", kURLAuthenticationMethodServerTrust}, trust,
      0};
  auto disposition = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  std::optional<URLCredential> credential;
  if (task->session_->delegate()) {
    auto answer = std::make_shared<ChallengeAnswer>();
    {
      MutexLock lock(transfer.challengeMutex);
      if (transfer.cancelRequested) return refuse(urlError(kURLErrorCancelled, url));
      transfer.pendingChallenge = answer;
    }
    {
      MutexLock lock(mutex_);
      if (shuttingDown_) return refuse(urlError(kURLErrorCancelled, url));
      waitingChallenge_ = answer;
    }
    toDelegate(task, [task, challenge, answer](URLSessionDelegate& delegate) {
      auto answered = std::make_shared<std::atomic<bool>>(false);
      ChallengeCompletion completion = [answer, answered](
                                           URLSessionAuthChallengeDisposition disposition,
                                           std::optional<URLCredential> credential) {
        if (answered->exchange(true)) return;
        MutexLock lock(answer->mutex);
        answer->answered = true;
        answer->disposition = disposition;
        answer->credential = std::move(credential);
        answer->changed.notify_all();
      };
      const auto& session = task->session_;
      if (delegate.didReceiveChallenge(session, challenge, completion)) return;
      if (delegate.taskDidReceiveChallenge(session, task, challenge, completion)) return;
      completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    });
    MutexLock lock(answer->mutex);
    while (!answer->answered && !answer->cancelled) answer->changed.wait(lock);
    {
      MutexLock transferLock(transfer.challengeMutex);
      transfer.pendingChallenge = nullptr;
    }
    {
      MutexLock engineLock(mutex_);
      waitingChallenge_ = nullptr;
    }
    if (answer->cancelled) return refuse(urlError(kURLErrorCancelled, url));
    disposition = answer->disposition;
    credential = answer->credential;
    // The time spent deciding is not the server's inactivity.
    if (transfer.hop) transfer.hop->lastActivity = Clock::now();
  }

  switch (disposition) {
    case URLSessionAuthChallengeDisposition::UseCredential:
      if (credential && credential->serverTrust) return true;
      break;
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
      return refuse(urlError(kURLErrorCancelled, url));
    case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
    case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
      break;
  }
  Error reason;
  if (trust->evaluate(trust->host(), &reason)) return true;
  return refuse(urlError(kURLErrorServerCertificateUntrusted, url, reason.description));
}

}  // namespace os::internal
