// Building a multipart/form-data request part by part. A request serializer hands an
// NKMultipartFormData to the caller's body block (see
// NKHTTPRequestSerializer::multipartFormRequestWithMethod); the parts are streamed from memory,
// files and streams while the request uploads, never assembled in memory:
//
//   serializer.multipartFormRequestWithMethod(
//       "POST", "https://example.test/upload", os::Dictionary{{"note", "hi"}},
//       [&](NKMultipartFormData& form) {
//         os::Error error;
//         if (!form.appendPartWithFileURL(os::URL::fileURLWithPath(logPath), "log", &error)) ...
//         form.appendPartWithFileData(pngBytes, "shot", "shot.png", "image/png");
//       },
//       &error);
//
// Standalone, NKStreamingMultipartFormData takes a request and gives it back finalized, with the
// body stream, "Content-Type: multipart/form-data; boundary=..." and the exact "Content-Length".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/multipart_body_stream.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

// The append operations that a multipart body block gets.
class NKMultipartFormData {
 public:
  virtual ~NKMultipartFormData() = default;

  // A file part named `name`, with the file's last path component as file name and the MIME
  // type registered for its extension in /etc/mime.types ("application/octet-stream" when none
  // is). Fails as the next operation does.
  virtual bool appendPartWithFileURL(const os::URL& fileURL, const std::string& name,
                                     os::Error* error) = 0;
  // A file part: headers Content-Disposition `form-data; name="<name>"; filename="<fileName>"`
  // and Content-Type `mimeType`; the file is read while the request uploads, and must then still
  // have the size it has now. Fails, adding nothing, with request-serialization errors of code
  // os::kURLErrorBadURL when `fileURL` is not a file URL ("Expected URL to be a file URL") or
  // names no reachable file ("File URL not reachable."), and with the file system's error when
  // the file's attributes cannot be read.
  virtual bool appendPartWithFileURL(const os::URL& fileURL, const std::string& name,
                                     const std::string& fileName, const std::string& mimeType,
                                     os::Error* error) = 0;
  // A part with the same two headers whose body is read from `stream` while the request
  // uploads; the stream must yield exactly `length` bytes, or the upload fails.
  virtual void appendPartWithInputStream(std::shared_ptr<os::InputStream> stream,
                                         const std::string& name, const std::string& fileName,
                                         uint64_t length, const std::string& mimeType) = 0;
  // A part with the same two headers and `data` as its body.
  virtual void appendPartWithFileData(os::Data data, const std::string& name,
                                      const std::string& fileName, const std::string& mimeType) = 0;
  // A form field: header Content-Disposition `form-data; name="<name>"` and `data` as its body.
  virtual void appendPartWithFormData(os::Data data, const std::string& name) = 0;
  // A part with exactly these headers, in this order, and `body`.
  virtual void appendPartWithHeaders(os::HTTPHeaders headers, os::Data body) = 0;
  // Throttles the upload: at most `numberOfBytes` per read of the body, and a pause of `delay`
  // seconds on the reading thread after each piece of a part it reads.
  virtual void throttleBandwidthWithPacketSize(uint64_t numberOfBytes, double delay) = 0;
};

class NKStreamingMultipartFormData : public NKMultipartFormData {
 public:
  // Keeps a copy of `request` and makes a random boundary, "Boundary+" and sixteen upper-case
  // hexadecimal digits.
  explicit NKStreamingMultipartFormData(os::URLRequest request);

  const std::string& boundary() const { return boundary_; }
  const std::shared_ptr<NKMultipartBodyStream>& bodyStream() const { return bodyStream_; }

  bool appendPartWithFileURL(const os::URL& fileURL, const std::string& name,
                             os::Error* error) override;
  bool appendPartWithFileURL(const os::URL& fileURL, const std::string& name,
                             const std::string& fileName, const std::string& mimeType,
                             os::Error* error) override;
  void appendPartWithInputStream(std::shared_ptr<os::InputStream> stream, const std::string& name,
                                 const std::string& fileName, uint64_t length,
                                 const std::string& mimeType) override;
  void appendPartWithFileData(os::Data data, const std::string& name, const std::string& fileName,
                              const std::string& mimeType) override;
  void appendPartWithFormData(os::Data data, const std::string& name) override;
  void appendPartWithHeaders(os::HTTPHeaders headers, os::Data body) override;
  void throttleBandwidthWithPacketSize(uint64_t numberOfBytes, double delay) override;

  // The request with the parts as its body stream, "Content-Type" `multipart/form-data;
  // boundary=<boundary>` and "Content-Length" the stream's exact length. Without parts, the
  // request as given (no body, no multipart headers).
  os::URLRequest requestByFinalizingMultipartFormData();

 private:
  void appendPart(os::HTTPHeaders headers, NKHTTPBodyPart::Body body, uint64_t length);

  os::URLRequest request_;
  std::string boundary_;
  std::shared_ptr<NKMultipartBodyStream> bodyStream_;
};

// The request-serialization error (code os::kURLErrorBadURL) of a URL that is not a usable file
// URL, with `reason` localised through the "NKNetworking" strings table of the main bundle as
// its description and failure reason.
os::Error NKFileURLError(std::string_view reason);

// The MIME type registered for `extension` (without the dot, any case) in /etc/mime.types;
// "application/octet-stream" when none is, or the file is missing.
std::string NKMIMETypeForExtension(std::string_view extension);
