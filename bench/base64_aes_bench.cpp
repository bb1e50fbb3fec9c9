// Base64 and AES-256-CBC over 64 MiB: our codec and cipher wrappers beside OpenSSL's own
// EVP_EncodeBlock / EVP_DecodeBlock and EVP cipher calls on the same input. Compare the
// bytes_per_second of each pair.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdlib>
#include <memory>

#include "support/base64_codec.h"
#include "support/data_extensions.h"
#include "testsupport/random.h"

namespace {

constexpr size_t kInputSize = size_t{64} << 20;

const os::Data& plainInput() {
  static const os::Data input = [] {
    os::Data bytes(kInputSize);
    testsupport::PseudoRandom().fill(bytes.data(), bytes.size());
    return bytes;
  }();
  return input;
}

const std::string& encodedInput() {
  static const std::string text = standardBase64(plainInput());
  return text;
}

constexpr std::array<uint8_t, 32> kKey = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                          12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                          23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<uint8_t, 16> kIV = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

void BM_Base64Encode_Codec(benchmark::State& state) {
  const os::Data& input = plainInput();
  for (auto _ : state) {
    std::optional<std::string> text = Base64Codec::base64StringFromData(input);
    benchmark::DoNotOptimize(text->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
  const os::Data& input = plainInput();
  for (auto _ : state) {
    // The same work as the codec: an output buffer made for the call, then filled.
    std::string text(4 * ((input.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), input.data(),
                                 static_cast<int>(input.size()));
    text.resize(static_cast<size_t>(length));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_Base64Decode_Codec(benchmark::State& state) {
  const std::string& text = encodedInput();
  for (auto _ : state) {
    std::optional<os::Data> bytes = Base64Codec::dataFromBase64String(text);
    benchmark::DoNotOptimize(bytes->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
  const std::string& text = encodedInput();
  for (auto _ : state) {
    os::Data bytes(text.size() / 4 * 3);
    int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0) state.SkipWithError("EVP_DecodeBlock refused the input");
    bytes.resize(static_cast<size_t>(length));
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_AES256CBCEncrypt_Wrapper(benchmark::State& state) {
  const os::Data& input = plainInput();
  for (auto _ : state) {
    std::optional<os::Data> sealed = ExtendTool::AES256EncryptWithKey(input, kKey, kIV);
    if (!sealed) state.SkipWithError("encryption failed");
    benchmark::DoNotOptimize(sealed->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_AES256CBCEncrypt_OpenSSL(benchmark::State& state) {
  const os::Data& input = plainInput();
  for (auto _ : state) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            &EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, kKey.data(), kIV.data());
    os::Data sealed(input.size() + 16);
    int length = 0;
    int finalLength = 0;
    EVP_EncryptUpdate(context.get(), sealed.data(), &length, input.data(),
                      static_cast<int>(input.size()));
    EVP_EncryptFinal_ex(context.get(), sealed.data() + length, &finalLength);
    sealed.resize(static_cast<size_t>(length + finalLength));
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

BENCHMARK(BM_Base64Encode_Codec)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Encode_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode_Codec)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode_OpenSSL)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AES256CBCEncrypt_Wrapper)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AES256CBCEncrypt_OpenSSL)->Unit(benchmark::kMillisecond);

}  // namespace
