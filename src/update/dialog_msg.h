#pragma once
// The failure dialog: tells the user that the update failed and offers
// Skip, Retry and Exit. Created hidden with the main window, shown when the
// update run asks for it, hidden again by any of its buttons, whose answer
// goes to the run.
#include <string>

#include "platform/ui.h"

class UpdateRun;

class CDialogMsg : public platform::FailureDialogClient {
 public:
  CDialogMsg(UpdateRun* run, platform::Ui* ui);
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

  UpdateRun* run_;
  platform::Ui* ui_;
  std::wstring message_;
  bool shown_ = false;
};
