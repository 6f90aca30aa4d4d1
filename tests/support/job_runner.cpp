#include "support/job_runner.h"

void JobRunner::OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) {
  PostedJobMessage m{msg, JobWParamLow(wparam), JobWParamKind(wparam), lparam};
  messages.push_back(m);
  if (msg == WM_JOB_PROGRESS) {
    progress_total += m.low;
    if (m.low > largest_progress) largest_progress = m.low;
  } else if (msg == WM_JOB_DONE) {
    ++done_count;
    last_code = static_cast<int>(m.low);
  }
}

int JobRunner::Run(CInetFile* job, bool allow_ranges, unsigned timeout_ms, unsigned settle_ms) {
  messages.clear();
  progress_total = 0;
  largest_progress = 0;
  done_count = 0;
  last_code = -1;
  job->NotifyWindow = handle();
  job->Start(allow_ranges);
  if (!platform::RunUntil([&] { return done_count > 0; }, timeout_ms)) return -1;
  if (settle_ms) platform::RunUntil([] { return false; }, settle_ms);
  return last_code;
}
