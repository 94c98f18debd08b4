// Path analysis and clean-up over arbitrary texts (two bytes per unit): whatever the text,
// every index stays inside it and the clean-up leaves no "/" and no doubled backslash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vocabulary/path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == L'\0') break;
    text.push_back(unit);
  }

  for (std::uint32_t options = 0; options < 16; ++options) {
    std::wstring root;
    tzk::vocabulary::PathAnalysis a;
    if (tzk::vocabulary::AnalysePath(text.c_str(), &root, &a, options) != 0) continue;
    if (a.rootStart > a.rootEnd || a.rootEnd > text.size() || a.prefixLength > text.size()) std::abort();
    if (options == 0 && a.rootLength != root.size()) std::abort();
  }

  std::wstring tail = text;
  tzk::vocabulary::NormalisePathTail(tail);
  if (tail.size() > text.size() || tail.find(L'/') != std::wstring::npos ||
      tail.find(L"\\\\") != std::wstring::npos) {
    std::abort();
  }

  std::wstring longPath;
  if (!tzk::vocabulary::ToLongPath(text, longPath) || longPath.compare(0, 2, L"\\\\") != 0) std::abort();
  tzk::vocabulary::NormaliseFolderPath(text);
  // Whatever names one place from anywhere names no place below the current folder.
  if (tzk::vocabulary::IsAbsolutePath(text.c_str()) && !tzk::vocabulary::HasRoot(text)) std::abort();
  if (tzk::vocabulary::FolderOf(text).size() + tzk::vocabulary::FileNameOf(text).size() > text.size()) std::abort();
  return 0;
}
