#include "archive/embedded_items.h"

#include <zlib.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>
#include <memory>
#include <new>

#include "archive/sfx_archive.h"
#include "signature/signature.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/path.h"

namespace tzk::archive {

using signature::kRawMd5Magic;
namespace {

static_assert(kMd5Size == CryptoPP::Weak::MD5::DIGESTSIZE, "the tail block ends in an MD5");

struct ItemKind {
  const char* tag;
  ItemStorage storage;
  const wchar_t* fileName;
  const wchar_t* description;  // raw items: the info message itself
  const wchar_t* saveError;    // raw items only
};

const ItemKind kItemKinds[] = {
    {item::kRecommendationIdTag, ItemStorage::kRaw, item::kRecommendationIdFile, L"Unpacking embedded recommendation ID",
     L"Error saving embedded recommendation ID to a file '%s', code %d (0x%X)"},
    {item::kTicketIdTag, ItemStorage::kRaw, item::kTicketIdFile, L"Saving TicketID",
     L"Error saving embedded ticket ID to a file '%s', code %d (0x%X)"},
    {item::kBusinessConfigTag, ItemStorage::kZlib, item::kBusinessConfigFile, L"Zanti for business config file", nullptr},
    {item::kCustomizationTag, ItemStorage::kZlib, item::kCustomizationFile, L"embedded customization file", nullptr},
    {item::kBusinessKeyTag, ItemStorage::kZlib, item::kBusinessKeyFile, L"Zanti for business public key", nullptr},
};

const ItemKind* findKind(const std::uint8_t* tag) {
  for (const ItemKind& kind : kItemKinds) {
    if (std::memcmp(kind.tag, tag, kTagSize) == 0) return &kind;
  }
  return nullptr;
}

void logItem(log::LogLevel level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(level, kTagSfxArc, format, args);
  va_end(args);
}

// Compressed items may expand at most tenfold; anything larger is dropped without a word.
void saveCompressed(const ItemKind& kind, const std::uint8_t* data, std::uint32_t size, const std::wstring& path,
                    ItemSaver save) {
  logItem(log::level::kInfo, L"Unpacking %s", kind.description);
  const std::uint64_t capacity = std::uint64_t{size} * 10;
  if (capacity > kFormatLimit) return;
  std::unique_ptr<std::uint8_t[]> out(new (std::nothrow) std::uint8_t[capacity]);
  uLongf produced = static_cast<uLongf>(capacity);
  if (!out || ::uncompress(out.get(), &produced, data, size) != Z_OK) return;
  const Result saved = save(path, out.get(), static_cast<std::uint32_t>(produced));
  if (saved != code::kSuccess) {
    logItem(log::level::kError, L"Error saving %s to a file '%s', code %d (0x%X)", kind.description, path.c_str(),
            saved, saved);
  }
}

}  // namespace

bool FindItemStorage(const std::string& tag, ItemStorage* storage) {
  const ItemKind* kind = tag.size() == kTagSize ? findKind(reinterpret_cast<const std::uint8_t*>(tag.data())) : nullptr;
  if (kind != nullptr) *storage = kind->storage;
  return kind != nullptr;
}

Result SaveItemFile(const std::wstring& path, const std::uint8_t* data, std::uint32_t size) {
  return WriteWholeFile(path, data, size, nullptr);
}

Result WalkEmbeddedBlock(const std::uint8_t* block, std::size_t tagOffset, const std::wstring& folder,
                         ItemSaver save) {
  if (tagOffset < kFieldSize) return code::kInvalidData;
  const std::size_t lengthField = tagOffset - kFieldSize;
  const std::uint32_t itemsLength = vocabulary::ReadLe32(block + lengthField);
  if (itemsLength > lengthField) return code::kInvalidData;
  const std::size_t itemsStart = lengthField - itemsLength;

  Result result = code::kSuccess;
  std::size_t p = lengthField;
  while (p - itemsStart > kItemTrailerSize) {
    const std::uint8_t* tag = block + p - kTagSize;
    const std::uint32_t size = vocabulary::ReadLe32(block + p - kItemTrailerSize);
    p -= kItemTrailerSize;
    // An item that claims more bytes than lie below it is passed over; the walk looks for
    // the next trailer right beneath this one.
    if (size == 0 || size > p - itemsStart) continue;
    p -= size;
    const ItemKind* kind = findKind(tag);
    if (kind == nullptr) continue;
    const std::wstring path = vocabulary::JoinPath(folder, kind->fileName);
    if (kind->storage == ItemStorage::kZlib) {
      saveCompressed(*kind, block + p, size, path, save);
      continue;
    }
    logItem(log::level::kInfo, kind->description);
    result = save(path, block + p, size);
    if (result != code::kSuccess) logItem(log::level::kError, kind->saveError, path.c_str(), result, result);
  }
  return result;
}

bool IsTailBlock(const std::uint8_t* block) {
  constexpr std::size_t kMagicSize = sizeof(kRawMd5Magic) - 1;
  if (std::memcmp(block + kTailBlockSize - kMagicSize, kRawMd5Magic, kMagicSize) == 0) return false;
  std::uint8_t digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  CryptoPP::Weak::MD5().CalculateDigest(digest, block, kTailDigestOffset);
  return std::memcmp(digest, block + kTailDigestOffset, sizeof(digest)) == 0 &&
         vocabulary::ReadLe32(block + kTailDigestOffset - kTagSize) == kEmbeddedDataTag;
}

Result WalkTailBlock(const std::uint8_t* block, const std::wstring& folder, ItemSaver save) {
  if (!IsTailBlock(block)) return code::kInvalidData;
  return WalkEmbeddedBlock(block, kTailDigestOffset - kTagSize, folder, save);
}

}  // namespace tzk::archive
