#include "net/security_policy.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>

#include "net/http_session_manager.h"
#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/value/plist.h"
#include "testsupport/local_http_server.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using Mode = NKSSLPinningMode;
using testsupport::makeTestIdentity;
using testsupport::TestIdentity;

os::Data derOf(const TestIdentity& identity) {
  return os::Data(identity.certificateDER.begin(), identity.certificateDER.end());
}

// The DER SubjectPublicKeyInfo of a certificate.
os::Data publicKeyOf(const TestIdentity& identity) {
  const unsigned char* bytes = identity.certificateDER.data();
  X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(identity.certificateDER.size()));
  unsigned char* key = nullptr;
  int length = i2d_PUBKEY(X509_get0_pubkey(certificate), &key);
  os::Data der(key, key + length);
  OPENSSL_free(key);
  X509_free(certificate);
  return der;
}

std::shared_ptr<NKSecurityPolicy> policy(Mode mode, bool allowInvalid, bool validatesDomain,
                                         std::set<os::Data> pinned) {
  auto made = NKSecurityPolicy::policyWithPinningMode(mode, std::move(pinned));
  made->setAllowInvalidCertificates(allowInvalid);
  made->setValidatesDomainName(validatesDomain);
  return made;
}

// GETs `address` through a new HTTP manager with `policy` (a new session each time: a session
// reuses its connections, and a reused connection has no handshake to judge). The failure's
// error, or nullopt after a success with the expected body.
std::optional<os::Error> fetchWith(std::shared_ptr<NKSecurityPolicy> policy,
                                   const std::string& address) {
  auto manager = NKHTTPSessionManager::manager();
  manager->setSecurityPolicy(std::move(policy));
  bool done = false;
  NKHTTPSessionManager::Task reported;
  std::optional<os::Error> failure;
  NKHTTPSessionManager::Task returned = manager->GET(
      address, std::nullopt,
      [&](const auto& task, const NKResponseObject& object) {
        done = true;
        reported = task;
        EXPECT_EQ(object.value() ? *object.value() : os::Value(), (os::Dictionary{{"ok", true}}));
      },
      [&](const auto& task, const os::Error& error) {
        done = true;
        reported = task;
        failure = error;
      });
  EXPECT_TRUE(returned);
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return done; }, 30));
  EXPECT_EQ(reported, returned);
  return failure;
}

// A refusal by the policy: the handshake was cancelled.
void expectRefused(const std::optional<os::Error>& failure) {
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->domain, os::kURLErrorDomain);
  EXPECT_EQ(failure->code, os::kURLErrorCancelled);
}

// Certificates shared by the tests: an authority with a leaf it signed for "pinned.example.test",
// a self-signed server certificate, another unrelated one, and an expired self-signed one.
class SecurityPolicyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    authority = new TestIdentity(makeTestIdentity({.commonName = "Tessaro Test CA"}));
    signedLeaf = new TestIdentity(makeTestIdentity(
        {.hostNames = {"pinned.example.test"}, .issuer = authority, .isAuthority = false}));
    selfSigned = new TestIdentity(makeTestIdentity({.hostNames = {"pinned.example.test"}}));
    stranger = new TestIdentity(makeTestIdentity({.hostNames = {"pinned.example.test"}}));
    expired = new TestIdentity(makeTestIdentity({.hostNames = {"pinned.example.test"},
                                                 .notBeforeSeconds = -7200,
                                                 .notAfterSeconds = -3600}));
  }
  static void TearDownTestSuite() {
    for (TestIdentity* identity : {authority, signedLeaf, selfSigned, stranger, expired}) {
      delete identity;
    }
  }

  static bool accepts(const NKSecurityPolicy& policy, const std::vector<const TestIdentity*>& sent,
                      const std::optional<std::string>& domain = "pinned.example.test") {
    std::vector<os::Data> chain;
    for (const TestIdentity* identity : sent) chain.push_back(derOf(*identity));
    os::ServerTrust trust(std::move(chain), domain.value_or("pinned.example.test"));
    return policy.evaluateServerTrust(trust, domain);
  }

  static TestIdentity* authority;
  static TestIdentity* signedLeaf;
  static TestIdentity* selfSigned;
  static TestIdentity* stranger;
  static TestIdentity* expired;
  testsupport::Sandbox sandbox;
};

TestIdentity* SecurityPolicyTest::authority = nullptr;
TestIdentity* SecurityPolicyTest::signedLeaf = nullptr;
TestIdentity* SecurityPolicyTest::selfSigned = nullptr;
TestIdentity* SecurityPolicyTest::stranger = nullptr;
TestIdentity* SecurityPolicyTest::expired = nullptr;

TEST_F(SecurityPolicyTest, PinnedCertificatesYieldTheirPublicKeys) {
  auto pinned = NKSecurityPolicy::policyWithPinningMode(
      Mode::PublicKey, {derOf(*selfSigned), derOf(*authority), os::Data{'n', 'o', 't'}});
  EXPECT_EQ(pinned->SSLPinningMode(), Mode::PublicKey);
  EXPECT_EQ(pinned->pinnedCertificates().size(), 3u);
  // Data that are no certificate give no key.
  EXPECT_EQ(pinned->pinnedPublicKeys(),
            (std::set<os::Data>{publicKeyOf(*selfSigned), publicKeyOf(*authority)}));

  pinned->setPinnedCertificates({});
  EXPECT_TRUE(pinned->pinnedPublicKeys().empty());

  NKSecurityPolicy plain;
  EXPECT_EQ(plain.SSLPinningMode(), Mode::None);
  EXPECT_FALSE(plain.allowInvalidCertificates());
  EXPECT_TRUE(plain.validatesDomainName());
  EXPECT_TRUE(plain.pinnedCertificates().empty());
}

TEST_F(SecurityPolicyTest, ChainsAreJudgedByWhatTheServerProvablyHolds) {
  const std::set<os::Data> pinAuthority{derOf(*authority)};
  const std::set<os::Data> pinSelfSigned{derOf(*selfSigned)};
  const std::set<os::Data> pinSignedLeaf{derOf(*signedLeaf)};
  const std::set<os::Data> pinExpired{derOf(*expired)};
  const std::set<os::Data> pinSeveral{derOf(*stranger), derOf(*selfSigned), derOf(*expired)};
  const std::vector<const TestIdentity*> signedChain{signedLeaf, authority};
  // A stranger's certificate with a copy of the pinned authority sent along: anyone can send it.
  const std::vector<const TestIdentity*> impostor{stranger, authority};
  const struct {
    const char* name;
    Mode mode;
    std::set<os::Data> pinned;
    std::vector<const TestIdentity*> chain;
    bool accepted;
  } cases[] = {
      {"certificate: chain up to the pinned root", Mode::Certificate, pinAuthority, signedChain,
       true},
      {"certificate: pinned self-signed", Mode::Certificate, pinSelfSigned, {selfSigned}, true},
      {"certificate: pinned leaf of an authority", Mode::Certificate, pinSignedLeaf, signedChain,
       true},
      {"certificate: pinned leaf sent alone", Mode::Certificate, pinSignedLeaf, {signedLeaf}, true},
      {"certificate: nothing pinned in the chain", Mode::Certificate, pinSelfSigned, signedChain,
       false},
      {"certificate: pinned root sent along", Mode::Certificate, pinAuthority, impostor, false},
      {"certificate: pinned but expired", Mode::Certificate, pinExpired, {expired}, false},
      {"public key: leaf among several pinned", Mode::PublicKey, pinSeveral, {selfSigned}, true},
      {"public key: chain up to the pinned root", Mode::PublicKey, pinAuthority, signedChain, true},
      {"public key: pinned root sent along", Mode::PublicKey, pinAuthority, impostor, false},
      {"public key: unknown key", Mode::PublicKey, pinSelfSigned, {stranger}, false},
      // An expired certificate is what "allow invalid" lets through; its key still proves who
      // the server is.
      {"public key: pinned expired leaf", Mode::PublicKey, pinExpired, {expired}, true},
      {"no pinning", Mode::None, pinSelfSigned, {stranger}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool validatesDomain : {false, true}) {
      SCOPED_TRACE(validatesDomain ? "domain validated" : "any domain");
      // Mode None with a validated domain refuses a chain nobody vouches for; tested below.
      if (c.mode == Mode::None && validatesDomain) continue;
      EXPECT_EQ(accepts(*policy(c.mode, true, validatesDomain, c.pinned), c.chain), c.accepted);
    }
  }
}

TEST_F(SecurityPolicyTest, ValidatedDomainsMustBeNamedByTheCertificate) {
  for (Mode mode : {Mode::Certificate, Mode::PublicKey}) {
    SCOPED_TRACE(static_cast<int>(mode));
    auto pinned = policy(mode, true, true, {derOf(*selfSigned)});
    EXPECT_TRUE(accepts(*pinned, {selfSigned}, "pinned.example.test"));
    EXPECT_TRUE(accepts(*pinned, {selfSigned}, "127.0.0.1"));
    EXPECT_FALSE(accepts(*pinned, {selfSigned}, "wrong.example.test"));
    EXPECT_FALSE(accepts(*pinned, {selfSigned}, "10.0.0.1"));
    // Without a domain there is no name to check.
    EXPECT_TRUE(accepts(*pinned, {selfSigned}, std::nullopt));
    pinned->setValidatesDomainName(false);
    EXPECT_TRUE(accepts(*pinned, {selfSigned}, "wrong.example.test"));
  }
}

TEST_F(SecurityPolicyTest, InvalidCertificatesNeedPinningToHaveTheirDomainValidated) {
  auto unpinned = policy(Mode::None, true, true, {});
  {
    os::log::Capture capture;
    EXPECT_FALSE(accepts(*unpinned, {selfSigned}, "pinned.example.test"));
    EXPECT_TRUE(capture.contains(
        "In order to validate a domain name for self signed certificates, you MUST use pinning."));
  }
  EXPECT_TRUE(accepts(*unpinned, {selfSigned}, std::nullopt));
  // A pinning mode without certificates pins nothing.
  os::log::Capture capture;
  EXPECT_FALSE(accepts(*policy(Mode::PublicKey, true, true, {}), {selfSigned}));
  EXPECT_TRUE(capture.contains("you MUST use pinning"));
}

TEST_F(SecurityPolicyTest, WithoutAllowingInvalidCertificatesTheSystemMustTrustTheChainToo) {
  const fs::path caFile = sandbox.root() / "ca.pem";
  std::ofstream(caFile) << authority->certificatePEM;
  const std::vector<const TestIdentity*> signedChain{signedLeaf, authority};
  auto pinLeafKey = policy(Mode::PublicKey, false, true, {derOf(*signedLeaf)});
  auto pinRoot = policy(Mode::Certificate, false, true, {derOf(*authority)});
  auto system = policy(Mode::None, false, true, {});

  sandbox.setEnv("TESSARO_CA_FILE", std::nullopt);
  for (const auto& refused : {pinLeafKey, pinRoot, system}) {
    EXPECT_FALSE(accepts(*refused, signedChain));
  }
  sandbox.setEnv("TESSARO_CA_FILE", caFile.string());
  for (const auto& accepted : {pinLeafKey, pinRoot, system}) {
    EXPECT_TRUE(accepts(*accepted, signedChain));
    EXPECT_FALSE(accepts(*accepted, signedChain, "wrong.example.test"));
  }
  // Trusted by the system, but not the pinned key.
  EXPECT_FALSE(accepts(*policy(Mode::PublicKey, false, true, {derOf(*stranger)}), signedChain));
  // A mode this policy does not know refuses.
  auto unknown = policy(Mode::None, false, true, {derOf(*authority)});
  unknown->setSSLPinningMode(static_cast<Mode>(7));
  EXPECT_FALSE(accepts(*unknown, signedChain));
}

TEST_F(SecurityPolicyTest, BundleCertificatesAreTheCerResourcesAtTheTop) {
  const fs::path resources = sandbox.root() / "Pinned.app/Contents/Resources";
  fs::create_directories(resources / "en.lproj");
  fs::create_directories(resources / "certs");
  auto write = [](const fs::path& path, const std::string& text) { std::ofstream(path) << text; };
  write(resources / "server.cer", "first");
  write(resources / "backup.cer", "second");
  write(resources / "server.pem", "not a cer");
  write(resources / "certs/nested.cer", "nested");
  write(resources / "en.lproj/localized.cer", "localized");
  fs::create_symlink(resources / "missing", resources / "dangling.cer");
  fs::create_directories(resources / "folder.cer");

  const std::set<os::Data> expected{os::Data{'f', 'i', 'r', 's', 't'},
                                    os::Data{'s', 'e', 'c', 'o', 'n', 'd'}};
  EXPECT_EQ(
      NKSecurityPolicy::certificatesInBundle(os::Bundle((sandbox.root() / "Pinned.app").string())),
      expected);

  // The main bundle's are the default pins.
  sandbox.setEnv("TESSARO_MAIN_BUNDLE", (sandbox.root() / "Pinned.app").string());
  os::Bundle::resetMainForTesting();
  EXPECT_EQ(NKSecurityPolicy::defaultPinnedCertificates(), expected);
  EXPECT_EQ(NKSecurityPolicy::policyWithPinningMode(Mode::Certificate)->pinnedCertificates(),
            expected);
  os::Bundle::resetMainForTesting();
}

TEST_F(SecurityPolicyTest, CopiesAndCodedFormsKeepModeSwitchesAndPins) {
  auto original = policy(Mode::Certificate, true, false, {derOf(*selfSigned), derOf(*authority)});
  std::string archived = *os::plist::serialize(original->encode(), os::plist::Format::Binary);
  os::Error error;
  std::shared_ptr<NKSecurityPolicy> decoded =
      NKSecurityPolicy::decode(*os::plist::parse(archived), &error);
  ASSERT_TRUE(decoded) << error.description;
  std::shared_ptr<NKSecurityPolicy> copied = original->copy();
  for (const auto& made : {decoded, copied}) {
    EXPECT_EQ(made->SSLPinningMode(), Mode::Certificate);
    EXPECT_TRUE(made->allowInvalidCertificates());
    EXPECT_FALSE(made->validatesDomainName());
    EXPECT_EQ(made->pinnedCertificates(), original->pinnedCertificates());
    EXPECT_EQ(made->pinnedPublicKeys(), original->pinnedPublicKeys());
    EXPECT_EQ(made->encode(), original->encode());
  }
  EXPECT_EQ(original->encode()["SSLPinningMode"], os::Value(2));
  copied->setPinnedCertificates({});
  EXPECT_EQ(original->pinnedCertificates().size(), 2u);

  // Absent keys keep a new policy's values.
  auto sparse = NKSecurityPolicy::decode(os::Dictionary{{"$class", "NKSecurityPolicy"}}, nullptr);
  ASSERT_TRUE(sparse);
  EXPECT_TRUE(sparse->validatesDomainName());

  const os::Value unreadable[] = {
      os::Value("NKSecurityPolicy"),
      os::Dictionary{{"SSLPinningMode", 1}},
      os::Dictionary{{"$class", "NKHTTPRequestSerializer"}},
      os::Dictionary{{"$class", "NKSecurityPolicy"}, {"SSLPinningMode", "1"}},
      os::Dictionary{{"$class", "NKSecurityPolicy"}, {"validatesDomainName", 1}},
      os::Dictionary{{"$class", "NKSecurityPolicy"}, {"pinnedCertificates", os::Array{"x"}}},
      os::Dictionary{{"$class", "NKSecurityPolicy"}, {"pinnedCertificates", os::Data{1}}},
  };
  for (const os::Value& coded : unreadable) {
    SCOPED_TRACE(coded.description());
    os::Error refusal;
    EXPECT_FALSE(NKSecurityPolicy::decode(coded, &refusal));
    EXPECT_EQ(refusal.domain, os::kCocoaErrorDomain);
    EXPECT_EQ(refusal.code, 4864);
  }
}

// The whole road: a server's certificate, the TLS handshake, the policy's verdict, and what the
// caller of an HTTP manager gets. The server presents a self-signed certificate for 127.0.0.1,
// localhost and pinned.example.test; TESSARO_CONNECT_TO sends pinned.example.test and
// wrong.example.test to it.
TEST_F(SecurityPolicyTest, PinningMatrixOverRealHandshakes) {
  testsupport::LocalHttpServer server({.tls = true, .identity = *selfSigned});
  server.respond("GET", "/ok.json", 200, R"({"ok":true})", {{"Content-Type", "application/json"}});
  const std::string port = std::to_string(server.port());
  sandbox.setEnv("TESSARO_CONNECT_TO", "pinned.example.test:443:127.0.0.1:" + port +
                                           ",wrong.example.test:443:127.0.0.1:" + port);
  const fs::path caFile = sandbox.root() / "server.pem";
  std::ofstream(caFile) << selfSigned->certificatePEM;

  enum Pins { kServer, kOther };
  const struct {
    Mode mode;
    bool allowInvalid;
    bool validatesDomain;
    Pins pins;
    bool systemTrusts;  // the server's certificate is in TESSARO_CA_FILE
    const char* host;
    bool accepted;
  } cases[] = {
      // The matrix on the right host, the certificate unknown to the system.
      {Mode::None, false, false, kServer, false, "pinned.example.test", false},
      {Mode::None, false, true, kServer, false, "pinned.example.test", false},
      {Mode::None, true, false, kServer, false, "pinned.example.test", true},
      {Mode::None, true, true, kServer, false, "pinned.example.test", false},
      {Mode::None, true, false, kOther, false, "pinned.example.test", true},
      {Mode::Certificate, false, false, kServer, false, "pinned.example.test", false},
      {Mode::Certificate, false, true, kServer, false, "pinned.example.test", false},
      {Mode::Certificate, true, false, kServer, false, "pinned.example.test", true},
      {Mode::Certificate, true, true, kServer, false, "pinned.example.test", true},
      {Mode::Certificate, true, false, kOther, false, "pinned.example.test", false},
      {Mode::Certificate, true, true, kOther, false, "pinned.example.test", false},
      {Mode::PublicKey, false, false, kServer, false, "pinned.example.test", false},
      {Mode::PublicKey, false, true, kServer, false, "pinned.example.test", false},
      {Mode::PublicKey, true, false, kServer, false, "pinned.example.test", true},
      {Mode::PublicKey, true, true, kServer, false, "pinned.example.test", true},
      {Mode::PublicKey, true, false, kOther, false, "pinned.example.test", false},
      {Mode::PublicKey, true, true, kOther, false, "pinned.example.test", false},
      // Trusted by the system.
      {Mode::None, false, true, kOther, true, "pinned.example.test", true},
      {Mode::Certificate, false, true, kServer, true, "pinned.example.test", true},
      {Mode::Certificate, false, true, kOther, true, "pinned.example.test", false},
      {Mode::PublicKey, false, true, kServer, true, "pinned.example.test", true},
      {Mode::PublicKey, false, true, kOther, true, "pinned.example.test", false},
      // A host the certificate does not name.
      {Mode::None, false, true, kOther, true, "wrong.example.test", false},
      {Mode::None, false, false, kOther, true, "wrong.example.test", true},
      {Mode::Certificate, true, true, kServer, false, "wrong.example.test", false},
      {Mode::Certificate, true, false, kServer, false, "wrong.example.test", true},
      {Mode::PublicKey, true, true, kServer, false, "wrong.example.test", false},
      {Mode::PublicKey, true, false, kServer, false, "wrong.example.test", true},
      // The address itself.
      {Mode::PublicKey, true, true, kServer, false, "127.0.0.1", true},
      {Mode::Certificate, true, true, kServer, false, "127.0.0.1", true},
  };
  os::log::Capture quiet;
  size_t expectedRequests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(c.mode) << ", allow invalid "
                                    << c.allowInvalid << ", validates domain " << c.validatesDomain
                                    << ", pins " << (c.pins == kServer ? "server" : "other")
                                    << ", system trusts " << c.systemTrusts << ", host " << c.host);
    sandbox.setEnv("TESSARO_CA_FILE",
                   c.systemTrusts ? std::optional<std::string>(caFile.string()) : std::nullopt);
    std::string address = std::string(c.host) == "127.0.0.1"
                              ? "https://127.0.0.1:" + port + "/ok.json"
                              : "https://" + std::string(c.host) + "/ok.json";
    std::optional<os::Error> failure =
        fetchWith(policy(c.mode, c.allowInvalid, c.validatesDomain,
                         {derOf(c.pins == kServer ? *selfSigned : *stranger)}),
                  address);
    if (c.accepted) {
      ++expectedRequests;
      EXPECT_FALSE(failure) << failure->description;
    } else {
      expectRefused(failure);
    }
    // A refused server never sees the request.
    EXPECT_EQ(server.requestCount(), expectedRequests);
  }
}

TEST_F(SecurityPolicyTest, APinnedAuthorityCountsOnlyForTheChainsItSigned) {
  testsupport::LocalHttpServer genuine(
      {.tls = true, .identity = *signedLeaf, .extraChain = {authority->certificatePEM}});
  // The authority's certificate is public: an impostor can send it along with its own.
  testsupport::LocalHttpServer impostor(
      {.tls = true, .identity = *stranger, .extraChain = {authority->certificatePEM}});
  for (auto* server : {&genuine, &impostor}) {
    server->respond("GET", "/ok.json", 200, R"({"ok":true})",
                    {{"Content-Type", "application/json"}});
  }
  sandbox.setEnv("TESSARO_CONNECT_TO",
                 "pinned.example.test:443:127.0.0.1:" + std::to_string(genuine.port()) +
                     ",pinned.example.test:8443:127.0.0.1:" + std::to_string(impostor.port()));
  os::log::Capture quiet;
  for (Mode mode : {Mode::PublicKey, Mode::Certificate}) {
    SCOPED_TRACE(static_cast<int>(mode));
    auto pinAuthority = policy(mode, true, true, {derOf(*authority)});
    EXPECT_FALSE(fetchWith(pinAuthority, "https://pinned.example.test/ok.json"));
    expectRefused(fetchWith(pinAuthority, "https://pinned.example.test:8443/ok.json"));
  }
  EXPECT_EQ(genuine.requestCount(), 2u);
  EXPECT_EQ(impostor.requestCount(), 0u);
}

}  // namespace
