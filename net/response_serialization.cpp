#include "net/response_serialization.h"

#include <string_view>

#include "os/bundle/bundle.h"
#include "os/net/urlsession.h"
#include "os/text/format.h"

namespace {

// The table that holds translations of the messages below.
constexpr const char* kMessagesTable = "NKNetworking";

// `format` with the message table's translation applied and its "%@" and "%ld" placeholders
// filled with `arguments` in order. The translation comes from a resource file, so it only
// ever goes through the "%@" formatter: "%ld" is turned into "%@" first.
std::string localizedMessage(std::string_view format, const os::Array& arguments) {
  std::string pattern = os::Bundle::main().localizedString(format, "", kMessagesTable);
  std::string rewritten;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern.compare(i, 2, "%%") == 0) {
      rewritten += "%%";
      ++i;
    } else if (pattern.compare(i, 3, "%ld") == 0) {
      rewritten += "%@";
      i += 2;
    } else {
      rewritten += pattern[i];
    }
  }
  return os::formatObjects(rewritten, arguments);
}

os::Error responseError(int64_t code, std::string message, const os::URLResponse& response,
                        const os::Data& data) {
  os::Dictionary userInfo{
      {kNSLocalizedDescriptionKey, message},
      {kNSErrorFailingURLKey, response.url().absoluteString()},
      {kNKFailingResponseErrorKey, NKResponseValue(response)},
  };
  if (!data.empty()) userInfo[kNKResponseDataErrorKey] = data;
  return os::Error(kNKResponseSerializationErrorDomain, code, std::move(message),
                   std::move(userInfo));
}

}  // namespace

os::Value NKResponseValue(const os::URLResponse& response) {
  os::Dictionary value{
      {"URL", response.url().absoluteString()},
      {"expectedContentLength", response.expectedContentLength()},
  };
  if (response.MIMEType()) value["MIMEType"] = *response.MIMEType();
  if (response.textEncodingName()) value["textEncodingName"] = *response.textEncodingName();
  if (const auto* http = dynamic_cast<const os::HTTPURLResponse*>(&response)) {
    value["statusCode"] = http->statusCode();
    value["allHeaderFields"] = http->allHeaderFields().toValue();
  }
  return value;
}

NKHTTPResponseSerializer::NKHTTPResponseSerializer() {
  std::set<int> success;
  for (int code = 200; code < 300; ++code) success.insert(code);
  statusCodes_ = std::move(success);
}

std::shared_ptr<NKHTTPResponseSerializer> NKHTTPResponseSerializer::serializer() {
  return std::make_shared<NKHTTPResponseSerializer>();
}

void NKHTTPResponseSerializer::setAcceptableStatusCodes(std::optional<std::set<int>> codes) {
  statusCodes_ = std::move(codes);
}

void NKHTTPResponseSerializer::setAcceptableContentTypes(
    std::optional<std::set<std::string>> types) {
  contentTypes_ = std::move(types);
}

bool NKHTTPResponseSerializer::validateResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  const auto* http = dynamic_cast<const os::HTTPURLResponse*>(response.get());
  if (!http) {
    if (error) error->reset();
    return true;
  }
  bool valid = true;
  std::optional<os::Error> made;
  const std::optional<std::string>& mimeType = http->MIMEType();
  if (contentTypes_ && !(mimeType && contentTypes_->count(*mimeType)) &&
      !(!mimeType && data.empty())) {
    valid = false;
    if (!data.empty()) {
      os::Value type = mimeType ? os::Value(*mimeType) : os::Value();
      made = responseError(
          os::kURLErrorCannotDecodeContentData,
          localizedMessage("Request failed: unacceptable content-type: %@", {type}), *http, data);
    }
  }
  if (statusCodes_ && !statusCodes_->count(http->statusCode())) {
    valid = false;
    os::Error status = responseError(
        os::kURLErrorBadServerResponse,
        localizedMessage("Request failed: %@ (%ld)",
                         {os::HTTPURLResponse::localizedStringForStatusCode(http->statusCode()),
                          http->statusCode()}),
        *http, data);
    made = NKErrorWithUnderlyingError(std::move(status), std::move(made));
  }
  if (error) *error = valid ? std::nullopt : std::move(made);
  return valid;
}

bool NKHTTPResponseSerializer::validateForParsing(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  if (validateResponse(response, data, error)) return true;
  if (!error) return false;
  return !(*error && NKErrorHasCodeInDomain(**error, os::kURLErrorCannotDecodeContentData,
                                            kNKResponseSerializationErrorDomain));
}

NKResponseObject NKHTTPResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  validateResponse(response, data, error);
  return os::Value(data);
}

std::shared_ptr<NKURLResponseSerialization> NKHTTPResponseSerializer::copy() const {
  return std::make_shared<NKHTTPResponseSerializer>(*this);
}

std::string NKHTTPResponseSerializer::description() const {
  return NKObjectDescription(className(), this);
}

std::shared_ptr<NKCompoundResponseSerializer>
NKCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    std::vector<std::shared_ptr<NKURLResponseSerialization>> serializers) {
  auto compound = std::make_shared<NKCompoundResponseSerializer>();
  compound->serializers_ = std::move(serializers);
  return compound;
}

NKResponseObject NKCompoundResponseSerializer::responseObjectForResponse(
    const std::shared_ptr<const os::URLResponse>& response, const os::Data& data,
    std::optional<os::Error>* error) const {
  for (const auto& serializer : serializers_) {
    if (!dynamic_cast<const NKHTTPResponseSerializer*>(serializer.get())) continue;
    std::optional<os::Error> serializerError;
    NKResponseObject object =
        serializer->responseObjectForResponse(response, data, &serializerError);
    if (!object.isNil()) {
      if (error) *error = NKErrorWithUnderlyingError(std::move(serializerError), *error);
      return object;
    }
  }
  return NKHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

std::shared_ptr<NKURLResponseSerialization> NKCompoundResponseSerializer::copy() const {
  return std::make_shared<NKCompoundResponseSerializer>(*this);
}
