#include "platform/event_loop.h"

#include <glib.h>

#include <deque>
#include <map>
#include <utility>

namespace platform {
namespace {

struct Posted {
  uint64_t target;
  unsigned msg;
  uintptr_t wparam;
  intptr_t lparam;
};

struct TimerKey {
  uint64_t target;
  unsigned id;
  bool operator<(const TimerKey& o) const {
    return target != o.target ? target < o.target : id < o.id;
  }
};

// Loop-wide state. One thread only, so no locking.
struct LoopState {
  uint64_t next_handle = 1;
  std::map<uint64_t, MessageTarget*> targets;
  std::deque<Posted> queue;
  GSource* queue_source = nullptr;
  std::map<TimerKey, guint> timers;
};

LoopState& State() {
  static LoopState* state = new LoopState;  // lives as long as the process
  return *state;
}

// Delivers the messages queued before this dispatch began; later ones wait
// for the next, so a handler that keeps posting cannot starve the loop.
void DeliverQueued() {
  LoopState& s = State();
  size_t batch = s.queue.size();
  while (batch-- > 0 && !s.queue.empty()) {
    Posted p = s.queue.front();
    s.queue.pop_front();
    auto it = s.targets.find(p.target);
    if (it != s.targets.end()) it->second->OnMessage(p.msg, p.wparam, p.lparam);
  }
}

// One source for the whole queue, ready whenever something is queued: no
// allocation per message.
gboolean QueuePrepare(GSource*, gint* timeout) {
  *timeout = -1;
  return !State().queue.empty();
}
gboolean QueueCheck(GSource*) { return !State().queue.empty(); }
gboolean QueueDispatch(GSource*, GSourceFunc, gpointer) {
  DeliverQueued();
  return G_SOURCE_CONTINUE;
}
GSourceFuncs kQueueFuncs = {QueuePrepare, QueueCheck, QueueDispatch, nullptr, nullptr, nullptr};

void EnsureQueueSource() {
  LoopState& s = State();
  if (s.queue_source) return;
  s.queue_source = g_source_new(&kQueueFuncs, sizeof(GSource));
  // Posted messages go before timers and sockets, as a window's queue does.
  g_source_set_priority(s.queue_source, G_PRIORITY_DEFAULT - 10);
  // A handler may run a nested loop (a message box) in which later
  // messages must still arrive.
  g_source_set_can_recurse(s.queue_source, TRUE);
  g_source_attach(s.queue_source, nullptr);
}

struct TimerData {
  uint64_t target;
  unsigned id;
};

gboolean TimerFired(gpointer data) {
  auto* t = static_cast<TimerData*>(data);
  auto it = State().targets.find(t->target);
  if (it != State().targets.end()) it->second->OnTimer(t->id);
  return G_SOURCE_CONTINUE;
}

void FreeTimerData(gpointer data) { delete static_cast<TimerData*>(data); }

}  // namespace

MessageTarget::MessageTarget() : handle_(State().next_handle++) {
  State().targets[handle_] = this;
}

MessageTarget::~MessageTarget() {
  LoopState& s = State();
  s.targets.erase(handle_);
  for (auto it = s.queue.begin(); it != s.queue.end();) {
    it = it->target == handle_ ? s.queue.erase(it) : it + 1;
  }
  for (auto it = s.timers.begin(); it != s.timers.end();) {
    if (it->first.target == handle_) {
      g_source_remove(it->second);
      it = s.timers.erase(it);
    } else {
      ++it;
    }
  }
}

void MessageTarget::OnMessage(unsigned, uintptr_t, intptr_t) {}
void MessageTarget::OnTimer(unsigned) {}

void MessageTarget::SetTimer(unsigned id, unsigned period_ms) {
  KillTimer(id);
  guint source = g_timeout_add_full(G_PRIORITY_DEFAULT, period_ms, TimerFired,
                                    new TimerData{handle_, id}, FreeTimerData);
  State().timers[TimerKey{handle_, id}] = source;
}

void MessageTarget::KillTimer(unsigned id) {
  auto& timers = State().timers;
  auto it = timers.find(TimerKey{handle_, id});
  if (it == timers.end()) return;
  g_source_remove(it->second);
  timers.erase(it);
}

bool MessageTarget::HasTimer(unsigned id) const {
  return State().timers.count(TimerKey{handle_, id}) != 0;
}

bool PostMessage(uint64_t target, unsigned msg, uintptr_t wparam, intptr_t lparam) {
  LoopState& s = State();
  if (!s.targets.count(target)) return false;
  s.queue.push_back(Posted{target, msg, wparam, lparam});
  EnsureQueueSource();
  // Wakes a loop blocked in poll on another source.
  if (s.queue.size() == 1) g_main_context_wakeup(nullptr);
  return true;
}

NestedLoop::NestedLoop() : loop_(g_main_loop_new(nullptr, FALSE)) {}
NestedLoop::~NestedLoop() { g_main_loop_unref(static_cast<GMainLoop*>(loop_)); }
void NestedLoop::Run() { g_main_loop_run(static_cast<GMainLoop*>(loop_)); }
void NestedLoop::Quit() { g_main_loop_quit(static_cast<GMainLoop*>(loop_)); }
bool NestedLoop::running() const { return g_main_loop_is_running(static_cast<GMainLoop*>(loop_)); }

bool RunOnce(bool may_block) { return g_main_context_iteration(nullptr, may_block); }

bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  // Wakes the loop now and then, so that conditions outside it (a file
  // appearing) are noticed too.
  guint tick = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && MonotonicMs() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  return done();
}

uint64_t MonotonicMs() { return static_cast<uint64_t>(g_get_monotonic_time() / 1000); }

}  // namespace platform
