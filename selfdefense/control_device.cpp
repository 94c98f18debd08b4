#include "selfdefense/control_device.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "vocabulary/little_endian.h"

namespace tzk::selfdefense {

static_assert(SP_IOCTL_PRE_CLEANUP == 0xB2D600A4 &&
                  SP_IOCTL_QUERY_ACTIVE == 0xB2D60190 && SP_IOCTL_REGISTER_PROCESS == 0xB2D60198 &&
                  SP_IOCTL_POST_START == 0xB2D6019C && SP_IOCTL_PRE_STOP == 0xB2D601A0,
              "the driver's control codes");
static_assert(sizeof(StackCheckRecord) == 8, "stack-check record as the driver fills it");
// The stub is a 32-bit program and its records carry 32-bit addresses; the 64-bit test build
// (for machines that cannot run 32-bit Wine) passes their low halves.
#if defined(__i386__)
static_assert(sizeof(void*) == 4, "records carry 32-bit addresses");
#endif

namespace {

constexpr int kMaxFrameRecords = 58;
constexpr int kSkippedFrameRecords = 2;  // the capture's own and the stack-check routine's


std::uint64_t signExtended(std::uint32_t address) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(address)));
}

// The thread's information block, read where the 32-bit TEB keeps its own address. (The
// header's NtCurrentTeb is the same instruction but trips GCC's array-bounds analysis.)
const NT_TIB* currentThreadBlock() {
  const NT_TIB* tib;
#if defined(__i386__)
  asm("movl %%fs:0x18, %0" : "=r"(tib));
#else
  asm("movq %%gs:0x30, %0" : "=r"(tib));
#endif
  return tib;
}

// Walks the saved frame pointers: each frame record holds the caller's frame pointer and the
// return address into the caller. mingw has no structured exception handling to catch a fault
// here, so the walk keeps to the thread's committed stack as the TEB states it and to frames
// that lie ever higher on it; a frame built without a frame pointer ends the walk instead.
__attribute__((noinline, noclone)) int captureReturnAddresses(std::uintptr_t* addresses, int capacity) {
  const NT_TIB* tib = currentThreadBlock();
  const auto low = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  const auto high = reinterpret_cast<std::uintptr_t>(tib->StackBase);
  auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  int captured = 0;
  for (int visited = 0; visited < kMaxFrameRecords && captured < capacity; ++visited) {
    if (frame < low || frame > high - 2 * sizeof(std::uintptr_t) || frame % sizeof(std::uintptr_t) != 0) break;
    const auto* record = reinterpret_cast<const std::uintptr_t*>(frame);
    if (record[0] == 0 && record[1] == 0) break;
    if (visited >= kSkippedFrameRecords) addresses[captured++] = record[1];
    if (record[0] <= frame) break;  // the end of the chain, or no chain at all
    frame = record[0];
  }
  return captured;
}

void openStartupDevice(const wchar_t* path, vocabulary::ScopedFileHandle& device) {
  OpenControlDevice(path, GENERIC_READ, device);
}

// Built during static initialisation, before the entry routine runs, and closed at exit.
StartupDevices gStartupDevices;

}  // namespace

Result OpenControlDevice(const wchar_t* path, DWORD access, vocabulary::ScopedFileHandle& device) {
  const HANDLE opened = ::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD error = ::GetLastError();  // before closing whatever device held
  device.reset(opened);
  return device ? code::kSuccess : error;
}

Result SendControlRequest(HANDLE device, std::uint32_t code, void* input, DWORD inputBytes, void* output,
                          DWORD outputBytes, DWORD* returned) {
  DWORD bytes = 0;  // required by DeviceIoControl whenever there is no OVERLAPPED
  const BOOL sent = ::DeviceIoControl(device, code, input, inputBytes, output, outputBytes, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return sent ? code::kSuccess : ::GetLastError();
}

RegistrationRecord BuildRegistrationRecord(std::uint32_t processId, bool flag, std::uint32_t checkRoutine,
                                           std::uint32_t returnAddress) {
  RegistrationRecord record = {};
  vocabulary::WriteLe32(&record[0], kRegistrationMagic);
  vocabulary::WriteLe32(&record[4], processId);
  record[8] = flag ? 1 : 0;
  vocabulary::WriteLe64(&record[9], signExtended(checkRoutine));
  vocabulary::WriteLe64(&record[17], signExtended(returnAddress));
  return record;
}

__attribute__((noinline)) Result RegisterWithSelfDefense(std::uint32_t processId, bool flag) {
  const auto returnAddress = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  vocabulary::ScopedFileHandle device;
  const Result opened = OpenControlDevice(kDeviceRegistration, GENERIC_READ, device);
  if (opened != code::kSuccess) return opened;
  RegistrationRecord record =
      BuildRegistrationRecord(processId, flag, reinterpret_cast<std::uintptr_t>(&IsReturnAddressOnStack), returnAddress);
  return SendControlRequest(device.get(), SP_IOCTL_REGISTER_PROCESS, record.data(), record.size(), nullptr, 0,
                            nullptr);
}

void __stdcall IsReturnAddressOnStack(StackCheckRecord* record, void*, void*) {
  if (record == nullptr) return;
  std::uintptr_t addresses[kMaxFrameRecords] = {};
  const int count = captureReturnAddresses(addresses, kMaxFrameRecords);
  for (int i = 0; i < count && addresses[i] != 0; ++i) {
    if (addresses[i] == record->address) {
      record->found = 1;
      return;
    }
  }
}

std::uint32_t QuerySelfDefenseActive() {
  const HANDLE device = gStartupDevices.registration();
  if (device == INVALID_HANDLE_VALUE) return 0;
  std::uint32_t active = 0;
  DWORD returned = 0;
  const Result result = SendControlRequest(device, SP_IOCTL_QUERY_ACTIVE, nullptr, 0, &active, sizeof(active), &returned);
  return result == code::kSuccess && returned == sizeof(active) ? active : 0;
}

StartupDevices::StartupDevices() {
  openStartupDevice(kDeviceHandler, handler_);
  openStartupDevice(kDeviceRegistration, registration_);
  openStartupDevice(kDeviceStartup, startup_);
  built_ = true;
}

const StartupDevices& TheStartupDevices() { return gStartupDevices; }

}  // namespace tzk::selfdefense
