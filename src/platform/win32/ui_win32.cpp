// The window on Windows: a popup painted with GDI from the bitmaps of the
// resources, message boxes, the failure dialog of template 1142 and the
// notification-area icon.
#include <map>
#include <memory>

#include "platform/event_loop.h"
#include "platform/ui.h"
#include "platform/win32/windows_min.h"

namespace platform {
namespace {

constexpr int kFailureText = -1;
constexpr int kRetryId = 1143;
constexpr UINT kTrayMessage = WM_USER + 102;

class Win32Ui;

class GdiPainter : public Painter {
 public:
  GdiPainter(Win32Ui* ui, HDC dc) : ui_(ui), dc_(dc) {}
  void Blit(int bitmap, int x, int y, int w, int h, int src_x, int src_y) override;
  void Text(int x, int y, const std::wstring& text) override;

 private:
  Win32Ui* ui_;
  HDC dc_;
};

class Win32Ui : public Ui {
 public:
  ~Win32Ui() override {
    RemoveTrayIcon();
    DestroyMainWindow();
    for (auto& b : bitmaps_) DeleteObject(b.second);
    for (auto& i : icons_) DestroyIcon(i.second);
    if (font_) DeleteObject(font_);
  }

  bool CreateMainWindow(WindowClient* client, int x, int y, int width, int height) override {
    client_ = client;
    static bool registered = false;
    if (!registered) {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = MainProc;
      wc.hInstance = win32::Instance();
      wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      wc.lpszClassName = L"UpdaterMainWindow";
      RegisterClassW(&wc);
      registered = true;
    }
    window_ = CreateWindowExW(WS_EX_APPWINDOW, L"UpdaterMainWindow", L"", WS_POPUP | WS_SYSMENU, x, y, width,
                              height, nullptr, nullptr, win32::Instance(), this);
    width_ = width;
    height_ = height;
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(Icon(128)));
    font_ = CreateFontW(14, 0, 0, 0, 400, FALSE, FALSE, FALSE, 0, 0, 0, 0, FF_SWISS, L"Arial");
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    return window_ != nullptr;
  }

  void SetTitle(const std::wstring& title) override { SetWindowTextW(window_, title.c_str()); }
  void Invalidate() override {
    if (window_) InvalidateRect(window_, nullptr, FALSE);
  }
  void BeginDrag() override {
    // The platform moves the window while the button stays down.
    PostMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, last_mouse_);
  }
  void RunModal() override {
    if (ended_) return;
    loop_.reset(new NestedLoop);
    loop_->Run();
    loop_.reset();
  }
  void EndModal() override {
    ended_ = true;
    if (window_) ShowWindow(window_, SW_HIDE);
    if (dialog_) ShowWindow(dialog_, SW_HIDE);
    if (loop_) loop_->Quit();
  }
  void DestroyMainWindow() override {
    client_ = nullptr;
    if (dialog_) {
      win32::g_modeless_dialog = nullptr;
      DestroyWindow(dialog_);
      dialog_ = nullptr;
    }
    if (window_) {
      DestroyWindow(window_);
      window_ = nullptr;
    }
  }

  uintptr_t NativeWindow(bool failure_dialog) override {
    return reinterpret_cast<uintptr_t>(failure_dialog ? dialog_ : window_);
  }

  int MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) override {
    int answer = MessageBoxW(window_, text.c_str(), caption.c_str(),
                             yes_no ? MB_YESNO | MB_ICONQUESTION : MB_OK | MB_ICONINFORMATION);
    if (!yes_no) return kIdOk;
    return answer == IDYES ? kIdYes : kIdNo;
  }

  void CreateFailureDialog(FailureDialogClient* client) override {
    failure_client_ = client;
    dialog_ = CreateDialogParamW(win32::Instance(), MAKEINTRESOURCEW(1142), window_, DialogProc,
                                 reinterpret_cast<LPARAM>(this));
    win32::g_modeless_dialog = dialog_;
    // Centred in the work area: the main window is not shown yet.
    RECT work, box;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(dialog_, &box);
    SetWindowPos(dialog_, nullptr, (work.left + work.right - (box.right - box.left)) / 2,
                 (work.top + work.bottom - (box.bottom - box.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  void SetFailureText(const std::wstring& text) override {
    if (dialog_) SetWindowTextW(GetDlgItem(dialog_, kFailureText), text.c_str());
  }
  void ShowFailureDialog(bool show) override {
    if (dialog_) ShowWindow(dialog_, show ? SW_SHOWNORMAL : SW_HIDE);
  }

  bool AddTrayIcon(int icon_id, const std::wstring& tip) override {
    tray_ = NOTIFYICONDATAW{};
    tray_.cbSize = NOTIFYICONDATAW_V2_SIZE;
    tray_.hWnd = window_;
    tray_.uID = 0;
    tray_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray_.uCallbackMessage = kTrayMessage;
    tray_.hIcon = Icon(icon_id);
    lstrcpynW(tray_.szTip, tip.c_str(), 64);
    tray_added_ = Shell_NotifyIconW(NIM_ADD, &tray_) != FALSE;
    return tray_added_;
  }
  void SetTrayIcon(int icon_id) override {
    if (!tray_added_) return;
    tray_.uFlags = NIF_ICON;
    tray_.hIcon = Icon(icon_id);
    Shell_NotifyIconW(NIM_MODIFY, &tray_);
  }
  void SetTrayTip(const std::wstring& tip) override {
    if (!tray_added_) return;
    tray_.uFlags = NIF_TIP;
    lstrcpynW(tray_.szTip, tip.c_str(), 64);
    Shell_NotifyIconW(NIM_MODIFY, &tray_);
  }
  void RemoveTrayIcon() override {
    if (!tray_added_) return;
    Shell_NotifyIconW(NIM_DELETE, &tray_);
    tray_added_ = false;
  }
  void ReportProgress(const ProgressReport&) override {}

  HBITMAP Bitmap(int id) {
    auto it = bitmaps_.find(id);
    if (it != bitmaps_.end()) return it->second;
    return bitmaps_[id] = LoadBitmapW(win32::Instance(), MAKEINTRESOURCEW(id));
  }
  HFONT font() const { return font_; }

 private:
  // Each icon is loaded once: the tray animation swaps frames on every
  // progress notification, and a fresh icon each time would use up the
  // process's GDI objects within one long download.
  HICON Icon(int id) {
    auto it = icons_.find(id);
    if (it != icons_.end()) return it->second;
    return icons_[id] =
               static_cast<HICON>(LoadImageW(win32::Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
  }

  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    // Drawn off screen first, so the window never flickers.
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP canvas = CreateCompatibleBitmap(dc, width_, height_);
    HGDIOBJ old = SelectObject(memory, canvas);
    if (client_) {
      GdiPainter painter(this, memory);
      client_->OnPaint(&painter);
    }
    BitBlt(dc, 0, 0, width_, height_, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(canvas);
    DeleteDC(memory);
    EndPaint(window_, &ps);
  }

  void Mouse(UINT msg, LPARAM lparam) {
    last_mouse_ = lparam;
    POINT p;
    GetCursorPos(&p);
    ScreenToClient(window_, &p);
    if (!client_) return;
    if (msg == WM_LBUTTONDOWN) client_->OnLButtonDown(p.x, p.y);
    else if (msg == WM_MOUSEMOVE) client_->OnMouseMove(p.x, p.y);
    else client_->OnLButtonUp(p.x, p.y);
  }

  static LRESULT CALLBACK MainProc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* ui = reinterpret_cast<Win32Ui*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!ui) return DefWindowProcW(window, msg, wparam, lparam);
    switch (msg) {
      case WM_PAINT:
        ui->Paint();
        return 0;
      case WM_ERASEBKGND:
        return 1;  // the background bitmap covers everything
      case WM_LBUTTONDOWN:
      case WM_MOUSEMOVE:
      case WM_LBUTTONUP:
        ui->Mouse(msg, lparam);
        break;
      case WM_KILLFOCUS:
        if (ui->client_) ui->client_->OnFocusLost();
        break;
      case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_MINIMIZE) return 0;
        break;
      case WM_CLOSE:
        ui->EndModal();
        return 0;
      default:
        break;
    }
    return DefWindowProcW(window, msg, wparam, lparam);
  }

  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_INITDIALOG) {
      SetWindowLongPtrW(dialog, GWLP_USERDATA, lparam);
      return TRUE;
    }
    auto* ui = reinterpret_cast<Win32Ui*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
    if (!ui || !ui->failure_client_) return FALSE;
    if (msg == WM_CLOSE) {
      ShowWindow(dialog, SW_HIDE);
      ui->failure_client_->OnFailureExit();
      return TRUE;
    }
    if (msg != WM_COMMAND) return FALSE;
    switch (LOWORD(wparam)) {
      case IDOK:
        ShowWindow(dialog, SW_HIDE);
        ui->failure_client_->OnFailureSkip();
        return TRUE;
      case kRetryId:
        ShowWindow(dialog, SW_HIDE);
        ui->failure_client_->OnFailureRetry();
        return TRUE;
      case IDCANCEL:
        ShowWindow(dialog, SW_HIDE);
        ui->failure_client_->OnFailureExit();
        return TRUE;
      default:
        return FALSE;
    }
  }

  WindowClient* client_ = nullptr;
  FailureDialogClient* failure_client_ = nullptr;
  HWND window_ = nullptr;
  HWND dialog_ = nullptr;
  HFONT font_ = nullptr;
  int width_ = 0, height_ = 0;
  LPARAM last_mouse_ = 0;
  std::map<int, HBITMAP> bitmaps_;
  std::map<int, HICON> icons_;
  NOTIFYICONDATAW tray_ = {};
  bool tray_added_ = false;
  std::unique_ptr<NestedLoop> loop_;
  bool ended_ = false;
};

void GdiPainter::Blit(int bitmap, int x, int y, int w, int h, int src_x, int src_y) {
  HBITMAP b = ui_->Bitmap(bitmap);
  if (!b || w <= 0 || h <= 0) return;
  HDC source = CreateCompatibleDC(dc_);
  HGDIOBJ old = SelectObject(source, b);
  BitBlt(dc_, x, y, w, h, source, src_x, src_y, SRCCOPY);
  SelectObject(source, old);
  DeleteDC(source);
}

void GdiPainter::Text(int x, int y, const std::wstring& text) {
  HGDIOBJ old = SelectObject(dc_, ui_->font());
  SetBkMode(dc_, TRANSPARENT);
  TextOutW(dc_, x, y, text.c_str(), static_cast<int>(text.size()));
  SelectObject(dc_, old);
}

}  // namespace

std::unique_ptr<Ui> CreateUi() { return std::unique_ptr<Ui>(new Win32Ui); }

// Without a console the updater always shows its window on Windows.
std::unique_ptr<Ui> CreateConsoleUi() { return CreateUi(); }

}  // namespace platform
