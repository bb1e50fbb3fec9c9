#include "support/data_extensions.h"

#include <gtest/gtest.h>

#include <random>

#include "support/base64_codec.h"
#include "testsupport/external_tool.h"

namespace ExtendTool {
namespace {

os::Data bytesOf(std::string_view text) { return os::Data(text.begin(), text.end()); }

std::string textOf(const os::Data& bytes) { return std::string(bytes.begin(), bytes.end()); }

os::Data fromHex(std::string_view hex) {
  std::optional<os::Data> bytes = dataWithHexString(hex);
  EXPECT_TRUE(bytes) << hex;
  return bytes.value_or(os::Data{});
}

// Deterministic, irregular bytes so that every block of a long input differs.
os::Data patternBytes(size_t count) {
  os::Data bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 3));
  return bytes;
}

TEST(DataExtensions, BytesEqual) {
  const os::Data a = bytesOf(std::string_view("ab\0cd", 5));
  const os::Data sameAsA = a;
  const os::Data differsAfterZero = bytesOf(std::string_view("ab\0ce", 5));
  const os::Data shorter = bytesOf("ab");
  const os::Data empty;
  EXPECT_TRUE(bytesEqual(nullptr, nullptr));
  EXPECT_TRUE(bytesEqual(&a, &sameAsA));
  EXPECT_TRUE(bytesEqual(&empty, &empty));
  EXPECT_FALSE(bytesEqual(&a, &differsAfterZero));
  EXPECT_FALSE(bytesEqual(&a, &shorter));
  EXPECT_FALSE(bytesEqual(&a, nullptr));
  EXPECT_FALSE(bytesEqual(nullptr, &empty));
}

TEST(DataExtensions, Digests) {
  const os::Data abc = bytesOf("abc");
  EXPECT_EQ(dataToHex(sha1(abc)), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(dataToHex(sha256(abc)),
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(dataToHex(MD5Digest(abc)), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(dataToHex(MD5Digest(os::Data{})), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(DataExtensions, ReadsPropertyListsThatPythonWrites) {
  const std::string script = R"(
import datetime, plistlib, sys
value = {"name": "Brevalo", "count": 7, "big": 2**63 + 5, "ratio": 0.25, "on": True,
         "bytes": b"\x00\xff", "when": datetime.datetime(2001, 1, 1, 0, 0, 10),
         "list": ["a", -3, {"inner": False}]}
fmt = plistlib.FMT_BINARY if sys.argv[2] == "binary" else plistlib.FMT_XML
open(sys.argv[1], "wb").write(plistlib.dumps(value, fmt=fmt))
)";
  const os::Value expected = os::Dictionary{
      {"name", "Brevalo"},
      {"count", 7},
      {"big", uint64_t{9223372036854775813u}},
      {"ratio", 0.25},
      {"on", true},
      {"bytes", os::Data{0x00, 0xFF}},
      {"when", os::Date{978307210}},
      {"list", os::Array{"a", -3, os::Dictionary{{"inner", false}}}},
  };
  testsupport::ExternalTool tool;
  for (std::string format : {"xml", "binary"}) {
    SCOPED_TRACE(format);
    os::Data plist = tool.run("python3 {in} {out} " + format, bytesOf(script));
    std::optional<os::Value> value = dataToDictionary(plist);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, expected);
    const os::Value* big = &(*value)["big"];
    EXPECT_TRUE(big->asUnsigned()) << "a uint64 above INT64_MAX keeps its kind";
    EXPECT_EQ(dataToMutableDictionary(plist), value);
  }
}

TEST(DataExtensions, PropertyListOfAnyTypeOrNothing) {
  const os::Data array = bytesOf(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
      "<array><string>x</string><integer>2</integer></array></plist>");
  EXPECT_EQ(dataToDictionary(array), os::Value(os::Array{"x", 2}));
  EXPECT_EQ(dataToDictionary(bytesOf("not a property list")), std::nullopt);
  EXPECT_EQ(dataToDictionary(os::Data{}), std::nullopt);
}

TEST(DataExtensions, DataInAnArray) {
  const os::Data data = {1, 2, 3};
  EXPECT_EQ(dataToArray(data), os::Array{os::Value(data)});
  EXPECT_EQ(dataToMutableArray(os::Data{}), os::Array{os::Value(os::Data{})});
}

TEST(DataExtensions, JsonWithFragments) {
  EXPECT_EQ(jsonDataToArrayOrNSDictionary(bytesOf(R"({"a":[1,true]})")),
            os::Value(os::Dictionary{{"a", os::Array{1, true}}}));
  EXPECT_EQ(jsonDataToArrayOrNSDictionary(bytesOf("3")), os::Value(3));
  EXPECT_EQ(jsonDataToArrayOrNSDictionary(bytesOf(R"("text")")), os::Value("text"));
  EXPECT_EQ(jsonDataToArrayOrNSDictionary(bytesOf("{\"a\":")), std::nullopt);
  EXPECT_EQ(jsonDataToArrayOrNSDictionary(os::Data{}), std::nullopt);
}

TEST(DataExtensions, Hexadecimal) {
  EXPECT_EQ(dataToHex(os::Data{}), "");
  EXPECT_EQ(dataToHex(os::Data{0x00, 0x0A, 0xAB, 0xFF}), "000AABFF");

  struct Case {
    std::string_view hex;
    std::optional<os::Data> bytes;
  };
  const Case cases[] = {
      {"", os::Data{}},
      {"000AABFF", os::Data{0x00, 0x0A, 0xAB, 0xFF}},
      {"abcdef", os::Data{0xAB, 0xCD, 0xEF}},  // lower case too
      {"ABC", std::nullopt},                   // odd count
      {"zz", std::nullopt},                    // not hexadecimal
      {"1g", std::nullopt},
      {"\xC3\xA9", std::nullopt},  // é: one character, odd
      {"0 1F", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(dataWithHexString(c.hex), c.bytes) << c.hex;
}

TEST(DataExtensions, BytePatterns) {
  const os::Data data = bytesOf("PK\x03\x04 body END");
  EXPECT_TRUE(hasPrefixBytes(data, "PK\x03\x04", 4));
  EXPECT_FALSE(hasPrefixBytes(data, "PK\x05", 3));
  EXPECT_TRUE(hasSuffixBytes(data, "END", 3));
  EXPECT_FALSE(hasSuffixBytes(data, "ENE", 3));
  EXPECT_TRUE(hasPrefixBytes(data, data.data(), data.size()));
  // No pattern, an empty pattern, a pattern longer than the data.
  EXPECT_FALSE(hasPrefixBytes(data, nullptr, 3));
  EXPECT_FALSE(hasSuffixBytes(data, "END", 0));
  EXPECT_FALSE(hasPrefixBytes(bytesOf("PK"), "PK\x03", 3));
  EXPECT_FALSE(hasSuffixBytes(os::Data{}, "E", 1));
}

TEST(DataExtensions, RangeOfNullTerminatedBytes) {
  const os::Data data = bytesOf(std::string_view("ab\0cde\0f", 8));
  struct Case {
    int32_t start;
    os::text::Range range;
  };
  const Case cases[] = {
      {0, {0, 2}},
      {1, {1, 1}},
      {2, {2, 0}},
      {3, {3, 3}},
      {6, {6, 0}},
      {7, os::text::kNotFoundRange},  // no zero byte follows
      {8, os::text::kNotFoundRange},  // at the end
      {9, os::text::kNotFoundRange},  // past it
      {-1, os::text::kNotFoundRange},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rangeOfNullTerminatedBytesFrom(data, c.start), c.range) << c.start;
  EXPECT_EQ(rangeOfNullTerminatedBytesFrom(bytesOf("abc"), 0), os::text::kNotFoundRange);
}

TEST(DataExtensions, DetectsImageSuffixFromTheFirstByte) {
  const std::pair<os::Data, std::string_view> cases[] = {
      {{0x42, 0x4D}, ".bmp"},
      {{0x47}, ".gif"},
      {{0x49, 0x49}, ".tiff"},
      {{0x4D, 0x4D}, ".tiff"},
      {{0x89, 'P'}, ".png"},
      {{0xFF, 0xD8}, ".jpg"},
      {{0x00}, ""},
      {{}, ""},
  };
  for (const auto& [data, suffix] : cases) EXPECT_EQ(detectImageSuffix(data), suffix);
}

TEST(DataExtensions, SecondBase64DecoderStopsAtTheFirstPadding) {
  struct Case {
    std::optional<std::string_view> text;
    std::string_view bytes;
  };
  const Case cases[] = {
      {"aGVsbG8=", "hello"}, {"aGVs\nbG8=", "hello"},  // bytes outside the alphabet are skipped
      {"aGVsbG8", "hel"},                           // without "=", the last partial group is lost
      {"QUJDREU", "ABC"},    {"aGVs=bG8=", "hel"},  // everything after the first "=" is ignored
      {"aGVsb=", "hell"},                           // one value pending at "=": one byte
      {"aGVsbG=", "hell"},                          // two values: one byte
      {"aGVsbG9=", "hello"},                        // three values: two bytes
      {"=aGVs", ""},         {"", ""},
      {std::nullopt, ""},    {"aGVs\xC3\xA9", ""},  // no ASCII form
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.value_or("(null)"));
    EXPECT_EQ(textOf(initWithBase64EncodedString(c.text)), c.bytes);
    EXPECT_EQ(textOf(dataWithBase64EncodedString(c.text)), c.bytes);
  }
  // The first codec keeps the partial group that this one drops.
  EXPECT_EQ(Base64Codec::dataFromBase64String("aGVsbG8"), bytesOf("hello"));
}

TEST(DataExtensions, LineBreaksAsCoreutilsPlacesThem) {
  testsupport::ExternalTool tool;
  std::mt19937 random(11);
  std::uniform_int_distribution<size_t> size(0, 4096);
  for (size_t count :
       {size_t{0}, size_t{57}, size_t{114}, size_t{100}, size(random), size(random)}) {
    SCOPED_TRACE(count);
    const os::Data input = patternBytes(count);
    std::string expected = textOf(tool.run("base64 -w76 {in} > {out}", input));
    // coreutils ends every text with a line break; ours only follows a group that completes a
    // line, so a short last line goes without one.
    if (!expected.empty() && (expected.size() - 1) % 77 != 76) expected.pop_back();
    EXPECT_EQ(base64EncodingWithLineLength(input, 76), expected);
    EXPECT_EQ(base64Encoding(input), textOf(tool.run("base64 -w0 {in} > {out}", input)));
  }
}

TEST(DataExtensions, LineLengthsRoundUpToWholeGroups) {
  const os::Data eighteen = patternBytes(18);  // 24 characters
  const std::string plain = standardBase64(eighteen);
  struct Case {
    unsigned lineLength;
    std::string expected;
  };
  const Case cases[] = {
      {0, plain},
      {10, plain.substr(0, 12) + "\n" + plain.substr(12, 12) + "\n"},
      {12, plain.substr(0, 12) + "\n" + plain.substr(12, 12) + "\n"},
      {13, plain.substr(0, 16) + "\n" + plain.substr(16)},
      {1,
       [&] {
         std::string lines;
         for (size_t at = 0; at < plain.size(); at += 4) lines += plain.substr(at, 4) + "\n";
         return lines;
       }()},
      {24, plain + "\n"},
      {100, plain},
  };
  for (const Case& c : cases)
    EXPECT_EQ(base64EncodingWithLineLength(eighteen, c.lineLength), c.expected) << c.lineLength;

  // The 16-bit column count reaches 65532 but never 65533.
  const os::Data large = patternBytes(3 * 65532 / 4 + 30);
  EXPECT_EQ(base64EncodingWithLineLength(large, 65532).find('\n'), 65532u);
  EXPECT_EQ(base64EncodingWithLineLength(large, 65533), standardBase64(large));
  EXPECT_EQ(base64EncodingWithLineLength(os::Data{}, 4), "");
}

TEST(DataExtensions, Base64ForwardsToTheCodec) {
  EXPECT_EQ(base64String(bytesOf("hello")), "aGVsbG8=");
  EXPECT_EQ(dataWithBase64String("aGV=sbG8"), bytesOf("hello"));
}

// The hexadecimal of a text key as the ciphers use it: its UTF-8 bytes, cut and zero-filled.
std::string keyHex(std::string_view key, size_t size) {
  os::Data bytes(size, 0);
  std::copy_n(key.begin(), std::min(key.size(), size), bytes.begin());
  return dataToHex(bytes);
}

const std::string kZeroIVHex(32, '0');

TEST(DataExtensions, TextKeyedCiphersMatchOpenssl) {
  testsupport::ExternalTool tool;
  // A short key, a key of exactly 32 bytes, one that is cut, and one with two-byte characters.
  const std::string_view keys[] = {"key", "0123456789abcdef0123456789abcdef",
                                   "0123456789abcdef0123456789abcdefEXTRA",
                                   "cl\xC3\xA9 \xC3\xA9t\xC3\xA9"};
  for (std::string_view key : keys) {
    for (size_t size : {0, 1, 15, 16, 17, 100}) {
      SCOPED_TRACE(std::string(key) + " / " + std::to_string(size));
      const os::Data plain = patternBytes(size);
      const std::string keyArgument = " -K " + keyHex(key, 32);

      os::Data cbc = tool.run(
          "openssl enc -aes-256-cbc" + keyArgument + " -iv " + kZeroIVHex + " -in {in} -out {out}",
          plain);
      EXPECT_EQ(AES256EncryptWithKey(plain, key), cbc);
      EXPECT_EQ(AES256DecryptWithKey(cbc, key), plain);

      os::Data ecb =
          tool.run("openssl enc -aes-256-ecb" + keyArgument + " -in {in} -out {out}", plain);
      EXPECT_EQ(mediaAES256EncryptWithKey(plain, key), ecb);
      EXPECT_EQ(mediaAES256DecryptWithKey(ecb, key), plain);
    }
  }
}

TEST(DataExtensions, TextKeyedDecryptionFailures) {
  const os::Data sealed = *AES256EncryptWithKey(bytesOf("secret message"), "right");
  EXPECT_EQ(AES256DecryptWithKey(sealed, "wrong"), std::nullopt);  // padding does not check out
  EXPECT_EQ(AES256DecryptWithKey(os::Data(sealed.begin(), sealed.end() - 1), "right"),
            std::nullopt);
  EXPECT_EQ(AES256DecryptWithKey(os::Data{}, "right"), std::nullopt);
  EXPECT_EQ(mediaAES256DecryptWithKey(os::Data(15), "right"), std::nullopt);
}

TEST(DataExtensions, AES128AppendsZeroBytesAsOpensslSeesThem) {
  testsupport::ExternalTool tool;
  const std::string key = "sixteen byte key and more";
  const std::string iv = "iv";
  for (size_t size : {0, 1, 15, 16, 17, 32}) {
    SCOPED_TRACE(size);
    const os::Data plain = patternBytes(size);
    os::Data zeroFilled = plain;
    zeroFilled.resize(size + 16 - size % 16, 0);  // one to sixteen zero bytes
    os::Data expected = tool.run("openssl enc -aes-128-cbc -nopad -K " + keyHex(key, 16) + " -iv " +
                                     keyHex(iv, 16) + " -in {in} -out {out}",
                                 zeroFilled);

    std::optional<os::Data> sealed = AES128EncryptWithKey(plain, key, iv);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), zeroFilled.size());
    EXPECT_EQ(*sealed, expected);
    EXPECT_EQ(AES128DecryptWithKey(*sealed, key, iv), zeroFilled) << "the zero bytes stay";
  }
  EXPECT_EQ(AES128DecryptWithKey(os::Data(17), key, iv), std::nullopt);
}

constexpr std::array<uint8_t, 32> kRawKey = {
    0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
    0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
constexpr std::array<uint8_t, 16> kRawIV = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

TEST(DataExtensions, RawKeyCipherEncryptsEveryByte) {
  testsupport::ExternalTool tool;
  for (size_t size : {0, 5, 16, 20, 33}) {
    SCOPED_TRACE(size);
    const os::Data plain = patternBytes(size);
    os::Data expected = tool.run("openssl enc -aes-256-cbc -K " + dataToHex(kRawKey) + " -iv " +
                                     dataToHex(kRawIV) + " -in {in} -out {out}",
                                 plain);
    std::optional<os::Data> sealed = AES256EncryptWithKey(plain, kRawKey, kRawIV);
    EXPECT_EQ(sealed, expected);  // 20 bytes give two blocks: the last 4 bytes are not lost
    EXPECT_EQ(AES256DecryptWithKey(expected, kRawKey, kRawIV, false), plain);
    EXPECT_EQ(AES256DecryptWithKey(expected, kRawKey, kRawIV, true), plain);
  }
}

TEST(DataExtensions, RawKeyDecryptionRemovesThePaddingOnce) {
  // Plaintexts whose own last bytes look like padding: a second removal would eat them.
  const std::string_view plains[] = {
      std::string_view("abc\x01", 4),
      std::string_view("0123456789abcd\x02\x02", 16),
      std::string_view("\x03\x03\x03", 3),
  };
  for (std::string_view plainText : plains) {
    const os::Data plain = bytesOf(plainText);
    os::Data sealed = *AES256EncryptWithKey(plain, kRawKey, kRawIV);
    EXPECT_EQ(AES256DecryptWithKey(sealed, kRawKey, kRawIV, false), plain);
    EXPECT_EQ(AES256DecryptWithKey(sealed, kRawKey, kRawIV, true), plain);
    // Bytes past the last whole block are cut before decrypting.
    sealed.push_back(0x42);
    EXPECT_EQ(AES256DecryptWithKey(sealed, kRawKey, kRawIV, true), plain);
  }
}

TEST(DataExtensions, RawKeyDecryptionOfBadPadding) {
  // A block whose plaintext ends in 0x00: not PKCS#7.
  const os::Data block(16, 0);
  const os::Data sealed = *os::crypto::aesEncrypt(os::crypto::Mode::CBC, os::crypto::Padding::None,
                                                  kRawKey, kRawIV, block);
  EXPECT_EQ(AES256DecryptWithKey(sealed, kRawKey, kRawIV, false),
            std::nullopt);                                                // the cipher's check
  EXPECT_EQ(AES256DecryptWithKey(sealed, kRawKey, kRawIV, true), block);  // kept as it is
  EXPECT_EQ(AES256DecryptWithKey(os::Data(15), kRawKey, kRawIV, true), std::nullopt);
}

TEST(DataExtensions, RemovePadding) {
  struct Case {
    os::Data bytes;
    uint32_t blockSize;
    os::Data expected;
  };
  const os::Data fullBlock(16, 16);
  const Case cases[] = {
      {{1, 2, 3, 3, 3}, 16, {1, 2}},
      {{1, 2, 0}, 16, {1, 2, 0}},              // 0 is no padding
      {{1, 2, 3, 2, 3}, 16, {1, 2, 3, 2, 3}},  // the last three bytes are not all 3
      {fullBlock, 16, {}},                     // a whole block of padding is valid
      {{1, 17}, 16, {1, 17}},                  // more than a block
      {{5, 5}, 16, {5, 5}},                    // more than the data: nothing is read before it
      {{9}, 16, {9}},
      {{1}, 16, {}},
      {{4, 4, 4, 4}, 4, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(dataToHex(c.bytes));
    EXPECT_EQ(removePadding(c.bytes.data(), c.bytes.size(), c.blockSize), c.expected);
  }
  EXPECT_EQ(removePadding(nullptr, 4, 16), std::nullopt);
  const uint8_t one = 1;
  EXPECT_EQ(removePadding(&one, 0, 16), std::nullopt);
}

TEST(DataExtensions, KeyWrapRfc3394Vectors) {
  struct Vector {
    std::string_view keyEncryptionKey;
    std::string_view key;
    std::string_view wrapped;
  };
  const Vector vectors[] = {
      {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
       "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
      {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF", "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
      {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF0001020304050607",
       "A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1"},
      {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
       "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.wrapped);
    EXPECT_EQ(aes_wrap_key(fromHex(v.key), fromHex(v.keyEncryptionKey)), fromHex(v.wrapped));
    EXPECT_EQ(aes_unwrap_key(fromHex(v.wrapped), fromHex(v.keyEncryptionKey)), fromHex(v.key));
  }
}

TEST(DataExtensions, KeyWrapSizesItsOutputFromTheInput) {
  testsupport::ExternalTool tool;
  const os::Data keyEncryptionKey = fromHex(keyHex("kek", 32));
  for (size_t size : {40, 64, 128}) {  // longer than any fixed buffer for a 32-byte key
    SCOPED_TRACE(size);
    const os::Data key = patternBytes(size);
    os::Data expected = tool.run("openssl enc -id-aes256-wrap -iv A6A6A6A6A6A6A6A6 -K " +
                                     dataToHex(keyEncryptionKey) + " -in {in} -out {out}",
                                 key);
    std::optional<os::Data> wrapped = aes_wrap_key(key, keyEncryptionKey);
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->size(), size + 8);
    EXPECT_EQ(*wrapped, expected);
    EXPECT_EQ(aes_unwrap_key(*wrapped, keyEncryptionKey), key);
  }
}

TEST(DataExtensions, KeyWrapFailuresGiveNothing) {
  const os::Data keyEncryptionKey(32, 7);
  const os::Data key = patternBytes(24);
  os::Data wrapped = *aes_wrap_key(key, keyEncryptionKey);
  EXPECT_EQ(aes_unwrap_key(wrapped, os::Data(32, 8)), std::nullopt);  // wrong key-encryption key
  wrapped[5] ^= 1;
  EXPECT_EQ(aes_unwrap_key(wrapped, keyEncryptionKey), std::nullopt);         // altered
  EXPECT_EQ(aes_wrap_key(patternBytes(12), keyEncryptionKey), std::nullopt);  // not a multiple of 8
  EXPECT_EQ(aes_wrap_key(patternBytes(8), keyEncryptionKey), std::nullopt);   // too short
  EXPECT_EQ(aes_wrap_key(key, os::Data(20, 1)), std::nullopt);  // key-encryption key size
  EXPECT_EQ(aes_unwrap_key(os::Data(16), keyEncryptionKey), std::nullopt);
}

}  // namespace
}  // namespace ExtendTool
