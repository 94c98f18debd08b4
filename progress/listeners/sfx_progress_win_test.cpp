#include "progress/listeners/sfx_progress.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "log/logger.h"

namespace tzk::progress {
namespace {

// What the command-line tool prints for the value, as a support engineer would read it.
std::string regQuery() {
  std::string output;
  FILE* pipe = ::_wpopen(L"reg query HKCR\\ZantiPersistentStorage /v QelvoProgress", L"r");
  if (pipe == nullptr) return output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  ::_pclose(pipe);
  return output;
}

TEST(SfxProgress, LastShownPercentageStaysInTheRegistry) {
  ::RegDeleteKeyW(HKEY_CLASSES_ROOT, kProgressKey);
  ProgressCallback callback;
  SfxProgress publisher;
  ASSERT_TRUE(callback.addListener(&publisher));
  callback.setTotal(Level::kOverall, 4);
  for (int file = 0; file < 4; ++file) callback.advance(Level::kOverall, 1);

  DWORD value = 0, size = sizeof value, type = 0;
  ASSERT_EQ(::RegGetValueW(HKEY_CLASSES_ROOT, kProgressKey, kProgressValue, RRF_RT_ANY, &type, &value, &size), 0);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 100u);
  const std::string shown = regQuery();
  EXPECT_NE(shown.find("REG_DWORD"), std::string::npos) << shown;
  EXPECT_NE(shown.find("0x64"), std::string::npos) << shown;
}

TEST(SfxProgress, KeyThatCannotBeMadeLeavesOneRecordAndNothingElse) {
  // The classes root of this process is pointed at a key that is already deleted: creating
  // anything below it fails as a locked-down registry would.
  HKEY gone = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TzkSfxProgressGone", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &gone, nullptr), 0);
  ASSERT_EQ(::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TzkSfxProgressGone"), 0);
  ASSERT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, gone), 0);

  const std::size_t before = log::theLogger().history().size();
  ProgressCallback callback;
  SfxProgress publisher;
  callback.addListener(&publisher);
  callback.setTotal(Level::kOverall, 2);
  EXPECT_FALSE(callback.advance(Level::kOverall, 1));  // the run goes on, nothing cancelled
  ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  ::RegCloseKey(gone);

  const auto history = log::theLogger().history();
  ASSERT_EQ(history.size(), before + 1);
  EXPECT_EQ(history.back().message.rfind(L"Cannot create registry key: ZantiPersistentStorage, code ", 0), 0u)
      << history.back().message;
}

}  // namespace
}  // namespace tzk::progress
