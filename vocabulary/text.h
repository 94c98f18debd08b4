// Conversions between the system's wide texts and the narrow texts of files and the host.
#pragma once

#include <string>
#include <string_view>

namespace tzk::vocabulary {

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

// A wide path as the host's file system wants it: UTF-8, with backslashes as separators
// turned into slashes, so archive paths joined the Windows way work on Linux too.
std::string toHostPath(std::wstring_view path);

// Widens one byte per unit, as the archive's 8-bit texts are read where they are not valid text.
std::wstring widenBytes(std::string_view bytes);

}  // namespace tzk::vocabulary
