#include "os/net/internal/urlsession_resume.h"

#include "os/net/internal/urlsession_errors.h"
#include "os/net/urlsession.h"
#include "os/value/plist.h"

namespace os::internal {
namespace {

constexpr const char* kURLKey = "NSURLSessionDownloadURL";
constexpr const char* kBytesReceivedKey = "NSURLSessionResumeBytesReceived";
constexpr const char* kEntityTagKey = "NSURLSessionResumeEntityTag";
constexpr const char* kLastModifiedKey = "NSURLSessionResumeServerDownloadDate";
constexpr const char* kLocalPathKey = "NSURLSessionResumeInfoLocalPath";

const URL& noURL() {
  static const URL url = *URL::parse("about:blank");
  return url;
}

}  // namespace

Data encodeResumeData(const ResumeData& resumeData) {
  Dictionary dictionary{{kURLKey, resumeData.url.absoluteString()},
                        {kBytesReceivedKey, resumeData.bytesReceived},
                        {kLocalPathKey, resumeData.localPath.string()}};
  if (resumeData.entityTag) dictionary[kEntityTagKey] = *resumeData.entityTag;
  if (resumeData.lastModified) dictionary[kLastModifiedKey] = *resumeData.lastModified;
  std::optional<std::string> bytes = plist::serialize(Value(dictionary), plist::Format::Binary);
  return bytes ? Data(bytes->begin(), bytes->end()) : Data();
}

std::optional<ResumeData> decodeResumeData(const Data& bytes, Error* error) {
  auto refuse = [&](int64_t code, const URL& url, std::string reason) {
    if (error) *error = urlError(code, url, reason);
    return std::nullopt;
  };
  std::optional<Value> value =
      plist::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  const Dictionary* dictionary = value ? value->asDictionary() : nullptr;
  const std::string* text = dictionary ? (*value)[kURLKey].asString() : nullptr;
  std::optional<URL> url = text ? URL::parse(*text) : std::nullopt;
  const int64_t* received = dictionary ? (*value)[kBytesReceivedKey].asInteger() : nullptr;
  const std::string* path = dictionary ? (*value)[kLocalPathKey].asString() : nullptr;
  if (!url || !received || *received < 0 || !path) {
    return refuse(kURLErrorBadURL, url ? *url : noURL(), "The resume data cannot be read.");
  }
  ResumeData resumeData{*url, *received, std::nullopt, std::nullopt, *path};
  if (const std::string* tag = (*value)[kEntityTagKey].asString()) resumeData.entityTag = *tag;
  if (const std::string* date = (*value)[kLastModifiedKey].asString()) {
    resumeData.lastModified = *date;
  }
  // Only a partial download of ours is ever written to, whatever the bytes say.
  if (!resumeData.localPath.filename().string().starts_with(kURLSessionDownloadFilePrefix) ||
      resumeData.validator().empty()) {
    return refuse(kURLErrorCannotOpenFile, *url, "The resume data names no partial download.");
  }
  return resumeData;
}

}  // namespace os::internal
