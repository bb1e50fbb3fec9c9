// How scripts reach the host: the global function "require" hands out modules by name, each
// created once per runtime by the creator registered for it (runtime.h) and cached. The modules
// here are host functions: "internal.platform" (its "getVersion" gives the runtime version), a
// key-value store (its "getValue" reads a setting), an object provider (calling it converts a
// host object), and the message logger ("log", "silent", "unmonitored").
//
//   runtime.setModuleCreator(u"internal.remoteConfig", [] {
//     return Value(Ref<APMPKeyValueStore>(new APMPKeyValueStore(
//         u"internal.remoteConfig", [](const std::string& key) -> std::optional<std::string> {
//           return settingText(key);
//         })));
//   });
//
// Script side: require("internal.logger").log(5, "message", "context").
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/value.h"
#include "os/value/value.h"

namespace measurement::runtime {

class APMPDynamicProvider;

class APMPRequire : public APMPFunctionValue {
 public:
  // `provider` must outlive this function (both belong to one runtime).
  explicit APMPRequire(const APMPDynamicProvider* provider);
  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override;
  void markCache(Marker& marker) const;

 private:
  const APMPDynamicProvider* provider_;
  std::map<std::u16string, Value, std::less<>> modules_;
};

class APMPRuntimePlatform : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override;
};

class APMPKeyValueStore : public APMPFunctionValue {
 public:
  // The block gives the text of a key, or nullopt when there is none.
  using GetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;
  APMPKeyValueStore(std::u16string name, GetValueBlock block);
};

class APMPObjectProvider : public APMPFunctionValue {
 public:
  using ObjectBlock = std::function<os::Value()>;
  APMPObjectProvider(std::u16string name, ObjectBlock block);
  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override;

 private:
  ObjectBlock block_;
};

// Where script log lines go.
class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(int64_t level, const std::string& message,
                            const std::vector<std::string>& context, bool silent,
                            bool monitored) = 0;
};

// Maps script log levels to monitor levels and hands the line (code 24005) to a sink. The
// default sink writes the console line of the measurement monitor.
class APMPixieLogger : public APMPLoggerDelegate {
 public:
  static constexpr int64_t kMessageCode = 24005;
  using Sink = std::function<void(int monitorLevel, int64_t code, const std::string& message,
                                  const std::vector<std::string>& context)>;
  explicit APMPixieLogger(Sink sink = {});
  void logWithLevel(int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override;
  static int monitorLevel(int64_t level, bool silent, bool monitored);

 private:
  Sink sink_;
};

class APMPMessageLogger : public APMPFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error) override;
};

}  // namespace measurement::runtime
