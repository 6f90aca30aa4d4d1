#pragma once
// One update run: from the version list through each version's manifest
// and files to the hand-over to the game lobby. It owns the phase, the
// server in use, the working version, the job queue, the document waiting
// for its signature, the manifest being worked and the byte totals.
//
// Its inputs are job results and progress, the two timer ticks and the
// user's commands. Handlers record what happened and call Advance(), which
// alone decides what comes next from the phase. Whatever the user must see
// or answer goes out through RunObserver; answers come back as commands,
// never from inside a result handler.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "manifest/update_files.h"
#include "servers/servers.h"
#include "update/file_job.h"
#include "update/resume_file.h"
#include "update/installer.h"
#include "update/trust.h"
#include "update/update_host.h"

// What the run asks of the window around it.
class RunObserver {
 public:
  // When the dispatcher is to start the head job.
  static constexpr unsigned kDispatchNow = 0;
  static constexpr unsigned kNoDispatch = ~0u;

  // Arms the dispatcher for |delay_ms| (kDispatchNow: as soon as this
  // handler returns; kNoDispatch: not at all). A dispatch asked for earlier
  // is void.
  virtual void ScheduleDispatch(unsigned delay_ms) = 0;
  // The stall watchdog ticks while |on|.
  virtual void SetWatchdog(bool on) = 0;
  // Something to show changed: the window repaints from Snapshot().
  virtual void Changed() = 0;
  // A line for the console front end.
  virtual void Notice(const std::wstring& text) = 0;
  // The text the failure dialog will show.
  virtual void SetFailureText(const std::wstring& text) = 0;
  // The run waits for Skip, Retry or Exit.
  virtual void ShowFailure() = 0;
  // The run waits for TooOldSeen.
  virtual void PromptTooOld() = 0;
  // The run is over: close the window; with |start_lobby| then start the
  // lobby (UpdateRun::LobbyPath()), owned by the failure dialog when the
  // user skipped from there.
  virtual void End(bool start_lobby, bool from_failure_dialog) = 0;

 protected:
  ~RunObserver() = default;
};

class UpdateRun : private InstallReport {
 public:
  // Where the run stands. Jobs run only in the three working phases; the
  // watchdog counts only there; nothing is queued or started once closed.
  enum class Phase {
    kStarting,        // nothing asked yet: the next step asks for the version list
    kVersionList,     // the version list (or its signature) is under way
    kManifest,        // the working version's manifest (or its signature) is under way
    kFiles,           // the working version's files are under way
    kWaitingForUser,  // the failure dialog is up
    kTooOld,          // the too-old message is up
    kClosed,          // handed over or closed; final
  };

  // Connections the working version's file jobs may hold at once: small
  // files take one each, a file fetched in ranges takes one per range.
  static constexpr int kMaxConnections = 8;
  // The resume file's server keys, Temp1 to Temp8.
  static constexpr int kServerKeys = 8;
  // Finished files share a durability barrier up to these limits.
  static constexpr size_t kBatchFiles = 256;
  static constexpr uint64_t kBatchBytes = 64u << 20;
  static constexpr unsigned kRetryDispatch = 100;
  static constexpr unsigned kSwitchDispatch = 1000;
  static constexpr int kStallTicks = 15;
  // Less than this in the watchdog's whole period counts as no progress: a
  // server that drips a byte now and then must not hold the run forever.
  static constexpr uint64_t kMinProgressBytes = 1024;
  // Free space a version's files must leave on the install's disk: room
  // for the progress records, the log and the resume file, and for the
  // game itself, which cannot say why it fails on a full disk. A fixed
  // amount rather than a share: a share of a large disk is gigabytes.
  static constexpr uint64_t kSpaceMargin = 64u << 20;

  // What the window paints.
  struct Snapshot {
    std::wstring status;
    int file_percent = 0;
    int overall_percent = 0;
    // Files of the working version: all, and those done (valid when
    // |counts_shown|).
    unsigned files_total = 0;
    unsigned files_done = 0;
    bool counts_shown = false;
    // False while a server document is under way: the totals are still
    // those of the version before.
    bool totals_current = true;
    uint64_t bytes_done = 0;
    uint64_t bytes_total = 0;
  };

  // Jobs post their results to |job_target| (a MessageTarget handle).
  UpdateRun(UpdateHost* host, RunObserver* observer, uint64_t job_target);
  virtual ~UpdateRun();
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  // The first step: the version list of server 1.
  void Start();

  // Inputs.
  void OnJobDone(uint32_t code, int kind, JobId id);
  // False when the progress is of no job under way.
  bool OnJobProgress(uint32_t count, int kind, JobId id);
  void OnDispatchTick();
  void OnWatchdogTick();

  // The user's commands.
  void Skip(bool from_failure_dialog);
  void Retry();
  void SwitchServer();
  void Exit();
  void TooOldSeen();
  // From the switch button and the watchdog: gives up the current server
  // (retry false), or runs the failed job again (retry true).
  void RestartUpdate(bool retry);

  Snapshot GetSnapshot();
  Phase phase() const { return phase_; }
  static const wchar_t* PhaseName(Phase phase);
  int server_number() const { return server_number_; }
  const std::wstring& working_version() const { return working_version_; }
  const std::wstring& status_text() const { return status_text_; }
  bool download_naming_switch() const { return download_naming_switch_; }
  unsigned queued_jobs() { return jobs_.GetCount(); }
  std::wstring LobbyPath() const;

 private:
  // What the installer reports.
  void Status(const std::wstring& text, bool log) override { SetStatusText(text, log); }
  void FailureText(const std::wstring& text) override { SetFailureText(text); }

  static bool IsWorking(Phase phase);
  // The one place where the phase changes.
  void SetPhase(Phase next);
  // Decides what comes next from the phase.
  void Advance();
  // Queues the version list (or the working version's manifest) of the
  // current server; false when no server is left.
  bool QueueServerDocument(bool version_list);
  void LoadServerEntry(bool also_version);
  void HandleVersionList(CInetFile* job, uint32_t code);
  void HandleManifest(CInetFile* job, uint32_t code);
  void ApplyVersionList(CInetFile* job, uint32_t code);
  void ApplyManifest(CInetFile* job, uint32_t code);
  bool AwaitSignature(CInetFile* job);
  void HandleSignature(CInetFile* job, uint32_t code);
  void HandleFile(CInetFile* job, uint32_t code);
  std::wstring DocumentName(int kind) const;
  // False, with the user told, when the install's disk lacks |bytes| plus
  // the margin.
  bool EnoughSpaceFor(uint64_t bytes);
  // Bytes the working version's kept pending copies hold, counted up to
  // each file's length.
  uint64_t KeptPendingBytes();
  // Entries that must not be installed from this manifest, each logged;
  // they count as not installed. A path |absent| is sure of crosses no link.
  unsigned RejectUnsafeEntries(bool signed_manifest, AbsentFiles* absent);
  unsigned RejectEntriesWithoutSha256();
  // Repair: keeps the entries whose installed file is missing or differs
  // from its digest, each marked for update; returns how many.
  unsigned KeepDamagedEntries();
  // The total counts what a job will really fetch once its plan is known.
  void TakePlan(const CInetFile& job);
  // The log line of the working version's bytes: reused and fetched.
  void LogVersionBytes();
  // When only missing files of the recorded version are restored: a path
  // where a directory now stands, or that a file stands in the way of, is
  // not missing but of a later version's shape, which that version
  // settles. Returns how many entries were dropped.
  unsigned DropEntriesOfAnotherShape();
  // Makes jobs of the next manifest entries while the queued file jobs
  // need fewer requests than the budget: a manifest of any size costs
  // the memory of the jobs in flight. False when no file job is left.
  bool QueueNextFile();
  // Starts the queued file jobs that fit the connection budget.
  void StartFileJobs();
  // The budget counts in requests: a connection carries as many at once
  // as the server takes pipelined, a job that cannot be pipelined holds
  // all of its connections' share.
  int RequestBudget() const;
  int RequestsOf(const CInetFile& job) const;
  // Stops the file jobs under way; each keeps its bytes for a later attempt.
  void StopFileJobs();
  // Puts the finished copies into place with one barrier.
  void InstallAwaiting();
  void RecordCompletedVersion();
  // Writes |version| as the recorded one; a write that fails is told.
  void RecordVersion(const ResumeFile& resume, const std::wstring& version);
  void SetStatusText(const std::wstring& text, bool log);
  void SetFailureText(const std::wstring& text);
  // Logs |text|, shows it on the status line and tells the console.
  void Notify(const std::wstring& text);
  void Fail();
  void AbandonServer(const std::wstring& reason);
  // Empties the queue, deleting what its jobs had written unless a file's
  // progress record keeps it for a later attempt.
  void DropJobs();
  void HandOver(bool from_failure_dialog = false);
  void Close();
  void UpdatePercentages(const CInetFile* job);
  int MaxVersionNumber() const;
  int WorkingVersionNumber() const;

  UpdateHost* host_;
  RunObserver* observer_;
  uint64_t job_target_;
  platform::Disk& disk_;
  Installer installer_;
  std::recursive_mutex lock_;
  Phase phase_ = Phase::kStarting;
  // The next Advance() in kStarting waits this long before the version list:
  // the first asks at once, one after a server switch waits.
  unsigned start_delay_ = RunObserver::kDispatchNow;

  int server_number_ = 1;
  bool download_naming_switch_ = false;
  std::wstring working_version_;
  std::wstring server_base_address_;
  std::wstring home_page_address_;
  CServers servers_;
  CUpdateFiles manifest_;
  CInetFiles jobs_;
  CUpdateTrust trust_;
  // The received document that waits for its signature, and its kind.
  std::wstring held_document_;
  int held_kind_ = kJobVersionList;
  // Finished file jobs whose copies wait for the next barrier, and their bytes.
  std::vector<std::unique_ptr<CInetFile>> awaiting_;
  uint64_t awaiting_bytes_ = 0;

  unsigned files_total_ = 0;
  unsigned files_done_ = 0;
  unsigned files_rejected_ = 0;
  uint64_t bytes_total_ = 0;
  uint64_t bytes_done_ = 0;
  // The file jobs under way.
  std::set<JobId> running_;
  // Per file job, how many of its bytes bytes_done_ counts, and how many
  // bytes_total_ counts for it.
  std::map<JobId, uint64_t> counted_;
  std::map<JobId, uint64_t> planned_;
  // Of the working version's finished files: bytes taken from local
  // copies, and bytes fetched.
  uint64_t version_reused_ = 0;
  uint64_t version_fetched_ = 0;
  bool version_had_files_ = false;  // a file of it was rebuilt from chunks
  // Every body byte received in this run, and the count at the watchdog's
  // last sign of progress.
  uint64_t transferred_ = 0;
  uint64_t last_seen_bytes_ = 0;
  int stall_ticks_ = 0;
  int file_percent_ = 0;
  int overall_percent_ = 0;
  std::wstring status_text_;
  // The working version's manifest has been read: when no file is left to
  // fetch, the version ends.
  bool version_loaded_ = false;
  // Set by a result handler, acted on by Advance().
  bool failure_pending_ = false;
  bool lobby_pending_ = false;
  bool too_old_pending_ = false;
};
