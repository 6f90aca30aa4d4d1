#pragma once
// Puts downloaded files into place: the digest check, one durability
// barrier for a batch of finished copies, the move over the target, the
// time stamp, and the swap of the running updater. Every file operation
// goes through a Disk, so that tests can make any of them fail.
//
// Nothing goes into place before its bytes are durable, and the caller
// records a version only after InstallBatch has made the new names durable
// too.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "platform/files.h"

class CUpdateFiles;

// The pending copy of |target| for |version|: where a file is downloaded
// before it is moved into place. "<target>.update.<version>" when that
// name, and the names of the files kept beside it, fit the file systems'
// limit of 255 bytes (or UTF-16 units) for a name; else a short name in the
// same directory made from the digest of the target's name, with the same
// ending.
std::wstring PendingCopyPath(const std::wstring& target, const std::wstring& version);
// Where a regular file that stands where |version| needs a directory is
// put aside: it goes once that version is recorded.
std::wstring SetAsidePath(const std::wstring& path, const std::wstring& version);
// The version of a pending copy's (or its progress record's, or a file set
// aside's) file name; false when |name| is not one.
bool PendingCopyVersion(const std::wstring& name, int* version);
// True for the name of a file set aside.
bool IsSetAsideName(const std::wstring& name);
// True when an entry of |files| bears a name that version |version| gives
// a file of its own for another entry (a pending copy, its progress record,
// a file set aside): the two would overwrite each other. |clash| names the
// first such entry.
bool FindEntryNamedAsOurs(CUpdateFiles& files, const std::wstring& version, std::wstring* clash);

// What the installer tells the user: status lines (logged when |log|) and
// the text the failure dialog will show.
class InstallReport {
 public:
  virtual void Status(const std::wstring& text, bool log) = 0;
  virtual void FailureText(const std::wstring& text) = 0;

 protected:
  ~InstallReport() = default;
};

// A download whose pending copy is complete.
struct FinishedFile {
  std::wstring target;
  std::wstring file_name;
  std::wstring version;
  std::wstring expected_md5;
  std::wstring expected_sha256;
  // The digests the download took as the bytes came; empty when it took
  // none.
  std::wstring computed_md5;
  std::wstring computed_sha256;
  platform::FILETIME time;
  // Bytes an earlier attempt had left on disk.
  uint64_t resumed = 0;
  // The copy was rebuilt from chunks: a mismatch is logged once and the
  // file fetched whole, with no failure shown for it.
  bool delta = false;
};

class Installer {
 public:
  enum class Outcome {
    kPlaced,      // the file is in place (or, for the running updater, swapped)
    kFetchAgain,  // the copy failed its digest but had kept bytes: fetch it anew
    kFailed,      // not installed; the failure text names it
  };

  // |exe_path| is the running updater; its digest is recorded in
  // |resume_file| before it is swapped.
  Installer(platform::Disk* disk, InstallReport* report, std::wstring exe_path, std::wstring resume_file);

  // Signed manifests: a file needs its SHA-256 to match.
  void set_require_sha256(bool require) { require_sha256_ = require; }

  // Checks, moves and stamps every file of the batch; one outcome per file.
  // A file that fails leaves the others as they would be alone.
  std::vector<Outcome> InstallBatch(const std::vector<FinishedFile>& files);

 private:
  // With |report| a mismatch is told in full and the copy deleted.
  bool Verify(const FinishedFile& file, bool report);
  void ReportMismatch(const FinishedFile& file, const wchar_t* manifest_side, const wchar_t* local_side,
                      const std::wstring& expected, const std::wstring& computed);
  Outcome Place(const FinishedFile& file);
  void ReplaceRunningUpdater(const FinishedFile& file);
  // A directory where the file goes gives way when it holds nothing but
  // what our downloads left; false, with a failure naming what stands
  // there, when it holds anything else.
  bool ClearWay(const FinishedFile& file);
  // MakeDurable for |paths|; when the batch barrier fails, each path on its
  // own, so that only the ones that fail are marked in |failed|.
  void Barrier(const std::vector<std::wstring>& paths, std::vector<bool>* failed);
  void Fail(const wchar_t* format, const std::wstring& name);

  platform::Disk* disk_;
  InstallReport* report_;
  std::wstring exe_path_;
  std::wstring exe_name_;
  std::wstring resume_file_;
  bool require_sha256_ = false;
};
