#include "net/request_serializer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "net/coding.h"
#include "net/serialization_errors.h"
#include "os/bundle/bundle.h"
#include "os/bundle/languages.h"
#include "os/dispatch/dispatch.h"
#include "os/net/urlsession.h"
#include "os/process/process.h"
#include "os/text/format.h"
#include "os/text/text.h"
#include "os/value/json.h"
#include "os/value/plist.h"
#include "support/data_extensions.h"
#include "support/string_extensions.h"

namespace {

constexpr const char* kClassKey = "$class";
constexpr const char* kHeadersKey = "mutableHTTPRequestHeaders";
constexpr const char* kStyleKey = "queryStringSerializationStyle";
constexpr const char* kWritingOptionsKey = "writingOptions";
constexpr const char* kFormatKey = "format";
constexpr const char* kWriteOptionsKey = "writeOptions";

os::Data bytesOf(std::string_view text) { return os::Data(text.begin(), text.end()); }

// "en-GB;q=1, en;q=0.9, ..." with the quality computed in single precision, as the platform's
// float arithmetic gives it, down to 0.5 at most.
std::string acceptLanguage() {
  std::string header;
  std::vector<std::string> languages = os::preferredLanguages();
  for (size_t index = 0; index < languages.size(); ++index) {
    float quality = 1.0f - 0.1f * static_cast<float>(index);
    char qualityText[16];
    std::snprintf(qualityText, sizeof qualityText, "%0.1g", static_cast<double>(quality));
    if (!header.empty()) header += ", ";
    header += languages[index] + ";q=" + qualityText;
    if (quality <= 0.5f) break;
  }
  return header;
}

// `text` in Latin letters and plain ASCII ("Überall/1.0" becomes "Uberall/1.0", other scripts
// are romanised, whatever has no ASCII form is dropped); `text` unchanged when ICU cannot build
// the transliterator.
std::string transliteratedToASCII(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Transliterator> transliterator(icu::Transliterator::createInstance(
      "Any-Latin; Latin-ASCII; [:^ASCII:] Remove", UTRANS_FORWARD, status));
  if (U_FAILURE(status) || !transliterator) return text;
  icu::UnicodeString converted = icu::UnicodeString::fromUTF8(text);
  transliterator->transliterate(converted);
  std::string result;
  converted.toUTF8String(result);
  return result;
}

std::string userAgent() {
  os::Bundle bundle = os::Bundle::main();
  os::Value executable = bundle.objectForInfoDictionaryKey("CFBundleExecutable");
  if (executable.isNull() && !bundle.bundleIdentifier().empty()) {
    executable = bundle.bundleIdentifier();
  }
  os::Value version = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (version.isNull()) version = bundle.objectForInfoDictionaryKey("CFBundleVersion");
  std::string agent = os::formatObjects(
      "%@/%@ (Mac OS X %@)", {executable, version, os::process::operatingSystemVersionString()});
  bool representableInASCII =
      ExtendTool::toDataByEncoding(agent, ExtendTool::StringEncoding::kASCII).has_value();
  return representableInASCII ? agent : transliteratedToASCII(agent);
}

// `url` with `query` added to its query ("&") or as its query ("?"), before its fragment.
std::optional<os::URL> URLWithQuery(const os::URL& url, const std::string& query) {
  const std::string& text = url.absoluteString();
  size_t fragment = url.fragment() ? text.find('#') : std::string::npos;
  std::string head = text.substr(0, fragment);
  std::string tail = fragment == std::string::npos ? std::string() : text.substr(fragment);
  return os::URL::parse(head + (url.query() ? "&" : "?") + query + tail);
}

// Copies the body stream into the file; the first error, or nullopt.
std::optional<os::Error> copyStreamToFile(os::InputStream* input, const os::URL& fileURL) {
  if (!fileURL.isFileURL()) return NKFileURLError("Expected URL to be a file URL");
  std::string path = fileURL.filePath().string();
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file < 0) return os::posixError(errno, path);

  std::optional<os::Error> failure;
  std::vector<uint8_t> buffer(64 * 1024);
  while (!failure && input) {
    os::Error readError;
    int64_t count = input->read(buffer.data(), buffer.size(), &readError);
    if (count < 0) failure = readError;
    if (count <= 0) break;
    for (size_t written = 0; !failure && written < static_cast<size_t>(count);) {
      ssize_t result = ::write(file, buffer.data() + written, static_cast<size_t>(count) - written);
      if (result < 0 && errno == EINTR) continue;
      if (result < 0) failure = os::posixError(errno, path);
      // write(2) returns 0 for a non-empty buffer only when nothing more fits.
      if (result == 0) failure = os::posixError(ENOSPC, path);
      if (result > 0) written += static_cast<size_t>(result);
    }
  }
  struct stat status;
  bool isRegularFile = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
  if (::close(file) != 0 && !failure) failure = os::posixError(errno, path);
  if (failure && isRegularFile) ::unlink(path.c_str());
  return failure;
}

}  // namespace

os::Error NKInvalidURLStringError(std::string_view URLString) {
  std::string description = "The URL string \"" + std::string(URLString) + "\" is not a valid URL.";
  return os::Error(kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, description,
                   os::Dictionary{{kNSLocalizedDescriptionKey, description},
                                  {os::kURLErrorFailingURLStringKey, std::string(URLString)}});
}

os::Error NKUnsendableRequestError(std::string_view URLString, const std::string& reason) {
  return os::Error(kNKRequestSerializationErrorDomain, os::kURLErrorBadURL, reason,
                   os::Dictionary{{kNSLocalizedDescriptionKey, reason},
                                  {os::kURLErrorFailingURLStringKey, std::string(URLString)}});
}

// --- NKHTTPRequestSerializer ---

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::serializer() {
  return std::make_shared<NKHTTPRequestSerializer>();
}

NKHTTPRequestSerializer::NKHTTPRequestSerializer()
    : methodsEncodingParametersInURI_{"GET", "HEAD", "DELETE"} {
  headers_.set("Accept-Language", acceptLanguage());
  headers_.set("User-Agent", userAgent());
}

std::vector<std::string> NKHTTPRequestSerializer::changedRequestProperties() const {
  std::vector<std::string> names;
  if (allowsCellularAccess_) names.push_back("allowsCellularAccess");
  if (cachePolicy_) names.push_back("cachePolicy");
  if (shouldHandleCookies_) names.push_back("HTTPShouldHandleCookies");
  if (shouldUsePipelining_) names.push_back("HTTPShouldUsePipelining");
  if (networkServiceType_) names.push_back("networkServiceType");
  if (timeoutInterval_) names.push_back("timeoutInterval");
  return names;
}

void NKHTTPRequestSerializer::setValue(std::optional<std::string> value, std::string_view field) {
  if (value) {
    headers_.set(field, std::move(*value));
  } else {
    headers_.remove(field);
  }
}

void NKHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(std::string_view username,
                                                                      std::string_view password) {
  os::Data credentials = bytesOf(std::string(username) + ":" + std::string(password));
  headers_.set("Authorization", "Basic " + ExtendTool::base64Encoding(credentials));
}

void NKHTTPRequestSerializer::setQueryStringSerializationWithStyle(
    NKHTTPRequestQueryStringSerializationStyle style) {
  queryStringSerializationStyle_ = style;
  queryStringSerialization_ = nullptr;
}

void NKHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerialization block) {
  queryStringSerialization_ = std::move(block);
}

std::optional<os::URLRequest> NKHTTPRequestSerializer::requestWithMethod(
    std::string method, std::string_view URLString, const std::optional<NKParameters>& parameters,
    os::Error* error) const {
  std::optional<os::URL> url = os::URL::parse(URLString);
  if (!url) return os::fail(error, NKInvalidURLStringError(URLString)), std::nullopt;
  os::URLRequest request(std::move(*url));
  request.setHTTPMethod(std::move(method));
  if (allowsCellularAccess_) request.setAllowsCellularAccess(*allowsCellularAccess_);
  if (cachePolicy_) request.setCachePolicy(*cachePolicy_);
  if (shouldHandleCookies_) request.setHTTPShouldHandleCookies(*shouldHandleCookies_);
  if (shouldUsePipelining_) request.setHTTPShouldUsePipelining(*shouldUsePipelining_);
  if (networkServiceType_) request.setNetworkServiceType(*networkServiceType_);
  if (timeoutInterval_) request.setTimeoutInterval(*timeoutInterval_);
  std::optional<os::URLRequest> serialized =
      requestBySerializingRequest(request, parameters, error);
  if (!serialized) return std::nullopt;
  // A line break in the method or a header would put extra lines, or a second request, on the
  // wire: such a request is not made at all.
  if (std::optional<std::string> reason = serialized->unsendableReason()) {
    return os::fail(error, NKUnsendableRequestError(URLString, *reason)), std::nullopt;
  }
  return serialized;
}

std::optional<os::URLRequest> NKHTTPRequestSerializer::multipartFormRequestWithMethod(
    std::string method, std::string_view URLString, const std::optional<NKParameters>& parameters,
    const std::function<void(NKMultipartFormData&)>& block, os::Error* error) const {
  std::optional<os::URLRequest> request =
      requestWithMethod(std::move(method), URLString, std::nullopt, error);
  if (!request) return std::nullopt;
  NKStreamingMultipartFormData formData(std::move(*request));
  if (parameters) {
    for (const NKQueryStringPair& pair :
         NKQueryStringPairsFromKeyAndValue(std::nullopt, *parameters)) {
      os::Data data;
      if (const os::Data* bytes = pair.value.asData()) {
        data = *bytes;
      } else if (!pair.value.isNull()) {
        data = bytesOf(pair.value.description());
      }
      formData.appendPartWithFormData(std::move(data), pair.field);
    }
  }
  if (block) block(formData);
  return formData.requestByFinalizingMultipartFormData();
}

os::URLRequest NKHTTPRequestSerializer::requestWithMultipartFormRequest(
    const os::URLRequest& request, const os::URL& fileURL,
    StreamToFileCompletion completion) const {
  std::shared_ptr<os::InputStream> input = request.HTTPBodyStream();
  os::DispatchQueue::global()->async([input, fileURL, completion = std::move(completion)] {
    std::optional<os::Error> error = copyStreamToFile(input.get(), fileURL);
    if (completion) os::DispatchQueue::main()->async([completion, error] { completion(error); });
  });
  os::URLRequest withoutStream = request;
  withoutStream.setHTTPBodyStream(nullptr);
  return withoutStream;
}

os::URLRequest NKHTTPRequestSerializer::requestWithDefaultHeaders(
    const os::URLRequest& request) const {
  os::URLRequest withHeaders = request;
  for (const auto& [field, value] : headers_.fields()) {
    if (!withHeaders.valueForHTTPHeaderField(field)) withHeaders.setValue(value, field);
  }
  return withHeaders;
}

bool NKHTTPRequestSerializer::encodesParametersInURI(const os::URLRequest& request) const {
  return methodsEncodingParametersInURI_.count(os::text::uppercase(request.HTTPMethod())) > 0;
}

std::optional<os::URLRequest> NKHTTPRequestSerializer::requestBySerializingRequest(
    const os::URLRequest& request, const std::optional<NKParameters>& parameters,
    os::Error* error) const {
  os::URLRequest serialized = requestWithDefaultHeaders(request);
  std::optional<std::string> query;
  if (parameters) {
    if (queryStringSerialization_) {
      os::Error blockError;
      query = queryStringSerialization_(serialized, *parameters, &blockError);
      if (!query) return os::fail(error, blockError), std::nullopt;
    } else if (queryStringSerializationStyle_ ==
               NKHTTPRequestQueryStringSerializationStyle::Default) {
      query = NKQueryStringFromParameters(*parameters);
    }
  }

  if (encodesParametersInURI(serialized)) {
    if (query && !query->empty()) {
      std::optional<os::URL> url = URLWithQuery(serialized.url(), *query);
      if (!url) {
        return os::fail(error, NKInvalidURLStringError(serialized.url().absoluteString())),
               std::nullopt;
      }
      serialized.setURL(std::move(*url));
    }
  } else {
    if (!serialized.valueForHTTPHeaderField("Content-Type")) {
      serialized.setValue("application/x-www-form-urlencoded", "Content-Type");
    }
    serialized.setHTTPBody(bytesOf(query.value_or("")));
  }
  return serialized;
}

std::optional<os::URLRequest> NKHTTPRequestSerializer::requestWithBody(
    const os::URLRequest& request, const std::optional<NKParameters>& parameters,
    const std::string& contentType, const BodyWriter& writeBody, os::Error* error) const {
  if (encodesParametersInURI(request)) {
    return NKHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
  }
  os::URLRequest serialized = requestWithDefaultHeaders(request);
  if (!parameters) return serialized;
  os::Error writeError;
  std::optional<os::Data> body = writeBody(*parameters, &writeError);
  if (!body) return os::fail(error, writeError), std::nullopt;
  if (!serialized.valueForHTTPHeaderField("Content-Type")) {
    serialized.setValue(contentType, "Content-Type");
  }
  serialized.setHTTPBody(std::move(*body));
  return serialized;
}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::copy() const {
  std::shared_ptr<NKHTTPRequestSerializer> copied = makeEmpty();
  copied->copyPropertiesFrom(*this);
  return copied;
}

void NKHTTPRequestSerializer::copyPropertiesFrom(const NKHTTPRequestSerializer& other) {
  headers_ = other.headers_;
  queryStringSerializationStyle_ = other.queryStringSerializationStyle_;
  queryStringSerialization_ = other.queryStringSerialization_;
}

os::Value NKHTTPRequestSerializer::encode() const {
  return os::Dictionary{
      {kClassKey, className()},
      {kHeadersKey, headers_.toValue()},
      {kStyleKey, static_cast<uint64_t>(queryStringSerializationStyle_)},
  };
}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::decode(const os::Value& coded,
                                                                         os::Error* error) {
  const os::Dictionary* dictionary = coded.asDictionary();
  const std::string* name = coded[kClassKey].asString();
  if (!dictionary || !name) {
    return os::fail(error, NKCoderReadCorruptError("Not a coded request serializer.")), nullptr;
  }
  std::shared_ptr<NKHTTPRequestSerializer> serializer;
  if (*name == "NKHTTPRequestSerializer") {
    serializer = NKHTTPRequestSerializer::serializer();
  } else if (*name == "NKJSONRequestSerializer") {
    serializer = NKJSONRequestSerializer::serializer();
  } else if (*name == "NKPropertyListRequestSerializer") {
    serializer = NKPropertyListRequestSerializer::serializer();
  } else {
    return os::fail(error,
                    NKCoderReadCorruptError("Unknown request serializer class \"" + *name + "\".")),
           nullptr;
  }
  if (!serializer->decodePropertiesFrom(*dictionary)) {
    return os::fail(error, NKCoderReadCorruptError("A coded " + *name +
                                                   " holds a value of the wrong kind.")),
           nullptr;
  }
  return serializer;
}

bool NKHTTPRequestSerializer::decodePropertiesFrom(const os::Dictionary& coded) {
  // The coded headers replace the defaults entirely, also when there are none.
  os::HTTPHeaders headers;
  auto found = coded.find(kHeadersKey);
  if (found != coded.end()) {
    const os::Dictionary* fields = found->second.asDictionary();
    if (!fields) return false;
    for (const auto& [field, value] : *fields) {
      const std::string* text = value.asString();
      if (!text) return false;
      headers.set(field, *text);
    }
  }
  uint64_t style = 0;
  if (!NKDecodeUnsigned(coded, kStyleKey, &style)) return false;
  headers_ = std::move(headers);
  queryStringSerializationStyle_ = static_cast<NKHTTPRequestQueryStringSerializationStyle>(style);
  return true;
}

std::shared_ptr<NKHTTPRequestSerializer> NKHTTPRequestSerializer::makeEmpty() const {
  return NKHTTPRequestSerializer::serializer();
}

// --- NKJSONRequestSerializer ---

std::shared_ptr<NKJSONRequestSerializer> NKJSONRequestSerializer::serializer() {
  return serializerWithWritingOptions(0);
}

std::shared_ptr<NKJSONRequestSerializer> NKJSONRequestSerializer::serializerWithWritingOptions(
    uint64_t writingOptions) {
  auto serializer = std::make_shared<NKJSONRequestSerializer>();
  serializer->writingOptions_ = writingOptions;
  return serializer;
}

std::optional<os::URLRequest> NKJSONRequestSerializer::requestBySerializingRequest(
    const os::URLRequest& request, const std::optional<NKParameters>& parameters,
    os::Error* error) const {
  os::json::WriteOptions options;
  options.prettyPrinted = (writingOptions_ & kWritingPrettyPrinted) != 0;
  options.fragmentsAllowed = (writingOptions_ & kWritingFragmentsAllowed) != 0;
  options.escapeSlashes = (writingOptions_ & kWritingWithoutEscapingSlashes) == 0;
  return requestWithBody(
      request, parameters, "application/json",
      [&](const NKParameters& toWrite, os::Error* failure) -> std::optional<os::Data> {
        std::optional<os::Value> value = toWrite.toValue();
        if (!value) {
          std::string reason = "Invalid type in JSON write (set)";
          return os::fail(failure,
                          os::Error(os::kCocoaErrorDomain, os::json::kInvalidJSONError, reason,
                                    os::Dictionary{{"NSDebugDescription", reason}})),
                 std::nullopt;
        }
        std::optional<std::string> json = os::json::serialize(*value, options, failure);
        if (!json) return std::nullopt;
        return bytesOf(*json);
      },
      error);
}

os::Value NKJSONRequestSerializer::encode() const {
  os::Value coded = NKHTTPRequestSerializer::encode();
  (*coded.asDictionary())[kWritingOptionsKey] = writingOptions_;
  return coded;
}

void NKJSONRequestSerializer::copyPropertiesFrom(const NKHTTPRequestSerializer& other) {
  NKHTTPRequestSerializer::copyPropertiesFrom(other);
  writingOptions_ = static_cast<const NKJSONRequestSerializer&>(other).writingOptions_;
}

bool NKJSONRequestSerializer::decodePropertiesFrom(const os::Dictionary& coded) {
  return NKHTTPRequestSerializer::decodePropertiesFrom(coded) &&
         NKDecodeUnsigned(coded, kWritingOptionsKey, &writingOptions_);
}

std::shared_ptr<NKHTTPRequestSerializer> NKJSONRequestSerializer::makeEmpty() const {
  return NKJSONRequestSerializer::serializer();
}

// --- NKPropertyListRequestSerializer ---

std::shared_ptr<NKPropertyListRequestSerializer> NKPropertyListRequestSerializer::serializer() {
  return serializerWithFormat(kFormatBinary, 0);
}

std::shared_ptr<NKPropertyListRequestSerializer>
NKPropertyListRequestSerializer::serializerWithFormat(uint64_t format, uint64_t writeOptions) {
  auto serializer = std::make_shared<NKPropertyListRequestSerializer>();
  serializer->format_ = format;
  serializer->writeOptions_ = writeOptions;
  return serializer;
}

std::optional<os::URLRequest> NKPropertyListRequestSerializer::requestBySerializingRequest(
    const os::URLRequest& request, const std::optional<NKParameters>& parameters,
    os::Error* error) const {
  return requestWithBody(
      request, parameters, "application/x-plist",
      [](const NKParameters& toWrite, os::Error* failure) -> std::optional<os::Data> {
        const os::Value* value = toWrite.asValue();
        if (const std::string* text = value ? value->asString() : nullptr) return bytesOf(*text);
        std::string reason =
            "The property-list request serializer sends only a string (the property list's "
            "text) as the body; the parameters are not a string.";
        return os::fail(failure, os::Error(os::plist::kErrorDomain, os::plist::kWriteInvalidError,
                                           reason, os::Dictionary{{"NSDebugDescription", reason}})),
               std::nullopt;
      },
      error);
}

os::Value NKPropertyListRequestSerializer::encode() const {
  os::Value coded = NKHTTPRequestSerializer::encode();
  (*coded.asDictionary())[kFormatKey] = format_;
  (*coded.asDictionary())[kWriteOptionsKey] = writeOptions_;
  return coded;
}

void NKPropertyListRequestSerializer::copyPropertiesFrom(const NKHTTPRequestSerializer& other) {
  NKHTTPRequestSerializer::copyPropertiesFrom(other);
  const auto& plist = static_cast<const NKPropertyListRequestSerializer&>(other);
  format_ = plist.format_;
  writeOptions_ = plist.writeOptions_;
}

bool NKPropertyListRequestSerializer::decodePropertiesFrom(const os::Dictionary& coded) {
  return NKHTTPRequestSerializer::decodePropertiesFrom(coded) &&
         NKDecodeUnsigned(coded, kFormatKey, &format_) &&
         NKDecodeUnsigned(coded, kWriteOptionsKey, &writeOptions_);
}

std::shared_ptr<NKHTTPRequestSerializer> NKPropertyListRequestSerializer::makeEmpty() const {
  return NKPropertyListRequestSerializer::serializer();
}
