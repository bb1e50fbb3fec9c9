#include "core/heartbeats/heartbeat_controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "core/heartbeats/bundle_coding.h"
#include "os/process/clock.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace heartbeats {
namespace {

namespace fs = std::filesystem;

constexpr double kDay1 = 1765238400;        // 2025-12-09 00:00:00 UTC
constexpr double kAfternoon = 13.5 * 3600;  // the clock runs at 13:30 UTC
constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";

double day(int n) { return kDay1 + (n - 1) * kSecondsPerDay; }

class HeartbeatControllerTest : public ::testing::Test {
 protected:
  fs::path storeFile() const {
    return sandbox_.home() / ".local/share/vedodo-heartbeat-storage" /
           "heartbeats-1_1234567890_ios_0123456789abcdef";
  }
  std::string storeText() const { return testsupport::readFile(storeFile()); }
  // Waits until the changes queued so far have reached the file.
  void settle() {
    HeartbeatStorage::getInstance(kAppID)->readAndWriteSync([](auto b) { return b; });
  }
  HeartbeatsBundle stored() {
    settle();
    std::optional<HeartbeatsBundle> bundle = decodeBundle(storeText());
    EXPECT_TRUE(bundle);
    return bundle.value_or(HeartbeatsBundle(0));
  }
  void goToDay(int n) { clock_.setNow(day(n) + kAfternoon); }

  testsupport::Sandbox sandbox_;
  os::clock::ScopedFakeClock clock_{day(1) + kAfternoon};
  HeartbeatController controller_{kAppID};
};

TEST_F(HeartbeatControllerTest, FirstLogWritesTheExactFile) {
  controller_.log("agent/1");
  settle();
  std::string nulls;
  for (int i = 0; i < 29; ++i) nulls += ",null";
  EXPECT_EQ(storeText(),
            R"({"buffer":{"circularQueue":[{"agent":"agent/1","date":786931200.0,)"
            R"("timePeriods":[1],"version":0})" +
                nulls +
                R"(],"tailIndex":1},"capacity":30,"lastAddedHeartbeatDates":[1,786931200.0]})");
}

TEST_F(HeartbeatControllerTest, OneHeartbeatADayWhateverTheAgent) {
  controller_.log("agent/1");
  std::string first = (settle(), storeText());
  controller_.log("agent/1");
  controller_.log("other/2");
  settle();
  EXPECT_EQ(storeText(), first);

  clock_.setNow(day(2));  // exactly a day after the last recorded date
  controller_.log("other/2");
  EXPECT_EQ(stored().buffer.elements().size(), 2u);
}

TEST_F(HeartbeatControllerTest, ALastDateLessThanADayBeforeTodayRecordsNothing) {
  HeartbeatsBundle written(30);
  written.lastAddedHeartbeatDates[TimePeriod::daily] = day(1) - 3600;  // written elsewhere
  fs::create_directories(storeFile().parent_path());
  std::ofstream(storeFile()) << *encodeBundle(written);
  controller_.log("agent/1");
  EXPECT_EQ(stored(), written);
}

TEST_F(HeartbeatControllerTest, ThirtyOneDaysFillTheRingAndWrap) {
  for (int n = 1; n <= 31; ++n) {
    goToDay(n);
    controller_.log("agent/1");
  }
  HeartbeatsBundle bundle = stored();
  EXPECT_EQ(bundle.buffer.tailIndex(), 1);
  ASSERT_EQ(bundle.buffer.circularQueue().size(), 30u);
  EXPECT_EQ(bundle.buffer.circularQueue()[0]->date, day(31));
  for (int slot = 1; slot < 30; ++slot)
    EXPECT_EQ(bundle.buffer.circularQueue()[slot]->date, day(slot + 1));
  EXPECT_EQ(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily), day(31));
}

TEST_F(HeartbeatControllerTest, FlushHandsOutEverythingAndKeepsTheDayMarked) {
  controller_.log("zeta/1");
  goToDay(2);
  controller_.log("alpha/1");
  goToDay(3);
  controller_.log("zeta/1");
  HeartbeatsPayload payload = controller_.flush();
  EXPECT_EQ(payload.userAgentPayloads, (std::vector<HeartbeatsPayload::UserAgentPayload>{
                                           {"alpha/1", {day(2)}}, {"zeta/1", {day(1), day(3)}}}));
  HeartbeatsBundle emptied = stored();
  EXPECT_TRUE(emptied.buffer.elements().empty());
  EXPECT_EQ(emptied.buffer.circularQueue().size(), 30u);
  EXPECT_EQ(emptied.lastAddedHeartbeatDates.at(TimePeriod::daily), day(3));

  controller_.log("zeta/1");  // same day as the flushed heartbeat: nothing
  EXPECT_TRUE(controller_.flush().isEmpty());
}

// A flush whose request failed gives its heartbeats back: the next flush sends them with the
// ones logged meanwhile, and today stays marked.
TEST_F(HeartbeatControllerTest, RestoredHeartbeatsGoOutWithTheNextFlush) {
  controller_.log("zeta/1");
  goToDay(2);
  controller_.log("alpha/1");
  HeartbeatsPayload failed = controller_.flush();
  goToDay(3);
  controller_.log("zeta/1");
  controller_.restore(failed);
  controller_.log("beta/1");  // day 3 already has its heartbeat
  EXPECT_EQ(stored().lastAddedHeartbeatDates.at(TimePeriod::daily), day(3));
  EXPECT_EQ(controller_.flush().userAgentPayloads,
            (std::vector<HeartbeatsPayload::UserAgentPayload>{{"alpha/1", {day(2)}},
                                                              {"zeta/1", {day(3), day(1)}}}));
  controller_.restore(HeartbeatsPayload::emptyPayload());
  EXPECT_TRUE(controller_.flush().isEmpty());
}

TEST_F(HeartbeatControllerTest, FlushOfAnEmptyStoreLeavesZeroBytes) {
  EXPECT_EQ(controller_.flush(), HeartbeatsPayload::emptyPayload());
  EXPECT_TRUE(fs::exists(storeFile()));
  EXPECT_EQ(fs::file_size(storeFile()), 0u);
}

TEST_F(HeartbeatControllerTest, FlushHeartbeatFromTodayTakesOnlyToday) {
  controller_.log("agent/1");
  goToDay(2);
  EXPECT_TRUE(controller_.flushHeartbeatFromToday().isEmpty());
  controller_.log("agent/1");
  EXPECT_EQ(controller_.flushHeartbeatFromToday(), (HeartbeatsPayload{{{"agent/1", {day(2)}}}, 2}));
  // Today stays marked: no second heartbeat today; day 1's is still stored.
  controller_.log("agent/1");
  EXPECT_EQ(controller_.flush(), (HeartbeatsPayload{{{"agent/1", {day(1)}}}, 2}));
}

TEST_F(HeartbeatControllerTest, TwoThreadsLoggingForOneIdentifierNeverLoseADay) {
  constexpr int kDays = 30;
  HeartbeatController other(kAppID);
  for (int n = 1; n <= kDays; ++n) {
    goToDay(n);
    std::thread a([&] { controller_.log("a/1"); });
    std::thread b([&] { other.log("b/1"); });
    a.join();
    b.join();
  }
  std::vector<double> days;
  for (const auto& entry : controller_.flush().userAgentPayloads) {
    days.insert(days.end(), entry.dates.begin(), entry.dates.end());
  }
  std::sort(days.begin(), days.end());
  ASSERT_EQ(days.size(), static_cast<size_t>(kDays));
  for (int n = 1; n <= kDays; ++n) EXPECT_EQ(days[n - 1], day(n));
}

}  // namespace
}  // namespace heartbeats
