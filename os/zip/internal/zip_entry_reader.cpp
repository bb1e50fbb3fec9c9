#include "os/zip/internal/zip_entry_reader.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "os/sync/mutex.h"
#include "os/zip/internal/zip_directory.h"

namespace os::internal {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxNameAndExtra = 2 * 0xFFFF;
// The pieces of an entry read in pieces: large enough that system calls and the inflater's
// per-call cost vanish, small enough to stay in the caches and to cost little to map (on a
// virtual machine a fresh page can cost more to map than its bytes cost to inflate).
constexpr size_t kPieceSize = 256 << 10;

// Output pieces of an entry inflated in pieces, filled in turn. While the inflater fills one,
// the others wait in the handoff's queue: enough of them that a write the kernel takes longer
// over, or a wake-up of the handoff's thread, does not hold the inflater up.
constexpr size_t kOutputPieces = 8;
// Every buffer is at least this large from its first use, so that the entries that follow,
// whole or in pieces, rarely make it grow: growing means fresh pages, which cost more to map
// than small entries cost to inflate. Pages never written are never mapped.
constexpr size_t kBufferFloor = kPieceSize + kLocalHeaderSize + kMaxNameAndExtra;
// The smallest entry whose inflating overlaps its checksum and write (see readInPieces).
constexpr uint64_t kOverlapMinimum = uint64_t{16} << 20;

// Takes the inflated pieces of one entry on a thread of its own, to checksum and hand them to the
// sink in order, so that inflating the next pieces overlaps the checksum and the write of this
// one. At most `capacity` pieces are in its hands at once: give() waits for room, so that an
// inflater filling `capacity` + 1 buffers in turn never fills one still in use.
class PieceHandoff {
 public:
  PieceHandoff(const ZipEntryReader::Sink& sink, size_t capacity)
      : sink_(sink), capacity_(capacity), thread_([this] { run(); }) {}
  ~PieceHandoff() { stop(); }
  PieceHandoff(const PieceHandoff&) = delete;
  PieceHandoff& operator=(const PieceHandoff&) = delete;

  // Hands on `size` bytes at `bytes`, which must stay untouched until `capacity` more pieces
  // have been given or finish() returns. False once the sink has failed.
  bool give(const unsigned char* bytes, size_t size) {
    MutexLock lock(mutex_);
    while (pending_.size() >= capacity_ && !failed_) room_.wait(lock);
    if (failed_) return false;
    pending_.emplace_back(bytes, size);
    if (pending_.size() == 1) work_.notify_one();
    return true;
  }

  // Waits for the last piece. False when the sink failed, with errno as the sink left it;
  // otherwise `crc` is the CRC-32 of every piece.
  bool finish(uint32_t* crc) {
    stop();
    MutexLock lock(mutex_);
    if (failed_) {
      errno = sinkErrno_;
      return false;
    }
    *crc = crc_;
    return true;
  }

 private:
  void stop() {
    {
      MutexLock lock(mutex_);
      while (!pending_.empty() && !failed_) room_.wait(lock);
      done_ = true;
      work_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
  }

  // The piece at the front of the queue stays there, counted against the capacity, until it is
  // written.
  void run() {
    MutexLock lock(mutex_);
    while (true) {
      while (pending_.empty() && !done_) work_.wait(lock);
      if (pending_.empty() || failed_) return;
      auto [bytes, size] = pending_.front();
      uint32_t crc = crc_;
      lock.unlock();
      crc = libdeflate_crc32(crc, bytes, size);
      bool written = sink_(reinterpret_cast<const char*>(bytes), size);
      int sinkErrno = errno;
      lock.lock();
      crc_ = crc;
      pending_.pop_front();
      if (!written) {
        failed_ = true;
        sinkErrno_ = sinkErrno;
        pending_.clear();
      }
      room_.notify_one();
    }
  }

  const ZipEntryReader::Sink& sink_;
  const size_t capacity_;
  Mutex mutex_;
  os::ConditionVariable work_;  // a piece is given, or the handoff stops
  os::ConditionVariable room_;  // a piece is done with, or the sink failed
  std::deque<std::pair<const unsigned char*, size_t>> pending_ OS_GUARDED_BY(mutex_);
  bool done_ OS_GUARDED_BY(mutex_) = false;
  bool failed_ OS_GUARDED_BY(mutex_) = false;
  int sinkErrno_ OS_GUARDED_BY(mutex_) = 0;
  uint32_t crc_ OS_GUARDED_BY(mutex_) = 0;
  std::thread thread_;
};

}  // namespace

ZipEntryReader::ZipEntryReader(uint64_t wholeBufferLimit) : wholeBufferLimit_(wholeBufferLimit) {}

ZipEntryReader::~ZipEntryReader() {
  if (decompressor_ != nullptr) libdeflate_free_decompressor(decompressor_);
}

ZipEntryReader::Outcome ZipEntryReader::read(int archive, const ZipEntryData& entry,
                                             const Sink& sink, std::string* problem) {
  if (!entry.deflated && entry.compressedSize != entry.size) {
    *problem = "Zip archive inconsistent";
    return Outcome::kBadData;
  }
  if (entry.size <= wholeBufferLimit_ && entry.compressedSize <= wholeBufferLimit_) {
    return readWhole(archive, entry, sink, problem);
  }
  unsigned char header[kLocalHeaderSize];
  if (!readFully(archive, header, sizeof header, entry.headerOffset) ||
      zipRead32(header) != kLocalSignature) {
    *problem = "Not a zip archive";
    return Outcome::kBadHeader;
  }
  uint64_t dataOffset =
      entry.headerOffset + kLocalHeaderSize + zipRead16(header + 26) + zipRead16(header + 28);
  if (dataOffset > entry.limit || entry.compressedSize > entry.limit - dataOffset) {
    *problem = "The entry's data reaches into the next entry";
    return Outcome::kOverlaps;
  }
  return readInPieces(archive, entry, dataOffset, sink, problem);
}

ZipEntryReader::Outcome ZipEntryReader::readWhole(int archive, const ZipEntryData& entry,
                                                  const Sink& sink, std::string* problem) {
  // The header, its name and extra field and the data, in one read: up to the next entry, which
  // in a well-formed archive is exactly this entry.
  uint64_t span = std::min<uint64_t>(entry.limit - std::min(entry.limit, entry.headerOffset),
                                     kLocalHeaderSize + kMaxNameAndExtra + entry.compressedSize);
  if (span < kLocalHeaderSize) {
    *problem = "The entry's data reaches into the next entry";
    return Outcome::kOverlaps;
  }
  unsigned char* input = input_.reserve(std::max(kBufferFloor, static_cast<size_t>(span)));
  if (!readFully(archive, input, static_cast<size_t>(span), entry.headerOffset) ||
      zipRead32(input) != kLocalSignature) {
    *problem = "Not a zip archive";
    return Outcome::kBadHeader;
  }
  uint64_t dataStart = kLocalHeaderSize + zipRead16(input + 26) + zipRead16(input + 28);
  if (dataStart > span || entry.compressedSize > span - dataStart) {
    *problem = "The entry's data reaches into the next entry";
    return Outcome::kOverlaps;
  }
  const unsigned char* data = input + dataStart;
  if (entry.deflated) {
    if (decompressor_ == nullptr) decompressor_ = libdeflate_alloc_decompressor();
    if (decompressor_ == nullptr) {
      *problem = "Malloc failure";
      return Outcome::kBadData;
    }
    // Never a null buffer, even for an empty entry.
    unsigned char* output =
        output_.reserve(std::max(kBufferFloor, static_cast<size_t>(entry.size)));
    // Without an actual-size out-parameter libdeflate insists on exactly the declared size.
    if (libdeflate_deflate_decompress(decompressor_, data, entry.compressedSize, output, entry.size,
                                      nullptr) != LIBDEFLATE_SUCCESS) {
      *problem = "Zlib error: data error";
      return Outcome::kBadData;
    }
    data = output;
  }
  if (libdeflate_crc32(0, data, entry.size) != entry.crc) {
    *problem = "CRC error";
    return Outcome::kBadData;
  }
  if (entry.size > 0 && !sink(reinterpret_cast<const char*>(data), entry.size)) {
    return Outcome::kSinkFailed;
  }
  return Outcome::kRead;
}

ZipEntryReader::Outcome ZipEntryReader::readInPieces(int archive, const ZipEntryData& entry,
                                                     uint64_t dataOffset, const Sink& sink,
                                                     std::string* problem) {
  unsigned char* input = input_.reserve(kBufferFloor);
  uint64_t unread = entry.compressedSize;
  uint64_t produced = 0;
  uint32_t crc = 0;
  // Counts a piece against the declared size.
  auto withinSize = [&](size_t size) {
    if (size > entry.size - produced) {
      *problem = "Zip archive inconsistent";
      return false;
    }
    produced += size;
    return true;
  };
  auto readPiece = [&](size_t* size) {
    *size = static_cast<size_t>(std::min<uint64_t>(unread, kPieceSize));
    if (!readFully(archive, input, *size, dataOffset)) {
      *problem = "Premature end of file";
      return false;
    }
    dataOffset += *size;
    unread -= *size;
    return true;
  };

  if (!entry.deflated) {
    while (unread > 0) {
      size_t size = 0;
      if (!readPiece(&size) || !withinSize(size)) return Outcome::kBadData;
      crc = libdeflate_crc32(crc, input, size);
      if (!sink(reinterpret_cast<const char*>(input), size)) return Outcome::kSinkFailed;
    }
  } else {
    if (!stream_) stream_ = std::make_unique<inflate_state>();
    isal_inflate_init(stream_.get());  // raw deflate, as zip stores it
    // Only a large entry gets the handoff's thread and its ring of output pieces: for a few
    // MiB, starting a thread and touching the ring's fresh pages costs more than the overlap
    // gains, and the other writing threads keep the cores busy anyway.
    const bool overlapped = entry.size >= kOverlapMinimum;
    const size_t pieceCount = overlapped ? kOutputPieces : 1;
    unsigned char* pieces = output_.reserve(std::max(kBufferFloor, pieceCount * kPieceSize));
    size_t current = 0;
    std::optional<PieceHandoff> handoff;
    if (overlapped) handoff.emplace(sink, kOutputPieces - 1);
    inflate_state& stream = *stream_;
    stream.avail_in = 0;
    while (stream.block_state != ISAL_BLOCK_FINISH) {
      if (stream.avail_in == 0 && unread > 0) {
        size_t size = 0;
        if (!readPiece(&size)) return Outcome::kBadData;
        stream.next_in = input;
        stream.avail_in = static_cast<uint32_t>(size);
      }
      uint32_t unused = stream.avail_in;
      unsigned char* piece = pieces + current * kPieceSize;
      stream.next_out = piece;
      stream.avail_out = static_cast<uint32_t>(kPieceSize);
      // Returns when the input is used up, the piece is full or the stream ends; anything but
      // success is data that does not inflate.
      if (isal_inflate(&stream) != ISAL_DECOMP_OK) {
        *problem = "Zlib error: data error";
        return Outcome::kBadData;
      }
      size_t size = kPieceSize - stream.avail_out;
      // A call that neither took input nor gave output has nothing left to work with: the data
      // ends before the stream does.
      if (size == 0 && stream.avail_in == unused && stream.block_state != ISAL_BLOCK_FINISH) {
        *problem = "Premature end of file";
        return Outcome::kBadData;
      }
      if (!withinSize(size)) return Outcome::kBadData;
      if (size == 0) continue;
      if (handoff) {
        if (!handoff->give(piece, size)) break;
        current = (current + 1) % pieceCount;
      } else {
        crc = libdeflate_crc32(crc, piece, size);
        if (!sink(reinterpret_cast<const char*>(piece), size)) return Outcome::kSinkFailed;
      }
    }
    if (handoff && !handoff->finish(&crc)) return Outcome::kSinkFailed;
  }
  if (produced != entry.size) {
    *problem = "Zip archive inconsistent";
    return Outcome::kBadData;
  }
  if (crc != entry.crc) {
    *problem = "CRC error";
    return Outcome::kBadData;
  }
  return Outcome::kRead;
}

}  // namespace os::internal
