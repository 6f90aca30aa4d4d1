#pragma once
// The local wall-clock time, as the log stamps it.

namespace platform {

struct LocalTime {
  int year, month, day, hour, minute, second;
};

LocalTime Now();

}  // namespace platform
