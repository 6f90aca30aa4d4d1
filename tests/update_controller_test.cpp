// The controller's bookkeeping: which job a result belongs to, what runs
// once the run has ended, and the watchdog on a fast test clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <new>

#include "manifest/update_files.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "update/download_progress.h"
#include "support/update_fixture.h"
#include "update/auto_update_dlg.h"

// The memory of the last deleted job goes to the next job created, as the
// plain allocator often arranges: a result that names its job by address is
// then taken for the new job's.
namespace {
constexpr size_t kHeader = alignof(std::max_align_t);
void* g_spare_job = nullptr;
}  // namespace

namespace {
void* Acquire(size_t size) {
  if (size == sizeof(CInetFile) && g_spare_job) {
    void* p = g_spare_job;
    g_spare_job = nullptr;
    return p;
  }
  char* p = static_cast<char*>(std::malloc(size + kHeader));
  if (!p) return nullptr;
  *reinterpret_cast<size_t*>(p) = size;
  return p + kHeader;
}
void Release(void* p) {
  if (!p) return;
  char* base = static_cast<char*>(p) - kHeader;
  if (*reinterpret_cast<size_t*>(base) == sizeof(CInetFile) && !g_spare_job) {
    g_spare_job = p;
    return;
  }
  std::free(base);
}
void* AcquireOrThrow(size_t size) {
  void* p = Acquire(size);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(size_t size) { return AcquireOrThrow(size); }
void* operator new[](size_t size) { return AcquireOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Acquire(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Acquire(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }

namespace {

// Switches server from inside the first progress report, as a watchdog tick
// or a click handled between the two messages of one delivery would.
class SwitchOnFirstProgress : public CAutoUpdateClientDlg {
 public:
  using CAutoUpdateClientDlg::CAutoUpdateClientDlg;
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override {
    CAutoUpdateClientDlg::OnMessage(msg, wparam, lparam);
    if (msg == WM_JOB_PROGRESS && !switched_) {
      switched_ = true;
      RestartUpdate(false);
    }
  }

 private:
  bool switched_ = false;
};

// Keeps the controller's debug lines.
class RecordingApp : public FastClockApp {
 public:
  using FastClockApp::FastClockApp;
  void DebugLog(const std::wstring& text) override { lines.push_back(platform::ToUtf8(text)); }
  std::vector<std::string> lines;
};

class ControllerTest : public testing::Test {
 protected:
  ControllerTest() : app_(platform::FromUtf8(f_.Install("updater"))) {}
  UpdateFixture f_;
  CAutoUpdateClientApp app_;
  ScriptedUi ui_;
};

}  // namespace

TEST_F(ControllerTest, AResultQueuedForADeletedJobIsNotTakenAsTheNextServersAnswer) {
  f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f_.PublishVersionList(1, 1, {});
  TestUpdateServer second(f_.ServerRoot());
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\nTemp2=127.0.0.1:" + std::to_string(second.port()) + "\r\n");
  {
    SwitchOnFirstProgress dlg(&app_, &ui_);
    ASSERT_TRUE(dlg.OnInitDialog());
    ui_.RunModal();
    ui_.DestroyMainWindow();
  }
  // The first list's result must not end server 2's turn before it began.
  EXPECT_EQ(second.CountRequests("VerAndUrl.xml"), 1);
  EXPECT_TRUE(f_.LobbyStarted());
}

TEST_F(ControllerTest, PhasesFollowTheRunAndTheEndIsFinal) {
  f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f_.Publish(2, {{"a.txt", {"two", Stamp(2, 1)}}, {"b.txt", {"bee", Stamp(2, 2)}}});
  f_.PublishVersionList(1, 2, {});
  f_.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  RecordingApp app(platform::FromUtf8(f_.Install("updater")), 10);
  {
    CAutoUpdateClientDlg dlg(&app, &ui_);
    ASSERT_TRUE(dlg.OnInitDialog());
    ui_.RunModal();
    EXPECT_EQ(dlg.phase(), CAutoUpdateClientDlg::Phase::kClosed);
    EXPECT_FALSE(dlg.HasTimer(CAutoUpdateClientDlg::kDispatchTimer));
    EXPECT_FALSE(dlg.HasTimer(CAutoUpdateClientDlg::kWatchdogTimer));
    // Once closed, nothing brings the run back.
    dlg.RestartUpdate(false);
    dlg.RestartUpdate(true);
    EXPECT_EQ(dlg.phase(), CAutoUpdateClientDlg::Phase::kClosed);
    EXPECT_EQ(dlg.server_number(), 1);
    ui_.DestroyMainWindow();
  }
  // Version 1 is installed already: its manifest queues nothing and the
  // run goes on to version 2's manifest in the same phase.
  const std::vector<std::string> expected = {"phase: starting -> version list", "phase: version list -> manifest",
                                             "phase: manifest -> files", "phase: files -> closed"};
  EXPECT_EQ(app.lines, expected);
  EXPECT_TRUE(app.LobbyStarted);
  EXPECT_EQ(ReadFileBytes(f_.Install("b.txt")), "bee");
}

TEST_F(ControllerTest, TheVersionListIsAskedForAtOnceAndAfterASwitchOnlyAfterAWait) {
  f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f_.PublishVersionList(1, 1, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\nTemp2=" +
              f_.ServerWord() + "\r\n");
  {
    CAutoUpdateClientDlg dlg(&app_, &ui_);
    ASSERT_TRUE(dlg.OnInitDialog());
    // No timer stands between the window opening and the first request.
    EXPECT_FALSE(dlg.HasTimer(CAutoUpdateClientDlg::kDispatchTimer));
    EXPECT_TRUE(platform::RunUntil([&] { return f_.server().CountRequests("VerAndUrl.xml") == 1; }, 5000));
    // A switch waits before it asks the next server.
    dlg.RestartUpdate(false);
    EXPECT_EQ(dlg.server_number(), 2);
    EXPECT_TRUE(dlg.HasTimer(CAutoUpdateClientDlg::kDispatchTimer));
    ui_.RunModal();
    ui_.DestroyMainWindow();
  }
  EXPECT_EQ(f_.server().CountRequests("VerAndUrl.xml"), 2);
  EXPECT_TRUE(f_.LobbyStarted());
}

TEST_F(ControllerTest, AnInstallationAheadOfTheServerStartsTheLobbyAndFetchesNothing) {
  f_.Publish(3, {{"a.txt", {"three", Stamp(3, 1)}}});
  f_.PublishVersionList(1, 2, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=3\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_EQ(f_.server().CountRequests("a.txt"), 0);
  EXPECT_FALSE(PathExists(f_.Install("a.txt")));
}

TEST_F(ControllerTest, AStartWithoutTheTwoWordsSaysHowToStart) {
  CAutoUpdateClientApp app(platform::FromUtf8(f_.Install("updater")));
  app.InitInstance(L"", &ui_);
  ASSERT_EQ(ui_.notices.size(), 1u);
  EXPECT_EQ(ui_.notices[0], L"用法：updater <服务器> auto|repair");
  ScriptedUi second;
  CAutoUpdateClientApp started(platform::FromUtf8(f_.Install("updater")));
  started.InitInstance(L"127.0.0.1 auto", &second);
  EXPECT_TRUE(second.notices.empty());
}

TEST_F(ControllerTest, EveryAbandonedServerAndAShortHandOverAreLoggedAndNothingIsLeftBehind) {
  std::string tmp = f_.Install("tmp");
  mkdir(tmp.c_str(), 0755);
  const char* old_tmp = getenv("TMPDIR");
  std::string saved_tmp = old_tmp ? old_tmp : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f_.Publish(2, {{"big.bin", {std::string(2000000, 'b'), Stamp(2, 1)}}});
  f_.PublishVersionList(1, 2, {});
  f_.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
  f_.server().SetRules("{\"/update/VerAndUrl.xml\": \"status:500\"}");
  TestUpdateServer second(f_.ServerRoot());
  second.SetRules("{\"/update/2/big.bin\": \"stall\"}");
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\nTemp2=127.0.0.1:" + std::to_string(second.port()) + "\r\n");
  f_.clock_speed = 30;
  f_.Run(&ui_);
  if (old_tmp) setenv("TMPDIR", saved_tmp.c_str(), 1);
  else unsetenv("TMPDIR");
  EXPECT_TRUE(f_.LobbyStarted());
  const std::string log = f_.Log();
  EXPECT_NE(log.find(" 放弃 1 号游戏服务器：版本列表无法读取\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" 放弃 2 号游戏服务器：30秒内没有收到数据\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" 未能更新到最新版本 2（当前版本 1），直接启动游戏大厅\r\n"), std::string::npos) << log;
  EXPECT_EQ(ui_.notices.size(), 3u);
  EXPECT_EQ(f_.IniValue("Version", "CurrentVersion"), "1");
  EXPECT_EQ(ListDirectory(tmp), std::vector<std::string>{});
  // The stalled file's bytes are kept, with their record, for the next run.
  EXPECT_TRUE(PathExists(f_.Install("big.bin.update.2")));
  DownloadProgress kept;
  ASSERT_TRUE(LoadProgress(platform::RealDisk(), platform::FromUtf8(f_.Install("big.bin.update.2")), 2000000, &kept));
  EXPECT_GT(kept.DoneBytes(), 0u);
}

TEST_F(ControllerTest, AServerThatDripsBytesIsGivenUpLikeAStalledOne) {
  f_.Publish(1, {{"a.txt", {"one", Stamp(1, 1)}}});
  f_.Publish(2, {{"a.txt", {std::string(200000, 'd'), Stamp(2, 1)}}});
  f_.PublishVersionList(1, 2, {});
  f_.InstallFiles({{"a.txt", {"one", Stamp(1, 1)}}});
  // A byte every 100 ms: never quiet for a whole watchdog period, and
  // never anywhere near done.
  f_.server().SetRules("{\"/update/2/a.txt\": \"drip\"}");
  TestUpdateServer second(f_.ServerRoot());
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\nTemp2=127.0.0.1:" + std::to_string(second.port()) + "\r\n");
  f_.clock_speed = 30;
  ui_.modal_timeout_ms = 15000;
  f_.Run(&ui_);
  EXPECT_FALSE(ui_.timed_out);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_TRUE(ReadFileBytes(f_.Install("a.txt")) == std::string(200000, 'd'));
  EXPECT_NE(f_.Log().find(" 放弃 1 号游戏服务器：30秒内没有收到数据\r\n"), std::string::npos) << f_.Log();
}
