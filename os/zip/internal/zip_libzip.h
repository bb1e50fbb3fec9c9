// What the zip reading and writing code shares about libzip and its errors.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>

#include "os/value/error.h"
#include "os/zip/zip.h"

namespace os::internal {

inline bool failZip(Error* error, int64_t code, std::string description) {
  return fail(error, Error(SSZipArchive::kErrorDomain, code, std::move(description)));
}

// libzip's text for one of its error codes.
inline std::string libzipMessage(int code) {
  zip_error_t zipError;
  zip_error_init_with_code(&zipError, code);
  std::string message = zip_error_strerror(&zipError);
  zip_error_fini(&zipError);
  return message;
}

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ArchiveHandle = std::unique_ptr<zip_t, ArchiveCloser>;

}  // namespace os::internal
