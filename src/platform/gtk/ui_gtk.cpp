#include "platform/gtk/ui_gtk.h"

#include <pango/pangocairo.h>

#include "platform/resources.h"
#include "platform/text.h"

// The status icon is the one tray API GTK 3 has; it is deprecated, not gone.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace platform {
namespace {

// The failure dialog's buttons answer with the ids of its template.
enum { kSkipId = 1, kExitId = 2, kRetryId = 1143 };

// Paints into the window's (double-buffered) cairo context.
class CairoPainter : public Painter {
 public:
  CairoPainter(GtkUi* ui, cairo_t* cr, GdkPixbuf* (*lookup)(GtkUi*, int)) : ui_(ui), cr_(cr), lookup_(lookup) {}
  void Blit(int bitmap, int x, int y, int w, int h, int src_x, int src_y) override {
    GdkPixbuf* pixbuf = lookup_(ui_, bitmap);
    if (!pixbuf || w <= 0 || h <= 0) return;
    cairo_save(cr_);
    cairo_rectangle(cr_, x, y, w, h);
    cairo_clip(cr_);
    gdk_cairo_set_source_pixbuf(cr_, pixbuf, x - src_x, y - src_y);
    cairo_paint(cr_);
    cairo_restore(cr_);
  }
  void Text(int x, int y, const std::wstring& text) override {
    PangoLayout* layout = pango_cairo_create_layout(cr_);
    // Arial at 14 pixels; fontconfig supplies a CJK face for what Arial lacks.
    PangoFontDescription* font = pango_font_description_from_string("Arial");
    pango_font_description_set_absolute_size(font, 12 * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    std::string utf8 = ToUtf8(text);
    pango_layout_set_text(layout, utf8.c_str(), -1);
    cairo_set_source_rgb(cr_, 0, 0, 0);  // the default text colour
    cairo_move_to(cr_, x, y);
    pango_cairo_show_layout(cr_, layout);
    pango_font_description_free(font);
    g_object_unref(layout);
  }

 private:
  GtkUi* ui_;
  cairo_t* cr_;
  GdkPixbuf* (*lookup_)(GtkUi*, int);
};

GdkPixbuf* LoadPixbuf(int id) {
  const unsigned char* data;
  size_t size;
  if (!FindResourceData(id, &data, &size)) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  GdkPixbuf* pixbuf = nullptr;
  if (gdk_pixbuf_loader_write(loader, data, size, nullptr) && gdk_pixbuf_loader_close(loader, nullptr)) {
    pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf) g_object_ref(pixbuf);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
  return pixbuf;
}

gboolean DrawThunk(GtkWidget*, cairo_t* cr, gpointer ui) { return static_cast<GtkUi*>(ui)->OnDraw(cr); }
gboolean ButtonThunk(GtkWidget*, GdkEventButton* e, gpointer ui) { return static_cast<GtkUi*>(ui)->OnButton(e); }
gboolean MotionThunk(GtkWidget*, GdkEventMotion* e, gpointer ui) { return static_cast<GtkUi*>(ui)->OnMotion(e); }

// Minimising is swallowed: the window comes straight back.
gboolean WindowStateThunk(GtkWidget* w, GdkEventWindowState* e, gpointer) {
  if (e->new_window_state & GDK_WINDOW_STATE_ICONIFIED) gtk_window_deiconify(GTK_WINDOW(w));
  return FALSE;
}

gboolean FocusOutThunk(GtkWidget*, GdkEventFocus*, gpointer ui) {
  static_cast<GtkUi*>(ui)->OnFocusOut();
  return FALSE;
}

void FailureResponseThunk(GtkDialog*, gint response, gpointer ui) {
  static_cast<GtkUi*>(ui)->OnFailureResponse(response);
}

// The close box of the failure dialog acts as Exit and keeps the dialog.
gboolean FailureDeleteThunk(GtkWidget*, GdkEvent*, gpointer ui) {
  static_cast<GtkUi*>(ui)->OnFailureResponse(kExitId);
  return TRUE;
}

}  // namespace

GtkUi::GtkUi() = default;

GtkUi::~GtkUi() {
  RemoveTrayIcon();
  DestroyMainWindow();
  for (auto& p : pixbufs_) {
    if (p.second) g_object_unref(p.second);
  }
}

GdkPixbuf* GtkUi::Pixbuf(int id) {
  auto it = pixbufs_.find(id);
  if (it != pixbufs_.end()) return it->second;
  return pixbufs_[id] = LoadPixbuf(id);
}

bool GtkUi::CreateMainWindow(WindowClient* client, int x, int y, int width, int height) {
  client_ = client;
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
  gtk_window_move(GTK_WINDOW(window_), x, y);
  if (GdkPixbuf* icon = Pixbuf(128)) gtk_window_set_icon(GTK_WINDOW(window_), icon);
  area_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(area_, width, height);
  gtk_widget_add_events(area_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK);
  gtk_container_add(GTK_CONTAINER(window_), area_);
  g_signal_connect(area_, "draw", G_CALLBACK(DrawThunk), this);
  g_signal_connect(area_, "button-press-event", G_CALLBACK(ButtonThunk), this);
  g_signal_connect(area_, "button-release-event", G_CALLBACK(ButtonThunk), this);
  g_signal_connect(area_, "motion-notify-event", G_CALLBACK(MotionThunk), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(WindowStateThunk), nullptr);
  g_signal_connect(window_, "focus-out-event", G_CALLBACK(FocusOutThunk), this);
  // Closing through the window manager is not offered; the close button is.
  g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
  gtk_widget_show_all(window_);
  return true;
}

void GtkUi::SetTitle(const std::wstring& title) {
  if (window_) gtk_window_set_title(GTK_WINDOW(window_), ToUtf8(title).c_str());
}

void GtkUi::Invalidate() {
  if (area_) gtk_widget_queue_draw(area_);
}

void GtkUi::BeginDrag() {
  if (window_) {
    gtk_window_begin_move_drag(GTK_WINDOW(window_), 1, static_cast<gint>(root_x_),
                               static_cast<gint>(root_y_), event_time_);
  }
}

void GtkUi::RunModal() {
  if (ended_) return;
  loop_.reset(new NestedLoop);
  loop_->Run();
  loop_.reset();
}

void GtkUi::EndModal() {
  ended_ = true;
  if (window_) gtk_widget_hide(window_);
  if (failure_) gtk_widget_hide(failure_);
  if (loop_) loop_->Quit();
}

void GtkUi::DestroyMainWindow() {
  client_ = nullptr;
  if (failure_) {
    gtk_widget_destroy(failure_);
    failure_ = failure_label_ = nullptr;
  }
  if (window_) {
    gtk_widget_destroy(window_);
    window_ = area_ = nullptr;
  }
}

gboolean GtkUi::OnDraw(cairo_t* cr) {
  if (!client_) return FALSE;
  CairoPainter painter(this, cr, [](GtkUi* ui, int id) { return ui->Pixbuf(id); });
  client_->OnPaint(&painter);
  return TRUE;
}

gboolean GtkUi::OnButton(GdkEventButton* event) {
  root_x_ = event->x_root;
  root_y_ = event->y_root;
  event_time_ = event->time;
  if (!client_ || event->button != 1) return FALSE;
  int x = static_cast<int>(event->x), y = static_cast<int>(event->y);
  if (event->type == GDK_BUTTON_PRESS) client_->OnLButtonDown(x, y);
  else if (event->type == GDK_BUTTON_RELEASE) client_->OnLButtonUp(x, y);
  return TRUE;
}

void GtkUi::OnFocusOut() {
  if (client_) client_->OnFocusLost();
}

gboolean GtkUi::OnMotion(GdkEventMotion* event) {
  root_x_ = event->x_root;
  root_y_ = event->y_root;
  event_time_ = event->time;
  if (client_) client_->OnMouseMove(static_cast<int>(event->x), static_cast<int>(event->y));
  return TRUE;
}

int GtkUi::MessageBox(const std::wstring& text, const std::wstring& caption, bool yes_no) {
  GtkWidget* box = gtk_message_dialog_new(window_ ? GTK_WINDOW(window_) : nullptr,
                                          static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                          yes_no ? GTK_MESSAGE_QUESTION : GTK_MESSAGE_INFO, GTK_BUTTONS_NONE,
                                          "%s", ToUtf8(text).c_str());
  gtk_window_set_title(GTK_WINDOW(box), ToUtf8(caption).c_str());
  // Centred on the screen, so that it never hides the buttons it asks about.
  gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
  if (yes_no) {
    gtk_dialog_add_buttons(GTK_DIALOG(box), "是(_Y)", GTK_RESPONSE_YES, "否(_N)", GTK_RESPONSE_NO, nullptr);
  } else {
    gtk_dialog_add_button(GTK_DIALOG(box), "确定", GTK_RESPONSE_OK);
  }
  gtk_dialog_set_default_response(GTK_DIALOG(box), yes_no ? GTK_RESPONSE_YES : GTK_RESPONSE_OK);
  // gtk_dialog_run spins a nested loop on the default context: timers and
  // posted messages go on.
  int response = gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  if (!yes_no) return kIdOk;
  return response == GTK_RESPONSE_YES ? kIdYes : kIdNo;
}

void GtkUi::CreateFailureDialog(FailureDialogClient* client) {
  failure_client_ = client;
  failure_ = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(failure_), "提示");
  if (window_) gtk_window_set_transient_for(GTK_WINDOW(failure_), GTK_WINDOW(window_));
  gtk_window_set_position(GTK_WINDOW(failure_), GTK_WIN_POS_CENTER);
  gtk_window_set_resizable(GTK_WINDOW(failure_), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(failure_), 344, 154);
  failure_label_ = gtk_label_new("抱歉，升级失败！");
  gtk_label_set_line_wrap(GTK_LABEL(failure_label_), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(failure_label_), 40);
  gtk_label_set_xalign(GTK_LABEL(failure_label_), 0);
  gtk_widget_set_margin_start(failure_label_, 20);
  gtk_widget_set_margin_end(failure_label_, 20);
  gtk_widget_set_margin_top(failure_label_, 20);
  gtk_widget_set_margin_bottom(failure_label_, 16);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(failure_))), failure_label_, TRUE, TRUE, 0);
  gtk_dialog_add_buttons(GTK_DIALOG(failure_), "跳过", kSkipId, "重试", kRetryId, "退出", kExitId, nullptr);
  g_signal_connect(failure_, "response", G_CALLBACK(FailureResponseThunk), this);
  g_signal_connect(failure_, "delete-event", G_CALLBACK(FailureDeleteThunk), this);
  gtk_widget_show_all(gtk_dialog_get_content_area(GTK_DIALOG(failure_)));
  // A fixed dialog: the window manager offers to move and close it, nothing
  // else (no minimise or maximise box).
  gtk_widget_realize(failure_);
  GdkWindow* frame = gtk_widget_get_window(failure_);
  gdk_window_set_functions(frame, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
  gdk_window_set_decorations(frame, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU));
}

void GtkUi::SetFailureText(const std::wstring& text) {
  if (failure_label_) gtk_label_set_text(GTK_LABEL(failure_label_), ToUtf8(text).c_str());
}

void GtkUi::ShowFailureDialog(bool show) {
  if (!failure_) return;
  if (show) gtk_window_present(GTK_WINDOW(failure_));
  else gtk_widget_hide(failure_);
}

void GtkUi::OnFailureResponse(int response) {
  if (!failure_client_) return;
  // Escape arrives as a deleted dialog: it acts as Exit.
  if (response == kSkipId) failure_client_->OnFailureSkip();
  else if (response == kRetryId) failure_client_->OnFailureRetry();
  else failure_client_->OnFailureExit();
}

bool GtkUi::AddTrayIcon(int icon_id, const std::wstring& tip) {
  GdkPixbuf* icon = Pixbuf(icon_id);
  if (!icon) return false;
  GtkStatusIcon* status = gtk_status_icon_new_from_pixbuf(icon);
  gtk_status_icon_set_tooltip_text(status, ToUtf8(tip).c_str());
  gtk_status_icon_set_title(status, ToUtf8(tip).c_str());
  tray_ = G_OBJECT(status);
  return true;
}

void GtkUi::SetTrayIcon(int icon_id) {
  GdkPixbuf* icon = Pixbuf(icon_id);
  if (tray_ && icon) gtk_status_icon_set_from_pixbuf(GTK_STATUS_ICON(tray_), icon);
}

void GtkUi::SetTrayTip(const std::wstring& tip) {
  if (tray_) gtk_status_icon_set_tooltip_text(GTK_STATUS_ICON(tray_), ToUtf8(tip).c_str());
}

void GtkUi::RemoveTrayIcon() {
  if (!tray_) return;
  g_object_unref(tray_);
  tray_ = nullptr;
}

std::unique_ptr<Ui> CreateGtkUi() { return std::unique_ptr<Ui>(new GtkUi); }

}  // namespace platform
