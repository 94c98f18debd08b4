// The settings every package is packed with, shared by the one-call packers and the streaming
// ones so that both give the same bytes.
#pragma once

#include <zlib.h>

#include <LzmaEnc.h>

namespace tzk::packers {

CLzmaEncProps Level5Props();

// What the LZMA encoder allocates its match finder's tables with (its allocBig).
extern ISzAlloc lzmaTableAllocator;

// deflateInit at level 9, tuned as every zlib package is packed; zlib's result code.
int DeflateInitLevel9(z_stream* stream);

}  // namespace tzk::packers
