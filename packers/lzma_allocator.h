// The heap allocator the LZMA codec is given for its state, shared by packing, unpacking and
// unpacking in pieces.
#pragma once

#include <LzmaDec.h>

namespace tzk::packers {

extern ISzAlloc lzmaAllocator;

}  // namespace tzk::packers
