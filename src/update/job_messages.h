#pragma once
// The messages a download job posts to its notify window.
#include <cstdint>

constexpr unsigned WM_USER = 0x0400;
// wParam: (bytes in this delivery, job kind); lParam: the job's id.
constexpr unsigned WM_JOB_PROGRESS = WM_USER + 100;
// wParam: (result code, job kind); lParam: the job's id.
constexpr unsigned WM_JOB_DONE = WM_USER + 101;

// Jobs are named by a serial number, never by address: a job deleted while
// its messages were queued can share its address with the next one.
using JobId = uint32_t;

constexpr uintptr_t MakeJobWParam(uint32_t low, uint32_t kind) {
  return static_cast<uintptr_t>((low & 0xFFFF) | ((kind & 0xFFFF) << 16));
}
constexpr uint32_t JobWParamLow(uintptr_t wparam) { return wparam & 0xFFFF; }
constexpr uint32_t JobWParamKind(uintptr_t wparam) { return (wparam >> 16) & 0xFFFF; }

// Job kinds and result codes.
enum JobKind : int { kJobVersionList = 0, kJobManifest = 1, kJobFile = 2, kJobSignature = 3 };
enum JobResult : int {
  kJobOk = 0,
  kJobStartFailed = 1,
  kJobTransferFailed = 6,
  kJobCreateFailed = 7,
};
