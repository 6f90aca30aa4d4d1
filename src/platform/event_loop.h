#pragma once
// Window messages, posted messages, timers and nested (modal) loops.
//
// Everything runs on one thread. A MessageTarget stands in for a window: it
// receives the messages posted to it and the ticks of its timers. Messages
// are delivered later, in posting order, from the loop; a target that is
// destroyed first never sees what was still queued for it.
#include <cstdint>
#include <functional>

namespace platform {

class MessageTarget {
 public:
  MessageTarget();
  virtual ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  virtual void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam);
  virtual void OnTimer(unsigned id);

  // Arming an id that already runs replaces its timer.
  void SetTimer(unsigned id, unsigned period_ms);
  void KillTimer(unsigned id);
  bool HasTimer(unsigned id) const;

  uint64_t handle() const { return handle_; }

 private:
  uint64_t handle_;
};

// Queues a message for the target; false when the target no longer exists.
bool PostMessage(uint64_t target, unsigned msg, uintptr_t wparam, intptr_t lparam);

// A loop run inside a handler, as a message box does: timers and posted
// messages keep being handled until Quit().
class NestedLoop {
 public:
  NestedLoop();
  ~NestedLoop();
  NestedLoop(const NestedLoop&) = delete;
  NestedLoop& operator=(const NestedLoop&) = delete;
  void Run();
  void Quit();
  bool running() const;

 private:
  void* loop_;
};

// Handles one pending event, waiting for one when |may_block|. Returns
// whether anything was handled.
bool RunOnce(bool may_block);

// Runs the loop until |done| returns true or |timeout_ms| passes; returns
// the final value of |done|.
bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms);

uint64_t MonotonicMs();

}  // namespace platform
