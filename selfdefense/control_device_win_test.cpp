#include "selfdefense/control_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vocabulary/little_endian.h"

namespace tzk::selfdefense {
namespace {

// Read before anything else runs in main: the start-up set must already be there.
bool gStartupSetBuiltBeforeMain = false;

TEST(NoDriver, EveryOpenFailsAndNothingIsSent) {
  for (const wchar_t* device : {kDeviceServiceOpen, kDeviceService, kDeviceRegistration, kDeviceStartup, kDeviceHandler}) {
    vocabulary::ScopedFileHandle handle;
    EXPECT_EQ(OpenControlDevice(device, GENERIC_READ | GENERIC_WRITE, handle), 2u) << device;
    EXPECT_FALSE(handle.valid());
  }
  EXPECT_EQ(RegisterWithSelfDefense(::GetCurrentProcessId(), true), 2u);
  EXPECT_EQ(QuerySelfDefenseActive(), 0u);
}

TEST(NoDriver, StartupSetIsBuiltBeforeTheEntryRoutineWithInvalidHandles) {
  EXPECT_TRUE(gStartupSetBuiltBeforeMain);
  const StartupDevices& devices = TheStartupDevices();
  EXPECT_EQ(devices.handler(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(devices.registration(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(devices.startup(), INVALID_HANDLE_VALUE);
}

TEST(RegistrationRecord, TwentyFiveBytesWithSignExtendedAddresses) {
  const RegistrationRecord record = BuildRegistrationRecord(0x01020304, true, 0x00401000, 0x80001234);
  static_assert(sizeof(record) == 25, "no padding");
  const std::uint8_t expected[25] = {'m',  't',  'p',  's',  0x04, 0x03, 0x02, 0x01, 0x01,
                                     0x00, 0x10, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x34, 0x12, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(record.data(), expected, sizeof(expected)), 0);
  EXPECT_EQ(vocabulary::ReadLe32(&record[0]), kRegistrationMagic);
  EXPECT_EQ(vocabulary::ReadLe64(&record[9]), 0x0000000000401000u);
  EXPECT_EQ(vocabulary::ReadLe64(&record[17]), 0xFFFFFFFF80001234u);
  EXPECT_EQ(BuildRegistrationRecord(7, false, 0, 0)[8], 0u);
}

// The stack check walks 32-bit frame records with 32-bit return addresses.
#if defined(__i386__)
// Two plain frames between the test and the stack check, so that the return address into
// the test is the first one the check does not skip.
__attribute__((noinline)) std::uint32_t checkFromHere(std::uint32_t address, std::uint32_t found) {
  StackCheckRecord record = {found, address};
  IsReturnAddressOnStack(&record, nullptr, nullptr);
  return record.found;
}

__attribute__((noinline)) std::uint32_t checkOwnReturnAddress() {
  const auto address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  const std::uint32_t found = checkFromHere(address, 0);
  asm volatile("" ::: "memory");  // keeps the call above from becoming a jump
  return found;
}

TEST(StackCheck, FindsReturnAddressesOnTheCallingStackOnly) {
  EXPECT_EQ(checkOwnReturnAddress(), 1u);
  // Not a return address anywhere: the flag is left as it was, whatever it was.
  const auto function = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&checkFromHere));
  EXPECT_EQ(checkFromHere(function, 0), 0u);
  EXPECT_EQ(checkFromHere(function, 7), 7u);
  IsReturnAddressOnStack(nullptr, nullptr, nullptr);
}

struct ThreadCheck {
  std::uint32_t address;
  std::uint32_t found;
};

DWORD WINAPI checkOnOtherThread(void* argument) {
  auto* check = static_cast<ThreadCheck*>(argument);
  check->found = checkFromHere(check->address, 0);
  return 0;
}

__attribute__((noinline)) void checkOwnReturnAddressElsewhere(ThreadCheck& check) {
  check.address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
  vocabulary::ScopedKernelHandle thread(::CreateThread(nullptr, 0, &checkOnOtherThread, &check, 0, nullptr));
  ASSERT_TRUE(thread.valid());
  ::WaitForSingleObject(thread.get(), INFINITE);
}

TEST(StackCheck, AnotherThreadsStackIsNotSearched) {
  ThreadCheck check = {0, 5};
  checkOwnReturnAddressElsewhere(check);
  EXPECT_EQ(check.found, 0u);
}

// Calls the check with a frame pointer that points at memory no one may read, as code built
// without frame pointers may leave the register: the walk must end quietly, not fault.
__attribute__((noinline)) std::uint32_t checkWithFramePointer(std::uintptr_t framePointer, std::uint32_t address) {
  StackCheckRecord record = {0, address};
  StackCheckRecord* pointer = &record;
  void(__stdcall * check)(StackCheckRecord*, void*, void*) = &IsReturnAddressOnStack;
  asm volatile(
      "pushl %%ebp\n\t"
      "movl %2, %%ebp\n\t"
      "pushl $0\n\t"
      "pushl $0\n\t"
      "pushl %0\n\t"
      "call *%1\n\t"  // the routine removes its three arguments itself
      "popl %%ebp\n\t"
      :
      : "r"(pointer), "r"(check), "m"(framePointer)
      : "eax", "ecx", "edx", "memory");
  return record.found;
}

// A page no one may read, right above the thread's stack: a frame pointer into it is higher
// than every frame, so only the stack bounds stop the walk before it reads the page. Where the
// system puts stacks and top-down allocations differs (under WOW64 a top-down page has come back
// below the stack), so the page is placed, not asked for.
void* noAccessPageAboveStack() {
  MEMORY_BASIC_INFORMATION stack = {};  // the committed top of this thread's stack
  ::VirtualQuery(&stack, &stack, sizeof(stack));
  const auto top = reinterpret_cast<std::uintptr_t>(stack.BaseAddress) + stack.RegionSize;
  const std::uintptr_t granularity = 0x10000;
  for (auto address = (top + granularity - 1) & ~(granularity - 1);
       address < 0x7FFF0000u; address += granularity) {
    if (void* page = ::VirtualAlloc(reinterpret_cast<void*>(address), 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS)) {
      return page;
    }
  }
  return nullptr;
}

TEST(StackCheck, BrokenFrameChainEndsTheWalk) {
  void* page = noAccessPageAboveStack();
  ASSERT_NE(page, nullptr);
  const auto framePointer = reinterpret_cast<std::uintptr_t>(page) + 16;
  ASSERT_GT(framePointer, reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
  EXPECT_EQ(checkWithFramePointer(framePointer, 0x12345678), 0u);
  ::VirtualFree(page, 0, MEM_RELEASE);
}

#endif  // __i386__

}  // namespace
}  // namespace tzk::selfdefense

// Replaces the test framework's entry so that the first thing the entry routine does is look
// at what static initialisation left.
int main(int argc, char** argv) {
  tzk::selfdefense::gStartupSetBuiltBeforeMain = tzk::selfdefense::TheStartupDevices().built();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
