// Embedded items: small files (recommendation and ticket ids, business configuration and key,
// customisation) stored in blocks that are walked backwards from their block tag, either
// inside the signed content or in the unsigned tail block that per-download tagging writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/format.h"
#include "vocabulary/result.h"

namespace tzk::archive {

// How the stub's walk stores an item of a tag it knows: as it is, or compressed with zlib.
enum class ItemStorage { kRaw, kZlib };
// False for a tag the walk passes over.
bool FindItemStorage(const std::string& tag, ItemStorage* storage);

// Writes an item's bytes to a path: 0, or 82 when the file cannot be created or written.
using ItemSaver = Result (*)(const std::wstring& path, const std::uint8_t* data, std::uint32_t size);
Result SaveItemFile(const std::wstring& path, const std::uint8_t* data, std::uint32_t size);

// Creates path and writes size bytes; a failed or short write deletes the file again.
// Returns 0 or 82; lastError (optional) receives the file's own error code.
Result WriteWholeFile(const std::wstring& path, const std::uint8_t* data, std::uint32_t size, Result* lastError);

// Walks the block whose kEmbeddedDataTag is at tagOffset inside [block, block + tagOffset +
// kTagSize), saving each recognised item into folder. Returns 13 when the items area would begin
// before block, else the result of the last raw item saved (0 when none).
Result WalkEmbeddedBlock(const std::uint8_t* block, std::size_t tagOffset, const std::wstring& folder,
                         ItemSaver save);

// The tail block (format.h): the file's last kTailBlockSize bytes. 13 when it is not there or
// its digest is wrong.
Result WalkTailBlock(const std::uint8_t* block, const std::wstring& folder, ItemSaver save);

// Whether the kTailBlockSize bytes are a tail block: not the end of a type 1 signature, the MD5
// of the bytes before kTailDigestOffset stored there, and the block tag right in front of it.
bool IsTailBlock(const std::uint8_t* block);

}  // namespace tzk::archive
