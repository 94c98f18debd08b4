#include "vocabulary/path.h"

#include <cwchar>
#include <new>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tzk::vocabulary {

namespace {

using std::wstring_view;

constexpr std::size_t kVolumeRootLength = 44;  // "Volume{" + 36-character GUID + "}"
constexpr std::uint32_t kDriveRemote = 4;        // DRIVE_REMOTE

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool isLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
wchar_t lowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// Whether word (ASCII) stands at text[at], compared without regard to case.
bool wordAt(wstring_view text, std::size_t at, wstring_view word) {
  if (text.size() - at < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(text[at + i]) != lowerAscii(word[i])) return false;
  }
  return true;
}

// Whether word stands at text[at] as a whole component: followed by a separator or the end.
bool componentAt(wstring_view text, std::size_t at, wstring_view word) {
  const std::size_t end = at + word.size();
  return wordAt(text, at, word) && (end == text.size() || isSeparator(text[end]));
}

std::size_t skipSeparators(wstring_view text, std::size_t at) {
  while (at < text.size() && isSeparator(text[at])) ++at;
  return at;
}

std::size_t nextSeparator(wstring_view text, std::size_t at) {
  while (at < text.size() && !isSeparator(text[at])) ++at;
  return at;
}

bool isDriveAt(wstring_view text, std::size_t at) {
  return text.size() - at >= 2 && isLetter(text[at]) && text[at + 1] == L':';
}

// Server, the separators after it and the share. A plain UNC path counts the share as present
// once a separator follows the server; below a prefix only an actual share name counts.
std::size_t uncRootEnd(wstring_view text, std::size_t server, bool prefixed, std::uint32_t& kind) {
  std::size_t end = nextSeparator(text, server);
  if (end == text.size()) return end;
  if (!prefixed) kind |= path_kind::kShare;
  end = skipSeparators(text, end);
  if (end == text.size()) return end;
  if (prefixed) kind |= path_kind::kShare;
  return nextSeparator(text, end);
}

// The root behind "\\?\" or "\\.\": UNC, volume GUID, drive or NT device.
std::size_t prefixedRootEnd(wstring_view text, PathAnalysis& a) {
  a.kind |= text[2] == L'?' ? path_kind::kLongPrefix : path_kind::kDevicePrefix;
  std::size_t at = skipSeparators(text, 4);
  a.prefixLength = static_cast<std::uint32_t>(at);
  if (wordAt(text, at, L"UNC") && at + 3 < text.size() && isSeparator(text[at + 3])) {
    a.kind |= path_kind::kPrefixedUnc | path_kind::kNetwork;
    at = skipSeparators(text, at + 3);
    a.prefixLength = static_cast<std::uint32_t>(at);
    return uncRootEnd(text, at, true, a.kind);
  }
  if (wordAt(text, at, L"Volume{") && text.size() - at >= kVolumeRootLength &&
      text[at + kVolumeRootLength - 1] == L'}') {
    a.kind |= path_kind::kVolumeGuid;
    return at + kVolumeRootLength;
  }
  if (isDriveAt(text, at)) {
    a.kind |= path_kind::kDrive;
    a.rootStart = static_cast<std::uint32_t>(at);
    return at + 2;
  }
  if (componentAt(text, at, L"GlobalRoot")) at = skipSeparators(text, at + 10);
  if (!wordAt(text, at, L"Device") || at + 6 >= text.size() || !isSeparator(text[at + 6])) return at;
  at = skipSeparators(text, at + 6);
  if (componentAt(text, at, L"FileDisk")) at = skipSeparators(text, at + 8);
  a.kind |= path_kind::kNtDevice;
  return nextSeparator(text, at);
}

std::size_t rootEndOf(wstring_view text, PathAnalysis& a) {
  if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) {
    a.kind |= path_kind::kTwoSeparators;
    if (text.size() >= 4 && (text[2] == L'?' || text[2] == L'.') && isSeparator(text[3])) {
      return prefixedRootEnd(text, a);
    }
    a.kind |= path_kind::kNetwork;
    a.prefixLength = 2;
    return uncRootEnd(text, 2, false, a.kind);
  }
  if (isDriveAt(text, 0)) {
    a.kind |= path_kind::kDrive;
    if (text.size() == 2 || isSeparator(text[2])) a.kind |= path_kind::kTwoSeparators;
    return 2;
  }
  return nextSeparator(text, 0);
}

// "/" to "\" and doubled backslashes to one, except that a backslash written at one of the
// first `kept` + 1 places stays (a root's leading "\\\\").
void foldSeparators(std::wstring& text, std::size_t kept) {
  std::size_t out = 0;
  for (std::size_t in = 0; in < text.size(); ++in) {
    const wchar_t c = text[in] == L'/' ? L'\\' : text[in];
    if (c == L'\\' && out > kept && text[out - 1] == L'\\') continue;
    text[out++] = c;
  }
  text.resize(out);
}

std::uint32_t driveTypeOf(const std::wstring& root) {
#ifdef _WIN32
  return ::GetDriveTypeW((root + L"\\").c_str());
#else
  (void)root;
  return 0;  // DRIVE_UNKNOWN: the host has no drive letters
#endif
}

// A separator that ends a drive or volume root carries meaning ("C:" is a current folder,
// "\\?\Volume{..}" the volume itself), so it is never dropped.
bool separatorIsRoot(const std::wstring& text) {
  if (text.size() < 2) return true;
  const wchar_t before = text[text.size() - 2];
  return before == L':' || before == L'}';
}

void finishWholePath(std::wstring& text, bool endWithSeparator) {
  const bool endsWithSeparator = !text.empty() && isSeparator(text.back());
  if (endWithSeparator && !endsWithSeparator) text.push_back(L'\\');
  if (!endWithSeparator && endsWithSeparator && !separatorIsRoot(text)) text.pop_back();
}

// Whether the backslash at index at ends a drive root or starts the text.
bool isAnchor(const std::wstring& text, std::size_t at) {
  return at == 0 || (at == 2 && isDriveAt(text, 0));
}

}  // namespace

bool IsAbsolutePath(const wchar_t* path) {
  if (path == nullptr) return false;
  const wstring_view text(path);
  if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) return true;
  return text.size() >= 3 && isDriveAt(text, 0) && isSeparator(text[2]);
}

namespace {

// One rule for both widths: the stub's paths are UTF-16, the producer's UTF-8.
template <typename Char>
bool hasRoot(std::basic_string_view<Char> path) {
  const auto separator = [](Char c) { return c == Char('\\') || c == Char('/'); };
  return !path.empty() && (separator(path[0]) || (path.size() >= 2 && path[1] == Char(':')));
}

template <typename Char>
std::basic_string<Char> folderOf(const std::basic_string<Char>& path) {
  const Char separators[] = {Char('\\'), Char('/'), Char(0)};
  const std::size_t separator = path.find_last_of(separators);
  return separator == std::basic_string<Char>::npos ? std::basic_string<Char>() : path.substr(0, separator);
}

}  // namespace

bool HasRoot(wstring_view path) { return hasRoot(path); }
bool HasRoot(std::string_view path) { return hasRoot(path); }
std::wstring FolderOf(const std::wstring& path) { return folderOf(path); }
std::string FolderOf(const std::string& path) { return folderOf(path); }
std::wstring FileNameOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

Result AnalysePath(const wchar_t* path, std::wstring* root, PathAnalysis* analysis, std::uint32_t options) {
  if (path == nullptr) return code::kBadArguments;
  const wstring_view text(path);
  if (text.empty()) return code::kInvalidName;

  PathAnalysis a;
  const std::size_t rootEnd = rootEndOf(text, a);
  a.rootEnd = static_cast<std::uint32_t>(rootEnd);
  if (rootEnd < text.size() && isSeparator(text[rootEnd])) a.kind |= path_kind::kSeparatorAfterRoot;
  if (skipSeparators(text, rootEnd) < text.size()) a.kind |= path_kind::kMoreAfterRoot;

  std::wstring rootText(text.substr(a.rootStart, rootEnd - a.rootStart));
  if (a.kind & path_kind::kPrefixedUnc) rootText.erase(2, a.prefixLength - 2);
  if (options & analyse_option::kCleanSeparators) foldSeparators(rootText, 2);
  a.rootLength = static_cast<std::uint32_t>(rootText.size());
  if (options & analyse_option::kDriveType) {
    a.driveType = (a.kind & path_kind::kNetwork) ? kDriveRemote : driveTypeOf(rootText);
  }

  if (root != nullptr) {
    if (options & analyse_option::kWholePath) {
      std::wstring rest(text.substr(rootEnd));
      if (options & analyse_option::kCleanSeparators) NormalisePathTail(rest);
      rootText += rest;
      finishWholePath(rootText, options & analyse_option::kEndWithSeparator);
    } else if ((options & analyse_option::kEndWithSeparator) && (rootText.empty() || !isSeparator(rootText.back()))) {
      rootText.push_back(L'\\');
    }
    root->swap(rootText);
  }
  if (analysis != nullptr) *analysis = a;
  return code::kSuccess;
}

bool ToLongPath(const std::wstring& path, std::wstring& out) {
  out.clear();
  try {
    if (path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.')) {
      out = path;
      return true;
    }
    const bool unc = path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
    std::wstring tail = unc ? path.substr(1) : path;
    NormalisePathTail(tail);  // callers hand absolute paths; a climb above the root just stops
    out.reserve((unc ? 7 : 4) + tail.size());
    out = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    out += tail;
    return true;
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
}

bool NormalisePathTail(std::wstring& text) {
  foldSeparators(text, 0);

  for (std::size_t at = text.find(L"\\."); at != std::wstring::npos; at = text.find(L"\\.", at)) {
    std::size_t end = text.find(L'\\', at + 1);
    const bool final = end == std::wstring::npos;
    if (final) end = text.size();
    const std::size_t length = end - at - 1;

    if (length == 1) {  // "."
      if (final) {
        text.erase(isAnchor(text, at) ? at + 1 : at);
        break;
      }
      text.erase(at + 1, 2);
      continue;
    }
    if (length != 2 || text[at + 2] != L'.') {  // a name that begins with a dot
      ++at;
      continue;
    }
    if (isAnchor(text, at)) {  // ".." cannot climb above a drive root or the start
      text.erase(at + 1, final ? std::wstring::npos : 3);
      if (final) break;
      continue;
    }
    const std::size_t previous = text.rfind(L'\\', at - 1);
    if (previous == std::wstring::npos) {  // the component before ".." is the first one
      if (final) {
        text.erase(at);
        return false;
      }
      text.erase(0, end + 1);
      at = 0;
      continue;
    }
    if (final) {
      text.erase(previous + 1);
      // The backslash stays behind a colon ("C:\") and at the very start ("\"): both are roots.
      if (previous > 0 && text[previous - 1] != L':') text.erase(previous);
      break;
    }
    text.erase(previous + 1, end - previous);
    at = previous;
  }
  return true;
}

std::wstring NormaliseFolderPath(const std::wstring& folder) {
  std::wstring text = folder;
  while (!text.empty() && isSeparator(text.back())) text.pop_back();
  if (text.empty()) return L"\\";
  PathAnalysis a;
  if (AnalysePath(text.c_str(), nullptr, &a, 0) == code::kSuccess && a.rootEnd == text.size() &&
      (text.back() == L':' || text.back() == L'}')) {
    text.push_back(L'\\');
  }
  return text;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty()) return name;
  if (name.empty()) return folder;
  std::wstring path = folder;
  if (path.back() == L'"') path.pop_back();
  const bool folderEndsInSeparator = !path.empty() && path.back() == L'\\';
  if (!folderEndsInSeparator && name.front() != L'\\') path += L'\\';
  path += name;
  if (path.front() == L'"') path += L'"';
  return path;
}

std::wstring JoinSubfolder(const std::wstring& folder, const std::wstring& name) {
  if (name.empty()) return folder;
  std::wstring joined = folder;
  if ((joined.empty() || joined.back() != L'\\') && name.front() != L'\\') joined.push_back(L'\\');
  return joined + name;
}

}  // namespace tzk::vocabulary
