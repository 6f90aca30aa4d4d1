#include <gtest/gtest.h>

#include "manifest/update_files.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

struct RecordingList : IListCtrl {
  std::vector<std::vector<std::wstring>> rows;  // row 0 is the top
  int InsertItem(int index, const std::wstring& text, bool) override {
    rows.insert(rows.begin() + index, std::vector<std::wstring>(5));
    rows[index][0] = text;
    return index;
  }
  void SetItemText(int row, int column, const std::wstring& text) override { rows[row][column] = text; }
};

std::unique_ptr<CUpdateFile> MakeEntry(const std::wstring& name, const std::wstring& local) {
  auto e = std::make_unique<CUpdateFile>(L"/ignored");
  e->FileName = name;
  e->FileVersion = L"1.0.0.1";
  e->ProductVersion = L"2&<3\"";
  e->Length = 5368709120LL + 7;  // 5 GiB + 7: written in full
  e->FileDate = {3000000000u, 30000000u};
  e->LocalPath = local;
  e->Md5 = L"d41d8cd98f00b204e9800998ecf8427e";
  return e;
}

}  // namespace

TEST(ManifestWriter, EmptyManifestHasTheExactLayout) {
  TempDir dir;
  CUpdateFiles files;
  files.productVerion = L"5";
  files.maxVersion = L"7";
  files.UrlList[0] = L"http://a";
  ASSERT_TRUE(files.SaveXml(dir.WFile("m.xml")));
  EXPECT_EQ(ReadFileBytes(dir.File("m.xml")),
            "<?xml version=\"1.0\" encoding=\"GB2312\" ?> \r\n<xmlRoot keyname=\"KeyValue\">\r\n"
            "\t<Product productVerion=\"5\" maxVersion=\"7\" UrlList1=\"http://a\" UrlList2=\"\" "
            "UrlList3=\"\"\r\n UrlList4=\"\" UrlList5=\"\" UrlList6=\"\" UrlList7=\"\" "
            "UrlList8=\"\" filenum=\"0\">\r\n\t</Product>\r\n</xmlRoot>\r\n");
}

TEST(ManifestWriter, EntryLayoutNumbersAndEscapes) {
  TempDir dir;
  CUpdateFiles files;
  files.AddTail(MakeEntry(L"a&b<c.dll", L"data"));
  ASSERT_TRUE(files.SaveXml(dir.WFile("m.xml")));
  std::string text = ReadFileBytes(dir.File("m.xml"));
  EXPECT_NE(text.find("\t\t<File>\r\n\t\t\t<FileName>a&amp;b&lt;c.dll</FileName>\r\n"
                      "\t\t\t<FileVersion>1.0.0.1</FileVersion>\r\n"
                      "\t\t\t<ProductVersion>2&amp;&lt;3&quot;</ProductVersion>\r\n"
                      "\t\t\t<Length>5368709127</Length>\r\n\t\t\t<FileDateLow>3000000000</FileDateLow>\r\n"
                      "\t\t\t<FileDateHigh>30000000</FileDateHigh>\r\n"
                      "\t\t\t<InstallDir>CURRENTDIR</InstallDir>\r\n\t\t\t<LocalPath>data</LocalPath>\r\n"
                      "\t\t\t<Md5>d41d8cd98f00b204e9800998ecf8427e</Md5>\r\n\t\t</File>\r\n"),
            std::string::npos);
}

TEST(ManifestWriter, RoundTripKeepsValuesIncludingChineseAndMarkup) {
  TempDir dir;
  CUpdateFiles out;
  out.productVerion = L"6";
  out.maxVersion = L"9";
  out.UrlList[7] = L"http://h/?a=1&b=\"2\"";
  out.AddTail(MakeEntry(L"中文 名.dat", L"数据/sub"));
  std::unique_ptr<CUpdateFile> outside = MakeEntry(L"x\U0001F600.bin", L"");  // outside GB2312: a character reference
  outside->Sha256 = std::wstring(64, L'e');
  out.AddTail(std::move(outside));
  ASSERT_TRUE(out.SaveXml(dir.WFile("m.xml")));
  EXPECT_NE(ReadFileBytes(dir.File("m.xml")).find("\xD6\xD0\xCE\xC4"), std::string::npos);

  CUpdateFiles in;
  in.ModuleDir = L"/g";
  in.LoadXml(dir.WFile("m.xml"), true);
  in.LoadUrlList(dir.WFile("m.xml"));
  EXPECT_EQ(in.productVerion, L"6");
  EXPECT_EQ(in.maxVersion, L"9");
  EXPECT_EQ(in.UrlList[7], out.UrlList[7]);
  ASSERT_TRUE(in.LoadXml(dir.WFile("m.xml"), false));
  ASSERT_EQ(in.GetCount(), 2u);
  for (unsigned i = 0; i < 2; ++i) {
    const std::unique_ptr<CUpdateFile> e = in.Entry(i);
    const std::unique_ptr<CUpdateFile> written = out.Entry(i);
    EXPECT_EQ(e->FileName, written->FileName);
    EXPECT_EQ(e->ProductVersion, written->ProductVersion);
    EXPECT_EQ(e->LocalPath, written->LocalPath);
    EXPECT_EQ(e->Md5, written->Md5);
    EXPECT_EQ(e->Sha256, written->Sha256);
    EXPECT_EQ(e->Length, 5368709127LL);
    EXPECT_EQ(e->FileDate.dwLowDateTime, 2147483647u);  // read back clamped
  }
  EXPECT_EQ(in.Entry(0)->FullPath, L"/g/数据/sub/中文 名.dat");
}

TEST(ManifestWriter, AddLocalFileReplacesTheSameFileInAnyCase) {
  TempDir dir;
  WriteFileBytes(dir.File("A.dat"), "abc");
  CUpdateFiles files;
  std::wstring local = L"sub";
  ASSERT_TRUE(files.AddLocalFile(dir.WFile("A.dat"), &local));
  std::wstring upper = platform::ToUpperAscii(dir.WFile("A.dat"));
  files.AddTail(std::make_unique<CUpdateFile>(upper));
  ASSERT_TRUE(files.AddLocalFile(dir.WFile("A.dat"), nullptr));
  ASSERT_EQ(files.GetCount(), 1u);
  EXPECT_EQ(files.Entry(0)->Md5, L"900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(files.Entry(0)->LocalPath, L"");
  EXPECT_FALSE(files.AddLocalFile(dir.WFile("missing"), nullptr));
}

TEST(ManifestWriter, ListShowsEntriesInReverseInsertionOrder) {
  CUpdateFiles files;
  files.AddTail(MakeEntry(L"first", L""));
  files.AddTail(MakeEntry(L"second", L""));
  RecordingList list;
  files.FillListCtrl(&list);
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.rows[0][0], L"2");
  EXPECT_EQ(list.rows[0][3], L"second");
  EXPECT_EQ(list.rows[1][2], L"5368709127");
}

TEST(ManifestWriter, UnwritableTargetFails) {
  CUpdateFiles files;
  EXPECT_FALSE(files.SaveXml(L"/nonexistent-dir/m.xml"));
}

TEST(ManifestWriter, ChunkIndexFieldsFollowTheDigestsAndRoundTrip) {
  TempDir dir;
  CUpdateFiles out;
  std::unique_ptr<CUpdateFile> pack = MakeEntry(L"pack.dat", L"data");
  pack->Sha256 = std::wstring(64, L'a');
  pack->Chunks = L"pack.dat.chunks";
  pack->ChunksSha256 = std::wstring(64, L'c');
  out.AddTail(std::move(pack));
  out.AddTail(MakeEntry(L"small.txt", L""));
  ASSERT_TRUE(out.SaveXml(dir.WFile("m.xml")));
  const std::string text = ReadFileBytes(dir.File("m.xml"));
  // The layout the reader test of manifests with indexes takes.
  EXPECT_NE(text.find("\t\t\t<Sha256>" + std::string(64, 'a') + "</Sha256>\r\n"
                      "\t\t\t<Chunks>pack.dat.chunks</Chunks>\r\n"
                      "\t\t\t<ChunksSha256>" + std::string(64, 'c') + "</ChunksSha256>\r\n"
                      "\t\t</File>\r\n"),
            std::string::npos);
  EXPECT_EQ(text.find("<Chunks>", text.find("small.txt")), std::string::npos);

  CUpdateFiles in;
  ASSERT_TRUE(in.LoadXml(dir.WFile("m.xml"), false));
  ASSERT_EQ(in.GetCount(), 2u);
  EXPECT_EQ(in.Entry(0)->Chunks, L"pack.dat.chunks");
  EXPECT_EQ(in.Entry(0)->ChunksSha256, std::wstring(64, L'c'));
  EXPECT_EQ(in.Entry(0)->Sha256, std::wstring(64, L'a'));
  EXPECT_EQ(in.Entry(in.GetCount() - 1)->Chunks, L"");
  EXPECT_EQ(in.Entry(in.GetCount() - 1)->ChunksSha256, L"");
}
