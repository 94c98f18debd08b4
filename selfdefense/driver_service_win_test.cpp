#include "selfdefense/driver_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "archive/installer_writer.h"
#include "archive/sfx_archive.h"
#include "signature/signing/signing.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/scoped_handle.h"
#include "root/held_files.h"
#include "root/library.h"
#include "root/win_test_support.h"
#include "selfdefense/testdriver/testdriver_protocol.h"
#include "selfdefense/testdriver/testdriver_support.h"
#include "testing/scratch_dir.h"

namespace tzk::selfdefense {
namespace {

using root::testing::KeyExists;
using root::testing::ReadRaw;
using root::testing::RemoveKey;
using root::testing::ScratchFolder;
using root::testing::SystemIsWow64;
using archive::Bytes;

constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;
// A customer status no Windows error stands for.
constexpr std::uint32_t kStatusWithoutError = 0xE0DE0001;

std::wstring serviceKey(const std::wstring& name) { return std::wstring(kServicesRoot) + L"\\" + name; }
const std::wstring kPermanentKey = serviceKey(kPermanentServiceName);

// Both module entries hold the image that starts for a service this process creates, each
// with a marker naming its platform behind it, so a test can tell which entry the drivers
// folder received; the system ignores bytes behind an image's last section.
Bytes markedModule(const char* marker) {
  Bytes bytes = testdriver::imageBytes(testdriver::stubModuleImage());
  EXPECT_FALSE(bytes.empty());
  bytes.insert(bytes.end(), marker, marker + std::char_traits<char>::length(marker));
  return bytes;
}

Bytes x86Module() { return markedModule("x86 module"); }
Bytes x64Module() { return markedModule("x64 module"); }
// The stub's choice: the x64 module for a 32-bit process on 64-bit Windows (the 64-bit test
// build is no such process).
bool x64ModuleChosen() { return sizeof(void*) == 4 && SystemIsWow64(); }

Bytes buildArchive(bool withX86, bool withX64) {
  archive::InstallerPlan plan;
  plan.stub = Bytes(512, 'S');
  plan.stub[0] = 'M';
  plan.stub[1] = 'Z';
  plan.commandLine = "/tmp:%TMPPATH%";
  plan.sfxName = "driver test";
  plan.installer = Bytes(64, 'I');
  plan.signatureType = signature::SignatureType::kRawSha256Dsa;
  plan.files.push_back({"vps.vpx", Bytes(100, 'V'), 0, "", 1});
  if (withX86) plan.files.push_back({"selfdefense_x86_tzksp.pkg", x86Module(), 0, "tzksp.sys", 2});
  if (withX64) plan.files.push_back({"selfdefense_x64_tzksp.pkg", x64Module(), 0, "tzksp.sys", 2});
  // Signed with a test key the test build of the stub trusts: the stub takes nothing unsigned.
  const archive::Signer sign = [](Bytes* content, std::string* error) {
    std::string pem;
    signature::DsaPrivateKey key;
    Bytes block;
    if (signature::ReadTextFile(tzk::testing::SourcePath(L"keys/test/key5.pem"), &pem) != 0 ||
        signature::ParsePrivateKeyPem(pem, &key) != 0 ||
        signature::MakeSignatureBlock({content->data(), content->size()}, signature::SignatureType::kRawSha256Dsa, &key,
                                    &block) != 0) {
      *error = "cannot sign";
      return false;
    }
    content->insert(content->end(), block.begin(), block.end());
    return true;
  };
  Bytes out;
  std::string error;
  EXPECT_TRUE(archive::BuildInstaller(plan, sign, &out, nullptr, &error)) << error;
  return out;
}

std::vector<std::wstring> serviceKeys() {
  std::vector<std::wstring> names;
  vocabulary::ScopedRegKey services;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesRoot, 0, KEY_READ, services.receive()) != ERROR_SUCCESS) {
    return names;
  }
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (::RegEnumKeyExW(services.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

DWORD readDword(const std::wstring& key, const wchar_t* name) {
  DWORD type = 0;
  const std::vector<std::uint8_t> data = ReadRaw(HKEY_LOCAL_MACHINE, key, name, type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << name;
  return data.size() == 4 ? vocabulary::ReadLe32(data.data()) : 0xFFFFFFFF;
}

std::wstring readText(const std::wstring& key, const wchar_t* name, DWORD expectedType = REG_SZ) {
  DWORD type = 0;
  const std::vector<std::uint8_t> data = ReadRaw(HKEY_LOCAL_MACHINE, key, name, type);
  EXPECT_EQ(type, expectedType) << name;
  std::wstring text(data.size() / 2, L'\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool valueExists(const std::wstring& key, const wchar_t* name) {
  DWORD type = REG_NONE;
  ReadRaw(HKEY_LOCAL_MACHINE, key, name, type);
  return type != REG_NONE;
}

std::wstring lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(::towlower(c)); });
  return text;
}

std::vector<std::uint32_t> requestCodes() {
  std::vector<testdriver::Request> log;
  EXPECT_EQ(testdriver::readRequests(log), 0u);
  std::vector<std::uint32_t> codes;
  for (const testdriver::Request& request : log) codes.push_back(request.code);
  return codes;
}

bool deviceGoneWithin(DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 50) {
    vocabulary::ScopedFileHandle device(::CreateFileW(
        L"\\\\.\\tzkSP_Open", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!device) return true;
    device.reset();
    ::Sleep(50);
  }
  return false;
}

LONG NTAPI renameWithoutError(HANDLE, void*) { return static_cast<LONG>(kStatusWithoutError); }
LONG NTAPI renameDenied(HANDLE, void*) { return static_cast<LONG>(kStatusAccessDenied); }
FARPROC withoutErrorLookup(const char* name) {
  if (std::string(name) == "NtRenameKey") return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&renameWithoutError));
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
}
FARPROC deniedLookup(const char* name) {
  if (std::string(name) == "NtRenameKey") return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&renameDenied));
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
}
FARPROC missingRenameLookup(const char* name) {
  if (std::string(name) == "NtRenameKey") {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
}
// A look-up that finds nothing and says nothing: the installation must still fail.
FARPROC silentlyMissingRenameLookup(const char* name) {
  if (std::string(name) == "NtRenameKey") {
    ::SetLastError(ERROR_SUCCESS);
    return nullptr;
  }
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
}

// Each test starts with no driver, no permanent service and an archive of its own, and
// leaves nothing behind whichever step it stopped at.
class DriverService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testdriver::resetDriverState(), 0u);
    ASSERT_EQ(testdriver::prepareStubDriverFolder(), 0u);
    RemoveKey(HKEY_LOCAL_MACHINE, kPermanentKey);
  }

  void TearDown() override {
    SetNativeFunctionLookup(nullptr);
    SetBootModeQuery(nullptr);
    for (const std::wstring& name : {name_, present_}) {
      if (name.empty()) continue;
      testdriver::uninstallTestDriver(name);  // also deletes its file once it has stopped
      RemoveKey(HKEY_LOCAL_MACHINE, serviceKey(name));
    }
    RemoveKey(HKEY_LOCAL_MACHINE, kPermanentKey);
    testdriver::resetDriverState();
  }

  void load(bool withX86, bool withX64) {
    const std::wstring path = scratch_.file(L"setup.exe");
    const Bytes bytes = buildArchive(withX86, withX64);
    vocabulary::ScopedFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    file.reset();
    ASSERT_EQ(archive_.Load(path.c_str()), 0u);
  }

  Result install() { return InstallEarlySelfDefense(scratch_.path(), name_, archive_); }
  std::wstring driverFile() const { return GetDriversFolder() + L"\\" + name_ + L".sys"; }

  ScratchFolder scratch_{L"drvsvc"};
  archive::SfxArchive archive_;
  std::wstring name_;
  std::wstring present_;  // a driver the test started itself
};

TEST_F(DriverService, InstallationHandsTheRunningDriverOverAndCleanUpRemovesIt) {
  load(true, true);
  ASSERT_EQ(install(), 0u);
  ASSERT_EQ(name_.size(), 8u);
  EXPECT_TRUE(std::all_of(name_.begin(), name_.end(), [](wchar_t c) { return c >= L'a' && c <= L'z'; }));

  // The running service's key now lives under the permanent name, disabled for the next boot.
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
  EXPECT_EQ(readDword(kPermanentKey, L"Start"), 4u);
  EXPECT_FALSE(valueExists(kPermanentKey, L"ImagePath"));
  EXPECT_FALSE(valueExists(kPermanentKey, L"WOW64"));
  EXPECT_EQ(readDword(kPermanentKey, L"Type"), 2u);
  EXPECT_EQ(readText(kPermanentKey, L"Group"), L"FSFilter Activity Monitor");
  EXPECT_EQ(readText(kPermanentKey, L"DependOnService", REG_MULTI_SZ), L"FltMgr");
  const std::wstring parameters = kPermanentKey + L"\\Parameters";
  EXPECT_EQ(readDword(parameters, L"BehavShield"), 0u);
  EXPECT_EQ(readText(parameters, L"InstupFolder"), L"\\??\\" + scratch_.path());
  EXPECT_EQ(readDword(parameters, L"RestartSuspendCounter"), 1u);
  EXPECT_EQ(readText(kPermanentKey + L"\\Instances", L"DefaultInstance"), L"tzkSP Instance");
  const std::wstring instance = kPermanentKey + L"\\Instances\\tzkSP Instance";
  EXPECT_EQ(readText(instance, L"Altitude"), L"388400");
  EXPECT_EQ(readDword(instance, L"Flags"), 0u);

  // The platform's module went to the real drivers folder, and goes away at the next boot.
  EXPECT_EQ(testdriver::readSystemFile(driverFile()), x64ModuleChosen() ? x64Module() : x86Module());
  const std::wstring pending =
      readText(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations", REG_MULTI_SZ);
  EXPECT_NE(lower(pending).find(lower(L"\\??\\" + driverFile())), std::wstring::npos) << pending;

  std::wstring loadedFrom;
  ASSERT_EQ(testdriver::readLoadedServiceKey(loadedFrom), 0u);
  EXPECT_EQ(loadedFrom.substr(loadedFrom.rfind(L'\\') + 1), name_);
  EXPECT_EQ(requestCodes(), std::vector<std::uint32_t>{TZK_TD_IOCTL_POST_START});

  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
  EXPECT_EQ(requestCodes(), (std::vector<std::uint32_t>{TZK_TD_IOCTL_POST_START, TZK_TD_IOCTL_PRE_CLEANUP,
                                                        TZK_TD_IOCTL_PRE_STOP}));
  EXPECT_TRUE(deviceGoneWithin(5000));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPermanentKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
}

TEST_F(DriverService, ADriverThatAlreadyAnswersIsLeftAloneAndNothingIsWritten) {
  present_ = L"tzkpresent" + std::to_wstring(::GetCurrentProcessId());
  ASSERT_EQ(testdriver::installTestDriver(present_), 0u);
  load(true, true);
  const std::vector<std::wstring> before = serviceKeys();
  name_ = L"stale";
  EXPECT_EQ(install(), 0u);
  EXPECT_TRUE(name_.empty());
  EXPECT_EQ(serviceKeys(), before);
  EXPECT_TRUE(requestCodes().empty());
}

TEST_F(DriverService, InSafeModeNothingIsInstalledAndCleanUpStillRemovesADisabledService) {
  load(true, true);
  SetBootModeQuery([] { return 1; });  // SM_CLEANBOOT: minimal safe mode
  const std::vector<std::wstring> before = serviceKeys();
  name_ = L"stale";
  EXPECT_EQ(install(), 0u);
  EXPECT_TRUE(name_.empty());
  EXPECT_EQ(serviceKeys(), before);

  root::testing::WriteDword(HKEY_LOCAL_MACHINE, kPermanentKey, L"Start", 4);
  root::testing::WriteString(HKEY_LOCAL_MACHINE, kPermanentKey + L"\\Parameters", L"InstupFolder", L"\\??\\C:\\old");
  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPermanentKey));
}

// Most archives carry no driver: such a run draws no name, so its clean-up has no service to
// take down and reports no failure.
TEST_F(DriverService, WithoutAModuleForThePlatformNoNameIsDrawnAndCleanUpHasNothingToUndo) {
  load(x64ModuleChosen(), !x64ModuleChosen());  // only the other platform's module
  const std::vector<std::wstring> before = serviceKeys();
  name_ = L"stale";
  EXPECT_EQ(install(), 1168u);
  EXPECT_TRUE(name_.empty());
  EXPECT_EQ(serviceKeys(), before);
  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
  EXPECT_EQ(serviceKeys(), before);
  EXPECT_TRUE(requestCodes().empty());
}

TEST_F(DriverService, ANameWhoseServiceKeyExistsIsDrawnAgain) {
  load(true, true);
  std::srand(4711);
  const std::wstring taken = GenerateServiceName();
  const std::wstring next = GenerateServiceName();
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, serviceKey(taken), L"Start", 3);
  std::srand(4711);
  EXPECT_EQ(install(), 0u);
  EXPECT_EQ(readDword(serviceKey(taken), L"Start"), 3u) << "the other service's key is untouched";
  RemoveKey(HKEY_LOCAL_MACHINE, serviceKey(taken));
  EXPECT_EQ(name_, next);
  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
  EXPECT_TRUE(deviceGoneWithin(5000));
}

TEST_F(DriverService, AFailedPostStartRequestFailsTheInstallationAndCleanUpStillStopsTheDriver) {
  load(true, true);
  ASSERT_EQ(testdriver::setControlStatus(TZK_TD_IOCTL_POST_START, kStatusAccessDenied), 0u);
  EXPECT_EQ(install(), 5u);
  // Still under the random name, which the clean-up is given.
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPermanentKey));
  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
  EXPECT_TRUE(deviceGoneWithin(5000));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
}

TEST_F(DriverService, RenameFailuresAreReportedAsWindowsErrorsWhereThereIsOne) {
  struct Case {
    NativeFunctionLookup lookup;
    Result expected;
  };
  const Case cases[] = {{&withoutErrorLookup, kStatusWithoutError}, {&deniedLookup, 5u}, {&missingRenameLookup, 127u},
                        {&silentlyMissingRenameLookup, code::kInternalError}};
  load(true, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    SetNativeFunctionLookup(c.lookup);
    EXPECT_EQ(install(), c.expected);
    SetNativeFunctionLookup(nullptr);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
    EXPECT_EQ(readDword(serviceKey(name_), L"Start"), 4u);  // written before the hand-over
    EXPECT_EQ(CleanUpEarlySelfDefense(name_), 0u);
    EXPECT_TRUE(deviceGoneWithin(5000));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
    testdriver::deleteDriverFile(driverFile());
  }
}

TEST_F(DriverService, APermanentServiceSurvivesCleanUpApartFromItsInstallerFolder) {
  const std::wstring parameters = kPermanentKey + L"\\Parameters";
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, kPermanentKey, L"Start", 1);
  root::testing::WriteString(HKEY_LOCAL_MACHINE, parameters, L"InstupFolder", L"\\??\\C:\\old");
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, parameters, L"BehavShield", 1);
  // A "DeleteFlag" of another type does not count.
  root::testing::WriteString(HKEY_LOCAL_MACHINE, kPermanentKey, L"DeleteFlag", L"1");
  const std::wstring unrelated = L"zzzzzzzz";
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, serviceKey(unrelated), L"Start", 3);

  EXPECT_EQ(CleanUpEarlySelfDefense(unrelated), 0u);
  EXPECT_EQ(readDword(kPermanentKey, L"Start"), 1u);
  EXPECT_EQ(readDword(parameters, L"BehavShield"), 1u);
  EXPECT_FALSE(valueExists(parameters, L"InstupFolder"));
  // The random name's key goes whatever the permanent service is.
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(unrelated)));
}

TEST_F(DriverService, CleanUpOfAStubInstallationWithoutItsDriverFailsWithTheDevicesError) {
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, kPermanentKey, L"DeleteFlag", 1);
  root::testing::WriteDword(HKEY_LOCAL_MACHINE, kPermanentKey, L"Start", 3);
  name_ = L"qqqqqqqq";
  EXPECT_EQ(CleanUpEarlySelfDefense(name_), 2u);  // "\\.\tzkSP" is not there to agree to the stop
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPermanentKey));
  // Written for the service manager's stop, then removed with the rest.
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, serviceKey(name_)));
}

// Writes a file of the real drivers folder, with redirection off under WOW64 as the clean-up
// works there; the file stays open (share read only) while held is given.
void writeDriversFile(const std::wstring& path, vocabulary::ScopedFileHandle* held = nullptr) {
  void* redirection = nullptr;
  const bool wow64 = SystemIsWow64();
  if (wow64) ASSERT_EQ(root::DisableFsRedirection(&redirection), 0u);
  vocabulary::ScopedFileHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (wow64) root::RevertFsRedirection(redirection);
  ASSERT_TRUE(file) << ::GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(file.get(), "half", 4, &written, nullptr));
  if (held != nullptr) *held = std::move(file);
}

// Closes the held partial file at the first pause between two deletions, as a scanner lets go.
vocabulary::ScopedFileHandle heldPartial;
int retryPauses = 0;
void releaseAtThePause(std::uint32_t) {
  ++retryPauses;
  heldPartial.reset();
}

// A fault once the partial driver file is complete and being moved into place, or a scanner
// that holds it at the one deletion the unwinding makes, leaves it in the drivers folder. The
// clean-up, which runs on every way out, removes what is left of this run's, also while a
// scanner holds it for a moment, and nothing of another name, nor the driver file itself,
// which a started service may still use.
TEST_F(DriverService, CleanUpRemovesThisRunsPartialDriverFilesAndNothingElse) {
  name_ = L"qpartial";
  const std::wstring driver = GetDriversFolder() + L"\\" + name_ + L".sys";
  const std::vector<std::wstring> ours = {archive::PartialName(driver, 0),
                                          archive::PartialName(driver, archive::kPartialNames - 1)};
  const std::vector<std::wstring> others = {driver, archive::PartialName(GetDriversFolder() + L"\\qothersv.sys", 0)};
  writeDriversFile(ours[0], &heldPartial);
  for (const std::wstring& file : {ours[1], others[0], others[1]}) writeDriversFile(file);
  retryPauses = 0;
  const root::RetrySleep previous = root::SetRetrySleep(&releaseAtThePause);

  CleanUpEarlySelfDefense(name_);
  root::SetRetrySleep(previous);
  EXPECT_EQ(retryPauses, 1);
  heldPartial.reset();
  for (const std::wstring& file : ours) {
    EXPECT_TRUE(testdriver::readSystemFile(file).empty()) << "left";
    testdriver::deleteDriverFile(file);
  }
  for (const std::wstring& file : others) {
    EXPECT_FALSE(testdriver::readSystemFile(file).empty()) << "removed";
    testdriver::deleteDriverFile(file);
  }
}

TEST(ServiceNames, EightLowerCaseLettersAndTheDriversFolder) {
  std::srand(1);
  const std::wstring first = GenerateServiceName();
  EXPECT_EQ(first.size(), 8u);
  EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](wchar_t c) { return c >= L'a' && c <= L'z'; }));
  EXPECT_NE(GenerateServiceName(), first);
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
  EXPECT_EQ(GetDriversFolder(), std::wstring(windows, length) + L"\\System32\\drivers");
}

}  // namespace
}  // namespace tzk::selfdefense
