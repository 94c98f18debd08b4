// The LZMA settings every package is packed with, shared by the one-call packer and the
// streaming one so that both give the same bytes.
#pragma once

#include <LzmaEnc.h>

namespace tzk::packers {

CLzmaEncProps Level5Props();

}  // namespace tzk::packers
