#pragma once
// Runs a download job on the real loop and records what it posts.
#include <cstdint>
#include <vector>

#include "update/file_job.h"
#include "platform/event_loop.h"

struct PostedJobMessage {
  unsigned msg;
  uint32_t low;
  uint32_t kind;
  intptr_t job;
};

class JobRunner : public platform::MessageTarget {
 public:
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

  // Starts |job| (reporting to this target) and runs the loop until its
  // result arrives; returns the result code, or -1 on time-out.
  // Afterwards the loop runs |settle_ms| more, so that anything posted
  // after the result shows up.
  int Run(CInetFile* job, bool allow_ranges, unsigned timeout_ms = 30000, unsigned settle_ms = 50);

  std::vector<PostedJobMessage> messages;
  uint64_t progress_total = 0;
  uint32_t largest_progress = 0;
  int done_count = 0;
  int last_code = -1;
};
