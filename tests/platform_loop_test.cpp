#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/event_loop.h"

namespace {

struct Recorder : platform::MessageTarget {
  std::vector<std::pair<unsigned, intptr_t>> messages;
  std::vector<unsigned> ticks;
  std::function<void(unsigned)> on_tick;
  void OnMessage(unsigned msg, uintptr_t, intptr_t lparam) override {
    messages.emplace_back(msg, lparam);
  }
  void OnTimer(unsigned id) override {
    ticks.push_back(id);
    if (on_tick) on_tick(id);
  }
};

}  // namespace

TEST(EventLoop, PostedMessagesArriveLaterInPostingOrder) {
  Recorder r;
  for (int i = 0; i < 5; ++i) platform::PostMessage(r.handle(), 0x465, 0, i);
  EXPECT_TRUE(r.messages.empty());  // never delivered from inside the post
  ASSERT_TRUE(platform::RunUntil([&] { return r.messages.size() == 5; }, 2000));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(r.messages[i].second, i);
}

TEST(EventLoop, DestroyedTargetDropsWhatIsQueued) {
  Recorder keep;
  auto gone = std::make_unique<Recorder>();
  uint64_t handle = gone->handle();
  platform::PostMessage(handle, 1, 0, 0);
  platform::PostMessage(keep.handle(), 2, 0, 0);
  gone.reset();
  EXPECT_FALSE(platform::PostMessage(handle, 1, 0, 0));
  ASSERT_TRUE(platform::RunUntil([&] { return keep.messages.size() == 1; }, 2000));
  platform::RunUntil([] { return false; }, 30);
  EXPECT_EQ(keep.messages.size(), 1u);
}

TEST(EventLoop, TimersTickAreReplacedByReArmingAndStopWhenKilled) {
  Recorder r;
  r.SetTimer(1000, 5000);
  r.SetTimer(1000, 10);  // replaces the slow one
  ASSERT_TRUE(platform::RunUntil([&] { return r.ticks.size() >= 3; }, 2000));
  r.KillTimer(1000);
  EXPECT_FALSE(r.HasTimer(1000));
  size_t seen = r.ticks.size();
  platform::RunUntil([] { return false; }, 60);
  EXPECT_EQ(r.ticks.size(), seen);
}

TEST(EventLoop, NestedLoopKeepsHandlingTimersAndMessagesUntilQuit) {
  Recorder r;
  platform::NestedLoop nested;
  int inner_ticks = 0;
  r.on_tick = [&](unsigned id) {
    if (id == 1) {  // the "message box": runs its own loop inside a handler
      r.KillTimer(1);
      platform::PostMessage(r.handle(), 7, 0, 0);
      r.SetTimer(2, 5);
      nested.Run();
    } else if (++inner_ticks == 3) {
      r.KillTimer(2);
      nested.Quit();
    }
  };
  r.SetTimer(1, 1);
  ASSERT_TRUE(platform::RunUntil([&] { return inner_ticks == 3; }, 3000));
  EXPECT_FALSE(nested.running());
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].first, 7u);
}

TEST(EventLoop, MessagesPostedInsideANestedLoopRunFromAMessageHandlerArrive) {
  struct Target : platform::MessageTarget {
    platform::NestedLoop nested;
    std::vector<unsigned> seen;
    void OnMessage(unsigned msg, uintptr_t, intptr_t) override {
      seen.push_back(msg);
      if (msg == 1) {
        platform::PostMessage(handle(), 2, 0, 0);
        nested.Run();  // a message box shown from a message handler
      } else if (msg == 2) {
        nested.Quit();
      }
    }
  } t;
  platform::PostMessage(t.handle(), 1, 0, 0);
  ASSERT_TRUE(platform::RunUntil([&] { return t.seen.size() == 2; }, 2000));
  EXPECT_EQ(t.seen, (std::vector<unsigned>{1, 2}));
}
