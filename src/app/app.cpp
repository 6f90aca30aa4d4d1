#include "app/app.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/update_log.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "update/auto_update_dlg.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

CAutoUpdateClientApp::CAutoUpdateClientApp(std::wstring exePath) : exe_path_(std::move(exePath)) {}

CAutoUpdateClientApp::~CAutoUpdateClientApp() = default;

std::wstring CAutoUpdateClientApp::ExeDir() const {
  std::wstring::size_type cut = exe_path_.find_last_of(L"/\\");
  return cut == std::wstring::npos ? std::wstring() : exe_path_.substr(0, cut);
}

std::wstring CAutoUpdateClientApp::ResumeFilePath() const {
  return ExeDir() + platform::kPathSeparator + L"UpdateTemp.ini";
}

bool CAutoUpdateClientApp::InitInstance(const std::wstring& commandLine, platform::Ui* ui) {
  if (!platform::InitializeProcess()) {
    ui->MessageBox(texts::kSocketsFailed, texts::kWindowTitle, false);
    return false;  // nothing has been touched
  }
  CompletePendingSwap();
  std::wstring::size_type cut = exe_path_.find_last_of(L"/\\");
  ExeFileName = cut == std::wstring::npos ? exe_path_ : exe_path_.substr(cut + 1);
  if (!ParseCommandLine(commandLine)) {
    ui->Notice(platform::Format(texts::kUsage, ExeFileName.c_str()));
  }
  {
    CAutoUpdateClientDlg dlg(this, ui);
    if (dlg.OnInitDialog()) ui->RunModal();
    ui->DestroyMainWindow();
  }
  return false;
}

int CAutoUpdateClientApp::ExitInstance() {
  platform::ShutdownProcess();
  return LobbyStarted ? 0 : 1;
}

void CAutoUpdateClientApp::WriteLog(const std::wstring& text) {
  AppendLogLine(ExeDir() + platform::kPathSeparator + L"UpdateLog.log", text, platform::Now());
}

void CAutoUpdateClientApp::DebugLog(const std::wstring& text) {
  static const bool wanted = std::getenv("UPDATER_DEBUG") != nullptr;
  if (wanted) std::fprintf(stderr, "%s\n", platform::ToUtf8(text).c_str());
}

void CAutoUpdateClientApp::CompletePendingSwap() {
  ResumeFile resume(ResumeFilePath());
  const std::wstring retired = exe_path_ + L".old";
  const std::wstring pending =
      platform::Format(L"%s.update.%s", exe_path_.c_str(), resume.ReadCurrentVersion(L"").c_str());
  if (platform::CanOpenForRead(retired)) platform::DeleteFile(retired);
  if (!platform::CanOpenForRead(pending)) return;
  // A move that fails abandons the swap; the next start tries again.
  if (!platform::MoveFileNoReplace(exe_path_, retired)) return;
  if (!platform::MoveFileNoReplace(pending, exe_path_)) {
    platform::MoveFileNoReplace(retired, exe_path_);
    return;
  }
  platform::DeleteFile(pending);
}

bool CAutoUpdateClientApp::ParseCommandLine(const std::wstring& commandLine) {
  if (commandLine.empty()) return false;
  std::wstring::size_type blank = commandLine.find(L' ');
  if (blank == std::wstring::npos || blank == 0) return false;
  ServerAddress = commandLine.substr(0, blank);
  if (platform::EqualsNoCase(commandLine.substr(blank + 1), L"auto")) AutoFlag = true;
  return true;
}
