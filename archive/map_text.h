// How the map's 8-bit texts (entry names, the stored command line, the SFX name) become wide.
#pragma once

#include <string>
#include <string_view>

namespace tzk::archive {

// One rule per platform, never the C runtime's locale: the stub reads its map on a thread of
// its own while its first steps set that locale, and a name, and the file it makes, must not
// depend on which of the two came first. On Windows the text is read in the ANSI code page, on
// the host as UTF-8. A text that is not valid there keeps one unit per byte, so no byte is lost
// and no two texts read alike.
std::wstring WidenMapText(std::string_view bytes);

}  // namespace tzk::archive
