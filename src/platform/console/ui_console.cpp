#include "platform/console/ui_console.h"

#include <unistd.h>

#include "platform/text.h"

namespace platform {
namespace {

enum : unsigned { kPaint = 1, kFailureExit = 2 };

// Paints only draw text here; bitmaps have no place on a terminal.
class TextPainter : public Painter {
 public:
  void Blit(int, int, int, int, int, int, int) override {}
  void Text(int, int, const std::wstring&) override {}
};

std::wstring Mib(uint64_t bytes) {
  return Format(L"%llu.%llu MiB", static_cast<unsigned long long>(bytes >> 20),
                static_cast<unsigned long long>((bytes & 0xFFFFF) * 10 >> 20));
}

}  // namespace

ConsoleUi::ConsoleUi(FILE* out) : out_(out), tty_(isatty(fileno(out)) != 0) {}

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

void ConsoleUi::ReportProgress(const ProgressReport& r) {
  if (r.status != last_status_ && !r.status.empty()) {
    last_status_ = r.status;
    Print(r.status);
  }
  if (r.files_total == 0) return;
  std::wstring line = Format(L"%3d%%  文件 %u/%u  %s / %s", r.overall_percent, r.files_done,
                             r.files_total, Mib(r.bytes_done).c_str(), Mib(r.bytes_total).c_str());
  if (line == last_progress_) return;
  // A pipe gets a line when a file is done or another tenth has come in;
  // a terminal gets a live line.
  bool worth_a_line = r.files_done != last_files_done_ || r.overall_percent / 10 != last_decile_;
  last_files_done_ = r.files_done;
  last_decile_ = r.overall_percent / 10;
  last_progress_ = line;
  if (tty_) {
    fprintf(out_, "\r%s\x1b[K", ToAnsi(line).c_str());
    progress_line_open_ = true;
    fflush(out_);
  } else if (worth_a_line) {
    Print(line);
  }
}

void ConsoleUi::Notice(const std::wstring& text) {
  EndProgressLine();
  fprintf(stderr, "%s\n", ToAnsi(text).c_str());
}

void ConsoleUi::EndProgressLine() {
  if (!progress_line_open_) return;
  fputc('\n', out_);
  progress_line_open_ = false;
}

void ConsoleUi::Print(const std::wstring& line) {
  EndProgressLine();
  fprintf(out_, "%s\n", ToAnsi(line).c_str());
  fflush(out_);
}

std::unique_ptr<Ui> CreateConsoleUi() { return std::unique_ptr<Ui>(new ConsoleUi(stdout)); }

}  // namespace platform
