// How the HTTP client of the analytics stack reports its diagnostics: levels, message codes and
// the delegate that may take them over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/value/value.h"

enum class VDUNetworkLogLevel : int64_t { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Message codes, printed as "I-NET%06ld".
using VDUNetworkMessageCode = int64_t;
inline constexpr VDUNetworkMessageCode kVDUNetworkMessageCodeNetwork000 = 900000;
inline constexpr VDUNetworkMessageCode kVDUNetworkMessageCodeNetwork001 = 900001;
inline constexpr VDUNetworkMessageCode kVDUNetworkMessageCodeNetwork002 = 900002;
inline constexpr VDUNetworkMessageCode kVDUNetworkMessageCodeNetwork003 = 900003;

// Takes the client's log lines instead of the logger. All three forms must be implemented.
class VDUNetworkLoggerDelegate {
 public:
  virtual ~VDUNetworkLoggerDelegate() = default;
  virtual void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                       const std::string& message,
                                       const std::vector<os::Value>& contexts) = 0;
  virtual void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                       const std::string& message, const os::Value& context) = 0;
  virtual void VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                       const std::string& message) = 0;
};

// The client's errors: domain, user-info key and codes.
inline constexpr const char* kVDUNetworkErrorDomain = "com.vdu.network.ErrorDomain";
inline constexpr const char* kVDUNetworkErrorContext = "Context";
inline constexpr int64_t kVDUNetworkErrorCodeUnknown = 0;
inline constexpr int64_t kVDUErrorCodeNetworkInvalidURL = 1;
inline constexpr int64_t kVDUErrorCodeNetworkSessionTaskCreation = 2;
inline constexpr int64_t kVDUErrorCodeNetworkPayloadCompression = 3;
inline constexpr int64_t kVDUErrorCodeNetworkInvalidRequest = 4;
inline constexpr int64_t kVDUErrorCodeNetworkInvalidResponse = 5;

// An error of the client with `code` and `context` under kVDUNetworkErrorContext.
os::Error VDUNetworkError(int64_t code, const std::string& context);
