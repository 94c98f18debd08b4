// The stand-in driver under a real service manager and driver host: it must answer as a test
// tells it and record what it was asked. (The stub's own way of installing it as a minifilter
// service is tested with the driver service.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vocabulary/scoped_handle.h"
#include "selfdefense/testdriver/testdriver_protocol.h"
#include "selfdefense/testdriver/testdriver_support.h"

namespace tzk::testdriver {
namespace {

using vocabulary::ScopedFileHandle;

constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;
constexpr std::uint32_t kStatusInvalidDeviceState = 0xC0000184;  // ERROR_BAD_COMMAND (22)

// Eight lower-case letters, different for every run, like the stub's service names.
std::wstring freshServiceName() {
  std::uint32_t seed = ::GetTickCount() * 2654435761u ^ ::GetCurrentProcessId();
  std::wstring name;
  for (int i = 0; i < 8; ++i, seed = seed * 1103515245u + 12345u) {
    name += static_cast<wchar_t>(L'a' + (seed >> 16) % 26);
  }
  return name;
}

ScopedFileHandle openDevice(const wchar_t* path, DWORD access = GENERIC_READ | GENERIC_WRITE,
                            DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  return ScopedFileHandle(
      ::CreateFileW(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// One request; the Win32 error the caller sees, or 0.
Result control(HANDLE device, std::uint32_t code, std::vector<std::uint8_t> input = {},
               std::vector<std::uint8_t>* output = nullptr) {
  DWORD returned = 0;
  void* out = output && !output->empty() ? output->data() : nullptr;
  const DWORD outSize = output ? static_cast<DWORD>(output->size()) : 0;
  const BOOL ok = ::DeviceIoControl(device, code, input.empty() ? nullptr : input.data(),
                                    static_cast<DWORD>(input.size()), out, outSize, &returned,
                                    nullptr);
  if (!ok) return ::GetLastError();
  if (output) output->resize(returned);
  return code::kSuccess;
}

std::vector<std::uint32_t> codesOf(const std::vector<Request>& requests) {
  std::vector<std::uint32_t> codes;
  for (const Request& r : requests) codes.push_back(r.code);
  return codes;
}

class TestDriverWin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(resetDriverState(), 0u);
    ASSERT_EQ(installTestDriver(name_), 0u) << "service " << std::string(name_.begin(), name_.end());
  }
  void TearDown() override {
    EXPECT_EQ(uninstallTestDriver(name_), 0u);
    resetDriverState();
  }

  std::vector<Request> requests() {
    std::vector<Request> log;
    EXPECT_EQ(readRequests(log), 0u);
    return log;
  }

  const std::wstring name_ = freshServiceName();
};

TEST_F(TestDriverWin, EveryDeviceNameReachesItsDeviceAndTheRightImageRuns) {
  const wchar_t* const paths[] = {L"\\\\.\\tzkSP_Open", L"\\\\.\\TZKSP_Open", L"\\\\.\\tzkSP",
                                  L"\\\\.\\TZKSP", L"\\\\.\\tzkSP_Handler"};
  for (const wchar_t* path : paths) {
    const ScopedFileHandle device = openDevice(path, GENERIC_READ);
    ASSERT_TRUE(device.valid()) << "open failed with " << ::GetLastError();
    std::vector<std::uint8_t> out(4);
    EXPECT_EQ(control(device.get(), TZK_TD_IOCTL_QUERY_ACTIVE, {}, &out), 0u);
  }
  const std::vector<Request> log = requests();
  ASSERT_EQ(log.size(), 5u);
  const std::uint32_t expected[] = {TZK_TD_DEVICE_OPEN, TZK_TD_DEVICE_OPEN, TZK_TD_DEVICE_MAIN,
                                    TZK_TD_DEVICE_MAIN, TZK_TD_DEVICE_HANDLER};
  for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].device, expected[i]) << i;

  std::wstring key;
  ASSERT_EQ(readLoadedServiceKey(key), 0u);
  EXPECT_EQ(key.substr(key.rfind(L'\\') + 1), name_);
  Image image = Image::kX86;
  ASSERT_EQ(readLoadedImage(image), 0u);
  EXPECT_EQ(image, systemIs64Bit() ? Image::kX64 : Image::kX86);
}

TEST_F(TestDriverWin, AnswersAsConfiguredAndRecordsEveryRequest) {
  const ScopedFileHandle open = openDevice(L"\\\\.\\tzkSP_Open");
  const ScopedFileHandle main = openDevice(L"\\\\.\\tzkSP");
  ASSERT_TRUE(open.valid() && main.valid());

  std::vector<std::uint8_t> out(8);
  ASSERT_EQ(setQueryActive(7), 0u);
  ASSERT_EQ(control(open.get(), TZK_TD_IOCTL_QUERY_ACTIVE, {}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{7, 0, 0, 0}));
  ASSERT_EQ(setQueryActiveLength(2), 0u);
  out.assign(8, 0xEE);
  ASSERT_EQ(control(open.get(), TZK_TD_IOCTL_QUERY_ACTIVE, {}, &out), 0u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{7, 0}));

  std::vector<std::uint8_t> registration(25);
  for (std::size_t i = 0; i < registration.size(); ++i) registration[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(control(open.get(), TZK_TD_IOCTL_REGISTER_PROCESS, registration), 0u);
  EXPECT_EQ(control(open.get(), TZK_TD_IOCTL_POST_START), 0u);
  EXPECT_EQ(control(main.get(), TZK_TD_IOCTL_PRE_CLEANUP), 0u);
  EXPECT_EQ(control(main.get(), TZK_TD_IOCTL_PRE_STOP), 0u);

  // A failure status chosen for one code reaches the caller as its Win32 error.
  ASSERT_EQ(setControlStatus(TZK_TD_IOCTL_POST_START, kStatusAccessDenied), 0u);
  ASSERT_EQ(setControlStatus(TZK_TD_IOCTL_PRE_STOP, kStatusInvalidDeviceState), 0u);
  EXPECT_EQ(control(open.get(), TZK_TD_IOCTL_POST_START), 5u);
  EXPECT_EQ(control(main.get(), TZK_TD_IOCTL_PRE_STOP), 22u);
  EXPECT_EQ(control(main.get(), TZK_TD_IOCTL_PRE_CLEANUP), 0u);
  ASSERT_EQ(setControlStatus(TZK_TD_IOCTL_POST_START, 0), 0u);
  EXPECT_EQ(control(open.get(), TZK_TD_IOCTL_POST_START), 0u);
  EXPECT_EQ(control(main.get(), 0xB2D60004), 1u);  // not a code of ours: ERROR_INVALID_FUNCTION

  const std::vector<Request> log = requests();
  EXPECT_EQ(codesOf(log),
            (std::vector<std::uint32_t>{
                TZK_TD_IOCTL_QUERY_ACTIVE, TZK_TD_IOCTL_QUERY_ACTIVE, TZK_TD_IOCTL_REGISTER_PROCESS,
                TZK_TD_IOCTL_POST_START, TZK_TD_IOCTL_PRE_CLEANUP, TZK_TD_IOCTL_PRE_STOP,
                TZK_TD_IOCTL_POST_START, TZK_TD_IOCTL_PRE_STOP, TZK_TD_IOCTL_PRE_CLEANUP,
                TZK_TD_IOCTL_POST_START, 0xB2D60004}));
  ASSERT_EQ(log.size(), 11u);
  EXPECT_EQ(log[0].inputLength, 0u);
  EXPECT_EQ(log[0].outputLength, 8u);
  EXPECT_EQ(log[2].inputLength, 25u);
  EXPECT_EQ(log[2].input, registration);
  EXPECT_EQ(log[2].device, static_cast<std::uint32_t>(TZK_TD_DEVICE_OPEN));
  EXPECT_EQ(log[5].device, static_cast<std::uint32_t>(TZK_TD_DEVICE_MAIN));
}

// The open-file record as the stub fills it, for a path with its "\??\" prefix.
std::vector<std::uint8_t> openFileRecord(const std::wstring& path, std::uint32_t access) {
  std::vector<std::uint8_t> record(TZK_TD_OPEN_PATH + (path.size() + 1) * sizeof(wchar_t));
  const std::uint32_t fields[][2] = {{TZK_TD_OPEN_ACCESS, access},
                                     {TZK_TD_OPEN_DISPOSITION, 1 /* open */},
                                     {TZK_TD_OPEN_ATTRIBUTES, FILE_ATTRIBUTE_NORMAL},
                                     {TZK_TD_OPEN_OPTIONS, 0x20 /* synchronous, alertless */}};
  for (const auto& field : fields) std::memcpy(&record[field[0]], &field[1], 4);
  std::memcpy(&record[TZK_TD_OPEN_PATH], path.c_str(), path.size() * sizeof(wchar_t));
  return record;
}

std::uint32_t fieldOf(const std::vector<std::uint8_t>& record, std::size_t offset) {
  std::uint32_t value = 0;
  if (record.size() >= offset + 4) std::memcpy(&value, &record[offset], 4);
  return value;
}

TEST_F(TestDriverWin, OpensAFileForTheCallerUnlessItsAccessIsDenied) {
  wchar_t folder[MAX_PATH];
  ASSERT_NE(::GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring file = std::wstring(folder) + name_ + L".txt";
  {
    const ScopedFileHandle out(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(out.get(), "shielded", 8, &written, nullptr));
  }
  const ScopedFileHandle main = openDevice(L"\\\\.\\tzkSP");
  ASSERT_TRUE(main.valid());

  std::vector<std::uint8_t> record = openFileRecord(L"\\??\\" + file, GENERIC_READ);
  ASSERT_EQ(control(main.get(), TZK_TD_IOCTL_OPEN_FILE, record, &record), 0u);
  EXPECT_EQ(fieldOf(record, TZK_TD_OPEN_STATUS), 0u);
  const ScopedFileHandle opened(
      reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fieldOf(record, TZK_TD_OPEN_HANDLE))));
  char text[16] = {};
  DWORD read = 0;
  EXPECT_TRUE(::ReadFile(opened.get(), text, sizeof(text), &read, nullptr));
  EXPECT_EQ(std::string(text, read), "shielded");

  ASSERT_EQ(setDeniedOpenAccess(GENERIC_READ), 0u);
  record = openFileRecord(L"\\??\\" + file, GENERIC_READ);
  ASSERT_EQ(control(main.get(), TZK_TD_IOCTL_OPEN_FILE, record, &record), 0u);
  EXPECT_EQ(fieldOf(record, TZK_TD_OPEN_STATUS), 5u);
  EXPECT_EQ(fieldOf(record, TZK_TD_OPEN_HANDLE), 0u);

  record = openFileRecord(L"\\??\\" + file + L".missing", FILE_READ_DATA);
  ASSERT_EQ(control(main.get(), TZK_TD_IOCTL_OPEN_FILE, record, &record), 0u);
  EXPECT_EQ(fieldOf(record, TZK_TD_OPEN_STATUS), 2u);

  const std::vector<Request> log = requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].input, openFileRecord(L"\\??\\" + file, GENERIC_READ));
  ::DeleteFileW(file.c_str());
}

TEST_F(TestDriverWin, StoppingRemovesTheDevices) {
  ASSERT_EQ(uninstallTestDriver(name_), 0u);
  for (const wchar_t* path : {L"\\\\.\\tzkSP_Open", L"\\\\.\\tzkSP", L"\\\\.\\tzkSP_Handler"}) {
    EXPECT_FALSE(openDevice(path).valid());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

}  // namespace
}  // namespace tzk::testdriver
