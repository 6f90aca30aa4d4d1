// Writing manifests: the XML document the reader takes, entries built from
// files on disk, and the report list of the publisher tool.
#include <string>

#include "manifest/update_files.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// Characters GB2312 lacks become numeric character references.
std::string CharacterReference(wchar_t c) {
  return "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
}

// Markup characters are escaped, so any value survives the round trip.
std::string Value(const std::wstring& text) {
  std::wstring escaped;
  escaped.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      case L'"': escaped += L"&quot;"; break;
      default:
        // Control characters cannot appear in XML 1.0 at all.
        if (c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') escaped += L'?';
        else escaped += c;
    }
  }
  return platform::EncodeCharset(escaped, "GB2312", CharacterReference);
}

std::string Number(uint32_t n) { return std::to_string(n); }

}  // namespace

bool CUpdateFiles::SaveXml(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  std::string out =
      "<?xml version=\"1.0\" encoding=\"GB2312\" ?> \r\n<xmlRoot keyname=\"KeyValue\">\r\n";
  out += "\t<Product productVerion=\"" + Value(productVerion) + "\" maxVersion=\"" +
         Value(maxVersion) + "\" UrlList1=\"" + Value(UrlList[0]) + "\" UrlList2=\"" +
         Value(UrlList[1]) + "\" UrlList3=\"" + Value(UrlList[2]) + "\"\r\n UrlList4=\"" +
         Value(UrlList[3]) + "\" UrlList5=\"" + Value(UrlList[4]) + "\" UrlList6=\"" +
         Value(UrlList[5]) + "\" UrlList7=\"" + Value(UrlList[6]) + "\" UrlList8=\"" +
         Value(UrlList[7]) + "\" filenum=\"" + Number(static_cast<uint32_t>(files_.size())) +
         "\">\r\n";
  CUpdateFile entry{std::wstring()};
  for (size_t i = 0; i < files_.size(); ++i) {
    files_.Read(i, &entry);
    out += "\t\t<File>\r\n";
    out += "\t\t\t<FileName>" + Value(entry.FileName) + "</FileName>\r\n";
    out += "\t\t\t<FileVersion>" + Value(entry.FileVersion) + "</FileVersion>\r\n";
    out += "\t\t\t<ProductVersion>" + Value(entry.ProductVersion) + "</ProductVersion>\r\n";
    out += "\t\t\t<Length>" + std::to_string(entry.Length) + "</Length>\r\n";
    out += "\t\t\t<FileDateLow>" + Number(entry.FileDate.dwLowDateTime) + "</FileDateLow>\r\n";
    out += "\t\t\t<FileDateHigh>" + Number(entry.FileDate.dwHighDateTime) + "</FileDateHigh>\r\n";
    out += "\t\t\t<InstallDir>" + Value(entry.InstallDir) + "</InstallDir>\r\n";
    out += "\t\t\t<LocalPath>" + Value(entry.LocalPath) + "</LocalPath>\r\n";
    out += "\t\t\t<Md5>" + Value(entry.Md5) + "</Md5>\r\n";
    // Readers skip unknown children, so older clients take signed manifests.
    if (!entry.Sha256.empty()) out += "\t\t\t<Sha256>" + Value(entry.Sha256) + "</Sha256>\r\n";
    if (!entry.Chunks.empty()) {
      out += "\t\t\t<Chunks>" + Value(entry.Chunks) + "</Chunks>\r\n";
      out += "\t\t\t<ChunksSha256>" + Value(entry.ChunksSha256) + "</ChunksSha256>\r\n";
    }
    out += "\t\t</File>\r\n";
  }
  out += "\t</Product>\r\n</xmlRoot>\r\n";

  // Written beside the target and moved over it, so a reader never sees a
  // half-written manifest.
  std::wstring temp = path + L".writing";
  platform::File file;
  if (!file.Open(temp, platform::File::kCreateTruncate)) return false;
  bool ok = file.Write(out.data(), out.size()) && file.Sync();
  ok = file.Close() && ok;
  if (!ok || !platform::ReplaceFile(temp, path)) {
    platform::DeleteFile(temp);
    return false;
  }
  return true;
}

bool CUpdateFiles::AddLocalFile(const std::wstring& path, const std::wstring* localPath) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  files_.RemoveIf([&](size_t i) { return platform::EqualsNoCase(files_.FullPath(i), path); });
  auto entry = std::make_unique<CUpdateFile>(path);
  if (!entry->ReadLocalFile()) return false;
  if (localPath) entry->LocalPath = *localPath;
  files_.Append(*entry);
  return true;
}

void CUpdateFiles::FillListCtrl(IListCtrl* listCtrl) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  unsigned counter = 1;
  CUpdateFile entry{std::wstring()};
  for (size_t i = 0; i < files_.size(); ++i) {
    files_.Read(i, &entry);
    int row = listCtrl->InsertItem(0, platform::Format(L"%u", counter++), true);
    if (row < 0) continue;
    listCtrl->SetItemText(row, 1, entry.FileVersion);
    listCtrl->SetItemText(row, 2, platform::Format(L"%lld", static_cast<long long>(entry.Length)));
    listCtrl->SetItemText(row, 3, entry.FileName);
    listCtrl->SetItemText(row, 4, entry.FullPath);
  }
}
