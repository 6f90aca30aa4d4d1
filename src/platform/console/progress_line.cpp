#include "platform/console/progress_line.h"

#include "platform/text.h"

namespace platform {
namespace {

// A rate needs at least this much history to mean anything.
constexpr uint64_t kMinRateSpanMs = 500;

std::wstring Mib(uint64_t bytes) {
  return Format(L"%llu.%llu MiB", static_cast<unsigned long long>(bytes >> 20),
                static_cast<unsigned long long>((bytes & 0xFFFFF) * 10 >> 20));
}

// |value| with one decimal.
std::wstring Tenths(double value) {
  auto tenths = static_cast<unsigned long long>(value * 10 + 0.5);
  return Format(L"%llu.%llu", tenths / 10, tenths % 10);
}

std::wstring Rate(double bytes_per_s) {
  if (bytes_per_s <= 0) return L"-- MiB/s";
  if (bytes_per_s >= 1048576) return Tenths(bytes_per_s / 1048576) + L" MiB/s";
  return Tenths(bytes_per_s / 1024) + L" KiB/s";
}

std::wstring TimeLeft(uint64_t bytes_left, double bytes_per_s) {
  if (bytes_per_s <= 0) return L"--:--";
  auto s = static_cast<unsigned long long>(bytes_left / bytes_per_s);
  if (s >= 3600) return Format(L"%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  return Format(L"%llu:%02llu", s / 60, s % 60);
}

bool Wide(wchar_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6);
}

}  // namespace

std::wstring ProgressLine::Format(const ProgressReport& r, uint64_t now_ms) {
  if (r.files_total == 0) {
    samples_.clear();
    files_total_ = 0;
    return std::wstring();
  }
  // Other totals, or fewer bytes than before: the next version has begun.
  if (r.files_total != files_total_ || r.bytes_total != bytes_total_ ||
      (!samples_.empty() && r.bytes_done < samples_.back().bytes)) {
    samples_.clear();
    files_total_ = r.files_total;
    bytes_total_ = r.bytes_total;
  }
  samples_.push_back({now_ms, r.bytes_done});
  while (samples_.size() > 2 && samples_[1].ms + kRateWindowMs <= now_ms) samples_.pop_front();
  double rate = 0;
  const Sample& first = samples_.front();
  if (now_ms - first.ms >= kMinRateSpanMs) {
    rate = (r.bytes_done - first.bytes) * 1000.0 / static_cast<double>(now_ms - first.ms);
  }
  const uint64_t left = r.bytes_total > r.bytes_done ? r.bytes_total - r.bytes_done : 0;
  return platform::Format(L"%3d%%  文件 %u/%u  %s / %s  %s  剩余 %s", r.overall_percent, r.files_done,
                          r.files_total, Mib(r.bytes_done).c_str(), Mib(r.bytes_total).c_str(),
                          Rate(rate).c_str(), TimeLeft(left, rate).c_str());
}

int ProgressLine::Columns(const std::wstring& text) {
  int columns = 0;
  for (wchar_t c : text) columns += Wide(c) ? 2 : 1;
  return columns;
}

std::wstring ProgressLine::Fit(const std::wstring& text, int columns) {
  int used = 0;
  size_t n = 0;
  for (; n < text.size(); ++n) {
    int w = Wide(text[n]) ? 2 : 1;
    if (used + w > columns) break;
    used += w;
  }
  return text.substr(0, n);
}

}  // namespace platform
