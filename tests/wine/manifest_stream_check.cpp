// The streamed manifest reader of the Windows back end, checked under Wine
// as part of platform_win32_check.
#include <string>

#include "manifest/update_files.h"
#include "platform/file.h"

namespace {

bool Write(const std::wstring& path, const std::string& data) {
  platform::File file;
  return file.Open(path, platform::File::kCreateTruncate) && file.Write(data.data(), data.size()) &&
         file.Close();
}

}  // namespace

// The streamed reader decodes the bytes itself, in pieces: characters of
// two or three bytes that straddle a piece, every encoding a manifest comes
// in, and documents that are refused after their first entries.
void CheckManifestStream(const std::wstring& dir, void (*Check)(bool ok, const char* what)) {
  const std::wstring path = dir + L"\\FileConfig.xml";
  CUpdateFiles files;
  files.SetBaseDirectories(L"C:\\game");
  std::string gbk = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<xmlRoot><Product productVerion=\"6\" maxVersion=\"7\">";
  std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<xmlRoot><Product productVerion=\"6\">";
  const int kEntries = 40000;
  for (int i = 0; i < kEntries; ++i) {
    // "中文" in code page 936 and in UTF-8, with an odd-length prefix so the
    // multi-byte characters fall on every offset of a piece.
    const std::string n = std::to_string(i);
    gbk += "<File><FileName>" + std::string(i % 3, 'x') + "\xD6\xD0\xCE\xC4" + n + "\x80</FileName><Length>" + n +
           "</Length><Md5><![CDATA[m&" + n + "]]></Md5></File>";
    utf8 += "<File><FileName>" + std::string(i % 5, 'y') + "\xE4\xB8\xAD\xF0\x9F\x98\x80" + n + "</FileName></File>";
  }
  gbk += "</Product></xmlRoot>";
  utf8 += "</Product></xmlRoot>";
  Check(Write(path, gbk) && files.LoadXml(path, false) && files.GetCount() == static_cast<unsigned>(kEntries),
        "a code page 936 manifest of 40,000 entries is read");
  if (files.GetCount() == static_cast<unsigned>(kEntries)) {
    const std::unique_ptr<CUpdateFile> entry = files.Entry(files.GetCount() - 1);
    const CUpdateFile& last = *entry;
    Check(last.FileName == L"\u4E2D\u6587" + std::to_wstring(kEntries - 1) + L"\u20AC" && last.Length == kEntries - 1 &&
              last.Md5 == L"m&" + std::to_wstring(kEntries - 1) && last.FullPath == L"C:\\game\\" + last.FileName,
          "its last entry is decoded exactly");
  }
  files.LoadXml(path, true);
  Check(files.productVerion == L"6" && files.maxVersion == L"7", "the Product attributes are read by position");
  Check(Write(path, "\xEF\xBB\xBF" + utf8) && files.LoadXml(path, false) &&
            files.GetCount() == static_cast<unsigned>(kEntries) &&
            files.Entry(files.GetCount() - 1)->FileName == L"yyyy\u4E2D\U0001F600" + std::to_wstring(kEntries - 1),
        "a UTF-8 manifest with a byte-order mark is read");
  // UTF-16 is read in pieces too: a character outside the BMP, its two
  // halves on either side of a piece, and a text far longer than a piece.
  std::wstring wide = L"<r><File><FileName>";
  wide.append(32766 - wide.size(), L'a');
  wide += L"\U0001F600</FileName></File><File><FileName>";
  wide.append(300000, L'b');
  wide += L"</FileName></File></r>";
  std::string utf16 = "\xFF\xFE";
  utf16.append(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  Check(Write(path, utf16) && files.LoadXml(path, false) && files.GetCount() == 2 &&
            files.Entry(0)->FileName == std::wstring(32766 - 19, L'a') + L"\U0001F600" &&
            files.Entry(files.GetCount() - 1)->FileName == std::wstring(300000, L'b'),
        "a UTF-16 manifest keeps characters split between pieces and texts longer than a piece");
  const std::string refused[] = {
      utf8.substr(0, utf8.size() - 3),
      "<!DOCTYPE r [<!ENTITY x \"y\">]><r><File><FileName>&x;</FileName></File></r>",
      "<r><File><FileName>a</FileName></File></r><r/>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><File><FileName>\xD6\xD0</FileName></File></r>",
      "",
      "\xEF\xBB\xBF",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n",
      "\xEF\xBB\xBF<!-- no element -->",
  };
  for (const std::string& body : refused) {
    files.productVerion = L"old";
    const bool read = Write(path, body) && files.LoadXml(path, false);
    files.LoadXml(path, true);
    Check(!read && files.GetCount() == 0 && files.productVerion == L"old", "a broken manifest is refused whole");
  }
}

