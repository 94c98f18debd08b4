// The compiler settings of the 32-bit Windows build (warnings.cmake) against a member function
// and a C callback with the same body in one file: the member pops its argument (thiscall),
// the callback must leave its arguments to the caller (cdecl), as the LZMA codec calls its
// allocator. Folded into one body, one of them runs with the other's convention and leaves the
// caller's stack four bytes off.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct Allocator {
  void* (*alloc)(const Allocator* self, std::size_t size);
  void (*release)(const Allocator* self, void* address);
};

void* allocate(const Allocator*, std::size_t size) { return std::malloc(size); }
void release(const Allocator*, void* address) { std::free(address); }

const Allocator kAllocator = {allocate, release};

class Buffers {
 public:
  virtual ~Buffers();
  virtual void Release(std::uint8_t* buffer);
};

Buffers::~Buffers() = default;
void Buffers::Release(std::uint8_t* buffer) { std::free(buffer); }

}  // namespace

// Calls function with `self` in ECX and (first, second) on the stack, as both conventions pass
// them, and returns how many bytes of the arguments the callee took off the stack.
extern "C" int bytesPoppedBy(const void* function, const void* self, void* first, void* second);
asm(R"(
    .text
    .globl _bytesPoppedBy
_bytesPoppedBy:
    pushl %ebx
    movl %esp, %ebx
    movl 12(%ebx), %ecx
    pushl 20(%ebx)
    pushl 16(%ebx)
    call *8(%ebx)
    movl %esp, %eax
    subl %ebx, %eax
    addl $8, %eax
    movl %ebx, %esp
    popl %ebx
    ret
)");

// Each one frees its buffer whichever body it runs: the callback gets no allocator, the member
// its buffer in both places.
TEST(CallingConventionTest, ACallbackAndAMemberWithOneBodyKeepTheirOwnConventions) {
  const Allocator* volatile allocator = &kAllocator;
  void* block = allocator->alloc(allocator, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(bytesPoppedBy(reinterpret_cast<const void*>(allocator->release), nullptr, nullptr, block), 0);

  Buffers buffers;
  Buffers* volatile held = &buffers;
  // The vtable's third slot, after the two destructors.
  const void* member = (*reinterpret_cast<const void* const* const*>(held))[2];
  void* buffer = std::malloc(16);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(bytesPoppedBy(member, held, buffer, buffer), 4);
}
