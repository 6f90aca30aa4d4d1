#include <gtest/gtest.h>

#include "manifest/update_files.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace {

class ManifestReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    files_.ModuleDir = L"/game";
    files_.WindowsDir = L"/win";
    files_.SystemDir = L"/sys";
  }
  std::wstring Doc(const std::string& body, const std::string& encoding = "UTF-8") {
    std::string path = dir_.File("doc" + std::to_string(++count_) + ".xml");
    WriteFileBytes(path, "<?xml version=\"1.0\" encoding=\"" + encoding + "\" ?>\r\n" + body);
    return platform::FromUtf8(path);
  }
  TempDir dir_;
  CUpdateFiles files_;
  int count_ = 0;
};

}  // namespace

TEST_F(ManifestReaderTest, ProductAttributesAreReadByPosition) {
  std::wstring list = Doc(
      "<xmlRoot><Product maxVersion=\"7\" productVerion=\"5\" UrlList1=\"a\" UrlList2=\"b\" "
      "x=\"c\" UrlList4=\"d\" UrlList5=\"e\" UrlList6=\"f\" UrlList7=\"g\" UrlList8=\"h\" "
      "filenum=\"0\"/></xmlRoot>");
  files_.LoadXml(list, true);
  EXPECT_EQ(files_.productVerion, L"7");  // the first attribute, whatever its name
  EXPECT_EQ(files_.maxVersion, L"5");
  files_.LoadUrlList(list);
  EXPECT_EQ(files_.UrlList[0], L"a");
  EXPECT_EQ(files_.UrlList[2], L"c");
  EXPECT_EQ(files_.UrlList[7], L"h");
}

TEST_F(ManifestReaderTest, MaxVersionComesFromTheFirstListOfTheRunOnly) {
  files_.LoadXml(Doc("<r><Product productVerion=\"1\" maxVersion=\"7\"/></r>"), true);
  files_.LoadXml(Doc("<r><Product productVerion=\"2\" maxVersion=\"9\"/></r>"), true);
  EXPECT_EQ(files_.productVerion, L"2");
  EXPECT_EQ(files_.maxVersion, L"7");
  // Another run's manifest starts afresh.
  CUpdateFiles next_run;
  next_run.LoadXml(Doc("<r><Product productVerion=\"2\" maxVersion=\"9\"/></r>"), true);
  EXPECT_EQ(next_run.maxVersion, L"9");
}

TEST_F(ManifestReaderTest, RootIsNeverTheProductAndShortListsKeepOldUrls) {
  files_.UrlList[1] = L"kept";
  std::wstring list = Doc("<Product productVerion=\"9\"><Product productVerion=\"3\" "
                          "maxVersion=\"4\" UrlList1=\"u\"/></Product>");
  files_.LoadXml(list, true);
  files_.LoadUrlList(list);
  EXPECT_EQ(files_.productVerion, L"3");
  EXPECT_EQ(files_.UrlList[0], L"u");
  EXPECT_EQ(files_.UrlList[1], L"kept");
}

TEST_F(ManifestReaderTest, FileEntriesMatchChildrenWithoutCaseAndClampNumbers) {
  std::wstring doc = Doc(
      "<xmlRoot><Product productVerion=\"6\"><File>"
      "<FILENAME>a.dll</FILENAME><length>-1</length><FileDateLow>3000000000</FileDateLow>"
      "<FileDateHigh>-1</FileDateHigh><md5>ABC</md5><SHA256>d00d</SHA256><LocalPath>data\\sub</LocalPath>"
      "<Unknown>x</Unknown><!-- note --><FileVersion>1.0</FileVersion><fileversion>2.0</fileversion>"
      "</File><file><FileName>not-an-entry</FileName></file></Product>"
      "<File><FileName>b.exe</FileName><InstallDir>systemdir</InstallDir></File></xmlRoot>");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  ASSERT_EQ(files_.GetCount(), 2u);
  const std::unique_ptr<CUpdateFile> a = files_.Entry(0);
  EXPECT_EQ(a->FileName, L"a.dll");
  EXPECT_EQ(a->Length, -1);
  EXPECT_EQ(a->FileDate.dwLowDateTime, 2147483647u);
  EXPECT_EQ(a->FileDate.dwHighDateTime, 4294967295u);
  EXPECT_EQ(a->Md5, L"ABC");
  EXPECT_EQ(a->Sha256, L"d00d");
  EXPECT_EQ(files_.Entry(files_.GetCount() - 1)->Sha256, L"");
  EXPECT_EQ(a->FileVersion, L"2.0");  // the later value wins
  EXPECT_EQ(a->FullPath, L"/game/data/sub/a.dll");
  EXPECT_EQ(files_.Entry(files_.GetCount() - 1)->FullPath, L"/sys/b.exe");
}

TEST_F(ManifestReaderTest, LengthsAreReadInFullAndTotalledIn64Bits) {
  std::wstring doc = Doc(
      "<r><File><FileName>a</FileName><Length>5368709127</Length></File>"
      "<File><FileName>b</FileName><Length>2147483648</Length></File>"
      "<File><FileName>c</FileName><Length> 2147483647x</Length></File>"
      "<File><FileName>d</FileName><Length>-7</Length></File></r>");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  std::vector<int64_t> lengths;
  files_.Update([&](CUpdateFile& e) {
    lengths.push_back(e.Length);
    e.NeedUpdate = true;
  });
  EXPECT_EQ(lengths, (std::vector<int64_t>{5368709127LL, 2147483648LL, 2147483647LL, -7}));
  EXPECT_EQ(files_.GetUpdateLength(), 5368709127ULL + 2147483648ULL + 2147483647ULL);
}

TEST_F(ManifestReaderTest, FileWithoutChildrenGetsInitialValues) {
  ASSERT_TRUE(files_.LoadXml(Doc("<r><File/></r>"), false));
  ASSERT_EQ(files_.GetCount(), 1u);
  const std::unique_ptr<CUpdateFile> e = files_.Entry(0);
  EXPECT_EQ(e->InstallDir, L"CURRENTDIR");
  EXPECT_EQ(e->Length, 0);
  EXPECT_EQ(e->FullPath, L"/game/");
  EXPECT_TRUE(files_.LoadXml(Doc("<r/>"), false));
  EXPECT_EQ(files_.GetCount(), 0u);
}

TEST_F(ManifestReaderTest, LoadingAVersionListEmptiesTheFiles) {
  files_.AddTail(std::make_unique<CUpdateFile>(L"/x"));
  files_.LoadXml(Doc("<r><Product productVerion=\"1\"/></r>"), true);
  EXPECT_EQ(files_.GetCount(), 0u);
}

TEST_F(ManifestReaderTest, Gb2312DocumentWrittenByHandIsDecoded) {
  // "<FileName>中文.dat</FileName>" in GB2312, as a Windows tool writes it;
  // 0x80 (the euro sign of code page 936) tests the superset fallback.
  std::wstring doc = Doc("<r><File><FileName>\xD6\xD0\xCE\xC4.dat</FileName>"
                         "<Md5>\x80</Md5></File></r>", "GB2312");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  ASSERT_EQ(files_.GetCount(), 1u);
  EXPECT_EQ(files_.Entry(0)->FileName, L"中文.dat");
  EXPECT_EQ(files_.Entry(0)->Md5, L"\u20AC");
}

TEST_F(ManifestReaderTest, BadDocumentsFailWithoutCrashingOrExpanding) {
  files_.productVerion = L"old";
  const std::string bad[] = {
      "",
      "<r><File><FileName>a</FileName></File>",  // truncated
      std::string("\x00\x01\x02\xff\xfe garbage", 14),
      "<r><File><FileName>\xD6\xD0</FileName></File></r>",  // GB2312 bytes, no declaration
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r><File><FileName>&x;</FileName></File></r>",
      "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
      "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
      "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\"><!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]>"
      "<r><Product productVerion=\"&h;\"/><File><FileName>&h;</FileName></File></r>",
  };
  for (const std::string& body : bad) {
    std::string path = dir_.File("bad.xml");
    WriteFileBytes(path, body);
    EXPECT_FALSE(files_.LoadXml(platform::FromUtf8(path), false)) << body.substr(0, 40);
    EXPECT_EQ(files_.GetCount(), 0u);
    files_.LoadXml(platform::FromUtf8(path), true);
    EXPECT_EQ(files_.productVerion, L"old");
  }
  EXPECT_FALSE(files_.LoadXml(dir_.WFile("missing.xml"), false));
}

TEST_F(ManifestReaderTest, ManifestOfSixtyThousandFilesIsReadWhole) {
  // Entries as the publisher writes them, more than 20 MB in all.
  const int kEntries = 60000;
  std::string body = "<xmlRoot keyname=\"KeyValue\">\r\n\t<Product productVerion=\"6\" maxVersion=\"6\">\r\n";
  body.reserve(kEntries * 360u);
  const std::string sha(64, 'a'), md5(32, 'b');
  for (int i = 0; i < kEntries; ++i) {
    const std::string n = std::to_string(i);
    body += "\t\t<File>\r\n\t\t\t<FileName>asset_" + n + ".pak</FileName>\r\n"
            "\t\t\t<FileVersion></FileVersion>\r\n\t\t\t<ProductVersion></ProductVersion>\r\n"
            "\t\t\t<Length>" + n + "</Length>\r\n\t\t\t<FileDateLow>3052453376</FileDateLow>\r\n"
            "\t\t\t<FileDateHigh>31021568</FileDateHigh>\r\n\t\t\t<InstallDir>CURRENTDIR</InstallDir>\r\n"
            "\t\t\t<LocalPath>data\\levels\\" + n + "</LocalPath>\r\n\t\t\t<Md5>" + md5 + "</Md5>\r\n"
            "\t\t\t<Sha256>" + sha + "</Sha256>\r\n\t\t</File>\r\n";
  }
  body += "\t</Product>\r\n</xmlRoot>\r\n";
  ASSERT_GT(body.size(), 20u << 20);
  ASSERT_TRUE(files_.LoadXml(Doc(body, "GB2312"), false));
  ASSERT_EQ(files_.GetCount(), static_cast<size_t>(kEntries));
  const std::unique_ptr<CUpdateFile> last = files_.Entry(files_.GetCount() - 1);
  EXPECT_EQ(last->FileName, L"asset_59999.pak");
  EXPECT_EQ(last->Length, 59999);
  EXPECT_EQ(last->Sha256, platform::FromAnsi(sha));
  EXPECT_EQ(last->FullPath, L"/game/data/levels/59999/asset_59999.pak");
}

TEST_F(ManifestReaderTest, CollectionOwnsAndHandsOutEntries) {
  files_.AddTail(std::make_unique<CUpdateFile>(L"/a"));
  files_.AddTail(std::make_unique<CUpdateFile>(L"/b"));
  files_.AddTail(std::make_unique<CUpdateFile>(L"/c"));
  EXPECT_EQ(files_.RemoveIf([](const CUpdateFile& e) { return e.FullPath == L"/a"; }), 1u);
  ASSERT_EQ(files_.GetCount(), 2u);
  std::unique_ptr<CUpdateFile> taken = files_.PopFront();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->FullPath, L"/b");
  files_.AddTail(std::move(taken));
  EXPECT_EQ(files_.PopFront()->FullPath, L"/c");
  EXPECT_EQ(files_.PopFront()->FullPath, L"/b");
  EXPECT_EQ(files_.PopFront(), nullptr);
}

// Entries as the publisher writes them for large files: the chunk index's
// name and digest follow the file's own digests. A reader that knows nothing
// of them must read every entry as before, and never take the index's digest
// for the file's.
TEST_F(ManifestReaderTest, ManifestWithChunkIndexesReadsAsBefore) {
  const std::string sha_a(64, 'a'), sha_c(64, 'c');
  std::wstring doc = Doc(
      "<xmlRoot keyname=\"KeyValue\">\r\n\t<Product productVerion=\"8\" maxVersion=\"8\" filenum=\"2\">\r\n"
      "\t\t<File>\r\n\t\t\t<FileName>pack.dat</FileName>\r\n\t\t\t<FileVersion></FileVersion>\r\n"
      "\t\t\t<ProductVersion></ProductVersion>\r\n\t\t\t<Length>134217728</Length>\r\n"
      "\t\t\t<FileDateLow>100</FileDateLow>\r\n\t\t\t<FileDateHigh>200</FileDateHigh>\r\n"
      "\t\t\t<InstallDir>CURRENTDIR</InstallDir>\r\n\t\t\t<LocalPath>data</LocalPath>\r\n"
      "\t\t\t<Md5>0123456789abcdef0123456789abcdef</Md5>\r\n\t\t\t<Sha256>" + sha_a + "</Sha256>\r\n"
      "\t\t\t<Chunks>pack.dat.chunks</Chunks>\r\n\t\t\t<ChunksSha256>" + sha_c + "</ChunksSha256>\r\n"
      "\t\t</File>\r\n"
      "\t\t<File>\r\n\t\t\t<FileName>small.txt</FileName>\r\n\t\t\t<Length>5</Length>\r\n"
      "\t\t\t<Md5>fedcba9876543210fedcba9876543210</Md5>\r\n\t\t</File>\r\n"
      "\t</Product>\r\n</xmlRoot>\r\n",
      "GB2312");
  files_.LoadXml(doc, true);
  EXPECT_EQ(files_.productVerion, L"8");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  ASSERT_EQ(files_.GetCount(), 2u);
  const std::unique_ptr<CUpdateFile> pack = files_.Entry(0);
  EXPECT_EQ(pack->FileName, L"pack.dat");
  EXPECT_EQ(pack->Length, 134217728);
  EXPECT_EQ(pack->FileDate.dwLowDateTime, 100u);
  EXPECT_EQ(pack->FileDate.dwHighDateTime, 200u);
  EXPECT_EQ(pack->InstallDir, L"CURRENTDIR");
  EXPECT_EQ(pack->LocalPath, L"data");
  EXPECT_EQ(pack->Md5, L"0123456789abcdef0123456789abcdef");
  EXPECT_EQ(pack->Sha256, platform::FromUtf8(sha_a));
  EXPECT_EQ(pack->FullPath, L"/game/data/pack.dat");
  const std::unique_ptr<CUpdateFile> small = files_.Entry(files_.GetCount() - 1);
  EXPECT_EQ(small->FileName, L"small.txt");
  EXPECT_EQ(small->Length, 5);
  EXPECT_EQ(small->Md5, L"fedcba9876543210fedcba9876543210");
  EXPECT_EQ(small->Sha256, L"");
}

// Child texts are everything inside the child, as the tree reader gave them:
// entities and character references decoded, CDATA taken as it stands,
// markup inside the child left out, and spaces kept.
TEST_F(ManifestReaderTest, ChildTextIsTheWholeContentOfTheChild) {
  std::wstring doc = Doc(
      "<r xmlns=\"urn:x\"><Product xmlns:p=\"urn:p\" productVerion=\"4\" maxVersion=\"5\"/>"
      "<File>ignored text<FileName> a &amp; b&#x4E2D;<i>c</i><![CDATA[<d>]]> </FileName>"
      "<LocalPath/><Md5><!-- none --></Md5></File>"
      "<File><FileName>second</FileName></File></r>");
  files_.LoadXml(doc, true);
  EXPECT_EQ(files_.productVerion, L"4");  // the namespace declaration is no attribute
  EXPECT_EQ(files_.maxVersion, L"5");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  ASSERT_EQ(files_.GetCount(), 2u);
  EXPECT_EQ(files_.Entry(0)->FileName, L" a & b\u4E2Dc<d> ");
  EXPECT_EQ(files_.Entry(0)->LocalPath, L"");
  EXPECT_EQ(files_.Entry(0)->Md5, L"");
  EXPECT_EQ(files_.Entry(files_.GetCount() - 1)->FileName, L"second");
}

// Read in one pass, a document is still judged whole: nothing of one that
// turns out to be cut short or broken after its first entries is taken.
TEST_F(ManifestReaderTest, AFaultAfterTheFirstEntriesRefusesTheWholeDocument) {
  std::string entries;
  for (int i = 0; i < 5000; ++i) entries += "<File><FileName>f" + std::to_string(i) + "</FileName></File>";
  const std::string head = "<r><Product productVerion=\"9\" maxVersion=\"9\"/>" + entries;
  for (const std::string& tail : {std::string("<File><FileName>x</FileName>"), std::string("</r><r/>"),
                                  std::string("<File></Fil></r>"), std::string("</r>\xff")}) {
    files_.productVerion = L"old";
    const std::wstring doc = Doc(head + tail);
    EXPECT_FALSE(files_.LoadXml(doc, false)) << tail;
    EXPECT_EQ(files_.GetCount(), 0u) << tail;
    files_.LoadXml(doc, true);
    EXPECT_EQ(files_.productVerion, L"old") << tail;
  }
  ASSERT_TRUE(files_.LoadXml(Doc(head + "</r>"), false));
  EXPECT_EQ(files_.GetCount(), 5000u);
}

TEST_F(ManifestReaderTest, ByteOrderMarksAndUtf16AreRead) {
  const std::string utf8_bom = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><File><FileName>"
                               "\xE4\xB8\xAD.dat</FileName></File></r>";
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r><File><FileName>u.dat</FileName></File></r>")) {
    utf16 += c;
    utf16 += '\0';
  }
  const std::pair<std::string, std::wstring> cases[] = {{utf8_bom, L"\u4E2D.dat"}, {utf16, L"u.dat"}};
  for (const auto& c : cases) {
    const std::string path = dir_.File("bom.xml");
    WriteFileBytes(path, c.first);
    ASSERT_TRUE(files_.LoadXml(platform::FromUtf8(path), false));
    ASSERT_EQ(files_.GetCount(), 1u);
    EXPECT_EQ(files_.Entry(0)->FileName, c.second);
  }
}

// A tool that writes its manifest with a namespace prefix: the names are
// matched without it, as they always were.
TEST_F(ManifestReaderTest, PrefixedElementsAreMatchedByTheirLocalName) {
  std::wstring doc = Doc("<m:r xmlns:m=\"urn:m\"><m:Product productVerion=\"3\"/>"
                         "<m:File><m:FileName>a.dat</m:FileName><m:Length>7</m:Length></m:File></m:r>");
  files_.LoadXml(doc, true);
  EXPECT_EQ(files_.productVerion, L"3");
  ASSERT_TRUE(files_.LoadXml(doc, false));
  ASSERT_EQ(files_.GetCount(), 1u);
  EXPECT_EQ(files_.Entry(0)->FileName, L"a.dat");
  EXPECT_EQ(files_.Entry(0)->Length, 7);
}
