#include "net/multipart_form_data.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <system_error>

#include "net/serialization_errors.h"
#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/net/urlsession.h"
#include "os/text/text.h"

namespace {

constexpr const char* kDefaultMIMEType = "application/octet-stream";
constexpr const char* kMIMETypesFile = "/etc/mime.types";
constexpr const char* kNSLocalizedFailureReasonKey = "NSLocalizedFailureReason";

// Extension (lower case) to MIME type, read once: "type ext ext ..." lines, '#' comments; the
// first type that lists an extension keeps it.
const std::map<std::string, std::string>& mimeTypesByExtension() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> types;
    std::ifstream file(kMIMETypesFile);
    std::string line;
    while (std::getline(file, line)) {
      line = line.substr(0, line.find('#'));
      std::istringstream fields(line);
      std::string type, extension;
      if (!(fields >> type)) continue;
      while (fields >> extension) types.emplace(os::text::lowercase(extension), type);
    }
    return types;
  }();
  return table;
}

std::string makeBoundary() {
  std::random_device random;
  char boundary[32];
  std::snprintf(boundary, sizeof boundary, "Boundary+%08X%08X", static_cast<unsigned>(random()),
                static_cast<unsigned>(random()));
  return boundary;
}

// A name or file name inside the quotes of a Content-Disposition, escaped as browsers do: a
// quote or a line break would end the parameter, or the part's header, early.
std::string quotedParameter(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        quoted += "%22";
        break;
      case '\r':
        quoted += "%0D";
        break;
      case '\n':
        quoted += "%0A";
        break;
      default:
        quoted += c;
    }
  }
  return quoted + '"';
}

os::HTTPHeaders fileHeaders(const std::string& name, const std::string& fileName,
                            const std::string& mimeType) {
  return {{"Content-Disposition",
           "form-data; name=" + quotedParameter(name) + "; filename=" + quotedParameter(fileName)},
          {"Content-Type", mimeType}};
}

}  // namespace

os::Error NKFileURLError(std::string_view reason) {
  std::string localized =
      os::Bundle::main().localizedString(reason, /*value=*/{}, /*table=*/"NKNetworking");
  return os::Error(kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, localized,
                   os::Dictionary{{kNSLocalizedFailureReasonKey, localized}});
}

std::string NKMIMETypeForExtension(std::string_view extension) {
  const auto& types = mimeTypesByExtension();
  auto found = types.find(os::text::lowercase(extension));
  return found == types.end() ? kDefaultMIMEType : found->second;
}

NKStreamingMultipartFormData::NKStreamingMultipartFormData(os::URLRequest request)
    : request_(std::move(request)),
      boundary_(makeBoundary()),
      bodyStream_(std::make_shared<NKMultipartBodyStream>()) {}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const os::URL& fileURL,
                                                         const std::string& name,
                                                         os::Error* error) {
  std::string fileName = fileURL.lastPathComponent();
  std::string extension = std::filesystem::path(fileName).extension().string();
  std::string mimeType =
      extension.empty() ? kDefaultMIMEType : NKMIMETypeForExtension(extension.substr(1));
  return appendPartWithFileURL(fileURL, name, fileName, mimeType, error);
}

bool NKStreamingMultipartFormData::appendPartWithFileURL(const os::URL& fileURL,
                                                         const std::string& name,
                                                         const std::string& fileName,
                                                         const std::string& mimeType,
                                                         os::Error* error) {
  if (!fileURL.isFileURL()) return os::fail(error, NKFileURLError("Expected URL to be a file URL"));
  std::filesystem::path path = fileURL.filePath();
  if (!os::files::exists(path)) return os::fail(error, NKFileURLError("File URL not reachable."));
  // The size of what the upload will read: a symbolic link's destination, not the link.
  std::error_code failure;
  uint64_t size = std::filesystem::file_size(path, failure);
  if (failure) return os::fail(error, os::posixError(failure.value(), path.string()));
  appendPart(fileHeaders(name, fileName, mimeType), NKHTTPBodyPart::FileBody{path}, size);
  return true;
}

void NKStreamingMultipartFormData::appendPartWithInputStream(
    std::shared_ptr<os::InputStream> stream, const std::string& name, const std::string& fileName,
    uint64_t length, const std::string& mimeType) {
  appendPart(fileHeaders(name, fileName, mimeType), NKHTTPBodyPart::StreamBody{std::move(stream)},
             length);
}

void NKStreamingMultipartFormData::appendPartWithFileData(os::Data data, const std::string& name,
                                                          const std::string& fileName,
                                                          const std::string& mimeType) {
  appendPartWithHeaders(fileHeaders(name, fileName, mimeType), std::move(data));
}

void NKStreamingMultipartFormData::appendPartWithFormData(os::Data data, const std::string& name) {
  appendPartWithHeaders({{"Content-Disposition", "form-data; name=" + quotedParameter(name)}},
                        std::move(data));
}

void NKStreamingMultipartFormData::appendPartWithHeaders(os::HTTPHeaders headers, os::Data body) {
  uint64_t length = body.size();
  appendPart(std::move(headers),
             NKHTTPBodyPart::DataBody{std::make_shared<const os::Data>(std::move(body))}, length);
}

void NKStreamingMultipartFormData::throttleBandwidthWithPacketSize(uint64_t numberOfBytes,
                                                                   double delay) {
  bodyStream_->numberOfBytesInPacket = numberOfBytes;
  bodyStream_->delay = delay;
}

os::URLRequest NKStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  request_.setHTTPBodyStream(bodyStream_);
  request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
  request_.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
  return request_;
}

void NKStreamingMultipartFormData::appendPart(os::HTTPHeaders headers, NKHTTPBodyPart::Body body,
                                              uint64_t length) {
  bodyStream_->appendHTTPBodyPart(
      NKHTTPBodyPart(std::move(headers), boundary_, std::move(body), length));
}
