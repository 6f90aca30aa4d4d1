#include "app/app.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/update_log.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "update/auto_update_dlg.h"
#include "update/resume_file.h"
#include "update/installer.h"
#include "update/self_swap.h"
#include "update/status_texts.h"

CAutoUpdateClientApp::CAutoUpdateClientApp(std::wstring exePath) : exe_path_(std::move(exePath)) {
  // Nothing below the install directory is reached through a link.
  platform::SetLinkFreeRoot(ExeDir());
}

CAutoUpdateClientApp::~CAutoUpdateClientApp() = default;

std::wstring CAutoUpdateClientApp::ExeDir() const {
  std::wstring::size_type cut = exe_path_.find_last_of(L"/\\");
  return cut == std::wstring::npos ? std::wstring() : exe_path_.substr(0, cut);
}

std::wstring CAutoUpdateClientApp::ResumeFilePath() const {
  return ExeDir() + platform::kPathSeparator + L"UpdateTemp.ini";
}

bool CAutoUpdateClientApp::InitInstance(const std::wstring& commandLine, platform::Ui* ui) {
  // Two runs on one install would write the same pending copies: the second
  // leaves everything to the first, which also starts the lobby.
  lock_.reset(new platform::InstanceLock);
  if (!lock_->Acquire(ExeDir() + platform::kPathSeparator + L"UpdateTemp.lock")) {
    WriteLog(texts::kAlreadyRunning);
    platform::ShowRunningInstance(exe_path_);
    return false;
  }
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
  ResumeFile resume(ResumeFilePath(), [this](const std::wstring& text) { WriteLog(text); });
  const std::wstring recorded = resume.ReadCurrentVersion(L"");
  const std::wstring expected = resume.ReadUpdaterMd5();
  const std::wstring pending = PendingCopyPath(exe_path_, recorded);
  // A move that fails abandons the swap; the next start tries again.
  SelfSwapResult result = SwapInPendingCopy(GetDisk(), exe_path_, pending, expected);
  if (result == SelfSwapResult::kRefused) WriteLog(platform::Format(texts::kPendingUpdaterRefused, pending.c_str()));
  // The newest earlier copy that matches the recorded digest is the one last
  // verified; any other is stale and goes without a word.
  for (const std::wstring& earlier : EarlierPendingCopies(GetDisk(), exe_path_, platform::LeadingInt(recorded))) {
    if (result == SelfSwapResult::kNoPendingCopy || result == SelfSwapResult::kRefused) {
      result = SwapInPendingCopy(GetDisk(), exe_path_, earlier, expected);
    } else if (result == SelfSwapResult::kSwapped) {
      GetDisk().Delete(earlier);
    }
  }
}

bool CAutoUpdateClientApp::ParseCommandLine(const std::wstring& commandLine) {
  if (commandLine.empty()) return false;
  std::wstring::size_type blank = commandLine.find(L' ');
  if (blank == std::wstring::npos || blank == 0) return false;
  ServerAddress = commandLine.substr(0, blank);
  const std::wstring mode = commandLine.substr(blank + 1);
  if (platform::EqualsNoCase(mode, L"auto")) AutoFlag = true;
  if (platform::EqualsNoCase(mode, L"repair")) RepairFlag = true;
  return true;
}
