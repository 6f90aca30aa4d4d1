#pragma once
// The download of one file of the update to disk, reported to a notify
// window by posted messages; and the queue of such jobs.
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "digest/md5.h"
#include "net/download.h"
#include "net/range_digest.h"
#include "net/range_download.h"
#include "net/range_plan.h"
#include "platform/disk.h"
#include "platform/files.h"
#include "platform/xml.h"
#include "update/delta_build.h"
#include "update/download_progress.h"
#include "update/installer.h"
#include "update/job_messages.h"

class CUpdateFile;

class CInetFile : public IDownLoadSink, private IRangeWrites, private IDeltaSink {
 public:
  static constexpr int kParts = 5;
  // With connections the run has spare, a ranged job adds workers up to
  // this many in all.
  static constexpr int kMaxWorkers = 8;
  // Files shorter than this can never come in ranges.
  static constexpr uint64_t kMinRangedLength = kParts;
  // Below this length five connections cost more than they gain.
  static constexpr uint64_t kOneStreamBelow = 4u << 20;
  // Files up to this length are asked for behind others on a connection:
  // what they make the requests behind them wait is less than a round trip
  // of a far server.
  static constexpr uint64_t kPipelinedUpTo = 256u << 10;
  // A range that finishes early takes over the second half of what is
  // still to come of the largest one when that half is at least this long:
  // less is not worth a new connection.
  static constexpr uint64_t kMinTakeOver = 1u << 20;
  // A file's progress record is renewed after this many new bytes.
  static constexpr uint64_t kRecordStep = 1u << 20;
  // Server documents larger than these are refused: a manifest lists every
  // file of a game, as large as the XML reader takes; a version list or a
  // signature is small.
  static constexpr uint64_t kMaxManifest = platform::kMaxStreamedXmlBytes;
  static constexpr uint64_t kMaxDocument = 16u << 20;

  // With an entry the URL is "<base>/update/<version>/<LocalPath><FileName>",
  // the path percent-encoded from its UTF-8 bytes; should the server answer
  // 404 to a path with non-ASCII characters, the job asks once more with
  // the path's ANSI code page bytes (servers that keep legacy names).
  // Without an entry, |url| is taken as it stands. Every file operation
  // goes through |disk|.
  CInetFile(const std::wstring& url, const CUpdateFile* entry, const std::wstring& version,
            platform::Disk* disk = &platform::RealDisk());
  virtual ~CInetFile();
  CInetFile(const CInetFile&) = delete;
  CInetFile& operator=(const CInetFile&) = delete;

  // Begins a new run; exactly one WM_JOB_DONE follows it. An update file
  // whose pending copy has a usable progress record goes on from there.
  bool Start(bool allowRanges);
  // Stops; an update file under way keeps its bytes and records them.
  void Stop();
  // Stops and gives back what only a running job needs. Not from inside
  // the job's own reports.
  void ReleaseTransfer();
  // The file the download writes: "<target>.update.<version>" for update
  // files, the target itself for the others.
  std::wstring GetTempName() const;

  // Connections the job holds while it runs: one per range under way, and
  // never fewer than its five ranges.
  int ConnectionsNeeded() const;
  // The run has |spare| connections beyond those its jobs hold that no
  // queued job can use (negative: what a waiting job lacks). A ranged job
  // under way may then hold that many more than ConnectionsNeeded() (its
  // extra workers take over halves of the largest ranges), or gives back
  // the lack as extra workers finish, down to its five ranges; nothing is
  // stopped. Returns how many it may take (or gives back); the next run
  // begins with five again.
  int OfferConnections(int spare);
  // The job's request may wait behind others on a connection: a short file
  // fetched in one stream.
  bool Pipelined() const;
  // What the installer needs of a job whose copy is complete.
  FinishedFile Finished() const;

  bool OnDownLoadError(int code) override;
  bool OnDownLoadStatus(int status) override;
  bool OnDownLoadData(const char* data, uint32_t count) override;
  bool OnDataInformation(uint64_t length, const std::wstring& entityTag,
                         const std::wstring& path) override;

  // Unique in the process, never 0; the job's messages carry it.
  const JobId Id;
  int Kind = kJobFile;
  std::wstring TargetPath;
  std::wstring FileName;
  std::wstring Url;
  uint64_t NotifyWindow = 0;  // a platform::MessageTarget handle; 0 posts nothing
  std::wstring ServerName;
  // Body bytes of the file on disk: those taken over from an earlier
  // attempt and those received since the last Start.
  uint64_t Received = 0;
  // Of Received, the bytes an earlier attempt left on disk.
  uint64_t Resumed = 0;
  uint64_t ExpectedLength = 0;
  std::wstring ExpectedMd5;
  std::wstring ExpectedSha256;
  platform::FILETIME FileTime;
  std::wstring Version;
  // Update files of at least this length (known from the manifest) come as
  // five ranges started at once; shorter ones in one stream.
  uint64_t OneStreamBelow = kOneStreamBelow;
  uint64_t MinTakeOver = kMinTakeOver;
  // After a successful run that fetched the whole file (in one stream or in
  // ranges, none of it taken over from an earlier attempt): the MD5 of the
  // bytes written, in lower-case hexadecimal, taken as they came. Empty
  // otherwise.
  std::wstring ComputedMd5;
  // The same for the SHA-256, of ranged files whose entry gives one.
  std::wstring ComputedSha256;
  // Set when whoever moves the file into place makes it durable first
  // (several files with one barrier); otherwise the job syncs it itself
  // before it reports success.
  bool DeferDurability = false;
  // The status of the last HTTP response the job's own request received in
  // this run (range parts not included), 0 when none arrived.
  int HttpStatus = 0;
  // The URL this run asked for last.
  std::wstring TriedUrl;
  // The file's chunk index and its SHA-256 (hexadecimal), empty when the
  // entry names none. With both, a file that exists is rebuilt from its
  // chunks that still match plus ranges of the server's file, unless
  // DeltaAllowed was cleared (the rebuilt copy failed its digest).
  std::wstring ChunksUrl;
  std::wstring ChunksSha256;
  bool DeltaAllowed = true;
  // The pending copy of the last successful run was rebuilt from chunks.
  bool Delta = false;
  // Bytes of the new file that the last run took from the local copy, and
  // every byte that came from the server for this job, in all its runs.
  uint64_t Reused = 0;
  uint64_t Fetched = 0;
  // What this job will take from the server in all: the index and the
  // missing chunks once its plan is known, else the file's length.
  uint64_t PlannedBytes = 0;
  // For the log, once: why the chunk index was not used.
  std::wstring DeltaNote;
  // A run of this job began a rebuild from chunks.
  bool DeltaTried = false;
  // Requests for ranges the last delta run sent.
  unsigned DeltaRequests = 0;
  // For the log: why this run failed, when the result code cannot tell
  // (TLS refused the server, a redirect from https to http, a write to
  // the disk and its reason); else empty.
  std::wstring FailureNote;

 private:
  void OnRangeWritten(uint64_t offset, const char* data, size_t size) override;
  // Moves the digests' frontier over bytes the ranges have put on disk,
  // reading at most |budget| of them back.
  void AdvanceDigest(uint64_t budget);
  void Fail(int code);
  void PostResult(int code);
  void PostProgress(uint32_t count);
  // Creates the copy, with the directories on its way; a regular file that
  // stands where one of them goes is set aside.
  bool OpenTarget();
  // Notes for the log why writing |path| failed, from the error status the
  // disk left (|status| when given).
  void NoteWriteFailure(const std::wstring& path, uint32_t status = 0);
  bool Ranged() const;
  // The transfer of the whole file (ranges or one stream), taking up a
  // pending copy's progress record when there is one.
  void StartWhole();
  // Starts the rebuild from chunks when the entry has an index and there
  // is a local copy to take them from; false when the file comes whole.
  bool StartDelta();
  void OnDeltaBytes(uint32_t count) override;
  void OnDeltaEnd(IDeltaSink::Result result) override;
  bool StartRanges(uint64_t length);
  // Sets |worker| on range |index| of the plan.
  bool StartPart(int worker, int index);
  // Parts that have finished their range take up another: one nobody
  // fetches, else half of the rest of the largest one under way.
  bool GiveIdlePartsWork();
  int BusyParts() const;
  bool StartStream();
  // Takes up the pending copy's progress record when it fits this run.
  void LoadRecord();
  // Makes the bytes written so far durable, then records them.
  void SaveRecord();
  // The file changed on the server (or the range no longer exists): the
  // bytes on disk are worthless and the file starts over from zero.
  void StartOver();
  // Drops the bytes on disk and fetches the file again.
  void StartFromZero();
  void TakeValidator(const std::string& strongTag, const std::string& lastModified);
  void StopParts();
  bool AllPartsIdle() const;
  // Whether a body of |length| bytes may be taken for this job.
  bool LengthAllowed(uint64_t length, bool complete) const;

  // What a running job needs; made by the first Start, so that the jobs
  // waiting in the queue stay small.
  struct Transfer {
    CDownLoad request;
    CRangeDownLoad parts[kMaxWorkers];
    MD5_CTX digest;
    DeltaBuild delta;
  };
  std::unique_ptr<Transfer> transfer_;
  platform::Disk* disk_;
  // The copy being written: by the one stream, or shared by the ranges.
  std::unique_ptr<platform::DiskFile> file_;
  // The encoded path of the entry in UTF-8 and in the ANSI code page; both
  // empty for documents.
  std::wstring utf8_path_;
  std::wstring ansi_path_;
  std::wstring ansi_url_;
  bool ansi_tried_ = false;
  // Bytes of the one stream not yet handed to the disk.
  uint64_t writeback_from_ = 0;
  // The plan of this run and, once a response named its validator, what
  // may be recorded of it.
  DownloadProgress progress_;
  // How the ranges of a ranged file are cut and who fetches each.
  RangePlan plan_;
  // The digests of a ranged file fetched from zero, and the handle that
  // reads back what the frontier did not see arrive.
  std::unique_ptr<RangeDigest> range_digest_;
  std::unique_ptr<platform::DiskFile> reader_;
  bool validator_known_ = false;
  bool resuming_ = false;
  bool started_over_ = false;
  // This run's answer was cut short by a broken line and asked for again.
  bool line_retried_ = false;
  uint64_t recorded_at_ = 0;
  bool ranges_active_ = false;
  bool delta_active_ = false;
  uint64_t delta_ranges_ = 0;  // range bytes of the delta run under way
  bool ranges_allowed_ = false;
  // Workers that may fetch at once: kParts, more while the run offers them.
  int connection_limit_ = kParts;
  // The workers this run has used: what the others report is of an
  // earlier run.
  int parts_in_run_ = kParts;
  bool result_posted_ = false;
};

// The job of a manifest entry of |version| on the server at |base|: its
// address, target, length, digests and time all come from the entry.
std::unique_ptr<CInetFile> MakeFileJob(const std::wstring& base, const CUpdateFile& entry,
                                       const std::wstring& version, const std::wstring& server_name,
                                       uint64_t notify_window, platform::Disk* disk);
// The job of a server document (version list, manifest or signature)
// fetched from |url| into |target|.
std::unique_ptr<CInetFile> MakeDocumentJob(int kind, const std::wstring& url, const std::wstring& server_name,
                                           const std::wstring& target, uint64_t notify_window,
                                           platform::Disk* disk);
// Every other attempt of a run asks for "<address>.update" instead of the
// address itself (servers that keep both names).
void SetDownloadNaming(CInetFile* job, bool suffixed);
std::wstring WithoutDownloadSuffix(const std::wstring& url);

class CInetFiles {
 public:
  CInetFiles() = default;
  virtual ~CInetFiles();
  CInetFiles(const CInetFiles&) = delete;
  CInetFiles& operator=(const CInetFiles&) = delete;

  void AddTail(std::unique_ptr<CInetFile> job);
  CInetFile* GetHead();
  void ForEach(const std::function<void(CInetFile&)>& visit);
  // The job at the head of the queue when its id is |id|, else null.
  CInetFile* HeadWithId(JobId id);
  // The queued job with id |id|, else null.
  CInetFile* FindById(JobId id);
  unsigned GetCount();
  void Remove(CInetFile* job);
  // Takes |job| out of the queue without deleting it; null when it was not
  // queued.
  std::unique_ptr<CInetFile> Detach(CInetFile* job);
  void RemoveAll();

 private:
  std::list<std::unique_ptr<CInetFile>> jobs_;
  std::recursive_mutex lock_;
};
