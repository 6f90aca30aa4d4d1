#include "update/installer.h"

#include <algorithm>
#include <cwchar>
#include <functional>

#include "digest/file_digests.h"
#include "digest/hex.h"
#include "digest/md5.h"
#include "manifest/path_safety.h"
#include "manifest/update_files.h"
#include "platform/text.h"
#include "update/delta_texts.h"
#include "update/download_progress.h"
#include "update/leftover_downloads.h"
#include "update/resume_file.h"
#include "update/self_swap.h"
#include "update/status_texts.h"

using platform::Format;

namespace {

const wchar_t kPendingMarker[] = L".update.";
const wchar_t kSetAsideEnding[] = L".aside";
// The limit of one name in a directory: 255 bytes on POSIX file systems,
// 255 UTF-16 units on Windows; UTF-8 is never shorter than either count.
constexpr size_t kMaxNameBytes = 255;
// The longest ending a file of ours adds to a pending copy's name: its
// progress record while it is being replaced.
constexpr size_t kLongestEnding = sizeof(".progress.new") - 1;

}  // namespace

std::wstring PendingCopyPath(const std::wstring& target, const std::wstring& version) {
  const std::wstring ending = kPendingMarker + version;
  const size_t cut = target.find_last_of(L"/\\");
  const size_t leaf = cut == std::wstring::npos ? 0 : cut + 1;
  const std::string name = platform::ToUtf8(target.substr(leaf));
  if (name.size() + platform::ToUtf8(ending).size() + kLongestEnding <= kMaxNameBytes) return target + ending;
  // Unique for the target in its directory, and the version still ends
  // it: resume and the sweep of kept copies find it as any other.
  MD5_CTX md5;
  unsigned char digest[16];
  md5.MD5Update(reinterpret_cast<const unsigned char*>(name.data()), static_cast<uint32_t>(name.size()));
  md5.MD5Final(digest);
  return target.substr(0, leaf) + L"~" + platform::FromAnsi(ToHex(digest, sizeof(digest))) + ending;
}

std::wstring SetAsidePath(const std::wstring& path, const std::wstring& version) {
  return PendingCopyPath(path, version) + kSetAsideEnding;
}

bool FindEntryNamedAsOurs(CUpdateFiles& files, const std::wstring& version, std::wstring* clash) {
  // Only names with our marker can clash: most manifests have none, and a
  // manifest may list 300,000 files, so those are looked at first.
  const std::wstring marker = platform::FileSystemKey(kPendingMarker);
  const std::hash<std::wstring> hash;
  std::vector<size_t> marked;
  files.ForEach([&](const CUpdateFile& entry) {
    const std::wstring key = platform::FileSystemKey(entry.FullPath);
    if (key.find(marker) != std::wstring::npos) marked.push_back(hash(key));
  });
  if (marked.empty()) return false;
  std::sort(marked.begin(), marked.end());
  std::vector<std::wstring> ours;
  files.ForEach([&](const CUpdateFile& entry) {
    const std::wstring pending = PendingCopyPath(entry.FullPath, version);
    const std::wstring record = ProgressRecordPath(pending);
    for (const std::wstring& name : {pending, record, record + L".new", pending + kSetAsideEnding}) {
      std::wstring key = platform::FileSystemKey(name);
      if (std::binary_search(marked.begin(), marked.end(), hash(key))) ours.push_back(std::move(key));
    }
  });
  std::sort(ours.begin(), ours.end());
  bool found = false;
  files.ForEach([&](const CUpdateFile& entry) {
    if (found || !std::binary_search(ours.begin(), ours.end(), platform::FileSystemKey(entry.FullPath))) return;
    found = true;
    *clash = entry.LocalPath.empty() ? entry.FileName : entry.LocalPath + L"/" + entry.FileName;
  });
  return found;
}

bool PendingCopyVersion(const std::wstring& name, int* version) {
  const size_t marker = name.rfind(kPendingMarker);
  if (marker == std::wstring::npos) return false;
  std::wstring rest = name.substr(marker + (sizeof(kPendingMarker) / sizeof(wchar_t) - 1));
  // Only the endings our own files add follow the version: a user's
  // "notes.update.txt" is not ours to delete.
  for (const wchar_t* ending : {L".progress.new", L".progress", kSetAsideEnding}) {
    if (platform::EndsWith(rest, ending)) {
      rest.resize(rest.size() - wcslen(ending));
      break;
    }
  }
  if (!IsSafeVersionText(rest)) return false;
  *version = platform::LeadingInt(rest);
  return true;
}

bool IsSetAsideName(const std::wstring& name) {
  int version = 0;
  return platform::EndsWith(name, kSetAsideEnding) && PendingCopyVersion(name, &version);
}

Installer::Installer(platform::Disk* disk, InstallReport* report, std::wstring exe_path,
                     std::wstring resume_file)
    : disk_(disk), report_(report), exe_path_(std::move(exe_path)), resume_file_(std::move(resume_file)) {
  const size_t cut = exe_path_.find_last_of(L"/\\");
  exe_name_ = cut == std::wstring::npos ? exe_path_ : exe_path_.substr(cut + 1);
}

void Installer::Fail(const wchar_t* format, const std::wstring& name) {
  const std::wstring text = Format(format, name.c_str());
  report_->Status(text, true);
  report_->FailureText(text);
}

std::vector<Installer::Outcome> Installer::InstallBatch(const std::vector<FinishedFile>& files) {
  std::vector<Outcome> outcomes(files.size(), Outcome::kFailed);
  std::vector<std::wstring> pending;
  for (const FinishedFile& file : files) pending.push_back(PendingCopyPath(file.target, file.version));
  // Nothing goes into place before its bytes are on disk.
  std::vector<bool> not_durable;
  Barrier(pending, &not_durable);
  std::vector<std::wstring> placed;
  std::vector<size_t> placed_index;
  for (size_t i = 0; i < files.size(); ++i) {
    if (not_durable[i]) {
      Fail(texts::kRenameFailed, files[i].file_name);
      continue;
    }
    outcomes[i] = Place(files[i]);
    if (outcomes[i] == Outcome::kPlaced) {
      placed.push_back(files[i].target);
      placed_index.push_back(i);
    }
  }
  // Names that could still be lost would make a recorded version a lie.
  std::vector<bool> name_lost;
  Barrier(placed, &name_lost);
  for (size_t k = 0; k < placed.size(); ++k) {
    if (!name_lost[k]) continue;
    outcomes[placed_index[k]] = Outcome::kFailed;
    Fail(texts::kRenameFailed, files[placed_index[k]].file_name);
  }
  return outcomes;
}

void Installer::Barrier(const std::vector<std::wstring>& paths, std::vector<bool>* failed) {
  failed->assign(paths.size(), false);
  if (paths.empty() || disk_->MakeDurable(paths)) return;
  for (size_t i = 0; i < paths.size(); ++i) (*failed)[i] = !disk_->MakeDurable({paths[i]});
}

Installer::Outcome Installer::Place(const FinishedFile& file) {
  const std::wstring pending = PendingCopyPath(file.target, file.version);
  if (file.delta && !Verify(file, false)) {
    report_->Status(Format(texts::kDeltaMismatch, file.file_name.c_str()), true);
    DeleteProgress(*disk_, pending);
    disk_->Delete(pending);
    return Outcome::kFetchAgain;
  }
  if (!file.delta && !Verify(file, true)) {
    // The copy is gone; its record must not outlive it. Bytes kept from an
    // earlier attempt may be what is wrong: once, the whole file comes again
    // before the failure is shown.
    DeleteProgress(*disk_, pending);
    return file.resumed > 0 ? Outcome::kFetchAgain : Outcome::kFailed;
  }
  DeleteProgress(*disk_, pending);
  if (disk_->Exists(file.target)) {
    // One step from old to new: the target is never missing.
    if (!disk_->Replace(pending, file.target)) {
      Fail(texts::kDeleteFailed, file.file_name);
      disk_->SetTimes(pending, file.time);
      if (!platform::EqualsNoCase(file.file_name, exe_name_)) return Outcome::kFailed;
      ReplaceRunningUpdater(file);
      return Outcome::kPlaced;
    }
  } else if (!ClearWay(file)) {
    return Outcome::kFailed;
  } else if (!disk_->MoveNoReplace(pending, file.target) && !disk_->MoveNoReplace(pending, file.target)) {
    // The target was absent; a move that would replace something fails.
    Fail(texts::kRenameFailed, file.file_name);
    return Outcome::kFailed;
  }
  report_->Status(Format(texts::kDownloaded, file.file_name.c_str()), false);
  if (!disk_->SetTimes(file.target, file.time)) {
    report_->Status(Format(texts::kStampFailed, file.file_name.c_str()), true);
  }
  return Outcome::kPlaced;
}

bool Installer::ClearWay(const FinishedFile& file) {
  std::vector<platform::DirectoryEntry> entries;
  if (!disk_->ListDirectory(file.target, &entries)) return true;  // no directory there
  std::wstring foreign;
  if (RemoveLeftoverTree(*disk_, file.target, &foreign)) return true;
  const std::wstring text = Format(texts::kDirectoryInTheWay, file.target.c_str(), foreign.c_str());
  report_->Status(text, true);
  report_->FailureText(text);
  return false;
}

bool Installer::Verify(const FinishedFile& file, bool report) {
  const std::wstring pending = PendingCopyPath(file.target, file.version);
  // Every file whose manifest gives a digest is checked, new ones too; an
  // installed file is never replaced by bytes that no digest vouches for.
  if (!require_sha256_ && file.expected_md5.empty() && !disk_->Exists(file.target)) return true;
  // An unreadable pending copy has no digest and counts as a mismatch.
  // Digests the download took as the bytes came spare reading it again.
  std::wstring md5 = file.computed_md5;
  std::wstring sha256 = file.computed_sha256;
  if (md5.empty() || (require_sha256_ && sha256.empty())) {
    md5.clear();
    sha256.clear();
    FileDigests(*disk_, pending, &md5, require_sha256_ ? &sha256 : nullptr);
  }
  if (require_sha256_ && (sha256.empty() || file.expected_sha256.empty() ||
                          !platform::EqualsNoCase(sha256, file.expected_sha256))) {
    if (report) ReportMismatch(file, texts::kSha256ManifestSide, texts::kSha256LocalSide, file.expected_sha256, sha256);
    return false;
  }
  if (require_sha256_ && file.expected_md5.empty()) return true;
  if (!md5.empty() && platform::EqualsNoCase(md5, file.expected_md5)) return true;
  if (report) ReportMismatch(file, texts::kMd5ManifestSide, texts::kMd5LocalSide, file.expected_md5, md5);
  return false;
}

void Installer::ReportMismatch(const FinishedFile& file, const wchar_t* manifest_side, const wchar_t* local_side,
                               const std::wstring& expected, const std::wstring& computed) {
  const std::wstring pending = PendingCopyPath(file.target, file.version);
  report_->Status(Format(manifest_side, file.version.c_str(), file.file_name.c_str(), expected.c_str()), true);
  const std::wstring local = Format(local_side, file.version.c_str(), pending.c_str(), computed.c_str());
  report_->Status(local, true);
  report_->FailureText(local);
  // A copy known to be wrong must never be taken for a good one later (the
  // updater's own would be swapped in at the next start).
  disk_->Delete(pending);
}

void Installer::ReplaceRunningUpdater(const FinishedFile& file) {
  // Recorded first: when the swap fails here, the next start completes it
  // from the verified copy and from nothing else.
  ResumeFile(resume_file_).WriteUpdaterMd5(file.expected_md5);
  SwapInPendingCopy(*disk_, exe_path_, PendingCopyPath(exe_path_, file.version), file.expected_md5);
}
