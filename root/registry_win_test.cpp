#include "root/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/logger.h"
#include "root/win_test_support.h"

namespace tzk::root {
namespace {

using testing::KeyExists;
using testing::ReadRaw;
using testing::SystemIsWow64;
using testing::WriteRaw;
using testing::WriteString;

// A scratch branch under HKCU and HKLM, removed before and after each test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = L"Software\\tzk_root_test_" + std::to_wstring(::GetCurrentProcessId());
    removeScratch();
  }
  void TearDown() override {
    SetRegistryFunctionLookup(nullptr);
    removeScratch();
  }
  void removeScratch() {
    testing::RemoveKey(HKEY_CURRENT_USER, path_);
    testing::RemoveKey(HKEY_LOCAL_MACHINE, path_);
    testing::RemoveKey(HKEY_LOCAL_MACHINE, path_, KEY_WOW64_64KEY);
  }
  std::wstring below(const std::wstring& rest) const { return path_ + L"\\" + rest; }

  // Three levels with siblings and values, so that a deletion must walk every level.
  void makeBranch(HKEY root, REGSAM view = 0) {
    for (const wchar_t* key : {L"a\\a1\\a11", L"a\\a1\\a12", L"a\\a2", L"b"}) {
      WriteString(root, below(key), L"v", L"text", REG_SZ, view);
    }
    WriteString(root, path_, L"top", L"x", REG_SZ, view);
  }

  std::wstring path_;
};

std::wstring lastLogMessage() {
  const auto history = log::theLogger().history();
  return history.empty() ? std::wstring() : history.back().message;
}

TEST_F(RegistryTest, SetValueWritesTerminatedStringsAndNumbersAlongANewPath) {
  const std::wstring deep = below(L"one\\two\\three");
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, below(L"one")));
  ASSERT_TRUE(SetRegistryValue(HKEY_CURRENT_USER, deep.c_str(), L"Text", L"hello"));
  DWORD type = 0;
  const auto text = ReadRaw(HKEY_CURRENT_USER, deep, L"Text", type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(text.size(), 12u);
  EXPECT_EQ(std::memcmp(text.data(), L"hello", 12), 0);  // the terminator is part of the value

  const std::uint32_t number = 0xA0B0C0D0;
  ASSERT_TRUE(SetRegistryValue(HKEY_CURRENT_USER, deep.c_str(), L"Number", L"ignored", &number));
  const auto data = ReadRaw(HKEY_CURRENT_USER, deep, L"Number", type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(data.size(), 4u);
  EXPECT_EQ(std::memcmp(data.data(), &number, 4), 0);
}

TEST_F(RegistryTest, KeyCreationFailureIsLogged) {
  const HKEY bogus = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234));
  EXPECT_FALSE(EnsureRegistryKey(bogus, L"Some\\Path", 0));
  EXPECT_EQ(lastLogMessage(), L"Cannot create registry key: Some\\Path, code 6 (0x00000006)");
  EXPECT_FALSE(SetRegistryValue(bogus, L"Some\\Path", L"v", L"x"));
}

TEST_F(RegistryTest, ReadStringDropsTrailingNulsAndGrowsForLongValues) {
  WriteRaw(HKEY_CURRENT_USER, path_, L"bare", REG_SZ, L"abc", 6);
  WriteRaw(HKEY_CURRENT_USER, path_, L"padded", REG_SZ, L"abc\0\0\0", 14);
  const std::wstring longText(1000, L'x');
  WriteString(HKEY_CURRENT_USER, path_, L"long", longText, REG_EXPAND_SZ);

  vocabulary::ScopedRegKey key;
  ASSERT_EQ(OpenRegistryKeyByRootName(nullptr, L"HKEY_CURRENT_USER", path_.c_str(), KEY_READ, key), 0u);
  std::wstring text = L"stale";
  DWORD type = 99;
  EXPECT_EQ(ReadRegistryString(key.get(), L"bare", text, &type), 0u);
  EXPECT_EQ(text, L"abc");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(ReadRegistryString(key.get(), L"padded", text, &type), 0u);
  EXPECT_EQ(text, L"abc");
  EXPECT_EQ(ReadRegistryString(key.get(), L"long", text, &type), 0u);
  EXPECT_EQ(text, longText);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));

  EXPECT_EQ(ReadRegistryString(key.get(), L"missing", text, &type), 2u);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(ReadRegistryString(nullptr, L"bare", text, &type), 87u);
  EXPECT_EQ(ReadRegistryString(key.get(), nullptr, text, &type), 87u);
}

TEST_F(RegistryTest, RootNamesAreExact) {
  WriteString(HKEY_CURRENT_USER, path_, L"v", L"x");
  vocabulary::ScopedRegKey key;
  EXPECT_EQ(OpenRegistryKeyByRootName(nullptr, L"hkey_current_user", path_.c_str(), KEY_READ, key), 87u);
  EXPECT_EQ(OpenRegistryKeyByRootName(nullptr, L"HKCU", path_.c_str(), KEY_READ, key), 87u);
  EXPECT_EQ(OpenRegistryKeyByRootName(nullptr, nullptr, path_.c_str(), KEY_READ, key), 87u);
  EXPECT_EQ(OpenRegistryKeyByRootName(HKEY_CURRENT_USER, nullptr, nullptr, KEY_READ, key), 87u);
  EXPECT_FALSE(key.valid());
  EXPECT_EQ(OpenRegistryKeyByRootName(nullptr, L"HKEY_CURRENT_USER", below(L"none").c_str(), KEY_READ, key), 2u);

  // A handle wins over a name.
  EXPECT_EQ(OpenRegistryKeyByRootName(HKEY_CURRENT_USER, L"nonsense", path_.c_str(), KEY_READ, key), 0u);
  EXPECT_TRUE(key.valid());
}

TEST_F(RegistryTest, MachineValuesOfAnyType) {
  const std::uint32_t number = 1995;
  ASSERT_TRUE(SetRegistryValue(HKEY_LOCAL_MACHINE, path_.c_str(), L"Number", nullptr, &number));
  ASSERT_TRUE(SetRegistryValue(HKEY_LOCAL_MACHINE, path_.c_str(), L"Text", L"1995"));
  WriteRaw(HKEY_LOCAL_MACHINE, path_, L"Short", REG_DWORD, "\x01\x02", 2);

  std::vector<std::uint8_t> data;
  DWORD size = 0, type = 0;
  EXPECT_EQ(QueryRegistryValue(path_.c_str(), L"Text", size, data, type), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 10u);
  ASSERT_EQ(data.size(), 10u);
  EXPECT_EQ(std::memcmp(data.data(), L"1995", 10), 0);
  EXPECT_EQ(QueryRegistryValue(path_.c_str(), L"Missing", size, data, type), 2u);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(QueryRegistryValue(below(L"none").c_str(), L"Text", size, data, type), 2u);

  // A REG_DWORD stored shorter than four bytes comes back as stored.
  EXPECT_EQ(QueryRegistryValue(path_.c_str(), L"Short", size, data, type), 0u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data.size(), 2u);
  EXPECT_EQ(QueryRegistryValue(path_.c_str(), L"Number", size, data, type), 0u);
  ASSERT_EQ(data.size(), sizeof number);
  EXPECT_EQ(std::memcmp(data.data(), &number, sizeof number), 0);
}

TEST_F(RegistryTest, DeleteBranchRefusesEmptyPathsAndReportsMissingKeys) {
  WriteString(HKEY_CURRENT_USER, path_, L"v", L"x");
  EXPECT_EQ(DeleteBranchImpl(HKEY_CURRENT_USER, L"", 0, false), 2u);
  EXPECT_EQ(DeleteBranchImpl(HKEY_CURRENT_USER, nullptr, 0, false), 2u);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, path_));
  EXPECT_EQ(DeleteBranchImpl(HKEY_CURRENT_USER, below(L"missing").c_str(), 0, true), 2u);
}

TEST_F(RegistryTest, DeleteBranchRemovesADeepBranchAndLogsWhenAsked) {
  makeBranch(HKEY_CURRENT_USER);
  EXPECT_EQ(DeleteBranchImpl(HKEY_CURRENT_USER, path_.c_str(), 0, true), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, path_));
  EXPECT_EQ(lastLogMessage(), L"DeleteBranchImpl: " + path_ + L" deleted");
}

std::vector<std::string> gAskedFor;
FARPROC findNothing(const char* name) {
  gAskedFor.push_back(name);
  return nullptr;
}

TEST_F(RegistryTest, DeleteBranchWalksDepthFirstWhereTheNewerFunctionsAreMissing) {
  makeBranch(HKEY_CURRENT_USER);
  gAskedFor.clear();
  SetRegistryFunctionLookup(&findNothing);
  EXPECT_EQ(DeleteBranchImpl(HKEY_CURRENT_USER, path_.c_str(), 0, false), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, path_));
  // Both functions are asked for once for each of the seven keys, subkeys before their parent.
  ASSERT_EQ(gAskedFor.size(), 14u);
  EXPECT_EQ(gAskedFor.front(), "RegDeleteTreeW");
  EXPECT_EQ(gAskedFor.back(), "RegDeleteKeyExW");
}

TEST_F(RegistryTest, DeleteBranchKeepsToTheRequestedView) {
  if (!SystemIsWow64()) GTEST_SKIP() << "a 32-bit system has one registry view";
  makeBranch(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
  makeBranch(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(DeleteBranchImpl(HKEY_LOCAL_MACHINE, path_.c_str(), KEY_WOW64_64KEY, false), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path_, KEY_WOW64_64KEY));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, below(L"a\\a1\\a11")));
}

}  // namespace
}  // namespace tzk::root
