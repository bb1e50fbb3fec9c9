// Digests, AES ciphers, AES key wrap, random bytes and random UUIDs over OpenSSL's EVP interface.
//
//   os::Data digest = os::crypto::sha256(fileBytes);
//
//   os::crypto::Digest md5(os::crypto::Algorithm::MD5);   // a large file, piece by piece
//   while (reader.read(buffer)) md5.update(buffer);
//   os::Data sum = md5.finish();
//
//   os::Error error;
//   std::optional<os::Data> sealed = os::crypto::aesEncrypt(
//       os::crypto::Mode::CBC, os::crypto::Padding::PKCS7, key32, iv16, plain, &error);
//
// Cipher and key-wrap failures return std::nullopt and fill the os::Error* when one is given,
// in the domain kErrorDomain with the ErrorCode values below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/value/error.h"
#include "os/value/value.h"

namespace os::crypto {

// Initialises OpenSSL once, telling it never to tear itself down at exit: our queues and transfer
// threads may still hash, draw random bytes or close a connection while the exit handlers run,
// and OpenSSL's own exit handler would free what they use under them. This library does it
// before main; code that reaches OpenSSL by another road (the URL session's curl) calls it
// before its first use too.
void initializeOpenssl();

// A read-only view of bytes; an os::Data converts to it implicitly.
using Bytes = std::span<const uint8_t>;

// The error domain of cipher and key-wrap failures.
inline constexpr const char* kErrorDomain = "com.tessaro.crypto";

// Error codes in kErrorDomain. The values are the platform cipher library's status codes for the
// same conditions, so that logs and callers that compare codes read the same numbers.
enum class ErrorCode : int64_t {
  // A key that is not 16 or 32 bytes, an IV that is neither empty nor 16 bytes, key-wrap input of
  // the wrong size.
  kParameterError = -4300,
  // Without padding, an input whose length is not a multiple of the 16-byte block.
  kAlignmentError = -4303,
  // Wrong padding after decryption, or a wrapped key whose integrity check fails.
  kDecodeError = -4304,
  // OpenSSL refused an operation that the arguments allow (out of memory, a disabled algorithm).
  kUnspecifiedError = -4308,
};

enum class Algorithm { MD5, SHA1, SHA256 };

// The digest length in bytes: 16, 20 and 32.
size_t digestLength(Algorithm algorithm);

// One-shot digests of `bytes`.
os::Data digest(Algorithm algorithm, Bytes bytes);
os::Data digest(Algorithm algorithm, std::string_view text);
os::Data md5(Bytes bytes);
os::Data md5(std::string_view text);
os::Data sha1(Bytes bytes);
os::Data sha1(std::string_view text);
os::Data sha256(Bytes bytes);
os::Data sha256(std::string_view text);

// A digest computed piece by piece, for inputs too large to hold in memory. The result equals
// the one-shot digest of all the pieces joined. Not thread-safe; movable, not copyable (a
// moved-from Digest may only be assigned to or destroyed).
class Digest {
 public:
  explicit Digest(Algorithm algorithm);
  ~Digest();
  Digest(Digest&&) noexcept;
  Digest& operator=(Digest&&) noexcept;
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  Algorithm algorithm() const { return algorithm_; }

  void update(Bytes bytes);
  void update(std::string_view text);
  // The digest of everything given to update() since construction or the previous finish();
  // the object then starts over with nothing hashed.
  os::Data finish();

 private:
  struct Context;
  Algorithm algorithm_;
  std::unique_ptr<Context> context_;
};

// Block cipher modes. ECB ignores the IV.
enum class Mode { CBC, ECB };

// PKCS7: encryption pads to a whole block (a full block of 16 when the input is already aligned)
// and decryption checks and removes the padding. None: the input must be a multiple of 16 bytes.
enum class Padding { None, PKCS7 };

// AES encryption and decryption. The key length selects the cipher: 16 bytes AES-128, 32 bytes
// AES-256; any other length is a kParameterError. `iv` is used by CBC only and must be 16 bytes
// or empty; an empty IV means 16 zero bytes, as the platform's cipher treats a missing IV.
// Errors: kAlignmentError for an unaligned input without padding, kDecodeError for wrong padding
// on decryption (an empty input is not a valid padded ciphertext).
std::optional<os::Data> aesEncrypt(Mode mode, Padding padding, Bytes key, Bytes iv, Bytes input,
                                   os::Error* error = nullptr);
std::optional<os::Data> aesDecrypt(Mode mode, Padding padding, Bytes key, Bytes iv, Bytes input,
                                   os::Error* error = nullptr);

// AES key wrap of RFC 3394 with its default initial value. The key-encryption key is 16 or 32
// bytes; the key to wrap is a multiple of 8 bytes and at least 16. The output is 8 bytes longer
// than the key. Wrong lengths are a kParameterError.
std::optional<os::Data> wrapKey(Bytes keyEncryptionKey, Bytes key, os::Error* error = nullptr);
// The reverse of wrapKey: the output is 8 bytes shorter than `wrappedKey`. A wrapped key that
// fails the integrity check (wrong key-encryption key, altered bytes) is a kDecodeError.
std::optional<os::Data> unwrapKey(Bytes keyEncryptionKey, Bytes wrappedKey,
                                  os::Error* error = nullptr);

// `count` bytes from OpenSSL's cryptographically secure generator; std::nullopt (a
// kUnspecifiedError) only when the generator cannot be seeded, so that callers can report it.
std::optional<os::Data> randomBytes(size_t count, os::Error* error = nullptr);

// A random (version 4) UUID as 36 upper-case characters, such as
// "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Aborts the process if the random generator fails, as
// an identifier that is not random would silently collide.
std::string uuidString();

}  // namespace os::crypto
