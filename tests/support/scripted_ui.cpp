#include "support/scripted_ui.h"

bool ScriptedUi::CreateMainWindow(platform::WindowClient* client, int, int, int, int) {
  client_ = client;
  return true;
}

void ScriptedUi::RunModal() {
  if (!platform::RunUntil([&] { return ended; }, modal_timeout_ms)) timed_out = true;
}

int ScriptedUi::MessageBox(const std::wstring& text, const std::wstring&, bool yes_no) {
  boxes.push_back(text);
  int answer = yes_no ? platform::kIdNo : platform::kIdOk;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  // A real box runs a nested loop for a moment before the user answers.
  if (answer_when) platform::RunUntil(answer_when, 5000);
  else platform::RunUntil([] { return false; }, 20);
  return answer;
}

void ScriptedUi::ShowFailureDialog(bool show) {
  failure_visible = show;
  if (!show) return;
  failures_shown.push_back(failure_text);
  if (failure_actions.empty()) return;
  FailureAction action = failure_actions.front();
  failure_actions.pop_front();
  // The user presses the button later, from the loop.
  if (action != kLeave) platform::PostMessage(handle(), 1, static_cast<uintptr_t>(action), 0);
}

void ScriptedUi::OnMessage(unsigned, uintptr_t wparam, intptr_t) {
  if (!failure_client_) return;
  switch (static_cast<FailureAction>(wparam)) {
    case kSkip: failure_client_->OnFailureSkip(); break;
    case kRetry: failure_client_->OnFailureRetry(); break;
    case kExit: failure_client_->OnFailureExit(); break;
    case kLeave: break;
  }
}

namespace {

class NullPainter : public platform::Painter {
 public:
  void Blit(int, int, int, int, int, int, int) override {}
  void Text(int, int, const std::wstring&) override {}
};

}  // namespace

void ScriptedUi::Invalidate() {
  if (!paint || !client_) return;
  NullPainter painter;
  client_->OnPaint(&painter);
}

void ScriptedUi::ReportProgress(const platform::ProgressReport& report) {
  last_report = report;
  if (report.bytes_done > most_bytes_done) most_bytes_done = report.bytes_done;
}
