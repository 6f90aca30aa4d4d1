// The window logic without a display: painting, progress, buttons, the
// watchdog and server switches.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "manifest/update_files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/update_fixture.h"
#include "update/auto_update_dlg.h"

namespace {

struct Call {
  int bitmap;  // 0 for text
  int x, y, w, h, src_x;
  std::wstring text;
};

struct RecordingPainter : platform::Painter {
  std::vector<Call> calls;
  void Blit(int bitmap, int x, int y, int w, int h, int src_x, int) override {
    calls.push_back({bitmap, x, y, w, h, src_x, L""});
  }
  void Text(int x, int y, const std::wstring& text) override { calls.push_back({0, x, y, 0, 0, 0, text}); }
  const Call* Find(int bitmap) const {
    for (const Call& c : calls) {
      if (c.bitmap == bitmap) return &c;
    }
    return nullptr;
  }
};

class WindowTest : public testing::Test {
 protected:
  WindowTest() : app_(platform::FromUtf8(f_.Install("updater"))) {}
  UpdateFixture f_;
  CAutoUpdateClientApp app_;
  ScriptedUi ui_;
};

}  // namespace

TEST_F(WindowTest, PaintsTheSkinAtItsPlaces) {
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  RecordingPainter p;
  dlg.OnPaint(&p);
  ASSERT_NE(p.Find(133), nullptr);
  EXPECT_EQ(p.Find(133)->w, 437);
  EXPECT_EQ(p.Find(140)->x, 400);
  EXPECT_EQ(p.Find(142)->x, 108);
  EXPECT_EQ(p.Find(143)->y, 155);
  EXPECT_EQ(p.Find(141), nullptr);  // an empty bar draws nothing
  ASSERT_EQ(p.calls.back().text, L"0% (0/0)");
  EXPECT_EQ(p.calls.back().x, 32);
}

TEST_F(WindowTest, ButtonsHoverPressAndStayPressedAfterNoUntilTheMouseMoves) {
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  dlg.OnMouseMove(150, 160);
  EXPECT_EQ(dlg.skip_state(), 1u);
  EXPECT_EQ(dlg.switch_state(), 0u);
  dlg.OnMouseMove(250, 160);
  EXPECT_EQ(dlg.skip_state(), 0u);
  EXPECT_EQ(dlg.switch_state(), 1u);
  ui_.answers = {platform::kIdNo};
  dlg.OnLButtonDown(250, 160);
  EXPECT_EQ(ui_.boxes.back(), L"确定要切换服务器，重新下载吗？");
  EXPECT_EQ(dlg.switch_state(), 2u);
  EXPECT_EQ(dlg.server_number(), 1);  // declined: nothing changed
  RecordingPainter p;
  dlg.OnPaint(&p);
  EXPECT_EQ(p.Find(143)->src_x, 202);  // the pressed cell
  dlg.OnMouseMove(251, 160);
  EXPECT_EQ(dlg.switch_state(), 1u);
  dlg.OnLButtonUp(20, 100);
  EXPECT_EQ(dlg.switch_state(), 0u);
  // Dragging: only while the button is down, inside the strip.
  dlg.OnMouseMove(50, 10);
  EXPECT_EQ(ui_.drags, 0);
  dlg.OnLButtonDown(50, 10);
  dlg.OnMouseMove(60, 12);
  EXPECT_EQ(ui_.drags, 1);
}

TEST_F(WindowTest, TheReleaseTakenByADragABoxOrAnotherWindowEndsTheDrag) {
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  // The platform's window drag swallows the release.
  dlg.OnLButtonDown(50, 10);
  dlg.OnMouseMove(60, 12);
  ASSERT_EQ(ui_.drags, 1);
  dlg.OnMouseMove(200, 12);
  EXPECT_EQ(ui_.drags, 1);
  // So does a declined confirmation.
  ui_.answers = {platform::kIdNo};
  dlg.OnLButtonDown(150, 160);
  dlg.OnMouseMove(100, 10);
  EXPECT_EQ(ui_.drags, 1);
  // And another window that took the focus while the button was down.
  dlg.OnLButtonDown(20, 60);
  dlg.OnFocusLost();
  dlg.OnMouseMove(100, 10);
  EXPECT_EQ(ui_.drags, 1);
}

TEST_F(WindowTest, SkipConfirmedStartsTheLobby) {
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  ui_.answers = {platform::kIdYes};
  dlg.OnLButtonDown(110, 156);
  EXPECT_EQ(ui_.boxes.back(), L"确定不准备更新最新的版本，直接进入游戏大厅吗？");
  EXPECT_TRUE(ui_.ended);
  EXPECT_TRUE(f_.LobbyStarted());
}

TEST_F(WindowTest, SwitchServerConfirmedAsksTheNextServer) {
  // The first server never answers: the run is still with it when the box
  // is confirmed.
  TestUpdateServer silent(f_.ServerRoot());
  silent.SetRules("{\"/update/VerAndUrl.xml\": \"stall-header\"}");
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(silent.port()) +
              "\r\nTemp2=" + f_.ServerWord() + "\r\n");
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  ASSERT_TRUE(dlg.OnInitDialog());
  ui_.answers = {platform::kIdYes};
  dlg.OnLButtonDown(231, 156);
  EXPECT_EQ(dlg.server_number(), 2);
  EXPECT_EQ(dlg.status_text(), L"正在连接 2 号游戏服务器 ");
  platform::RunUntil([&] { return f_.server().CountRequests("VerAndUrl.xml") > 0; }, 5000);
  EXPECT_EQ(f_.server().CountRequests("VerAndUrl.xml"), 1);
}

TEST_F(WindowTest, ASwitchConfirmedAfterTheRunMovedOnByItselfSkipsNoServer) {
  // The first server refuses while the box is open: the run has gone on to
  // the second by itself, which is what the user asked for.
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=127.0.0.1:" + std::to_string(FreePort()) +
              "\r\nTemp2=" + f_.ServerWord() + "\r\nTemp3=127.0.0.1:" + std::to_string(FreePort()) + "\r\n");
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  ASSERT_TRUE(dlg.OnInitDialog());
  ui_.answers = {platform::kIdYes};
  ui_.answer_when = [&] { return dlg.server_number() == 2; };
  dlg.OnLButtonDown(231, 156);
  EXPECT_EQ(dlg.server_number(), 2);
  platform::RunUntil([&] { return f_.server().CountRequests("VerAndUrl.xml") > 0; }, 5000);
  EXPECT_EQ(f_.server().CountRequests("VerAndUrl.xml"), 1);
}

TEST_F(WindowTest, CloseButtonDeclinedKeepsTheRun) {
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  ui_.answers = {platform::kIdNo};
  dlg.OnLButtonDown(401, 6);
  EXPECT_EQ(ui_.boxes.back(), L"程序正在更新中,确定要退出升级吗？");
  EXPECT_EQ(dlg.close_state(), 2u);
}

TEST_F(WindowTest, ProgressForAJobThatIsNoLongerQueuedIsIgnored) {
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n");
  CAutoUpdateClientDlg dlg(&app_, &ui_);
  // A job in the queue, reporting as a transfer does.
  auto job = std::make_unique<CInetFile>(L"http://127.0.0.1:9/x", nullptr, L"5");
  job->ExpectedLength = 1000;
  job->Received = 370;
  // Progress for a job that is not queued is ignored: it may be gone.
  dlg.OnJobProgress(MakeJobWParam(370, kJobFile), static_cast<intptr_t>(job->Id));
  EXPECT_EQ(dlg.overall_percent(), 0);
}

TEST_F(WindowTest, StalledTransferSwitchesServerAfterFifteenTicks) {
  GameFiles v1 = {{"big.bin", {std::string(3000000, 'x'), Stamp(1, 1)}}};
  f_.Publish(1, v1);
  f_.PublishVersionList(1, 1, {});
  f_.server().SetRules("{\"/update/1/big.bin\": \"stall\"}");
  // Server 2 is the same tree without the stall.
  TestUpdateServer second(f_.ServerRoot());
  f_.WriteIni("[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=" + f_.ServerWord() +
              "\r\nTemp2=127.0.0.1:" + std::to_string(second.port()) + "\r\n");
  // Thirty times real speed: the fifteen watchdog ticks take one second.
  f_.clock_speed = 30;
  uint64_t started = platform::MonotonicMs();
  f_.Run(&ui_);
  EXPECT_TRUE(f_.LobbyStarted());
  EXPECT_GE(platform::MonotonicMs() - started, 28000u / 30);
  EXPECT_EQ(second.CountRequests("VerAndUrl.xml"), 1);
  EXPECT_EQ(ReadFileBytes(f_.Install("big.bin")), v1["big.bin"].content);
}

namespace {

// Paints after every event of the loop and keeps what each paint reported.
class PaintingUi : public ScriptedUi {
 public:
  bool CreateMainWindow(platform::WindowClient* client, int x, int y, int w, int h) override {
    client_ = client;
    return ScriptedUi::CreateMainWindow(client, x, y, w, h);
  }
  void RunModal() override {
    platform::RunUntil(
        [&] {
          RecordingPainter painter;
          if (client_) client_->OnPaint(&painter);
          reports.push_back(last_report);
          return ended;
        },
        modal_timeout_ms);
  }
  void DestroyMainWindow() override {
    client_ = nullptr;
    ScriptedUi::DestroyMainWindow();
  }
  std::vector<platform::ProgressReport> reports;

 private:
  platform::WindowClient* client_ = nullptr;
};

}  // namespace

TEST_F(WindowTest, ProgressTotalsAreTheWorkingVersionsOnly) {
  f_.Publish(5, {{"a.bin", {"five a", Stamp(5, 1)}}, {"b.bin", {"five b", Stamp(5, 2)}}});
  f_.Publish(6, {{"a.bin", {"six a", Stamp(6, 1)}},
                 {"b.bin", {"six b", Stamp(6, 2)}},
                 {"c.bin", {"six c", Stamp(6, 3)}}});
  f_.PublishVersionList(6, 6, {});
  f_.WriteIni("[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=" + f_.ServerWord() + "\r\n");
  PaintingUi ui;
  f_.Run(&ui);
  ASSERT_TRUE(f_.LobbyStarted());
  bool saw_five = false, saw_six = false;
  for (const platform::ProgressReport& r : ui.reports) {
    // Each version's count starts from nothing done.
    if (!saw_five && r.files_total == 2) {
      EXPECT_EQ(r.files_done, 0u);
    }
    if (!saw_six && r.files_total == 3) {
      EXPECT_EQ(r.files_done, 0u);
    }
    saw_five = saw_five || r.files_total == 2;
    saw_six = saw_six || r.files_total == 3;
    // While the next manifest is fetched the previous version's totals
    // are gone.
    if (r.status.rfind(L"正在连接", 0) == 0) {
      EXPECT_EQ(r.files_total, 0u);
      EXPECT_EQ(r.bytes_total, 0u);
    }
  }
  EXPECT_TRUE(saw_five);
  EXPECT_TRUE(saw_six);
}
