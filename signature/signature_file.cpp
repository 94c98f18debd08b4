#include <limits>
#include <new>

#include "signature/signature_file.h"

namespace tzk::signature {

bool SignatureFile::ViewContent(std::uint64_t length, ContentView* view) const {
  if (length > size_ || length > std::numeric_limits<std::size_t>::max()) return false;
  const auto count = static_cast<std::size_t>(length);
  if (count == 0) return true;  // nothing to map; the empty content has a digest too
  if (MapContent(count, view)) return true;
  try {
    view->copy_.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadAt(0, view->copy_.data(), count)) return false;
  view->data_ = view->copy_.data();
  view->size_ = count;
  return true;
}

bool SignatureFile::ForEachPiece(std::uint64_t length, const std::function<void(ByteView)>& take) const {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  if (length > size_) return false;
  std::vector<std::uint8_t> piece;
  try {
    piece.resize(static_cast<std::size_t>(length < kPiece ? length : kPiece));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::uint64_t at = 0; at < length;) {
    const auto count = static_cast<std::size_t>(length - at < kPiece ? length - at : kPiece);
    if (!ReadAt(at, piece.data(), count)) return false;
    take(ByteView{piece.data(), count});
    at += count;
  }
  return true;
}

}  // namespace tzk::signature
