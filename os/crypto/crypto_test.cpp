#include "os/crypto/crypto.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include "testsupport/external_tool.h"

namespace os::crypto {
namespace {

std::string hexString(Bytes bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

os::Data fromHex(std::string_view hex) {
  os::Data bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// Deterministic, irregular bytes so that every block of a long input differs.
os::Data patternBytes(size_t count) {
  os::Data bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 9));
  return bytes;
}

const size_t kInputSizes[] = {0, 1, 15, 16, 17, 1024 * 1024};

TEST(CryptoDigest, EqualsOpensslForEveryInputSize) {
  testsupport::ExternalTool openssl;
  const std::pair<Algorithm, const char*> algorithms[] = {
      {Algorithm::MD5, "md5"}, {Algorithm::SHA1, "sha1"}, {Algorithm::SHA256, "sha256"}};
  for (size_t size : kInputSizes) {
    os::Data input = patternBytes(size);
    for (const auto& [algorithm, name] : algorithms) {
      SCOPED_TRACE(std::string(name) + " of " + std::to_string(size) + " bytes");
      os::Data expected =
          openssl.run(std::string("openssl dgst -") + name + " -binary -out {out} {in}", input);
      ASSERT_EQ(expected.size(), digestLength(algorithm));
      EXPECT_EQ(hexString(digest(algorithm, input)), hexString(expected));
    }
    EXPECT_EQ(md5(input), digest(Algorithm::MD5, input));
    EXPECT_EQ(sha1(input), digest(Algorithm::SHA1, input));
    EXPECT_EQ(sha256(input), digest(Algorithm::SHA256, input));
  }
  // Text overloads hash the UTF-8 bytes.
  EXPECT_EQ(hexString(md5("abc")), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(CryptoDigest, StreamingInOddPiecesEqualsOneShotAndStartsOverAfterFinish) {
  os::Data input = patternBytes(1024 * 1024 + 3);
  for (Algorithm algorithm : {Algorithm::MD5, Algorithm::SHA1, Algorithm::SHA256}) {
    Digest digester(algorithm);
    const size_t pieceSizes[] = {1, 7, 63, 4097, 65537, 3};
    size_t offset = 0;
    for (size_t i = 0; offset < input.size(); ++i) {
      size_t piece = std::min(pieceSizes[i % std::size(pieceSizes)], input.size() - offset);
      digester.update(Bytes(input).subspan(offset, piece));
      offset += piece;
    }
    Digest moved = std::move(digester);
    EXPECT_EQ(moved.finish(), digest(algorithm, input));

    moved.update("ab");
    moved.update("c");
    EXPECT_EQ(moved.finish(), digest(algorithm, "abc"));
    EXPECT_EQ(moved.finish(), digest(algorithm, ""));
  }
}

struct CipherCase {
  size_t keyLength;
  Mode mode;
  Padding padding;
};

std::string cipherCaseName(const testing::TestParamInfo<CipherCase>& info) {
  return "AES" + std::to_string(info.param.keyLength * 8) +
         (info.param.mode == Mode::CBC ? "_CBC" : "_ECB") +
         (info.param.padding == Padding::PKCS7 ? "_PKCS7" : "_NoPadding");
}

class CryptoCipher : public testing::TestWithParam<CipherCase> {};

TEST_P(CryptoCipher, EqualsOpensslAndDecryptsBack) {
  const CipherCase& cipher = GetParam();
  testsupport::ExternalTool openssl;
  os::Data key = patternBytes(cipher.keyLength + 5);
  key.erase(key.begin(), key.begin() + 5);
  os::Data iv = fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
  std::string arguments = "openssl enc -aes-" + std::to_string(cipher.keyLength * 8) +
                          (cipher.mode == Mode::CBC ? "-cbc" : "-ecb") + " -K " + hexString(key) +
                          (cipher.mode == Mode::CBC ? " -iv " + hexString(iv) : "") +
                          (cipher.padding == Padding::None ? " -nopad" : "") +
                          " -in {in} -out {out}";

  for (size_t size : kInputSizes) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    os::Data plain = patternBytes(size);
    os::Error error;
    std::optional<os::Data> encrypted =
        aesEncrypt(cipher.mode, cipher.padding, key, iv, plain, &error);
    if (cipher.padding == Padding::None && size % 16 != 0) {
      EXPECT_FALSE(encrypted);
      EXPECT_EQ(error.domain, kErrorDomain);
      EXPECT_EQ(error.code, static_cast<int64_t>(ErrorCode::kAlignmentError));
      continue;
    }
    ASSERT_TRUE(encrypted) << error.description;
    os::Data expected = openssl.run(arguments, plain);
    EXPECT_EQ(encrypted->size(), expected.size());
    EXPECT_TRUE(*encrypted == expected) << "ciphertext differs from openssl's";

    std::optional<os::Data> decrypted =
        aesDecrypt(cipher.mode, cipher.padding, key, iv, expected, &error);
    ASSERT_TRUE(decrypted) << error.description;
    EXPECT_TRUE(*decrypted == plain) << "decryption does not give back the input";
  }
}

INSTANTIATE_TEST_SUITE_P(AllKeysModesAndPaddings, CryptoCipher,
                         testing::Values(CipherCase{16, Mode::CBC, Padding::PKCS7},
                                         CipherCase{16, Mode::CBC, Padding::None},
                                         CipherCase{16, Mode::ECB, Padding::PKCS7},
                                         CipherCase{16, Mode::ECB, Padding::None},
                                         CipherCase{32, Mode::CBC, Padding::PKCS7},
                                         CipherCase{32, Mode::CBC, Padding::None},
                                         CipherCase{32, Mode::ECB, Padding::PKCS7},
                                         CipherCase{32, Mode::ECB, Padding::None}),
                         cipherCaseName);

TEST(CryptoCipherIV, MissingIVMeansSixteenZeroBytesAndECBIgnoresIV) {
  testsupport::ExternalTool openssl;
  os::Data key = patternBytes(32);
  os::Data plain = patternBytes(40);
  std::optional<os::Data> withoutIV = aesEncrypt(Mode::CBC, Padding::PKCS7, key, {}, plain);
  ASSERT_TRUE(withoutIV);
  EXPECT_TRUE(*withoutIV == openssl.run("openssl enc -aes-256-cbc -K " + hexString(key) + " -iv " +
                                            std::string(32, '0') + " -in {in} -out {out}",
                                        plain));
  EXPECT_EQ(withoutIV, aesEncrypt(Mode::CBC, Padding::PKCS7, key, os::Data(16, 0), plain));

  EXPECT_EQ(aesEncrypt(Mode::ECB, Padding::PKCS7, key, {}, plain),
            aesEncrypt(Mode::ECB, Padding::PKCS7, key, patternBytes(16), plain));
}

TEST(CryptoCipherErrors, RejectsBadKeysIVsLengthsAndPadding) {
  struct Case {
    const char* name;
    bool encrypt;
    Padding padding;
    size_t keyLength;
    size_t ivLength;
    os::Data input;
    ErrorCode code;
  };
  os::Data key16 = patternBytes(16);
  // A block whose decryption ends in 0x00 or 0x11: neither is valid PKCS#7 padding for 16-byte
  // blocks, so decrypting the block with padding on must fail.
  auto blockEndingIn = [&](uint8_t last) {
    os::Data block = patternBytes(16);
    block[15] = last;
    return *aesEncrypt(Mode::CBC, Padding::None, key16, {}, block);
  };
  const Case cases[] = {
      {"AES-192 key", true, Padding::PKCS7, 24, 16, patternBytes(16), ErrorCode::kParameterError},
      {"empty key", false, Padding::PKCS7, 0, 16, patternBytes(16), ErrorCode::kParameterError},
      {"8-byte IV", true, Padding::PKCS7, 16, 8, patternBytes(16), ErrorCode::kParameterError},
      {"unaligned ciphertext", false, Padding::PKCS7, 16, 16, patternBytes(17),
       ErrorCode::kAlignmentError},
      {"unaligned plain text", true, Padding::None, 32, 0, patternBytes(31),
       ErrorCode::kAlignmentError},
      {"zero padding byte", false, Padding::PKCS7, 16, 0, blockEndingIn(0x00),
       ErrorCode::kDecodeError},
      {"padding byte above 16", false, Padding::PKCS7, 16, 0, blockEndingIn(0x11),
       ErrorCode::kDecodeError},
      {"empty padded ciphertext", false, Padding::PKCS7, 16, 0, {}, ErrorCode::kDecodeError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Data key = c.keyLength == 16 ? key16 : patternBytes(c.keyLength);
    os::Data iv(c.ivLength, 0);
    os::Error error;
    std::optional<os::Data> result =
        c.encrypt ? aesEncrypt(Mode::CBC, c.padding, key, iv, c.input, &error)
                  : aesDecrypt(Mode::CBC, c.padding, key, iv, c.input, &error);
    EXPECT_FALSE(result);
    EXPECT_EQ(error.domain, kErrorDomain);
    EXPECT_EQ(error.code, static_cast<int64_t>(c.code)) << error.description;
    EXPECT_FALSE(error.description.empty());
  }
  // Without an Error* the failure is still reported by the result.
  EXPECT_FALSE(aesDecrypt(Mode::ECB, Padding::PKCS7, patternBytes(20), {}, patternBytes(16)));
}

// RFC 3394, sections 4.1, 4.3 and 4.6.
TEST(CryptoKeyWrap, MatchesRfc3394VectorsAndUnwrapsThem) {
  struct Vector {
    const char* section;
    const char* keyEncryptionKey;
    const char* keyData;
    const char* wrapped;
  };
  const Vector vectors[] = {
      {"4.1", "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
       "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
      {"4.3", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF", "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
      {"4.6", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
       "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.section);
    os::Data kek = fromHex(v.keyEncryptionKey);
    os::Data keyData = fromHex(v.keyData);
    os::Error error;
    std::optional<os::Data> wrapped = wrapKey(kek, keyData, &error);
    ASSERT_TRUE(wrapped) << error.description;
    EXPECT_EQ(wrapped->size(), keyData.size() + 8);
    EXPECT_EQ(hexString(*wrapped), hexString(fromHex(v.wrapped)));

    std::optional<os::Data> unwrapped = unwrapKey(kek, *wrapped, &error);
    ASSERT_TRUE(unwrapped) << error.description;
    EXPECT_EQ(hexString(*unwrapped), hexString(keyData));

    os::Data altered = *wrapped;
    altered[altered.size() / 2] ^= 0x01;
    error = {};
    EXPECT_FALSE(unwrapKey(kek, altered, &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(ErrorCode::kDecodeError));

    os::Data otherKek = kek;
    otherKek[0] ^= 0x80;
    error = {};
    EXPECT_FALSE(unwrapKey(otherKek, *wrapped, &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(ErrorCode::kDecodeError));
  }
}

TEST(CryptoKeyWrap, RejectsWrongLengths) {
  struct Case {
    const char* name;
    bool wrap;
    size_t kekLength;
    size_t inputLength;
  };
  const Case cases[] = {
      {"24-byte key-encryption key", true, 24, 16},
      {"8-byte key", true, 16, 8},
      {"20-byte key", true, 32, 20},
      {"16-byte wrapped key", false, 16, 16},
      {"30-byte wrapped key", false, 32, 30},
      {"empty key-encryption key", false, 0, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    os::Data kek = patternBytes(c.kekLength);
    os::Data input = patternBytes(c.inputLength);
    EXPECT_FALSE(c.wrap ? wrapKey(kek, input, &error) : unwrapKey(kek, input, &error));
    EXPECT_EQ(error.domain, kErrorDomain);
    EXPECT_EQ(error.code, static_cast<int64_t>(ErrorCode::kParameterError));
  }
}

TEST(CryptoRandom, GivesTheLengthAskedForAndDiffersBetweenCalls) {
  EXPECT_EQ(randomBytes(0)->size(), 0u);
  std::optional<os::Data> first = randomBytes(32);
  std::optional<os::Data> second = randomBytes(32);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 32u);
  EXPECT_NE(*first, *second);
}

TEST(CryptoRandom, UuidStringsAreUpperCaseVersion4AndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string uuid = uuidString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (size_t at = 0; at < uuid.size(); ++at) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        EXPECT_EQ(uuid[at], '-') << uuid;
      } else {
        EXPECT_TRUE(std::isdigit(uuid[at]) || (uuid[at] >= 'A' && uuid[at] <= 'F')) << uuid;
      }
    }
    EXPECT_EQ(uuid[14], '4') << uuid;
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace os::crypto
