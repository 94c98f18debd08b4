#include <algorithm>
#include <set>
#include <string>
#include <string_view>

#include "archive/format.h"
#include "archive/map_text.h"
#include "archive/sfx_archive.h"
#include "vocabulary/path.h"

namespace tzk::archive {
namespace {

constexpr Result kBadInstallerRecord = 0xFFFFFFFFu;

// An 8-bit text field: up to the first zero byte.
std::wstring textField(const std::uint8_t* body, std::uint32_t length) {
  const auto* text = reinterpret_cast<const char*>(body);
  return WidenMapText(std::string_view(text, static_cast<std::size_t>(std::find(text, text + length, '\0') - text)));
}

struct RecordHeader {
  std::uint32_t tag = 0;
  std::uint32_t length = 0;
  std::uint32_t end = 0;  // position of the next record
};

bool readHeader(packers::CGenFile& file, RecordHeader* header) {
  if (!packers::ReadUint32(file, &header->tag) || !packers::ReadUint32(file, &header->length)) return false;
  const auto start = static_cast<std::uint32_t>(file.Seek(0, packers::kSeekCurrent));
  header->end = start + header->length;
  // A length that wraps around 32 bits would send the next record backwards: stop there.
  return header->end >= start;
}

// The records of file and list bodies and of the map itself share one loop: read a header,
// hand the body to the caller, continue at the record's end.
template <typename Handler>
Result forEachRecord(packers::CGenFile& file, Handler&& handle) {
  Result result = code::kSuccess;
  const std::uint32_t size = file.GetSize();
  while (static_cast<std::uint32_t>(file.Seek(0, packers::kSeekCurrent)) < size) {
    RecordHeader header;
    if (!readHeader(file, &header)) break;
    if (!handle(header, &result)) return result;
    if (file.Seek(static_cast<std::int32_t>(header.end), packers::kSeekBegin) < 0) break;
  }
  return result;
}

Result parseFileRecord(packers::CGenFile& file, ArchiveMap* out) {
  SfxFileEntry entry;
  bool discarded = false;
  forEachRecord(file, [&](const RecordHeader& h, Result*) {
    if (h.tag == record::kName || h.tag == record::kExtractionName) {
      if (const std::uint8_t* body = file.ReadAlloc(h.length)) {
        (h.tag == record::kName ? entry.name : entry.extractionName) = textField(body, h.length);
      }
    } else if (h.tag == record::kPointer) {
      std::uint32_t time = 0;
      if (h.length != kPointerRecordSize || !packers::ReadUint32(file, &entry.offset) ||
          !packers::ReadUint32(file, &entry.size) || !packers::ReadUint32(file, &time)) {
        discarded = true;
        return false;
      }
      entry.time = time;
    }
    return true;
  });
  if (discarded) return code::kFileInvalid;
  out->entries.push_back(std::move(entry));
  return code::kSuccess;
}

Result parseList(packers::CGenFile& list, ArchiveMap* out) {
  return forEachRecord(list, [&](const RecordHeader& h, Result* result) {
    if (h.tag != record::kFile) return true;
    std::uint8_t* body = list.ReadAlloc(h.length);
    packers::CMFile file;
    if (body != nullptr && file.Attach(body, h.length)) *result = parseFileRecord(file, out);
    return true;
  });
}

}  // namespace

Result ParseMap(packers::CGenFile& map, ArchiveMap* out) {
  std::wstring mode;
  bool badInstaller = false;
  const Result result = forEachRecord(map, [&](const RecordHeader& h, Result* listResult) {
    if (h.tag == record::kMode || h.tag == record::kCommandLine || h.tag == record::kSfxName) {
      const std::uint8_t* body = map.ReadAlloc(h.length);
      const std::wstring text = body != nullptr ? textField(body, h.length) : std::wstring();
      if (h.tag == record::kMode) mode = text;
      else if (body != nullptr) (h.tag == record::kCommandLine ? out->commandLine : out->sfxName) = text;
    } else if (h.tag == record::kInstaller) {
      if (h.length != kInstallerRecordSize) {
        badInstaller = true;
        return false;
      }
      packers::ReadUint32(map, &out->installer.offset);
      packers::ReadUint32(map, &out->installer.size);
    } else if (h.tag == record::kList) {
      std::uint8_t* body = map.ReadAlloc(h.length);
      packers::CMFile list;
      *listResult = body != nullptr && list.Attach(body, h.length) ? parseList(list, out) : code::kSuccess;
    }
    return true;
  });
  if (badInstaller) return kBadInstallerRecord;
  if (mode != L"extract") return code::kInvalidParameter;
  return result;
}

bool IsContainedName(const std::wstring& name) {
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (name.empty() || vocabulary::HasRoot(name)) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !separator(name[end])) ++end;
    // Windows drops trailing dots and blanks from a component, so ". ." and "..." count too.
    const std::wstring component = name.substr(start, end - start);
    if (component.find_first_not_of(L". ") == std::wstring::npos &&
        std::count(component.begin(), component.end(), L'.') >= 2) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

namespace {

// Device names: Windows opens them, with any extension, in every folder.
bool isDeviceName(const std::wstring& component) {
  std::wstring stem = component.substr(0, component.find(L'.'));
  stem.erase(stem.find_last_not_of(L' ') + 1);
  static const wchar_t* const kDevices[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$", L"clock$"};
  for (const wchar_t* device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, L"com") == 0 || stem.compare(0, 3, L"lpt") == 0) &&
         stem[3] >= L'0' && stem[3] <= L'9';
}

// The path below the extraction folder that Windows opens for a name, in a form in which two
// names compare equal whenever they may open one file: "." and empty components gone, trailing
// dots and blanks dropped from every component, letter case folded, and every letter beyond
// ASCII counted as one (Windows folds more of them than any table here would know). Empty when
// the name leaves room for doubt: a stream (":"), a short name ("~"), a device, "..".
std::wstring resolvedForComparison(const std::wstring& name) {
  if (name.find_first_of(L"~:") != std::wstring::npos) return std::wstring();
  std::wstring resolved;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    std::wstring component = name.substr(start, end - start);
    start = end + 1;
    const bool onlyDots = component.find_first_not_of(L". ") == std::wstring::npos;
    if (onlyDots && std::count(component.begin(), component.end(), L'.') >= 2) return std::wstring();
    component.erase(component.find_last_not_of(L". ") + 1);
    if (component.empty()) continue;
    for (wchar_t& c : component) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
      if (c > 0x7F) c = 0xFFFD;
    }
    if (isDeviceName(component)) return std::wstring();
    resolved += L'\\';
    resolved += component;
  }
  return resolved;
}

}  // namespace

std::wstring PartialName(const std::wstring& target, unsigned index) {
  std::wstring name = target + L"\u2026";
  if (index > 0) name += static_cast<wchar_t>(L'0' + index);
  return name;
}

namespace {

// Adds the path a name writes; false when it may meet one written before. Two paths meet when
// they are equal or one is a folder on the other's way: either way the order of the two writes
// decides what the folder holds, and the map's order must.
bool addDistinct(std::set<std::wstring>& written, const std::wstring& name) {
  const std::wstring path = resolvedForComparison(name);
  if (path.empty()) return false;
  const std::wstring asFolder = path + L'\\';
  const auto below = written.lower_bound(asFolder);
  if (below != written.end() && below->compare(0, asFolder.size(), asFolder) == 0) return false;
  for (std::size_t slash = path.find(L'\\', 1); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
    if (written.count(path.substr(0, slash)) != 0) return false;
  }
  return written.insert(path).second;
}

}  // namespace

namespace {

bool addUnpacked(std::set<std::wstring>& written, const std::wstring& name) {
  if (!addDistinct(written, name)) return false;
  for (unsigned i = 0; i < kPartialNames; ++i) {
    if (!addDistinct(written, PartialName(name, i))) return false;
  }
  return true;
}

}  // namespace

bool WritesAreDistinct(const std::vector<SfxFileEntry>& entries, const std::wstring& installerName) {
  std::set<std::wstring> written;
  if (!installerName.empty() && !addUnpacked(written, installerName)) return false;
  for (const SfxFileEntry& entry : entries) {
    // A name that leaves the folder is refused when its turn comes, having written nothing.
    if (IsContainedName(entry.name) && !addDistinct(written, entry.name)) return false;
    if (entry.extractionName.empty() || !IsContainedName(entry.extractionName)) continue;
    if (!addUnpacked(written, entry.extractionName)) return false;
  }
  return true;
}

}  // namespace tzk::archive
