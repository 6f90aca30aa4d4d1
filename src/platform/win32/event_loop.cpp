#include "platform/event_loop.h"

#include <deque>
#include <map>
#include <set>

#include "platform/win32/windows_min.h"

namespace platform {
namespace win32 {

HWND g_modeless_dialog = nullptr;

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

}  // namespace win32

namespace {

// A posted message waits here; the target's window gets a wake-up for each,
// so they arrive in order, and a destroyed window drops its wake-ups.
constexpr UINT kWake = WM_APP + 1;

struct Posted {
  unsigned msg;
  uintptr_t wparam;
  intptr_t lparam;
};

struct Target {
  MessageTarget* object;
  HWND window;
  std::deque<Posted> queue;
  std::set<unsigned> timers;
};

std::map<uint64_t, Target>& Targets() {
  static auto* targets = new std::map<uint64_t, Target>;
  return *targets;
}

uint64_t g_next_handle = 1;

LRESULT CALLBACK TargetProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto handle = static_cast<uint64_t>(GetWindowLongPtrW(window, GWLP_USERDATA));
  auto it = Targets().find(handle);
  if (it == Targets().end()) return DefWindowProcW(window, msg, wparam, lparam);
  if (msg == kWake) {
    if (it->second.queue.empty()) return 0;
    Posted p = it->second.queue.front();
    it->second.queue.pop_front();
    it->second.object->OnMessage(p.msg, p.wparam, p.lparam);
    return 0;
  }
  if (msg == WM_TIMER) {
    it->second.object->OnTimer(static_cast<unsigned>(wparam));
    return 0;
  }
  return DefWindowProcW(window, msg, wparam, lparam);
}

const wchar_t* TargetClass() {
  static const wchar_t kName[] = L"UpdaterMessageTarget";
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = TargetProc;
    wc.hInstance = win32::Instance();
    wc.lpszClassName = kName;
    RegisterClassW(&wc);
    registered = true;
  }
  return kName;
}

bool DispatchOne(const MSG& m) {
  if (m.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(m.wParam));
    return false;
  }
  if (win32::g_modeless_dialog && IsDialogMessageW(win32::g_modeless_dialog, const_cast<MSG*>(&m))) return true;
  TranslateMessage(&m);
  DispatchMessageW(&m);
  return true;
}

}  // namespace

MessageTarget::MessageTarget() : handle_(g_next_handle++) {
  HWND window = CreateWindowExW(0, TargetClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, win32::Instance(), nullptr);
  SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(handle_));
  Targets()[handle_] = Target{this, window, {}, {}};
}

MessageTarget::~MessageTarget() {
  auto it = Targets().find(handle_);
  if (it == Targets().end()) return;
  HWND window = it->second.window;
  Targets().erase(it);
  DestroyWindow(window);
}

void MessageTarget::OnMessage(unsigned, uintptr_t, intptr_t) {}
void MessageTarget::OnTimer(unsigned) {}

void MessageTarget::SetTimer(unsigned id, unsigned period_ms) {
  auto it = Targets().find(handle_);
  if (it == Targets().end()) return;
  ::SetTimer(it->second.window, id, period_ms, nullptr);
  it->second.timers.insert(id);
}

void MessageTarget::KillTimer(unsigned id) {
  auto it = Targets().find(handle_);
  if (it == Targets().end()) return;
  ::KillTimer(it->second.window, id);
  it->second.timers.erase(id);
}

bool MessageTarget::HasTimer(unsigned id) const {
  auto it = Targets().find(handle_);
  return it != Targets().end() && it->second.timers.count(id);
}

bool PostMessage(uint64_t target, unsigned msg, uintptr_t wparam, intptr_t lparam) {
  auto it = Targets().find(target);
  if (it == Targets().end()) return false;
  it->second.queue.push_back(Posted{msg, wparam, lparam});
  PostMessageW(it->second.window, kWake, 0, 0);
  return true;
}

struct NestedLoopState {
  bool quit = false;
  bool running = false;
};

NestedLoop::NestedLoop() : loop_(new NestedLoopState) {}
NestedLoop::~NestedLoop() { delete static_cast<NestedLoopState*>(loop_); }

void NestedLoop::Run() {
  auto* state = static_cast<NestedLoopState*>(loop_);
  state->quit = false;
  state->running = true;
  MSG m;
  while (!state->quit && GetMessageW(&m, nullptr, 0, 0) > 0) DispatchOne(m);
  state->running = false;
}

void NestedLoop::Quit() {
  static_cast<NestedLoopState*>(loop_)->quit = true;
  PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
}

bool NestedLoop::running() const { return static_cast<NestedLoopState*>(loop_)->running; }

bool RunOnce(bool may_block) {
  MSG m;
  if (may_block) {
    if (GetMessageW(&m, nullptr, 0, 0) <= 0) return false;
    return DispatchOne(m);
  }
  if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) return false;
  return DispatchOne(m);
}

bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  while (!done() && MonotonicMs() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    while (RunOnce(false)) {
    }
  }
  return done();
}

uint64_t MonotonicMs() { return GetTickCount64(); }

}  // namespace platform
