// Per-download tags in constant work. A stamped download differs from its base installer in two
// places only: the tail block, which lies in the code signature's room at the file's end, and
// the PE checksum, which covers every byte. So a base is read once, when it is prepared: its
// checksum is summed without the tail block, and the bytes every download keeps are digested.
// Each download then costs the tail block: its words complete the checksum, and the file is the
// base's bytes with those two patches laid over them. `tag` writes through the same stamp, so
// what `tag` writes and what `serve` sends are the same bytes by construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/installer_writer.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"

namespace sfxpack {

using tzk::archive::EmbeddedItem;

// A piece of a stamped file: the base's bytes at the same offset, or bytes the stamp holds.
struct StampRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool patched = false;
  std::size_t patchAt = 0;  // where a patched range's bytes begin in Stamp::patch
};

// One download: the base's bytes in the ranges that are not patched. Its memory is the tail
// block's, whatever the base's size.
struct Stamp {
  std::uint64_t size = 0;
  Bytes patch;                     // the checksum field's four bytes, then the tail block
  std::vector<StampRange> ranges;  // [0, size) in file order, each range not empty
};

// The stamped file read through its base; both must outlive what is returned.
FileSource Stamped(const FileSource& base, const Stamp& stamp);

using Sha256 = std::array<std::uint8_t, 32>;

class TailStamper {
 public:
  // Prepares a base whose code signature has tail room (`code` is what InspectCodeSignature
  // reported of it): its one reading of the whole file. False with the reason when the room is
  // not where the stamp writes (the file's last kTailBlockSize bytes, behind the headers) or the
  // file cannot be read.
  bool Prepare(const FileSource& base, const CodeSignatureReport& code, std::string* error);

  // The download whose tail block is `tail` (kTailBlockSize bytes: TailBlock's, or zeros for
  // none, as `tag --remove` leaves the room).
  void StampTail(const std::uint8_t* tail, Stamp* out) const;
  // The download that carries these items (prepared as PrepareEmbeddedItem prepares them), or
  // for none the room zero-filled, the file as released; false with the reason when they do not
  // fit the tail block.
  bool StampItems(const std::vector<EmbeddedItem>& items, Stamp* out, std::string* error) const;

  std::uint64_t size() const { return size_; }
  // SHA-256 of the bytes that every download of this base keeps: all but the checksum field and
  // the tail block. With a download's tail block it names that download's bytes.
  const Sha256& keptDigest() const { return keptDigest_; }
  // SHA-256 of the kept digest and a stamp's tail block: what names that download's bytes.
  Sha256 Identify(const Stamp& stamp) const;

 private:
  std::uint64_t size_ = 0;
  std::uint64_t checksumOffset_ = 0;
  std::uint64_t tailOffset_ = 0;
  std::uint32_t keptSum_ = 0;  // the kept bytes' 16-bit words, summed modulo 0xFFFF
  Sha256 keptDigest_{};
};

// Whether `tag` may write items into an installer the stub accepts, and `serve` stamp it: the
// stub reads items from its tail block (no embedded-data block), and its certificate table is
// signed, sound enough to have been read, and has room for the block. kExitOk, or the exit code
// `tag` gives with the reason.
int CheckStampable(const StubVerdict& verdict, ItemsBlock block, const CodeSignatureReport& code,
                   std::string* reason);

}  // namespace sfxpack
