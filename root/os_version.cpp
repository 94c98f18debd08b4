#include "root/os_version.h"

namespace tzk::root {

namespace {
constexpr std::uint32_t kPlatform9x = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr std::uint32_t kPlatformNt = 2;  // VER_PLATFORM_WIN32_NT

std::uint32_t classify9x(const OsVersion& v) {
  const std::uint32_t build = v.build & 0xFFFF;  // the high word holds the version again
  if (v.minor >= 90) return os_kind::kWinMe;
  if (v.minor >= 10) return build <= 2221 ? os_kind::kWin98 : os_kind::kWin98Later;
  return build <= 1110 ? os_kind::kWin95 : os_kind::kWin95Later;
}

std::uint32_t classifyNt(const OsVersion& v) {
  if (v.major <= 4) return os_kind::kNt4;
  if (v.major == 5) return v.minor == 0 ? os_kind::kWin2000 : os_kind::kWinXp;
  if (v.major == 6 && v.minor <= 3) return os_kind::kVista + v.minor;
  return os_kind::kNewer;
}
}  // namespace

std::uint32_t ClassifyOsKind(const OsVersion& version) {
  if (version.platformId == kPlatformNt) return classifyNt(version);
  if (version.platformId == kPlatform9x && version.major == 4) return classify9x(version);
  return os_kind::kUnrecognised;
}

bool IsXpSp2OrLater(const OsVersion& version) {
  if (version.platformId != kPlatformNt || version.major < 5) return false;
  if (version.major > 5) return true;
  // XP itself needs its second service pack; the 5.2 systems (XP x64, Server 2003) come after it
  // whatever their own service pack.
  if (version.minor == 1) return version.servicePackMajor >= 2;
  return version.minor >= 2;
}

}  // namespace tzk::root
