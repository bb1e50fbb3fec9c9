// The streamed body of a multipart/form-data request: a pull-style byte source that produces
// each part's boundary, header lines and body bytes in order while the upload reads it, so that
// no part is ever held in memory beyond what it was given as. NKStreamingMultipartFormData
// (net/multipart_form_data.h) builds one and sets it as the request's body stream; most callers
// never touch it directly.
//
//   auto stream = std::make_shared<NKMultipartBodyStream>();
//   stream->appendHTTPBodyPart(NKHTTPBodyPart(headers, boundary, NKHTTPBodyPart::FileBody{path},
//                                             fileSize));
//   stream->setInitialAndFinalBoundaries();
//   request.setValue(std::to_string(stream->contentLength()), "Content-Length");
//   request.setHTTPBodyStream(stream);
//
// Wire format for parts 1..n with boundary B: part 1 opens with "--B\r\n", every later part with
// "\r\n--B\r\n"; then the part's "Field: value\r\n" header lines and an empty line; then its body;
// the last part closes with "\r\n--B--\r\n".
//
// Threads: configure and append on one thread, then hand the stream over; the session reads it
// on its transfer thread. Nothing here hops to another thread: each part moves through its phases
// on the thread that reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

// The platform's stream statuses, with their values.
enum class NKStreamStatus { NotOpen = 0, Open = 2, AtEnd = 5, Closed = 6, Error = 7 };

// One part of a multipart body: its headers, its body (bytes, a file or a stream) and the
// length its body is declared to have.
class NKHTTPBodyPart {
 public:
  // The body's bytes; shared, never copied, between a part and its copies.
  struct DataBody {
    std::shared_ptr<const os::Data> bytes;
  };
  // A file read at upload time.
  struct FileBody {
    std::filesystem::path path;
  };
  // A stream read at upload time. A copy of the part reads a copy of the stream when the stream
  // can be copied, else the same stream.
  struct StreamBody {
    std::shared_ptr<os::InputStream> stream;
  };
  using Body = std::variant<DataBody, FileBody, StreamBody>;

  // A part that starts in its opening-boundary phase. `bodyContentLength` is what the body must
  // yield: a body that turns out shorter or longer fails the read (see read()).
  NKHTTPBodyPart(os::HTTPHeaders headers, std::string boundary, Body body,
                 uint64_t bodyContentLength);

  // A fresh part with the same headers, boundary, body and flags, in its first phase.
  NKHTTPBodyPart copy() const;

  const os::HTTPHeaders& headers() const { return headers_; }
  uint64_t bodyContentLength() const { return bodyContentLength_; }

  // Whether the part opens with the initial boundary ("--B\r\n", first part) instead of the
  // encapsulation boundary ("\r\n--B\r\n"), and closes with the final one ("\r\n--B--\r\n").
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;

  // "Field: value\r\n" for each header in order, then "\r\n".
  std::string stringForHeaders() const;
  // Bytes the part yields: opening boundary, header text, declared body length, and the final
  // boundary when it has one.
  uint64_t contentLength() const;

  // True until the part has yielded its last byte.
  bool hasBytesAvailable() const;

  // Copies up to `capacity` of the part's next bytes into `buffer`, passing from one phase to
  // the next within the call (a small buffer takes a boundary over several calls). Reads the
  // body's file or stream at most once per call, so the count may be below `capacity` before
  // the part ends. Returns the count (0 once the part is over), or -1 with `*error` set when
  // the body cannot be read, or yields fewer or more bytes than its declared length: an upload
  // must fail rather than send a body that contradicts the Content-Length announced for it
  // (request serialization domain, code os::kURLErrorRequestBodyStreamExhausted).
  int64_t read(uint8_t* buffer, size_t capacity, os::Error* error);

 private:
  enum class Phase { EncapsulationBoundary, Headers, Body, FinalBoundary };

  std::string openingBoundary() const;
  std::string closingBoundary() const;
  // Copies what is left of `bytes` after the phase's offset, up to `capacity`; passes to the
  // next phase when all of it has been copied.
  size_t readPhaseBytes(std::string_view bytes, uint8_t* buffer, size_t capacity);
  // One read of the body into the buffer; -1 on failure. Passes to the final-boundary phase
  // once the body has ended at exactly its declared length.
  int64_t readBody(uint8_t* buffer, size_t capacity, os::Error* error);
  // Opens the body's stream on first use.
  os::InputStream* bodyStream();
  void transitionToNextPhase();

  os::HTTPHeaders headers_;
  std::string boundary_;
  Body body_;
  uint64_t bodyContentLength_;

  Phase phase_ = Phase::EncapsulationBoundary;
  // Bytes of the current boundary or header phase already copied.
  size_t phaseOffset_ = 0;
  uint64_t bodyBytesRead_ = 0;
  bool bodyEnded_ = false;
  std::shared_ptr<os::InputStream> stream_;  // made on first read of a file or stream body
};

// The parts in order, read as one stream. Reading opens a stream that is not open yet, as the
// session reads a request's body stream without opening it.
class NKMultipartBodyStream : public os::InputStream {
 public:
  NKMultipartBodyStream() = default;

  // Bytes handed out per read call at most (0 counts as 1); unlimited by default. With a delay, the
  // reading thread sleeps that many seconds after each piece of a part it reads, so a throttled
  // stream hands out at most one packet per read and pauses between reads.
  uint64_t numberOfBytesInPacket = std::numeric_limits<int64_t>::max();
  double delay = 0;

  void appendHTTPBodyPart(NKHTTPBodyPart part);
  bool isEmpty() const { return parts_.empty(); }
  const std::vector<NKHTTPBodyPart>& HTTPBodyParts() const { return parts_; }
  // Marks the first part as opening with the initial boundary and the last as closing with the
  // final one (a single part gets both), clearing both flags on every other part.
  void setInitialAndFinalBoundaries();
  // The sum of the parts' lengths: exactly the bytes the stream yields.
  uint64_t contentLength() const;

  // Starts the stream at its first part; does nothing to a stream that is open.
  void open();
  // Ends the stream: later reads return 0.
  void close();
  NKStreamStatus streamStatus() const { return status_; }
  // The error that stopped the stream; nullopt while it is well.
  const std::optional<os::Error>& streamError() const { return error_; }
  // True exactly while the stream is open.
  bool hasBytesAvailable() const { return status_ == NKStreamStatus::Open; }

  // os::InputStream: up to min(capacity, numberOfBytesInPacket) bytes; 0 at the end or after
  // close(). When a part fails, the bytes read before it in this call are returned first and
  // the next call returns -1 with the error.
  int64_t read(uint8_t* buffer, size_t capacity, os::Error* error) override;
  // A stream over copies of the parts (see NKHTTPBodyPart::copy) with the same throttling, from
  // the start, its boundaries set again.
  std::shared_ptr<os::InputStream> copy() const override;

 private:
  std::vector<NKHTTPBodyPart> parts_;
  size_t currentPart_ = 0;
  NKStreamStatus status_ = NKStreamStatus::NotOpen;
  std::optional<os::Error> error_;
};
