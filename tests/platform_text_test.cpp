#include <gtest/gtest.h>

#include "platform/text.h"

using platform::Format;
using platform::LeadingInt;

TEST(Text, FormatCoversTheSystemsFormatStrings) {
  EXPECT_EQ(Format(L"正在连接 %s 号游戏服务器 ", L"3"), L"正在连接 3 号游戏服务器 ");
  EXPECT_EQ(Format(L"需更新文件总数: %u,文件总长度: %u KB", 3u, 1500u),
            L"需更新文件总数: 3,文件总长度: 1500 KB");
  EXPECT_EQ(Format(L"%d%c (%d/%d)", 37, L'%', 3, 12), L"37% (3/12)");
  EXPECT_EQ(Format(L"Temp%d", -2), L"Temp-2");
  EXPECT_EQ(Format(L"%d-%02d-%02d", 2026, 3, 5), L"2026-03-05");
  EXPECT_EQ(Format(L"%llu", 5ULL << 30), L"5368709120");
  EXPECT_EQ(Format(L"100%%"), L"100%");
}

TEST(Text, LeadingIntReadsDigitsUpToTheFirstOtherCharacter) {
  EXPECT_EQ(LeadingInt(L"  12abc"), 12);
  EXPECT_EQ(LeadingInt(L"-5"), -5);
  EXPECT_EQ(LeadingInt(L"+7.3"), 7);
  EXPECT_EQ(LeadingInt(L"abc"), 0);
  EXPECT_EQ(LeadingInt(L""), 0);
  EXPECT_EQ(LeadingInt(L"3000000000"), 2147483647);
  EXPECT_EQ(LeadingInt(L"-3000000000"), -2147483647 - 1);
  EXPECT_EQ(LeadingInt(L"99999999999999999999999999"), 2147483647);
  EXPECT_EQ(static_cast<uint32_t>(LeadingInt(L"-1")), 4294967295u);
}

TEST(Text, AnsiRoundTripKeepsChineseAndNeverCutsACharacter) {
  std::wstring name = L"更新文件 a.dll";
  EXPECT_EQ(platform::FromAnsi(platform::ToAnsi(name)), name);
  // A truncated multi-byte sequence decodes to a replacement, not garbage.
  std::string bytes = platform::ToAnsi(L"中");
  bytes.pop_back();
  EXPECT_EQ(platform::FromAnsi(bytes).find(L'中'), std::wstring::npos);
  EXPECT_FALSE(platform::FromAnsi(bytes).empty());
}

TEST(Text, Gb2312DecodesAndEncodes) {
  std::wstring decoded;
  ASSERT_TRUE(platform::DecodeCharset("\xD6\xD0\xCE\xC4", "GB2312", &decoded));
  EXPECT_EQ(decoded, L"中文");
  EXPECT_EQ(platform::EncodeCharset(L"中文", "GB2312", nullptr), "\xD6\xD0\xCE\xC4");
  auto ref = [](wchar_t c) { return "&#" + std::to_string(static_cast<unsigned>(c)) + ";"; };
  EXPECT_EQ(platform::EncodeCharset(L"a\U0001F600b", "GB2312", ref), "a&#128512;b");
}

TEST(Text, CaseHelpersTouchAsciiOnly) {
  EXPECT_TRUE(platform::EqualsNoCase(L"Updater.EXE", L"updater.exe"));
  EXPECT_FALSE(platform::EqualsNoCase(L"a", L"ab"));
  EXPECT_EQ(platform::ToUpperAscii(L"kelvora.exe中"), L"KELVORA.EXE中");
  EXPECT_TRUE(platform::EndsWith(L"x.xml.update", L".update"));
}
