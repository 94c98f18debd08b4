#include <limits>
#include <new>

#include "archive/signature_file.h"

namespace tzk::archive {

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

}  // namespace tzk::archive
