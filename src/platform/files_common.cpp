// FILETIME arithmetic, the same on every platform.
#include "platform/files.h"

namespace platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;

}  // namespace

int CompareFileTime(FILETIME a, FILETIME b) {
  uint64_t x = ToTicks(a), y = ToTicks(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

FILETIME FileTimeFromUnix(int64_t seconds, long nanoseconds) {
  int64_t ticks = (seconds + kEpochDelta) * 10000000LL + nanoseconds / 100;
  return FromTicks(static_cast<uint64_t>(ticks < 0 ? 0 : ticks));
}

void FileTimeToUnix(FILETIME t, int64_t* seconds, long* nanoseconds) {
  uint64_t ticks = ToTicks(t);
  *seconds = static_cast<int64_t>(ticks / 10000000ULL) - kEpochDelta;
  *nanoseconds = static_cast<long>(ticks % 10000000ULL) * 100;
}

}  // namespace platform
