#pragma once
// The main window and the update controller that lives in it: from the
// version list through each version's manifest and files to the hand-over
// to the game lobby, driven by posted job results and two timers.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "manifest/update_files.h"
#include "net/inet_file.h"
#include "platform/event_loop.h"
#include "platform/ui.h"
#include "servers/servers.h"
#include "update/dialog_msg.h"
#include "update/trust.h"
#include "update/update_host.h"

class CAutoUpdateClientDlg : public platform::MessageTarget, public platform::WindowClient {
 public:
  enum TimerId : unsigned { kDispatchTimer = 1000, kWatchdogTimer = 1001 };
  static constexpr unsigned kDispatchPeriod = 100;
  static constexpr unsigned kSwitchDispatchPeriod = 1000;
  static constexpr unsigned kWatchdogPeriod = 2000;
  static constexpr int kStallTicks = 15;
  // Less than this in the watchdog's whole period counts as no progress: a
  // server that drips a byte now and then must not hold the run forever.
  static constexpr uint64_t kMinProgressBytes = 1024;
  // Finished files share a durability barrier up to these limits.
  static constexpr size_t kBatchFiles = 256;
  static constexpr uint64_t kBatchBytes = 64u << 20;
  static constexpr int kWidth = 437;
  static constexpr int kHeight = 192;
  static constexpr int kProgressWidth = 378;
  // When the dispatcher starts the head job: kDispatchNow at once (a posted
  // message), kNoDispatch not at all, else after that many milliseconds.
  static constexpr unsigned kDispatchNow = 0;
  static constexpr unsigned kNoDispatch = ~0u;

  // Where the run stands. Jobs run only in the three working phases; the
  // watchdog counts only there; nothing is queued or started once closed.
  enum class Phase { kStarting, kVersionList, kManifest, kFiles, kWaitingForUser, kTooOld, kClosed };

  CAutoUpdateClientDlg(UpdateHost* host, platform::Ui* ui);
  ~CAutoUpdateClientDlg() override;

  // Start-up of the window; false when it quits at once.
  bool OnInitDialog();

  // Update control.
  void OnJobDone(uintptr_t wParam, intptr_t lParam);
  void OnJobProgress(uintptr_t wParam, intptr_t lParam);
  // Queues the version list or the working version's manifest of the
  // current server; the dispatcher starts it after |dispatch| ms.
  void StartServerRequest(bool versionList, unsigned dispatch = kDispatchNow);
  void QueueServerDocument(bool isVersionList);
  void SaveCompletedVersion();
  void SetStatusText(const std::wstring& text, int log);
  void LoadServerEntry(int serverNumber, bool alsoReadVersion);
  void LoadHomeUrl();

  // User actions and the ways the run ends.
  void RestartUpdate(bool retry);
  void LaunchLobby(const void* owner);
  // WM_CLOSE: ends the window's modal loop.
  void Close();

  // Installation of a downloaded file.
  bool VerifyDownload(CInetFile* job);
  // The pending copy against the signed manifest's SHA-256 and its MD5,
  // both from one read of the file.
  bool VerifySignedDownload(CInetFile* job);
  void ReportMd5Mismatch(CInetFile* job, const std::wstring& computed);
  bool InstallDownload(CInetFile* job);
  void ReplaceRunningUpdater(CInetFile* job);
  static void SetFileTimes(const std::wstring& path, platform::FILETIME time);
  static bool FileExists(const std::wstring& path);

  // Window.
  void OnPaint(platform::Painter* painter) override;
  void OnLButtonDown(int x, int y) override;
  void OnMouseMove(int x, int y) override;
  void OnLButtonUp(int x, int y) override;
  void OnFocusLost() override;
  void OnTimer(unsigned id) override;
  void OnMessage(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

  // Read by tests and the window back ends.
  unsigned queued_jobs() { return jobs_.GetCount(); }
  const std::wstring& status_text() const { return status_text_; }
  const std::wstring& working_version() const { return working_version_; }
  int server_number() const { return server_number_; }
  bool download_naming_switch() const { return download_naming_switch_; }
  int overall_percent() const { return overall_percent_; }
  unsigned close_state() const { return close_state_; }
  unsigned skip_state() const { return skip_state_; }
  unsigned switch_state() const { return switch_state_; }
  CDialogMsg* failure_dialog() { return failure_dialog_.get(); }
  Phase phase() const { return phase_; }

 private:
  // Private message that starts the head job without waiting for a tick.
  static constexpr unsigned kDispatchMessage = WM_USER + 102;

  // The one place where the phase changes and the timers are armed or
  // killed: the watchdog runs in the working phases only; the dispatcher is
  // armed for |dispatch| (kNoDispatch leaves it as it is).
  void SetPhase(Phase next, unsigned dispatch = kNoDispatch);
  static bool IsWorking(Phase phase);
  static const wchar_t* PhaseName(Phase phase);
  void ArmTimer(unsigned id, unsigned period_ms);
  void DispatchTick();
  void WatchdogTick();
  void HandleVersionList(CInetFile* job, uint32_t code);
  void HandleManifest(CInetFile* job, uint32_t code);
  // The document as received, or once its signature has been accepted.
  void ApplyVersionList(CInetFile* job, uint32_t code);
  void ApplyManifest(CInetFile* job, uint32_t code);
  // With trust on, puts the received document aside and queues its
  // signature in its place; false when trust is off.
  bool AwaitSignature(CInetFile* job);
  void HandleSignature(CInetFile* job, uint32_t code);
  // The document's path below the server's base address, as signed.
  std::wstring DocumentName(int kind) const;
  // Drops the entries to download that carry no Sha256; returns how many.
  unsigned RejectEntriesWithoutSha256();
  void HandleFile(CInetFile* job, uint32_t code);
  // Checks a downloaded file and moves it into place; its bytes are durable.
  // False when the file is to be fetched once more from zero.
  bool InstallFinished(CInetFile* job);
  // The per-file and overall percentages after |job| has progressed.
  void UpdatePercentages(const CInetFile* job);
  // Makes the finished files durable with one barrier, moves them into
  // place, and makes their names durable before anything records the
  // version.
  void InstallAwaiting();
  // Removes the job (when given) and decides what comes next.
  void Finish(CInetFile* job, int kind);
  void ShowFailure();
  // Asks a yes/no question in a modal box; true on Yes.
  bool Confirm(const std::wstring& question);
  // Logs |text|, shows it on the status line and tells the console.
  void Report(const std::wstring& text);
  // Gives up the current server for |reason| and moves to the next.
  void AbandonServer(const std::wstring& reason);
  // Empties the queue, deleting what its jobs had written unless a file's
  // progress record keeps it for a later attempt. Kept copies go when a
  // version is recorded (the one in RemoveKeptDownloads).
  void DropJobs();
  // Drops the manifest entries whose paths would leave the installation,
  // by their text or through a link on disk; returns how many.
  unsigned RejectUnsafeEntries();
  // Makes the job of the next manifest entry when no job is queued: a job
  // is made only when the queue reaches it, so a manifest of any size costs
  // one job's memory. False when no entry is left.
  bool QueueNextFile();
  int MaxVersionNumber() const;
  int WorkingVersionNumber() const;
  std::wstring ResumeFilePath() const;

  UpdateHost* host_;
  platform::Ui* ui_;
  Phase phase_ = Phase::kStarting;
  // Names the latest dispatch asked for; a posted one that is not the
  // latest is void.
  uintptr_t dispatch_generation_ = 0;

  int server_number_ = 1;
  bool download_naming_switch_ = false;
  std::wstring working_version_;
  std::wstring server_base_address_;
  std::wstring home_page_address_;
  unsigned files_total_ = 0;
  unsigned files_done_ = 0;
  uint64_t bytes_total_ = 0;
  uint64_t bytes_done_ = 0;
  uint64_t current_transfer_bytes_ = 0;
  // The file job whose bytes bytes_done_ counts last, and how many of them.
  JobId counted_job_ = 0;
  uint64_t counted_bytes_ = 0;
  uint64_t last_seen_bytes_ = 0;
  int stall_ticks_ = 0;
  std::recursive_mutex window_lock_;
  CServers servers_;
  CUpdateFiles manifest_;
  CInetFiles jobs_;
  // Finished file jobs whose copies wait for the next durability barrier,
  // and their bytes.
  std::vector<std::unique_ptr<CInetFile>> awaiting_;
  uint64_t awaiting_bytes_ = 0;
  std::unique_ptr<CDialogMsg> failure_dialog_;
  std::wstring status_text_;
  // Entries refused for their paths in the working version.
  unsigned files_rejected_ = 0;
  // The publisher keys of UpdateTrust.pub, read again for every document.
  CUpdateTrust trust_;
  // The received document that waits for its signature, and its kind.
  std::wstring held_document_;
  int held_kind_ = kJobVersionList;
  // The working version's manifest was signed: its files need their SHA-256.
  bool require_sha256_ = false;

  // Window state.
  bool mouse_down_ = false;
  unsigned close_state_ = 0;
  unsigned skip_state_ = 0;
  unsigned switch_state_ = 0;
  int file_percent_ = 0;
  int overall_percent_ = 0;
  bool tray_icon_present_ = false;
  std::wstring tray_tip_;
};
