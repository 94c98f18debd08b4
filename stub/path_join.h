// The one way the stub puts a folder and a name together, so that quoted folders from command
// lines and folders with or without a trailing backslash all give the same kind of path.
#pragma once

#include <string>

namespace tzk::stub {

// An empty folder gives the name alone and an empty name the folder unchanged. Otherwise one
// trailing double quote is taken off the folder, exactly one backslash separates the two, and
// a path that opens with a double quote is closed with one.
std::wstring joinPath(const std::wstring& folder, const std::wstring& name);

}  // namespace tzk::stub
