// Signed releases in the update run: every server document waits for its
// signature from the same server, a version list older than the
// installation is refused, and files are checked against the signed SHA-256.
// Without UpdateTrust.pub none of this runs and nothing is fetched or logged;
// a key file that is there but unusable refuses every document.
#include <ctime>

#include "digest/hex.h"
#include "digest/md5.h"
#include "platform/file.h"
#include "platform/signature.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "update/auto_update_dlg.h"
#include "update/resume_file.h"
#include "update/status_texts.h"

using platform::Format;

namespace {

// The newest version a version list names (the second Product attribute),
// read from the list itself: the run's own maxVersion is the first list's.
std::wstring NewestVersionOf(const std::wstring& path) {
  platform::XmlDocument doc;
  if (!doc.Load(path)) return std::wstring();
  std::vector<platform::XmlNode> products = doc.Root().Descendants(L"Product");
  if (products.empty()) return std::wstring();
  auto attributes = products.front().Attributes();
  return attributes.size() >= 2 ? attributes[1].second : std::wstring();
}

}  // namespace

std::wstring CAutoUpdateClientDlg::DocumentName(int kind) const {
  return kind == kJobVersionList ? std::wstring(L"update/VerAndUrl.xml")
                                 : Format(L"update/%s/FileConfig.xml", working_version_.c_str());
}

bool CAutoUpdateClientDlg::AwaitSignature(CInetFile* job) {
  // New keys (a release may ship UpdateTrust.pub) apply from this document on.
  trust_.Load(host_->ExeDir() + platform::kPathSeparator + CUpdateTrust::kKeyFileName);
  if (!trust_.Enabled()) return false;
  // The document will be refused; the log says why no key could match.
  if (!trust_.load_error().empty()) host_->WriteLog(trust_.load_error());
  held_document_ = job->TargetPath;
  held_kind_ = job->Kind;
  std::wstring url = job->Url;
  if (platform::EndsWith(url, L".update")) url.resize(url.size() - 7);
  auto* signature = new CInetFile(url + L".sig", nullptr, working_version_);
  signature->Kind = kJobSignature;
  signature->NotifyWindow = handle();
  signature->Url = url + L".sig";
  signature->ServerName = job->ServerName;
  signature->TargetPath = platform::CreateTempFile(L"Sig");
  jobs_.Remove(job);
  jobs_.AddTail(signature);
  SetPhase(phase_, kDispatchNow);
  return true;
}

void CAutoUpdateClientDlg::HandleSignature(CInetFile* job, uint32_t code) {
  const int kind = held_kind_;
  const std::wstring document = held_document_;
  held_document_.clear();
  const std::wstring name = DocumentName(kind);
  TrustVerdict verdict =
      code != 0 ? TrustVerdict::kMissing
                : trust_.Verify(document, job->TargetPath, platform::ToUtf8(name), kind == kJobVersionList,
                                static_cast<int64_t>(std::time(nullptr)));
  if (verdict == TrustVerdict::kTrusted && kind == kJobVersionList &&
      IsRollback(ResumeFile(ResumeFilePath()).ReadCurrentVersion(L""), NewestVersionOf(document))) {
    verdict = TrustVerdict::kRollback;
  }
  platform::DeleteFile(job->TargetPath);
  if (verdict != TrustVerdict::kTrusted) {
    // Counts as a document that could not be read: the next server is asked.
    platform::DeleteFile(document);
    AbandonServer(Format(texts::kDocumentRefused, name.c_str(), TrustVerdictText(verdict)));
    return;
  }
  // From here the signature's job stands for the document it vouched for.
  job->Kind = kind;
  job->TargetPath = document;
  if (kind == kJobVersionList) ApplyVersionList(job, 0);
  else ApplyManifest(job, 0);
}

unsigned CAutoUpdateClientDlg::RejectEntriesWithoutSha256() {
  return manifest_.RemoveIf([this](const CUpdateFile& entry) {
    if (!entry.NeedUpdate || !entry.Sha256.empty()) return false;
    std::wstring text = Format(texts::kNoSha256, entry.FileName.c_str());
    SetStatusText(text, 1);
    failure_dialog_->SetMessage(text);
    return true;
  });
}

namespace {

// MD5 and SHA-256 of a file in one read, as lower-case hex; false when it
// cannot be read.
bool DigestBoth(const std::wstring& path, std::wstring* md5, std::wstring* sha256) {
  platform::File file;
  if (!file.Open(path, platform::File::kRead)) return false;
  MD5_CTX md5_ctx;
  platform::Sha256 sha;
  std::vector<unsigned char> buf(1 << 18);
  for (;;) {
    long n = file.Read(buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) break;
    md5_ctx.MD5Update(buf.data(), static_cast<uint32_t>(n));
    sha.Update(buf.data(), static_cast<size_t>(n));
  }
  unsigned char md5_digest[16];
  uint8_t sha_digest[platform::kSha256Size];
  md5_ctx.MD5Final(md5_digest);
  if (!sha.Final(sha_digest)) return false;
  *md5 = platform::FromAnsi(ToHex(md5_digest, sizeof(md5_digest)));
  *sha256 = platform::FromAnsi(ToHex(sha_digest, sizeof(sha_digest)));
  return true;
}

}  // namespace

bool CAutoUpdateClientDlg::VerifySignedDownload(CInetFile* job) {
  const std::wstring pending = job->GetTempName();
  // An unreadable pending copy has no digest and counts as a mismatch.
  std::wstring md5, computed;
  DigestBoth(pending, &md5, &computed);
  if (!computed.empty() && !job->ExpectedSha256.empty() &&
      platform::EqualsNoCase(computed, job->ExpectedSha256)) {
    if (job->ExpectedMd5.empty() || platform::EqualsNoCase(md5, job->ExpectedMd5)) return true;
    ReportMd5Mismatch(job, md5);
    return false;
  }
  SetStatusText(Format(texts::kSha256ManifestSide, working_version_.c_str(), job->FileName.c_str(),
                       job->ExpectedSha256.c_str()), 1);
  std::wstring local = Format(texts::kSha256LocalSide, working_version_.c_str(), pending.c_str(),
                              computed.c_str());
  SetStatusText(local, 1);
  failure_dialog_->SetMessage(local);
  platform::DeleteFile(pending);  // known to be wrong: never kept for later
  return false;
}
