// The heartbeat store beside the plainest way to do its work.
//
//  - "log + flush": our controller logs a heartbeat into a full 30-slot ring and flushes it
//    (each a read, decode, change, encode and atomic write of the file, on the store's queue),
//    against building the same two JSON documents with nlohmann-json and writing them with the
//    same atomic write. Both in process, --count times per run.
//  - "header value": one process that turns a full ring into the request header value, against
//    `gzip -c | base64 -w0` of the same JSON document.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "bench/harness.h"
#include "core/heartbeats/bundle_coding.h"
#include "core/heartbeats/heartbeat_controller.h"
#include "os/files/files.h"
#include "os/process/clock.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using heartbeats::Heartbeat;
using heartbeats::HeartbeatsBundle;

constexpr double kDay1 = 1765238400;  // 2025-12-09 00:00:00 UTC
constexpr const char* kAppID = "1:702046118735:ios:b3e1c5a9d40f6e27";
constexpr const char* kAgent =
    "apple-platform/macos appstore/false deploy/zip device/x86_64 os-version/12.0 "
    "rvo-ios/10.29.0";

// 30 days of heartbeats, the ring full.
HeartbeatsBundle fullRing() {
  HeartbeatsBundle bundle(HeartbeatsBundle::kDefaultCapacity);
  for (int day = 0; day < 30; ++day) {
    bundle.append({kAgent, kDay1 + day * 86400.0, 0, {heartbeats::TimePeriod::daily}});
  }
  return bundle;
}

// The bundle written directly with nlohmann-json, as the store lays it out.
std::string nlohmannDocument(const HeartbeatsBundle& bundle) {
  nlohmann::json slots = nlohmann::json::array();
  for (const auto& slot : bundle.buffer.circularQueue()) {
    if (!slot) {
      slots.push_back(nullptr);
      continue;
    }
    slots.push_back({{"agent", slot->agent},
                     {"date", slot->date - os::clock::kReferenceDate1970},
                     {"version", 0},
                     {"timePeriods", {1}}});
  }
  nlohmann::json lastAdded = nlohmann::json::array();
  for (const auto& [period, date] : bundle.lastAddedHeartbeatDates) {
    lastAdded.push_back(static_cast<int64_t>(period));
    lastAdded.push_back(date - os::clock::kReferenceDate1970);
  }
  return nlohmann::json{
      {"capacity", bundle.capacity},
      {"lastAddedHeartbeatDates", std::move(lastAdded)},
      {"buffer", {{"circularQueue", std::move(slots)}, {"tailIndex", bundle.buffer.tailIndex()}}}}
      .dump();
}

int headerClient(const char* bundleFile) {
  std::optional<HeartbeatsBundle> bundle =
      heartbeats::decodeBundle(testsupport::readFile(bundleFile));
  if (!bundle) return 1;
  std::cout << bundle->makeHeartbeatsPayload().headerValue();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--client=header") == 0) return headerClient(argv[2]);
  uint64_t count = 200;
  auto harness = bench::Harness::fromArguments(argc, argv, {{"--count=", &count}});
  if (!harness) return 1;

  testsupport::Sandbox sandbox;
  const HeartbeatsBundle full = fullRing();
  const std::string fullText = *heartbeats::encodeBundle(full);
  os::clock::ScopedFakeClock clock(kDay1 + 30 * 86400.0 + 3600);
  heartbeats::HeartbeatController controller(kAppID);
  const fs::path store = sandbox.home() / ".local/share/vedodo-heartbeat-storage" /
                         heartbeats::FileStorage::fileName(kAppID);
  fs::create_directories(store.parent_path());
  const fs::path direct = sandbox.root() / "direct.json";

  harness->compare({
      .path = "heartbeat log + flush of a full ring, x" + std::to_string(count),
      .ours = {"HeartbeatController",
               {},
               [&] {
                 for (uint64_t i = 0; i < count; ++i) {
                   if (!os::files::writeAtomically(store, fullText, nullptr)) return false;
                   controller.log(kAgent);
                   if (controller.flush().userAgentPayloads.size() != 1) return false;
                 }
                 return true;
               }},
      .reference =
          {"nlohmann-json, same writes",
           {},
           [&] {
             for (uint64_t i = 0; i < count; ++i) {
               if (!os::files::writeAtomically(direct, fullText, nullptr)) return false;
               HeartbeatsBundle logged = full;
               logged.append({kAgent, kDay1 + 30 * 86400.0, 0, {heartbeats::TimePeriod::daily}});
               HeartbeatsBundle emptied(HeartbeatsBundle::kDefaultCapacity);
               emptied.lastAddedHeartbeatDates = logged.lastAddedHeartbeatDates;
               if (!os::files::writeAtomically(direct, nlohmannDocument(logged), nullptr) ||
                   !os::files::writeAtomically(direct, nlohmannDocument(emptied), nullptr)) {
                 return false;
               }
             }
             return true;
           }},
  });

  const fs::path bundleFile = sandbox.root() / "bundle.json";
  std::ofstream(bundleFile) << fullText;
  const fs::path payloadFile = sandbox.root() / "payload.json";
  std::ofstream(payloadFile) << *full.makeHeartbeatsPayload().jsonDocument();
  harness->compare({
      .path = "header value of a full ring",
      .ours = {"headerValue", {bench::self(), "--client=header", bundleFile.string()}},
      .reference = {"gzip | base64",
                    {"sh", "-c", "gzip -c '" + payloadFile.string() + "' | base64 -w0"}},
  });
  harness->printTable();
  return 0;
}
