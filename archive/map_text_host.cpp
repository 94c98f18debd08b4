#include "archive/map_text.h"

#include "vocabulary/text.h"

namespace tzk::archive {

// The host has no ANSI code page; its own names are UTF-8, whatever locale the process runs in
// (the producer sets none), so a name it extracts is the one a UTF-8 producer meant.
std::wstring WidenMapText(std::string_view bytes) {
  const std::wstring wide = vocabulary::fromUtf8(bytes);
  // fromUtf8 replaces what is not UTF-8 (and folds overlong forms): such a text does not come
  // back byte for byte.
  if (vocabulary::toUtf8(wide) != bytes) return vocabulary::widenBytes(bytes);
  return wide;
}

}  // namespace tzk::archive
