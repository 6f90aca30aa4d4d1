#pragma once
// The failure dialog: tells the user that the update failed and offers
// Skip, Retry and Exit. Created hidden with the main window, shown by the
// update controller, hidden again by any of its buttons.
#include <string>

#include "platform/ui.h"

class CAutoUpdateClientDlg;

class CDialogMsg : public platform::FailureDialogClient {
 public:
  CDialogMsg(CAutoUpdateClientDlg* owner, platform::Ui* ui);
  virtual ~CDialogMsg() = default;

  void Create();
  void SetMessage(const std::wstring& text);
  void Show();
  bool shown() const { return shown_; }
  const std::wstring& message() const { return message_; }

  // The buttons; Escape and the close box act as Exit.
  void OnFailureSkip() override;
  void OnFailureRetry() override;
  void OnFailureExit() override;

 private:
  void Hide();

  CAutoUpdateClientDlg* owner_;
  platform::Ui* ui_;
  std::wstring message_;
  bool shown_ = false;
};
