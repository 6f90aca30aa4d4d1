#pragma once
// The text of the console's live progress line, as download tools show it:
// done and total of the working version, the rate over the last seconds and
// the time left; and when it may be drawn again.
#include <cstdint>
#include <deque>
#include <string>

#include "platform/ui.h"

namespace platform {

class ProgressLine {
 public:
  // Redraws are at least this far apart.
  static constexpr uint64_t kRedrawMs = 100;
  // The rate is taken over this much of the recent past.
  static constexpr uint64_t kRateWindowMs = 3000;

  // Takes the state at |now_ms| and returns the line (empty when there is
  // nothing to show).
  std::wstring Format(const ProgressReport& report, uint64_t now_ms);
  // Whether a redraw at |now_ms| keeps to the redraw limit.
  bool Due(uint64_t now_ms) const { return !drawn_ || now_ms - drawn_ms_ >= kRedrawMs; }
  void MarkDrawn(uint64_t now_ms) {
    drawn_ = true;
    drawn_ms_ = now_ms;
  }

  // Columns that |text| takes on a terminal (wide characters take two).
  static int Columns(const std::wstring& text);
  // |text| cut to at most |columns| columns.
  static std::wstring Fit(const std::wstring& text, int columns);

 private:
  struct Sample {
    uint64_t ms;
    uint64_t bytes;
  };
  std::deque<Sample> samples_;
  unsigned files_total_ = 0;
  uint64_t bytes_total_ = 0;
  bool drawn_ = false;
  uint64_t drawn_ms_ = 0;
};

}  // namespace platform
