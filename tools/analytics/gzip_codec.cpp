#include "tools/analytics/gzip_codec.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace tools {
namespace {

constexpr int kGzipWindowBits = 31;  // 15 bits of window, gzip framing
constexpr size_t kPieceBytes = 64 * 1024;

// A deflate stream with gzip framing that `feed` fills piece by piece.
class Deflater {
 public:
  explicit Deflater(int strategy = Z_DEFAULT_STRATEGY) {
    if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, strategy) !=
        Z_OK) {
      throw std::runtime_error("zlib could not start a deflate stream");
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses `input`; `last` ends the member.
  void feed(std::string_view input, bool last) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream_.avail_in = static_cast<uInt>(input.size());
    int status;
    do {
      char piece[kPieceBytes];
      stream_.next_out = reinterpret_cast<Bytef*>(piece);
      stream_.avail_out = sizeof piece;
      status = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
      if (status == Z_STREAM_ERROR) throw std::runtime_error("zlib deflate failed");
      output_.append(piece, sizeof piece - stream_.avail_out);
    } while (stream_.avail_out == 0 || (last && status != Z_STREAM_END));
  }

  std::string take() { return std::move(output_); }

 private:
  z_stream stream_{};
  std::string output_;
};

}  // namespace

std::string gzip(std::string_view plain) {
  Deflater deflater;
  deflater.feed(plain, true);
  return deflater.take();
}

std::string gzipOfZeros(size_t inflatedBytes) {
  const std::string zeros(kPieceBytes, '\0');
  // Run-length matching finds the same longest matches in zeros, several times faster.
  Deflater deflater(Z_RLE);
  for (size_t left = inflatedBytes; left > 0;) {
    size_t length = std::min(left, zeros.size());
    left -= length;
    deflater.feed(std::string_view(zeros).substr(0, length), false);
  }
  deflater.feed({}, true);
  return deflater.take();
}

std::optional<std::string> gunzip(std::string_view compressed, size_t maxOutput,
                                  std::string* problem) {
  auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    if (problem) *problem = why;
    return std::nullopt;
  };
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return refuse("zlib could not start");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string output;
  int status = Z_OK;
  while (status == Z_OK) {
    char piece[kPieceBytes];
    stream.next_out = reinterpret_cast<Bytef*>(piece);
    stream.avail_out = sizeof piece;
    status = inflate(&stream, Z_NO_FLUSH);
    size_t produced = sizeof piece - stream.avail_out;
    if (output.size() + produced > maxOutput) {
      inflateEnd(&stream);
      return refuse("inflates to more than " + std::to_string(maxOutput) + " bytes");
    }
    output.append(piece, produced);
  }
  const bool whole = status == Z_STREAM_END;
  const std::string message = stream.msg != nullptr ? stream.msg : "";
  const uInt left = stream.avail_in;
  inflateEnd(&stream);
  if (!whole) {
    return refuse(message.empty() ? "not a whole gzip member" : "not gzip: " + message);
  }
  if (left > 0) return refuse(std::to_string(left) + " bytes after the gzip member");
  return output;
}

}  // namespace tools
