// The DSA public keys that signatures are checked against: the table compiled into the stub
// from the build's key folder, or a set the producer loads at run time for its checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tzk::signature {

struct ByteView {
  const std::uint8_t* data;
  std::size_t size;
};

// p, q, g and y as big-endian unsigned byte strings of fixed length: 128/20/128/128 bytes for
// keys 1 to 3, 256/32/256/256 bytes for keys 5 to 7.
struct DsaPublicKey {
  int index;
  ByteView p, q, g, y;
};

struct KeySet {
  const DsaPublicKey* keys;
  std::size_t count;

  const DsaPublicKey* Find(int index) const {
    for (std::size_t i = 0; i < count; ++i) {
      if (keys[i].index == index) return &keys[i];
    }
    return nullptr;
  }
};

// Generated at build time from key1.pub.pem ... key7.pub.pem of SFX_KEY_DIR. The values live in
// one marked block (keys/gen_key_table.py) that sfxpack finds in a built stub, so installers are
// checked against exactly the keys their stub trusts.
KeySet CompiledKeys();

}  // namespace tzk::signature
