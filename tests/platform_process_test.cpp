#include <gtest/gtest.h>

#include "platform/process.h"

TEST(OpenUrl, OnlyWebAddressesAreHandedToTheOpener) {
  EXPECT_TRUE(platform::IsWebAddress(L"http://game.example/home"));
  EXPECT_TRUE(platform::IsWebAddress(L"HTTPS://game.example/"));
  EXPECT_FALSE(platform::IsWebAddress(L"file:///etc/shadow"));
  EXPECT_FALSE(platform::IsWebAddress(L"/etc/shadow"));
  EXPECT_FALSE(platform::IsWebAddress(L"kelvora.exe"));
  EXPECT_FALSE(platform::IsWebAddress(L"javascript:alert(1)"));
  EXPECT_FALSE(platform::IsWebAddress(L"http:/x"));
  EXPECT_FALSE(platform::IsWebAddress(L"http://a b"));
  EXPECT_FALSE(platform::IsWebAddress(L"http://a\nb"));
  EXPECT_FALSE(platform::IsWebAddress(L""));
  // Refused before anything is started.
  EXPECT_FALSE(platform::OpenUrl(L"file:///etc/shadow"));
}
