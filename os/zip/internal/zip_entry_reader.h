// Reads the bytes of one stored or deflated zip entry straight from the archive file, checks
// them against the entry's declared size and CRC-32, and hands them on in large pieces:
//
//   ZipEntryReader reader(/*wholeBufferLimit=*/256 << 10);
//   std::string problem;
//   ZipEntryReader::Outcome outcome = reader.read(archiveFd, entry,
//       [&](const char* bytes, size_t size) { return writeFully(fd, bytes, size); }, &problem);
//
// An entry of at most `wholeBufferLimit` bytes (both packed and unpacked) is read with one pread
// and inflated with one libdeflate call into one buffer, handed on whole; a larger one is read
// and inflated in pieces by ISA-L's streaming inflater (near libdeflate's speed, where zlib takes
// almost twice as long), so that memory stays bounded whatever the entry's size; for an entry of
// many MiB a thread of its own checksums and hands on the pieces before while the next are
// inflated. Either way the bytes handed on are exactly
// the declared size with the declared CRC-32, or the read fails: an entry that holds more or fewer
// bytes than its size says never passes.
//
// One reader per thread; it keeps its buffers and decompressors from one entry to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct inflate_state;
struct libdeflate_decompressor;

namespace os::internal {

struct ZipEntryData {
  uint64_t headerOffset = 0;
  // Where the next entry's local header or the central directory starts: this entry's header
  // and data must end at or before it.
  uint64_t limit = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
  // Deflated; otherwise stored.
  bool deflated = false;
};

class ZipEntryReader {
 public:
  enum class Outcome {
    kRead,
    // The local header is missing or unreadable.
    kBadHeader,
    // The entry's data reaches into the next entry or the central directory.
    kOverlaps,
    // The data does not inflate, or does not match the declared size or CRC-32.
    kBadData,
    // The sink returned false.
    kSinkFailed,
  };
  // Called with the entry's bytes in order; returns false to stop.
  using Sink = std::function<bool(const char* bytes, size_t size)>;

  explicit ZipEntryReader(uint64_t wholeBufferLimit);
  ~ZipEntryReader();
  ZipEntryReader(const ZipEntryReader&) = delete;
  ZipEntryReader& operator=(const ZipEntryReader&) = delete;

  // Reads `entry` from the archive open as `archive`. Anything but kRead sets `problem` (except
  // kSinkFailed, whose cause the sink knows).
  Outcome read(int archive, const ZipEntryData& entry, const Sink& sink, std::string* problem);

 private:
  Outcome readWhole(int archive, const ZipEntryData& entry, const Sink& sink, std::string* problem);
  Outcome readInPieces(int archive, const ZipEntryData& entry, uint64_t dataOffset,
                       const Sink& sink, std::string* problem);

  // Memory that grows to the largest size asked for and is not cleared: every byte is
  // overwritten by a read or by the inflater before it is used.
  class Buffer {
   public:
    unsigned char* reserve(size_t size) {
      if (size > capacity_) {
        bytes_.reset(new unsigned char[size]);
        capacity_ = size;
      }
      return bytes_.get();
    }

   private:
    std::unique_ptr<unsigned char[]> bytes_;
    size_t capacity_ = 0;
  };

  const uint64_t wholeBufferLimit_;
  libdeflate_decompressor* decompressor_ = nullptr;
  // Allocated at the first entry read in pieces: tens of KiB that small entries never need.
  std::unique_ptr<inflate_state> stream_;
  Buffer input_;
  Buffer output_;
};

}  // namespace os::internal
