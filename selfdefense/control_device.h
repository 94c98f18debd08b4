// The stub's side of the self-protection driver's control devices: device names, control
// codes, the request records and the requests themselves. What the driver does with a request
// is its own business; the stub relies on the success of each request and the named outputs.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <vector>

#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::selfdefense {

// Win32 names of the driver's devices. Device names ignore case: "\\.\TZKSP_Open" and
// "\\.\tzkSP_Open" are one device, opened with different access by different callers.
constexpr wchar_t kDeviceServiceOpen[] = L"\\\\.\\tzkSP_Open";  // presence test, post-start request
constexpr wchar_t kDeviceService[] = L"\\\\.\\tzkSP";           // presence test, clean-up requests
constexpr wchar_t kDeviceRegistration[] = L"\\\\.\\TZKSP_Open"; // registration, start-up set
constexpr wchar_t kDeviceStartup[] = L"\\\\.\\TZKSP";
constexpr wchar_t kDeviceHandler[] = L"\\\\.\\tzkSP_Handler";

// METHOD_BUFFERED requests of device type 0xB2D6 that need no particular access.
constexpr std::uint32_t ControlCode(std::uint32_t function) { return (0xB2D6u << 16) | (function << 2); }
constexpr std::uint32_t SP_IOCTL_PRE_CLEANUP = ControlCode(41);
constexpr std::uint32_t SP_IOCTL_QUERY_ACTIVE = ControlCode(100);
constexpr std::uint32_t SP_IOCTL_REGISTER_PROCESS = ControlCode(102);
constexpr std::uint32_t SP_IOCTL_POST_START = ControlCode(103);
constexpr std::uint32_t SP_IOCTL_PRE_STOP = ControlCode(104);

// Opens an existing device shared for reading and writing. 0 or CreateFileW's error.
Result OpenControlDevice(const wchar_t* path, DWORD access, vocabulary::ScopedFileHandle& device);

// One request without overlapped I/O. 0 or DeviceIoControl's error; returned may be null.
Result SendControlRequest(HANDLE device, std::uint32_t code, void* input, DWORD inputBytes, void* output,
                          DWORD outputBytes, DWORD* returned);

// Input of SP_IOCTL_REGISTER_PROCESS: magic "mtps", process id, flag byte, then the stack-check
// routine and the registering call's return address, each sign-extended to 64 bits.
constexpr std::uint32_t kRegistrationMagic = 0x7370746D;
using RegistrationRecord = std::array<std::uint8_t, 25>;
RegistrationRecord BuildRegistrationRecord(std::uint32_t processId, bool flag, std::uint32_t checkRoutine,
                                           std::uint32_t returnAddress);

// Announces the process to the driver, with IsReturnAddressOnStack and the caller's return
// address. Called once, by the hand-over to an installed product.
Result RegisterWithSelfDefense(std::uint32_t processId, bool flag);

// What the stack-check routine receives: found is set to 1 when address is a return address
// on the calling thread's stack, and never cleared.
struct StackCheckRecord {
  std::uint32_t found;
  std::uint32_t address;
};

// The driver calls this routine with three pointer-sized arguments; only the first is used.
void __stdcall IsReturnAddressOnStack(StackCheckRecord* record, void* unused1, void* unused2);

// The driver's answer to SP_IOCTL_QUERY_ACTIVE through the start-up handle, or 0 when there is
// no handle, the request fails or the answer is not exactly four bytes.
std::uint32_t QuerySelfDefenseActive();

// The process-wide device handles opened before the entry routine runs and closed at exit,
// each invalid when the driver is absent.
class StartupDevices {
 public:
  StartupDevices();
  StartupDevices(const StartupDevices&) = delete;
  StartupDevices& operator=(const StartupDevices&) = delete;

  bool built() const { return built_; }
  HANDLE handler() const { return handler_.get(); }
  HANDLE registration() const { return registration_.get(); }
  HANDLE startup() const { return startup_.get(); }

 private:
  vocabulary::ScopedFileHandle handler_;
  vocabulary::ScopedFileHandle registration_;
  vocabulary::ScopedFileHandle startup_;
  bool built_ = false;
};

const StartupDevices& TheStartupDevices();

}  // namespace tzk::selfdefense
