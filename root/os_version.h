// The kind of operating system the stub runs on, told from the version numbers the system
// reports. Kept apart from the queries so that every row of the table can be checked anywhere.
#pragma once

#include <cstdint>

namespace tzk::root {

namespace os_kind {
constexpr std::uint32_t kUnrecognised = 0;
constexpr std::uint32_t kWin95 = 1, kWin95Later = 2, kWin98 = 3, kWin98Later = 4, kWinMe = 5;
constexpr std::uint32_t kNt4 = 10, kWin2000 = 11, kWinXp = 12, kVista = 13, kWin7 = 14, kWin8 = 15,
                        kWin81 = 16, kNewer = 17;
}  // namespace os_kind

struct OsVersion {
  std::uint32_t platformId = 0;  // 1 for the Windows 9x family, 2 for NT
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t servicePackMajor = 0;
};

std::uint32_t ClassifyOsKind(const OsVersion& version);

// Windows XP with service pack 2 and every later NT: the floor the stub installs on, and the one
// rule for it.
bool IsXpSp2OrLater(const OsVersion& version);

}  // namespace tzk::root
