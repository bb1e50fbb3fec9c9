// Resume data: what a download that stopped part-way hands out so that a later task can fetch
// only the rest. It travels as a property list (binary), which callers keep as opaque bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace os::internal {

struct ResumeData {
  URL url;
  // Bytes of the body in the partial file, from its start.
  int64_t bytesReceived = 0;
  // The validators of the response whose body the file holds: one of them is sent as If-Range.
  std::optional<std::string> entityTag;
  std::optional<std::string> lastModified;
  // The partial file, in the download folder.
  std::filesystem::path localPath;

  // The If-Range value: the entity tag when the server gave one, else the modification date.
  std::string validator() const { return entityTag ? *entityTag : lastModified.value_or(""); }
};

Data encodeResumeData(const ResumeData& resumeData);

// nullopt with the reason in `*error` (kURLErrorDomain) when `bytes` is not resume data of
// this system or names a file that is not a partial download.
std::optional<ResumeData> decodeResumeData(const Data& bytes, Error* error);

}  // namespace os::internal
