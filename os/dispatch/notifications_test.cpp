#include "os/dispatch/notifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace os {
namespace {

TEST(NotificationCenter, DeliversToMatchingObserversInTheOrderTheyWereAdded) {
  NotificationCenter center;
  int sender = 0, otherSender = 0;
  std::vector<std::string> calls;
  auto record = [&calls](std::string who) {
    return [&calls, who](const Notification& note) { calls.push_back(who + ":" + note.name); };
  };
  center.addObserver("resume", &sender, record("resume-of-sender"));
  center.addObserver("", nullptr, record("everything"));
  center.addObserver("resume", nullptr, record("resume-of-anyone"));
  center.addObserver("suspend", &sender, record("suspend-of-sender"));
  center.addObserver("", &otherSender, record("anything-of-other"));

  struct Case {
    std::string name;
    const void* object;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"resume",
       &sender,
       {"resume-of-sender:resume", "everything:resume", "resume-of-anyone:resume"}},
      {"resume",
       &otherSender,
       {"everything:resume", "resume-of-anyone:resume", "anything-of-other:resume"}},
      {"resume", nullptr, {"everything:resume", "resume-of-anyone:resume"}},
      {"suspend", &sender, {"everything:suspend", "suspend-of-sender:suspend"}},
      {"other", nullptr, {"everything:other"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    calls.clear();
    center.post(c.name, c.object);
    EXPECT_EQ(calls, c.expected);
  }
}

TEST(NotificationCenter, CarriesValueAndUserInfo) {
  NotificationCenter center;
  Notification received;
  center.addObserver("change", nullptr, [&](const Notification& note) { received = note; });
  int sender = 0;
  center.post(Notification{"change", &sender, Value(true), Dictionary{{"status", 2}}});
  EXPECT_EQ(received.object, &sender);
  EXPECT_EQ(received.value, Value(true));
  EXPECT_EQ(received.userInfo["status"].integerValue(), 2);

  center.post("change", nullptr, Dictionary{{"status", 3}});
  EXPECT_TRUE(received.value.isNull());
  EXPECT_EQ(received.userInfo["status"].integerValue(), 3);
}

TEST(NotificationCenter, ObserversRemovedDuringAPostAreNotCalledAfterwards) {
  NotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken selfRemoving = 0, removedByFirst = 0;
  center.addObserver("tick", nullptr, [&](const Notification&) {
    calls.push_back("first");
    center.removeObserver(removedByFirst);
  });
  selfRemoving = center.addObserver("tick", nullptr, [&](const Notification&) {
    calls.push_back("self-removing");
    center.removeObserver(selfRemoving);
  });
  removedByFirst =
      center.addObserver("tick", nullptr, [&](const Notification&) { calls.push_back("removed"); });
  center.addObserver("tick", nullptr, [&](const Notification&) { calls.push_back("last"); });

  center.post("tick");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "self-removing", "last"}));
  calls.clear();
  center.post("tick");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "last"}));
}

TEST(NotificationCenter, ObserversMayPostAndAddDuringAPost) {
  NotificationCenter center;
  std::vector<std::string> calls;
  center.addObserver("outer", nullptr, [&](const Notification&) {
    calls.push_back("outer");
    center.addObserver("outer", nullptr, [&](const Notification&) { calls.push_back("added"); });
    center.post("inner");
  });
  center.addObserver("inner", nullptr, [&](const Notification&) { calls.push_back("inner"); });

  center.post("outer");
  // The observer added during the post waits for the next one.
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
}

TEST(ObserverRegistration, RemovesItsObserverWhenDestroyedOrReset) {
  NotificationCenter center;
  int calls = 0;
  auto observe = [&] {
    return ObserverRegistration(
        center, center.addObserver("n", nullptr, [&](const Notification&) { ++calls; }));
  };
  {
    ObserverRegistration registration = observe();
    center.post("n");
    ObserverRegistration moved = std::move(registration);
    center.post("n");
  }
  center.post("n");
  EXPECT_EQ(calls, 2);

  ObserverRegistration registration = observe();
  registration.reset();
  center.post("n");
  EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, PostsAddsAndRemovalsFromManyThreadsAtOnce) {
  NotificationCenter center;
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      while (!stop) center.post("busy");
    });
  }
  for (int round = 0; round < 200; ++round) {
    // Captured state that dies with the registration: a call after removal would touch it late.
    auto called = std::make_shared<std::atomic<bool>>(false);
    ObserverToken token =
        center.addObserver("busy", nullptr, [called, &calls](const Notification&) {
          *called = true;
          ++calls;
        });
    while (!*called) std::this_thread::yield();
    center.removeObserver(token);
  }
  stop = true;
  for (auto& poster : posters) poster.join();
  int before = calls;
  center.post("busy");
  EXPECT_EQ(calls, before);
  EXPECT_GE(before, 200);
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace os
