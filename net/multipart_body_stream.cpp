#include "net/multipart_body_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/serialization_errors.h"
#include "os/net/urlsession.h"

namespace {

constexpr std::string_view kCRLF = "\r\n";

os::Error bodyLengthError(const NKHTTPBodyPart& part, std::string what) {
  std::string disposition = part.headers().value("Content-Disposition").value_or("");
  std::string description = "The body of the multipart part \"" + disposition + "\" " + what +
                            " (declared " + std::to_string(part.bodyContentLength()) +
                            " bytes), so it cannot match the request's Content-Length.";
  return os::Error(kNKRequestSerializationErrorDomain, os::kURLErrorRequestBodyStreamExhausted,
                   description, os::Dictionary{{kNSLocalizedDescriptionKey, description}});
}

}  // namespace

NKHTTPBodyPart::NKHTTPBodyPart(os::HTTPHeaders headers, std::string boundary, Body body,
                               uint64_t bodyContentLength)
    : headers_(std::move(headers)),
      boundary_(std::move(boundary)),
      body_(std::move(body)),
      bodyContentLength_(bodyContentLength) {}

NKHTTPBodyPart NKHTTPBodyPart::copy() const {
  Body body = body_;
  if (StreamBody* stream = std::get_if<StreamBody>(&body)) {
    if (std::shared_ptr<os::InputStream> fresh = stream->stream->copy()) stream->stream = fresh;
  }
  NKHTTPBodyPart part(headers_, boundary_, std::move(body), bodyContentLength_);
  part.hasInitialBoundary = hasInitialBoundary;
  part.hasFinalBoundary = hasFinalBoundary;
  return part;
}

std::string NKHTTPBodyPart::openingBoundary() const {
  return (hasInitialBoundary ? "--" : "\r\n--") + boundary_ + std::string(kCRLF);
}

std::string NKHTTPBodyPart::closingBoundary() const {
  return hasFinalBoundary ? "\r\n--" + boundary_ + "--" + std::string(kCRLF) : std::string();
}

std::string NKHTTPBodyPart::stringForHeaders() const {
  std::string text;
  for (const auto& [field, value] : headers_.fields()) {
    text += field;
    text += ": ";
    text += value;
    text += kCRLF;
  }
  text += kCRLF;
  return text;
}

uint64_t NKHTTPBodyPart::contentLength() const {
  return openingBoundary().size() + stringForHeaders().size() + bodyContentLength_ +
         closingBoundary().size();
}

bool NKHTTPBodyPart::hasBytesAvailable() const {
  return phase_ == Phase::FinalBoundary || !bodyEnded_;
}

int64_t NKHTTPBodyPart::read(uint8_t* buffer, size_t capacity, os::Error* error) {
  if (!hasBytesAvailable()) return 0;
  size_t written = 0;
  if (phase_ == Phase::EncapsulationBoundary) {
    written += readPhaseBytes(openingBoundary(), buffer, capacity);
  }
  if (phase_ == Phase::Headers) {
    written += readPhaseBytes(stringForHeaders(), buffer + written, capacity - written);
  }
  if (phase_ == Phase::Body) {
    int64_t count = readBody(buffer + written, capacity - written, error);
    if (count < 0) return -1;
    written += static_cast<size_t>(count);
  }
  if (phase_ == Phase::FinalBoundary) {
    written += readPhaseBytes(closingBoundary(), buffer + written, capacity - written);
  }
  return static_cast<int64_t>(written);
}

size_t NKHTTPBodyPart::readPhaseBytes(std::string_view bytes, uint8_t* buffer, size_t capacity) {
  size_t count = std::min(bytes.size() - phaseOffset_, capacity);
  std::memcpy(buffer, bytes.data() + phaseOffset_, count);
  phaseOffset_ += count;
  if (phaseOffset_ == bytes.size()) transitionToNextPhase();
  return count;
}

os::InputStream* NKHTTPBodyPart::bodyStream() {
  if (!stream_) {
    if (const FileBody* file = std::get_if<FileBody>(&body_)) {
      stream_ = os::InputStream::withFile(file->path);
    } else if (const StreamBody* stream = std::get_if<StreamBody>(&body_)) {
      stream_ = stream->stream;
    }
  }
  return stream_.get();
}

int64_t NKHTTPBodyPart::readBody(uint8_t* buffer, size_t capacity, os::Error* error) {
  // Reads up to `count` body bytes at the current body offset: 0 at the body's real end.
  auto readBodyBytes = [&](uint8_t* into, size_t count) -> int64_t {
    if (const DataBody* data = std::get_if<DataBody>(&body_)) {
      size_t offset = std::min<uint64_t>(bodyBytesRead_, data->bytes->size());
      size_t copied = std::min(count, data->bytes->size() - offset);
      if (copied > 0) std::memcpy(into, data->bytes->data() + offset, copied);
      return static_cast<int64_t>(copied);
    }
    os::InputStream* stream = bodyStream();
    return stream ? stream->read(into, count, error) : 0;
  };

  int64_t count = 0;
  if (bodyBytesRead_ < bodyContentLength_) {
    if (capacity == 0) return 0;
    count =
        readBodyBytes(buffer, std::min<uint64_t>(capacity, bodyContentLength_ - bodyBytesRead_));
    if (count < 0) return -1;
    if (count == 0) {
      return os::fail(error, bodyLengthError(*this, "ended after " +
                                                        std::to_string(bodyBytesRead_) + " bytes")),
             -1;
    }
    bodyBytesRead_ += static_cast<uint64_t>(count);
    if (bodyBytesRead_ < bodyContentLength_) return count;
  }
  // The declared length has been read: the body must end exactly here.
  uint8_t extra;
  int64_t more = readBodyBytes(&extra, 1);
  if (more < 0) return -1;
  if (more > 0) return os::fail(error, bodyLengthError(*this, "is longer than declared")), -1;
  bodyEnded_ = true;
  transitionToNextPhase();
  return count;
}

void NKHTTPBodyPart::transitionToNextPhase() {
  switch (phase_) {
    case Phase::EncapsulationBoundary:
      phase_ = Phase::Headers;
      break;
    case Phase::Headers:
      phase_ = Phase::Body;
      break;
    case Phase::Body:
      phase_ = Phase::FinalBoundary;
      stream_.reset();  // closes a file at once rather than when the part goes
      break;
    case Phase::FinalBoundary:
      phase_ = Phase::EncapsulationBoundary;
      break;
  }
  phaseOffset_ = 0;
}

void NKMultipartBodyStream::appendHTTPBodyPart(NKHTTPBodyPart part) {
  parts_.push_back(std::move(part));
}

void NKMultipartBodyStream::setInitialAndFinalBoundaries() {
  for (NKHTTPBodyPart& part : parts_) {
    part.hasInitialBoundary = false;
    part.hasFinalBoundary = false;
  }
  if (parts_.empty()) return;
  parts_.front().hasInitialBoundary = true;
  parts_.back().hasFinalBoundary = true;
}

uint64_t NKMultipartBodyStream::contentLength() const {
  uint64_t length = 0;
  for (const NKHTTPBodyPart& part : parts_) length += part.contentLength();
  return length;
}

void NKMultipartBodyStream::open() {
  if (status_ != NKStreamStatus::NotOpen) return;
  status_ = NKStreamStatus::Open;
  setInitialAndFinalBoundaries();
  currentPart_ = 0;
}

void NKMultipartBodyStream::close() { status_ = NKStreamStatus::Closed; }

int64_t NKMultipartBodyStream::read(uint8_t* buffer, size_t capacity, os::Error* error) {
  if (status_ == NKStreamStatus::NotOpen) open();
  if (status_ == NKStreamStatus::Error) return os::fail(error, *error_), -1;
  if (status_ != NKStreamStatus::Open) return 0;

  // A packet of 0 bytes would read as the end of the body.
  uint64_t packet = std::max<uint64_t>(numberOfBytesInPacket, 1);
  size_t limit = static_cast<size_t>(std::min<uint64_t>(capacity, packet));
  size_t total = 0;
  while (total < limit) {
    while (currentPart_ < parts_.size() && !parts_[currentPart_].hasBytesAvailable()) {
      ++currentPart_;
    }
    if (currentPart_ == parts_.size()) {
      if (total == 0) status_ = NKStreamStatus::AtEnd;
      break;
    }
    os::Error partError;
    int64_t count = parts_[currentPart_].read(buffer + total, limit - total, &partError);
    if (count < 0) {
      status_ = NKStreamStatus::Error;
      error_ = partError;
      if (total > 0) break;  // the error comes with the next call
      return os::fail(error, partError), -1;
    }
    total += static_cast<size_t>(count);
    if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
  }
  return static_cast<int64_t>(total);
}

std::shared_ptr<os::InputStream> NKMultipartBodyStream::copy() const {
  auto stream = std::make_shared<NKMultipartBodyStream>();
  stream->numberOfBytesInPacket = numberOfBytesInPacket;
  stream->delay = delay;
  for (const NKHTTPBodyPart& part : parts_) stream->parts_.push_back(part.copy());
  stream->setInitialAndFinalBoundaries();
  return stream;
}
