#include "update/dialog_msg.h"

#include "update/status_texts.h"
#include "update/update_run.h"

CDialogMsg::CDialogMsg(UpdateRun* run, platform::Ui* ui) : run_(run), ui_(ui), message_(texts::kFailureDefault) {}

void CDialogMsg::Create() {
  ui_->CreateFailureDialog(this);
  ui_->SetFailureText(message_);
}

void CDialogMsg::SetMessage(const std::wstring& text) {
  message_ = text;
  ui_->SetFailureText(text);
}

void CDialogMsg::Show() {
  shown_ = true;
  ui_->ShowFailureDialog(true);
}

void CDialogMsg::Hide() {
  shown_ = false;
  ui_->ShowFailureDialog(false);
}

void CDialogMsg::OnFailureSkip() {
  Hide();
  run_->Skip(true);
}

void CDialogMsg::OnFailureRetry() {
  Hide();
  run_->Retry();
}

void CDialogMsg::OnFailureExit() {
  Hide();
  run_->Exit();
}
