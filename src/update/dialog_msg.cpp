#include "update/dialog_msg.h"

#include "update/auto_update_dlg.h"
#include "update/status_texts.h"

CDialogMsg::CDialogMsg(CAutoUpdateClientDlg* owner, platform::Ui* ui)
    : owner_(owner), ui_(ui), message_(texts::kFailureDefault) {}

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
  owner_->LaunchLobby(this);
}

void CDialogMsg::OnFailureRetry() {
  Hide();
  owner_->RestartUpdate(true);
}

void CDialogMsg::OnFailureExit() {
  Hide();
  owner_->Close();
}
