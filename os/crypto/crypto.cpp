#include "os/crypto/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace os::crypto {

void initializeOpenssl() {
  // OpenSSL decides at its first initialisation whether to register its exit handler.
  static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)initialized;
}

namespace {

// Before main, so that no OpenSSL call of this file can be the first with the exit handler.
[[maybe_unused]] const bool kOpensslInitialized = (initializeOpenssl(), true);

constexpr size_t kBlockSize = 16;
constexpr size_t kKeyWrapBlockSize = 8;

bool failWith(os::Error* error, ErrorCode code, std::string description) {
  return os::fail(error,
                  os::Error(kErrorDomain, static_cast<int64_t>(code), std::move(description)));
}

const EVP_MD* messageDigest(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::MD5:
      return EVP_md5();
    case Algorithm::SHA1:
      return EVP_sha1();
    case Algorithm::SHA256:
      return EVP_sha256();
  }
  return nullptr;
}

// OpenSSL lengths are int; a larger input goes through in slices so nothing is truncated.
constexpr size_t kMaxSlice = static_cast<size_t>(std::numeric_limits<int>::max()) / 2;

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

const EVP_CIPHER* blockCipher(Mode mode, size_t keyLength) {
  if (keyLength == 16) return mode == Mode::CBC ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
  if (keyLength == 32) return mode == Mode::CBC ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  return nullptr;
}

// Runs one EVP cipher over `input`: `cipher` already chosen, `iv` null or of the cipher's IV
// length, `padding` switched on or off. Failure of the final step means the padding (or, for key
// unwrap, the integrity check) did not hold: `finalFailure` names it.
std::optional<os::Data> runCipher(const EVP_CIPHER* cipher, bool encrypt, bool padding, Bytes key,
                                  const uint8_t* iv, Bytes input, int contextFlags,
                                  ErrorCode finalFailure, os::Error* error) {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) {
    failWith(error, ErrorCode::kUnspecifiedError, "Could not create a cipher context");
    return std::nullopt;
  }
  if (contextFlags != 0) EVP_CIPHER_CTX_set_flags(context.get(), contextFlags);
  if (EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1) {
    failWith(error, ErrorCode::kUnspecifiedError, "Could not initialise the cipher");
    return std::nullopt;
  }
  // Key wrap has no padding switch; block ciphers do.
  if (EVP_CIPHER_get_mode(cipher) != EVP_CIPH_WRAP_MODE) {
    EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0);
  }

  os::Data output(input.size() + 2 * kBlockSize);
  size_t written = 0;
  size_t consumed = 0;
  do {
    size_t slice = std::min(input.size() - consumed, kMaxSlice);
    int length = 0;
    if (EVP_CipherUpdate(context.get(), output.data() + written, &length, input.data() + consumed,
                         static_cast<int>(slice)) != 1) {
      // Key unwrap checks integrity inside the update step.
      failWith(error, finalFailure, "The cipher rejected the input");
      return std::nullopt;
    }
    written += static_cast<size_t>(length);
    consumed += slice;
  } while (consumed < input.size());

  int length = 0;
  if (EVP_CipherFinal_ex(context.get(), output.data() + written, &length) != 1) {
    failWith(error, finalFailure,
             finalFailure == ErrorCode::kDecodeError ? "The decrypted data is not correctly padded"
                                                     : "The cipher could not finish");
    return std::nullopt;
  }
  written += static_cast<size_t>(length);
  output.resize(written);
  return output;
}

std::optional<os::Data> aes(bool encrypt, Mode mode, Padding padding, Bytes key, Bytes iv,
                            Bytes input, os::Error* error) {
  const EVP_CIPHER* cipher = blockCipher(mode, key.size());
  if (cipher == nullptr) {
    failWith(error, ErrorCode::kParameterError,
             "AES key of " + std::to_string(key.size()) + " bytes; 16 or 32 are accepted");
    return std::nullopt;
  }
  if (!iv.empty() && iv.size() != kBlockSize) {
    failWith(error, ErrorCode::kParameterError,
             "AES IV of " + std::to_string(iv.size()) + " bytes; 16 (or none) is accepted");
    return std::nullopt;
  }
  bool padded = padding == Padding::PKCS7;
  if ((!padded || !encrypt) && input.size() % kBlockSize != 0) {
    failWith(error, ErrorCode::kAlignmentError,
             "Input of " + std::to_string(input.size()) + " bytes is not a multiple of 16");
    return std::nullopt;
  }
  static constexpr uint8_t kZeroIV[kBlockSize] = {};
  const uint8_t* ivBytes = nullptr;
  if (mode == Mode::CBC) ivBytes = iv.empty() ? kZeroIV : iv.data();
  return runCipher(cipher, encrypt, padded, key, ivBytes, input, 0,
                   encrypt ? ErrorCode::kUnspecifiedError : ErrorCode::kDecodeError, error);
}

const EVP_CIPHER* keyWrapCipher(size_t keyEncryptionKeyLength) {
  if (keyEncryptionKeyLength == 16) return EVP_aes_128_wrap();
  if (keyEncryptionKeyLength == 32) return EVP_aes_256_wrap();
  return nullptr;
}

std::optional<os::Data> keyWrap(bool wrap, Bytes keyEncryptionKey, Bytes input, os::Error* error) {
  const EVP_CIPHER* cipher = keyWrapCipher(keyEncryptionKey.size());
  if (cipher == nullptr) {
    failWith(error, ErrorCode::kParameterError,
             "Key-encryption key of " + std::to_string(keyEncryptionKey.size()) +
                 " bytes; 16 or 32 are accepted");
    return std::nullopt;
  }
  // A key to wrap has at least two 64-bit blocks, a wrapped key one more.
  size_t minimum = wrap ? 2 * kKeyWrapBlockSize : 3 * kKeyWrapBlockSize;
  if (input.size() < minimum || input.size() % kKeyWrapBlockSize != 0) {
    failWith(error, ErrorCode::kParameterError,
             std::string(wrap ? "Key" : "Wrapped key") + " of " + std::to_string(input.size()) +
                 " bytes; a multiple of 8 bytes, at least " + std::to_string(minimum) +
                 ", is needed");
    return std::nullopt;
  }
  // A null IV selects the default initial value A6A6A6A6A6A6A6A6 of RFC 3394.
  return runCipher(cipher, wrap, false, keyEncryptionKey, nullptr, input,
                   EVP_CIPHER_CTX_FLAG_WRAP_ALLOW,
                   wrap ? ErrorCode::kUnspecifiedError : ErrorCode::kDecodeError, error);
}

// Digest operations on the built-in algorithms fail only when memory runs out; there is no
// meaningful result to return then, so that ends the process like any failed allocation.
void checkDigestCall(int result) {
  if (result != 1) {
    std::fputs("os::crypto: OpenSSL digest call failed\n", stderr);
    std::abort();
  }
}

Bytes bytesOf(std::string_view text) {
  return Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace

size_t digestLength(Algorithm algorithm) {
  return static_cast<size_t>(EVP_MD_get_size(messageDigest(algorithm)));
}

os::Data digest(Algorithm algorithm, Bytes bytes) {
  Digest hasher(algorithm);
  hasher.update(bytes);
  return hasher.finish();
}

os::Data digest(Algorithm algorithm, std::string_view text) {
  return digest(algorithm, bytesOf(text));
}

os::Data md5(Bytes bytes) { return digest(Algorithm::MD5, bytes); }
os::Data md5(std::string_view text) { return digest(Algorithm::MD5, text); }
os::Data sha1(Bytes bytes) { return digest(Algorithm::SHA1, bytes); }
os::Data sha1(std::string_view text) { return digest(Algorithm::SHA1, text); }
os::Data sha256(Bytes bytes) { return digest(Algorithm::SHA256, bytes); }
os::Data sha256(std::string_view text) { return digest(Algorithm::SHA256, text); }

struct Digest::Context {
  struct Deleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Deleter> context;
};

Digest::Digest(Algorithm algorithm) : algorithm_(algorithm), context_(std::make_unique<Context>()) {
  context_->context.reset(EVP_MD_CTX_new());
  checkDigestCall(context_->context != nullptr);
  checkDigestCall(EVP_DigestInit_ex(context_->context.get(), messageDigest(algorithm), nullptr));
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::update(Bytes bytes) {
  checkDigestCall(EVP_DigestUpdate(context_->context.get(), bytes.data(), bytes.size()));
}

void Digest::update(std::string_view text) { update(bytesOf(text)); }

os::Data Digest::finish() {
  os::Data result(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  checkDigestCall(EVP_DigestFinal_ex(context_->context.get(), result.data(), &length));
  result.resize(length);
  checkDigestCall(EVP_DigestInit_ex(context_->context.get(), messageDigest(algorithm_), nullptr));
  return result;
}

std::optional<os::Data> aesEncrypt(Mode mode, Padding padding, Bytes key, Bytes iv, Bytes input,
                                   os::Error* error) {
  return aes(true, mode, padding, key, iv, input, error);
}

std::optional<os::Data> aesDecrypt(Mode mode, Padding padding, Bytes key, Bytes iv, Bytes input,
                                   os::Error* error) {
  return aes(false, mode, padding, key, iv, input, error);
}

std::optional<os::Data> wrapKey(Bytes keyEncryptionKey, Bytes key, os::Error* error) {
  return keyWrap(true, keyEncryptionKey, key, error);
}

std::optional<os::Data> unwrapKey(Bytes keyEncryptionKey, Bytes wrappedKey, os::Error* error) {
  return keyWrap(false, keyEncryptionKey, wrappedKey, error);
}

std::optional<os::Data> randomBytes(size_t count, os::Error* error) {
  os::Data bytes(count);
  size_t filled = 0;
  while (filled < count) {
    size_t slice = std::min(count - filled, kMaxSlice);
    if (RAND_bytes(bytes.data() + filled, static_cast<int>(slice)) != 1) {
      failWith(error, ErrorCode::kUnspecifiedError, "The random generator could not be seeded");
      return std::nullopt;
    }
    filled += slice;
  }
  return bytes;
}

std::string uuidString() {
  std::optional<os::Data> bytes = randomBytes(16);
  if (!bytes) {
    std::fputs("os::crypto: no random bytes for a UUID\n", stderr);
    std::abort();
  }
  os::Data& b = *bytes;
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[b[i] >> 4]);
    text.push_back(kDigits[b[i] & 0x0F]);
  }
  return text;
}

}  // namespace os::crypto
