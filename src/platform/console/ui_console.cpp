#include "platform/console/ui_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/text.h"

namespace platform {
namespace {

enum : unsigned { kPaint = 1, kFailureExit = 2 };
enum : unsigned { kRedrawTimer = 1 };

// Paints only draw text here; bitmaps have no place on a terminal.
class TextPainter : public Painter {
 public:
  void Blit(int, int, int, int, int, int, int) override {}
  void Text(int, int, const std::wstring&) override {}
};

int TerminalColumns(FILE* f) {
  winsize size {};
  if (ioctl(fileno(f), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

ConsoleUi::ConsoleUi(FILE* out, FILE* progress)
    : out_(out),
      progress_(progress),
      progress_tty_(isatty(fileno(progress)) != 0),
      out_tty_(isatty(fileno(out)) != 0) {}

ConsoleUi::~ConsoleUi() { EndProgressLine(); }

bool ConsoleUi::CreateMainWindow(WindowClient* client, int, int, int, int) {
  client_ = client;
  return true;
}

void ConsoleUi::SetTitle(const std::wstring& title) { Print(L"== " + title + L" =="); }

void ConsoleUi::Invalidate() {
  if (paint_pending_ || !client_) return;
  paint_pending_ = true;
  PostMessage(handle(), kPaint, 0, 0);
}

void ConsoleUi::RunModal() {
  if (ended_) return;
  loop_.reset(new NestedLoop);
  loop_->Run();
  loop_.reset();
}

void ConsoleUi::EndModal() {
  ended_ = true;
  if (loop_) loop_->Quit();
}

void ConsoleUi::DestroyMainWindow() {
  KillTimer(kRedrawTimer);
  // The run's last state, which no timer has shown yet.
  if (client_ && progress_line_open_) {
    TextPainter painter;
    client_->OnPaint(&painter);
  }
  EndProgressLine();
  client_ = nullptr;
}

int ConsoleUi::MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) {
  Print(L"[" + caption + L"] " + text);
  // Nobody can answer a question here: the cautious answer is No.
  return yes_no ? kIdNo : kIdOk;
}

void ConsoleUi::ShowFailureDialog(bool show) {
  if (!show) return;
  Print(L"[提示] " + failure_text_);
  PostMessage(handle(), kFailureExit, 0, 0);
}

void ConsoleUi::OnMessage(unsigned msg, uintptr_t, intptr_t) {
  if (msg == kPaint) {
    paint_pending_ = false;
    TextPainter painter;
    if (client_) client_->OnPaint(&painter);
  } else if (msg == kFailureExit && failure_client_) {
    failure_client_->OnFailureExit();
  }
}

void ConsoleUi::OnTimer(unsigned id) {
  // Paints come from the update's own timers too seldom for a live line.
  if (id != kRedrawTimer || !client_) return;
  TextPainter painter;
  client_->OnPaint(&painter);
}

void ConsoleUi::ReportProgress(const ProgressReport& r) {
  const uint64_t now = MonotonicMs();
  const std::wstring line = progress_line_.Format(r, now);
  if (line.empty()) {
    KillTimer(kRedrawTimer);
    EndProgressLine();
  } else if (!HasTimer(kRedrawTimer)) {
    SetTimer(kRedrawTimer, ProgressLine::kRedrawMs);
  }
  if (r.status != last_status_ && !r.status.empty()) {
    last_status_ = r.status;
    Print(r.status);
  }
  if (line.empty()) return;
  if (progress_tty_) {
    pending_progress_ = line;
    if (line != drawn_progress_ && progress_line_.Due(now)) {
      DrawProgressLine(line);
      progress_line_.MarkDrawn(now);
    }
    return;
  }
  // Elsewhere a line when a file is done or another tenth has come in.
  bool worth_a_line = r.files_done != last_files_done_ || r.overall_percent / 10 != last_decile_;
  last_files_done_ = r.files_done;
  last_decile_ = r.overall_percent / 10;
  if (worth_a_line) {
    fprintf(progress_, "%s\n", ToAnsi(line).c_str());
    fflush(progress_);
  }
}

void ConsoleUi::DrawProgressLine(const std::wstring& line) {
  // One column short of the width: a full row would wrap and scroll.
  std::wstring fitted = ProgressLine::Fit(line, TerminalColumns(progress_) - 1);
  fprintf(progress_, "\r%s\x1b[K", ToAnsi(fitted).c_str());
  fflush(progress_);
  drawn_progress_ = line;
  progress_line_open_ = true;
}

void ConsoleUi::ClearProgressLine() {
  fputs("\r\x1b[K", progress_);
  fflush(progress_);
}

void ConsoleUi::Notice(const std::wstring& text) {
  // Takes the progress line's row; the progress line follows below it.
  const bool open = progress_line_open_;
  if (open) ClearProgressLine();
  fprintf(progress_, "%s\n", ToAnsi(text).c_str());
  fflush(progress_);
  if (open) DrawProgressLine(drawn_progress_);
}

void ConsoleUi::EndProgressLine() {
  if (!progress_line_open_) return;
  if (pending_progress_ != drawn_progress_) DrawProgressLine(pending_progress_);
  fputc('\n', progress_);
  fflush(progress_);
  progress_line_open_ = false;
  drawn_progress_.clear();
  pending_progress_.clear();
}

void ConsoleUi::Print(const std::wstring& line) {
  // On a shared terminal the status line takes the progress line's row and
  // the progress line is drawn again below it.
  const bool shared = progress_line_open_ && out_tty_;
  if (shared) ClearProgressLine();
  fprintf(out_, "%s\n", ToAnsi(line).c_str());
  fflush(out_);
  if (shared) DrawProgressLine(drawn_progress_);
}

std::unique_ptr<Ui> CreateConsoleUi() { return std::unique_ptr<Ui>(new ConsoleUi(stdout, stderr)); }

}  // namespace platform
