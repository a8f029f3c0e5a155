// The one-slot text cache, counting the loads it makes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/app_state.h"
#include "app/resource_text.h"
#include "res/resource.h"
#include "support/iat_patch.h"

namespace {

typedef int(WINAPI *LoadStringProc)(HINSTANCE, UINT, LPSTR, int);
LoadStringProc RealLoadString;
int Loads;

int WINAPI CountingLoadString(HINSTANCE instance, UINT id, LPSTR text, int size) {
  ++Loads;
  return RealLoadString(instance, id, text, size);
}

class TextCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppInstance = GetModuleHandleA(NULL);
    TextCache.lastId = -1;
    Loads = 0;
    RealLoadString = (LoadStringProc)PatchImport(GetModuleHandleA(NULL), "user32.dll", "LoadStringA",
                                                 (void *)CountingLoadString);
  }
  void TearDown() override {
    PatchImport(GetModuleHandleA(NULL), "user32.dll", "LoadStringA", (void *)RealLoadString);
  }
};

TEST_F(TextCacheTest, SameIdTwiceLoadsOnce) {
  EXPECT_STREQ("N/A", GetResourceText(IDS_NA));
  EXPECT_STREQ("N/A", GetResourceText(IDS_NA));
  EXPECT_EQ(1, Loads);
}

TEST_F(TextCacheTest, AnotherIdInBetweenLoadsAgain) {
  std::string first = GetResourceText(IDS_ASPI_INIT_FAILED);
  EXPECT_STREQ("N/A", GetResourceText(IDS_NA));
  EXPECT_EQ(first, GetResourceText(IDS_ASPI_INIT_FAILED));
  EXPECT_EQ(3, Loads);
}

TEST_F(TextCacheTest, KeepsTheWholeRestartPrompt) {
  std::string prompt = GetResourceText(IDS_AUTOPLAY_DISABLED);
  EXPECT_EQ(136u, prompt.size());
  EXPECT_EQ(5, (int)std::count(prompt.begin(), prompt.end(), '\n'));
}

TEST_F(TextCacheTest, MissingEntryStillCountsAsCached) {
  EXPECT_STREQ("", GetResourceText(51));
  GetResourceText(51);
  EXPECT_EQ(1, Loads);
}

}  // namespace
