#include <gtest/gtest.h>

#include "platform/instance_lock.h"
#include "platform/process.h"
#include "support/temp_dir.h"

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

TEST(InstanceLock, OneHolderAtATimeAndTheLockGoesWithItsHolder) {
  TempDir dir;
  const std::wstring path = dir.WFile("UpdateTemp.lock");
  {
    platform::InstanceLock first;
    ASSERT_TRUE(first.Acquire(path));
    platform::InstanceLock second;
    EXPECT_FALSE(second.Acquire(path));
  }
  platform::InstanceLock third;
  EXPECT_TRUE(third.Acquire(path));
  // Where no lock file can be made, nobody is kept out.
  platform::InstanceLock nowhere;
  EXPECT_TRUE(nowhere.Acquire(dir.WFile("missing/UpdateTemp.lock")));
}
