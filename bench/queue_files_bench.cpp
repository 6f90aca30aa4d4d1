// The controller's handling of one huge manifest: 300,000 entries to fetch,
// and one with 80,000 entries that climb out of the install. Measures the
// time of the manifest's result (reading the document, refusing, checking
// and queueing) and the peak memory it adds, per entry: the program's own
// allocations (operator new) and the whole process (peak resident set,
// the XML reader's tree included). Reading the document alone is measured
// too, so that what queueing adds can be told apart.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "app/app.h"
#include "manifest/update_files.h"
#include "platform/text.h"
#include "support/scripted_ui.h"
#include "support/servers.h"
#include "support/temp_dir.h"
#include "update/auto_update_dlg.h"

namespace {

std::atomic<long long> g_live{0}, g_peak{0};
constexpr size_t kHeader = alignof(std::max_align_t);

void* Take(size_t size) {
  char* p = static_cast<char*>(std::malloc(size + kHeader));
  if (!p) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(p) = size;
  long long now = g_live += static_cast<long long>(size);
  long long peak = g_peak;
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return p + kHeader;
}

void Give(void* p) {
  if (!p) return;
  char* base = static_cast<char*>(p) - kHeader;
  g_live -= static_cast<long long>(*reinterpret_cast<size_t*>(base));
  std::free(base);
}

}  // namespace

void* operator new(size_t size) { return Take(size); }
void* operator new[](size_t size) { return Take(size); }
void operator delete(void* p) noexcept { Give(p); }
void operator delete[](void* p) noexcept { Give(p); }
void operator delete(void* p, size_t) noexcept { Give(p); }
void operator delete[](void* p, size_t) noexcept { Give(p); }

namespace {

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, strlen(field), field) == 0) return atol(line.c_str() + strlen(field) + 1);
  }
  return -1;
}

// Forgets the peak resident set so far.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

struct Sample {
  double seconds = 0;
  long long heap_peak = 0;  // bytes above the start
  long rss_peak_kib = 0;    // KiB above the start
};

// Measures the handling of the manifest's result, then ends the run.
class MeasuredDlg : public CAutoUpdateClientDlg {
 public:
  MeasuredDlg(UpdateHost* host, platform::Ui* ui, Sample* sample)
      : CAutoUpdateClientDlg(host, ui), sample_(sample) {}
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override {
    if (msg != WM_JOB_DONE || JobWParamKind(wparam) != kJobManifest) {
      CAutoUpdateClientDlg::OnMessage(msg, wparam, lparam);
      return;
    }
    ResetPeak();
    const long rss = StatusKiB("VmRSS:");
    const long long heap = g_live;
    g_peak = heap;
    auto t0 = std::chrono::steady_clock::now();
    CAutoUpdateClientDlg::OnMessage(msg, wparam, lparam);
    sample_->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    sample_->heap_peak = g_peak - heap;
    sample_->rss_peak_kib = StatusKiB("VmHWM:") - rss;
    printf("  after the result: %u job(s) queued\n", queued_jobs());
    Close();
  }

 private:
  Sample* sample_;
};

// Entries as terse as a server may send them: the document stays below the
// 16 MiB a server document may have.
void WriteManifest(const std::string& path, int entries, bool climbing) {
  std::ofstream out(path, std::ios::binary);
  out << "<?xml version=\"1.0\" encoding=\"GB2312\" ?><xmlRoot><Product productVerion=\"3\">";
  for (int i = 0; i < entries; ++i) {
    out << "<File><FileName>f" << i << "</FileName>" << (climbing ? "<LocalPath>..</LocalPath>" : "")
        << "</File>";
  }
  out << "</Product></xmlRoot>";
}

void Run(const char* title, int entries, bool climbing) {
  TempDir dir;
  mkdir(dir.File("server").c_str(), 0755);
  mkdir(dir.File("server/update").c_str(), 0755);
  mkdir(dir.File("server/update/2").c_str(), 0755);
  mkdir(dir.File("install").c_str(), 0755);
  const std::string manifest = dir.File("server/update/2/FileConfig.xml");
  WriteManifest(manifest, entries, climbing);
  WriteFileBytes(dir.File("server/update/VerAndUrl.xml"),
                 "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<xmlRoot><Product productVerion=\"2\" "
                 "maxVersion=\"2\"/></xmlRoot>\r\n");
  TestUpdateServer server(dir.File("server"));
  WriteFileBytes(dir.File("install/UpdateTemp.ini"),
                 "[Version]\r\nCurrentVersion=2\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(server.port()) +
                     "\r\n");
  struct stat st;
  stat(manifest.c_str(), &st);
  printf("%s: %d entries, manifest %.1f MB\n", title, entries, st.st_size / 1e6);

  // Reading the document alone. Each measurement runs in a process of its
  // own, so that no memory freed before counts as already resident.
  fflush(stdout);
  if (pid_t child = fork()) {
    waitpid(child, nullptr, 0);
  } else {
    CUpdateFiles files;
    files.SetBaseDirectories(platform::FromUtf8(dir.File("install")));
    ResetPeak();
    const long rss = StatusKiB("VmRSS:");
    const long long heap = g_live;
    g_peak = heap;
    auto t0 = std::chrono::steady_clock::now();
    files.LoadXml(platform::FromUtf8(manifest), false);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("  reading alone:     %6.2f s, own peak %6.0f B/entry, process peak %6.0f B/entry\n", seconds,
           double(g_peak - heap) / entries, (StatusKiB("VmHWM:") - rss) * 1024.0 / entries);
    fflush(stdout);
    _exit(0);
  }
  if (pid_t child = fork()) {
    waitpid(child, nullptr, 0);
    return;
  }

  CAutoUpdateClientApp app(platform::FromUtf8(dir.File("install/updater")));
  ScriptedUi ui;
  Sample sample;
  {
    MeasuredDlg dlg(&app, &ui, &sample);
    dlg.OnInitDialog();
    ui.RunModal();
    ui.DestroyMainWindow();
  }
  printf("  manifest's result: %6.2f s, own peak %6.0f B/entry, process peak %6.0f B/entry\n", sample.seconds,
         double(sample.heap_peak) / entries, sample.rss_peak_kib * 1024.0 / entries);
  fflush(stdout);
  _exit(0);
}

}  // namespace

int main() {
  Run("files to fetch", 300000, false);
  Run("entries that climb out", 80000, true);
  return 0;
}
