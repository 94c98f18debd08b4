#include "root/os_version.h"

#include <gtest/gtest.h>

namespace tzk::root {
namespace {

OsVersion nt(std::uint32_t major, std::uint32_t minor, std::uint32_t sp = 0) {
  return OsVersion{2, major, minor, 0, sp};
}
OsVersion win9x(std::uint32_t minor, std::uint32_t build) { return OsVersion{1, 4, minor, build, 0}; }

TEST(OsKind, Table) {
  EXPECT_EQ(ClassifyOsKind(win9x(0, 950)), 1u);
  EXPECT_EQ(ClassifyOsKind(win9x(0, 1110)), 1u);
  EXPECT_EQ(ClassifyOsKind(win9x(0, 0x04000457)), 2u);  // high word: version, low word: build 1111
  EXPECT_EQ(ClassifyOsKind(win9x(10, 1998)), 3u);
  EXPECT_EQ(ClassifyOsKind(win9x(10, 2222)), 4u);
  EXPECT_EQ(ClassifyOsKind(win9x(90, 3000)), 5u);
  EXPECT_EQ(ClassifyOsKind(nt(3, 51)), 10u);
  EXPECT_EQ(ClassifyOsKind(nt(4, 0)), 10u);
  EXPECT_EQ(ClassifyOsKind(nt(5, 0)), 11u);
  EXPECT_EQ(ClassifyOsKind(nt(5, 1)), 12u);
  EXPECT_EQ(ClassifyOsKind(nt(5, 2)), 12u);
  EXPECT_EQ(ClassifyOsKind(nt(6, 0)), 13u);
  EXPECT_EQ(ClassifyOsKind(nt(6, 1)), 14u);
  EXPECT_EQ(ClassifyOsKind(nt(6, 2)), 15u);
  EXPECT_EQ(ClassifyOsKind(nt(6, 3)), 16u);
  EXPECT_EQ(ClassifyOsKind(nt(6, 4)), 17u);
  EXPECT_EQ(ClassifyOsKind(nt(10, 0)), 17u);
  EXPECT_EQ(ClassifyOsKind(OsVersion{0, 3, 11, 0, 0}), 0u);  // Win32s
}

TEST(OsKind, ServicePackFloor) {
  EXPECT_FALSE(IsXpSp2OrLater(nt(4, 0, 6)));
  EXPECT_FALSE(IsXpSp2OrLater(nt(5, 0, 4)));  // Windows 2000
  EXPECT_FALSE(IsXpSp2OrLater(nt(5, 1, 1)));  // kind 12 all the same
  EXPECT_TRUE(IsXpSp2OrLater(nt(5, 1, 2)));
  EXPECT_TRUE(IsXpSp2OrLater(nt(5, 2, 0)));  // XP x64 and Server 2003 before their service packs
  EXPECT_TRUE(IsXpSp2OrLater(nt(5, 2, 1)));
  EXPECT_TRUE(IsXpSp2OrLater(nt(6, 0)));
  EXPECT_TRUE(IsXpSp2OrLater(nt(10, 0)));
  EXPECT_FALSE(IsXpSp2OrLater(win9x(90, 3000)));
}

}  // namespace
}  // namespace tzk::root
