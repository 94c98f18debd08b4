// Every form of Windows path the library accepts (drive, UNC, "\\?\" and "\\.\" prefixes, UNC
// below a prefix, volume GUID roots, NT device roots through GlobalRoot), split into root and
// remainder and turned into what the Win32 file functions want. Both "\" and "/" separate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vocabulary/result.h"

namespace tzk::vocabulary {

namespace path_kind {
constexpr std::uint32_t kNetwork = 0x1;          // UNC, directly or below a prefix
constexpr std::uint32_t kTwoSeparators = 0x2;    // begins with two separators; rooted drive
constexpr std::uint32_t kMoreAfterRoot = 0x4;    // something other than separators follows
constexpr std::uint32_t kShare = 0x8;            // a share name follows the server
constexpr std::uint32_t kSeparatorAfterRoot = 0x10;
constexpr std::uint32_t kDrive = 0x100;
constexpr std::uint32_t kLongPrefix = 0x200;     // "\\?\"
constexpr std::uint32_t kDevicePrefix = 0x400;   // "\\.\"
constexpr std::uint32_t kPrefixedUnc = 0x800;    // "UNC" below a prefix
constexpr std::uint32_t kVolumeGuid = 0x1000;
constexpr std::uint32_t kNtDevice = 0x4000;
}  // namespace path_kind

namespace analyse_option {
constexpr std::uint32_t kEndWithSeparator = 0x1;
constexpr std::uint32_t kCleanSeparators = 0x2;
constexpr std::uint32_t kDriveType = 0x4;
constexpr std::uint32_t kWholePath = 0x8;
}  // namespace analyse_option

struct PathAnalysis {
  std::uint32_t rootStart = 0;     // where the returned root begins in the input
  std::uint32_t kind = 0;          // path_kind bits
  std::uint32_t prefixLength = 0;  // characters in front of the server or device name
  std::uint32_t rootEnd = 0;       // index just after the root in the input
  std::uint32_t rootLength = 0;    // length of the root as returned, after its clean-up
  std::uint32_t driveType = 0;     // GetDriveTypeW's answer, 4 (remote) for UNC
};

// A path that names one place whatever the current folder and drive: a drive letter, ":" and a
// separator, or two leading separators (UNC, and the "\\?\" and "\\.\" forms). Children are started
// and set-up folders trusted only by such a path.
bool IsAbsolutePath(const wchar_t* path);

// A path that does not name a place below the current folder: one with a leading separator
// (the drive's root, UNC, the prefixes) or with ":" as its second character, which includes the
// drive-relative "C:x" (drive C's current folder, wherever that is). A name that must stay inside
// a folder, or that a DLL load resolves without the search, is judged by this.
bool HasRoot(std::wstring_view path);
bool HasRoot(std::string_view path);  // the producer's UTF-8 paths, by the same rule

// The text before a path's last separator ("\" or "/"); empty when it has none.
std::wstring FolderOf(const std::wstring& path);
std::string FolderOf(const std::string& path);
// The text after a path's last separator or drive colon; the whole path when it has neither.
std::wstring FileNameOf(const std::wstring& path);

// Splits path into root and remainder. Returns 0, 160 for a null path, 123 for an empty one.
Result AnalysePath(const wchar_t* path, std::wstring* root, PathAnalysis* analysis, std::uint32_t options);

// The long-path form of an absolute path: "\\?\" or "\\?\UNC" in front, the rest cleaned up.
// Texts that already carry "\\?\" or "\\.\" come back unchanged. False only when memory runs
// out, in which case out is left empty.
bool ToLongPath(const std::wstring& path, std::wstring& out);

// Cleans the text after a root in place: "/" to "\", runs of "\" to one, "." and ".."
// components resolved. False when a final ".." climbs above the first component.
bool NormalisePathTail(std::wstring& text);

// A folder as the library stores it: no trailing separators, except that a bare drive or
// volume GUID root keeps one backslash and an empty remainder becomes "\".
std::wstring NormaliseFolderPath(const std::wstring& folder);

// The one way a folder and a name are put together, so that quoted folders from command lines
// and folders with or without a trailing backslash all give the same kind of path. An empty
// folder gives the name alone and an empty name the folder unchanged. Otherwise one trailing
// double quote is taken off the folder, exactly one backslash separates the two, and a path
// that opens with a double quote is closed with one.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Folder and name with one backslash between them, none added when either side has it; unlike
// JoinPath an empty folder still gives a rooted "\name" and quotes are not looked at.
std::wstring JoinSubfolder(const std::wstring& folder, const std::wstring& name);

}  // namespace tzk::vocabulary
