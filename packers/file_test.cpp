#include "packers/file.h"

#include <gtest/gtest.h>

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "packers/test_files.h"

namespace tzk::packers {
namespace {

std::vector<std::uint8_t> Bytes(const char* text) { return std::vector<std::uint8_t>(text, text + std::strlen(text)); }

TEST(CMFileTest, AttachRefusesNullAndASecondBuffer) {
  std::uint8_t buffer[4] = {};
  CMFile file;
  EXPECT_FALSE(file.Attach(nullptr, 4));
  EXPECT_TRUE(file.Attach(buffer, 4));
  EXPECT_FALSE(file.Attach(buffer, 4));
  file.Close();
  EXPECT_TRUE(file.Attach(buffer, 2));
  EXPECT_EQ(file.GetSize(), 2u);
}

TEST(CMFileTest, ReadsStopAtTheEnd) {
  std::vector<std::uint8_t> data = Bytes("abcdef");
  CMFile file;
  ASSERT_TRUE(file.Attach(data.data(), 6));
  char out[8] = {};
  std::int32_t count = 0;
  ASSERT_TRUE(file.Read(out, 4, &count));
  EXPECT_EQ(count, 4);
  // Crossing the end gives what is left.
  ASSERT_TRUE(file.Read(out, 8, &count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::string(out, 2), "ef");
  // At the end, and beyond it after a seek, nothing more.
  EXPECT_FALSE(file.Read(out, 1, &count));
  EXPECT_EQ(file.Seek(100, kSeekBegin), 100);
  EXPECT_FALSE(file.Read(out, 1, &count));
  EXPECT_EQ(file.Seek(-2, kSeekEnd), 4);
  ASSERT_TRUE(file.Read(out, 1, &count));
  EXPECT_EQ(out[0], 'e');
  file.Close();
  EXPECT_EQ(file.Seek(0, kSeekBegin), 0);
  EXPECT_FALSE(file.Read(out, 1, &count));
}

TEST(CMFileTest, WritesStayInsideTheBuffer) {
  std::vector<std::uint8_t> data = Bytes("......");
  CMFile file;
  ASSERT_TRUE(file.Attach(data.data(), 4));
  std::int32_t count = 0;
  file.Seek(2, kSeekBegin);
  ASSERT_TRUE(file.Write("xyz", 3, &count));
  EXPECT_EQ(count, 2);
  EXPECT_FALSE(file.Write("x", 1, &count));
  EXPECT_EQ(std::string(data.begin(), data.end()), "..xy..");
}

TEST(CMFileTest, ReadAllocLendsTheBufferWithinItsBounds) {
  std::vector<std::uint8_t> data = Bytes("0123456789");
  CMFile file;
  ASSERT_TRUE(file.Attach(data.data(), 10));
  file.Seek(2, kSeekBegin);
  std::uint8_t* lent = file.ReadAlloc(3);
  EXPECT_EQ(lent, data.data() + 2);
  file.Release(lent);
  EXPECT_EQ(file.Seek(0, kSeekCurrent), 5);
  EXPECT_EQ(file.ReadAlloc(6), nullptr);
  EXPECT_EQ(file.Seek(0, kSeekCurrent), 5);
  // Lengths that would wrap the 32-bit position around are no way past the end.
  EXPECT_EQ(file.ReadAlloc(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(file.ReadAlloc(0xFFFFFFFCu), nullptr);
  EXPECT_NE(file.ReadAlloc(5), nullptr);
  EXPECT_NE(file.ReadAlloc(0), nullptr);
  file.Seek(11, kSeekBegin);
  EXPECT_EQ(file.ReadAlloc(0), nullptr);
}

TEST(ReadUint32Test, LittleEndianAndFailsAtTheEnd) {
  std::uint8_t data[6] = {0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF};
  CMFile file;
  ASSERT_TRUE(file.Attach(data, sizeof data));
  std::uint32_t value = 0;
  ASSERT_TRUE(ReadUint32(file, &value));
  EXPECT_EQ(value, 0x12345678u);
  value = 7;
  EXPECT_FALSE(ReadUint32(file, &value));
  EXPECT_EQ(value, 7u);
}

TEST(CUFileTest, CreateTruncatesAndWritesUpdateTheSize) {
  ScratchFolder scratch;
  WriteWholeFile(scratch.Path("f.bin"), Bytes("old contents"));
  CUFile file;
  ASSERT_TRUE(file.Create(scratch.WidePath("f.bin").c_str()));
  EXPECT_EQ(file.GetSize(), 0u);
  EXPECT_TRUE(ReadWholeFile(scratch.Path("f.bin")).empty());
  std::int32_t count = 0;
  ASSERT_TRUE(file.Write("new", 3, &count));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(file.GetSize(), 3u);
  EXPECT_EQ(file.Seek(0, kSeekCurrent), 3);
  // Create opens for reading too.
  EXPECT_EQ(file.Seek(1, kSeekBegin), 1);
  char out[2] = {};
  ASSERT_TRUE(file.Read(out, 2));
  EXPECT_EQ(std::string(out, 2), "ew");
  file.Close();
  EXPECT_EQ(ReadWholeFile(scratch.Path("f.bin")), Bytes("new"));
}

TEST(CUFileTest, ReadsTheWholeFileAndReportsShortReads) {
  ScratchFolder scratch;
  WriteWholeFile(scratch.Path("f.bin"), Bytes("0123456789"));
  CUFile file;
  ASSERT_TRUE(file.OpenRead(scratch.WidePath("f.bin").c_str()));
  EXPECT_EQ(file.GetSize(), 10u);
  EXPECT_EQ(file.Seek(0, kSeekCurrent), 0);
  std::uint8_t* head = file.ReadAlloc(4);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(std::string(head, head + 4), "0123");
  file.Release(head);
  // A short read hands out no buffer: the zeros behind the bytes read are no content.
  EXPECT_EQ(file.ReadAlloc(8), nullptr);
  EXPECT_EQ(file.LastError(), 38u);
  file.Seek(8, kSeekBegin);
  char out[4] = {};
  std::int32_t count = 0;
  EXPECT_FALSE(file.Read(out, 4, &count));
  EXPECT_EQ(count, 2);
  // Writing to a file opened for reading fails with the mapped reason (EBADF).
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.LastError(), 6u);
}

TEST(CUFileTest, ErrorsAreWin32Codes) {
  ScratchFolder scratch;
  CUFile file;
  EXPECT_FALSE(file.OpenRead(scratch.WidePath("missing.bin").c_str()));
  EXPECT_EQ(file.LastError(), 2u);
  EXPECT_FALSE(file.Create((scratch.Path("no-such-folder") / "f.bin").wstring().c_str()));
  EXPECT_EQ(file.LastError(), 2u);
  EXPECT_FALSE(file.OpenRead(scratch.WidePath("").c_str()));
  EXPECT_EQ(file.LastError(), 5u);
  // Nothing is open: every operation says so.
  char byte = 0;
  EXPECT_FALSE(file.Read(&byte, 1));
  EXPECT_EQ(file.LastError(), 6u);
  EXPECT_FALSE(file.Write(&byte, 1));
  EXPECT_EQ(file.LastError(), 6u);
  EXPECT_EQ(file.Seek(0, kSeekBegin), -1);
  // A second open of an open object is refused and leaves the first in place.
  WriteWholeFile(scratch.Path("f.bin"), Bytes("abc"));
  ASSERT_TRUE(file.OpenRead(scratch.WidePath("f.bin").c_str()));
  EXPECT_FALSE(file.Create(scratch.WidePath("f.bin").c_str()));
  EXPECT_EQ(file.LastError(), 6u);
  EXPECT_EQ(ReadWholeFile(scratch.Path("f.bin")), Bytes("abc"));
  EXPECT_EQ(file.GetSize(), 3u);
}

// A package's partial file takes a name only where nothing has it yet: an entry's file of that
// name keeps its bytes.
TEST(CUFileTest, CreateNewLeavesWhatHasTheNameAlone) {
  ScratchFolder scratch;
  WriteWholeFile(scratch.Path("taken.bin"), Bytes("keep"));
  std::filesystem::create_directories(scratch.Path("folder"));
  CUFile file;
  for (const char* name : {"taken.bin", "folder"}) {
    EXPECT_FALSE(file.CreateNew(scratch.WidePath(name).c_str())) << name;
    EXPECT_EQ(file.LastError(), 183u) << name;
  }
  EXPECT_EQ(ReadWholeFile(scratch.Path("taken.bin")), Bytes("keep"));
  ASSERT_TRUE(file.CreateNew(scratch.WidePath("new.bin").c_str()));
  EXPECT_TRUE(file.Write("x", 1));
  file.Close();
  EXPECT_EQ(ReadWholeFile(scratch.Path("new.bin")), Bytes("x"));
}

#if defined(_WIN32)
// A write the system refuses for a reason the runtime's table does not list (here an unreadable
// source) gives the table's own answer, 87, as the runtime's write would: not "access denied".
TEST(CUFileTest, AWriteTheSystemRefusesGivesTheRuntimesCode) {
  ScratchFolder scratch;
  void* unreadable = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(unreadable, nullptr);
  CUFile file;
  ASSERT_TRUE(file.Create(scratch.WidePath("f.bin").c_str()));
  EXPECT_FALSE(file.Write(unreadable, 16));
  EXPECT_EQ(file.LastError(), 87u);
  ::VirtualFree(unreadable, 0, MEM_RELEASE);
}
#endif

// The stub's second lane reads through OpenSame after the first open was verified. A folder on
// the path may be replaced in between (renamed away, or a link retargeted): the second reader
// must then read the verified file or nothing, never the file now at the path.
TEST(CUFileTest, OpenSameReadsTheHeldFileOrNothing) {
  ScratchFolder scratch;
  const std::filesystem::path folder = scratch.Path("folder");
  std::filesystem::create_directories(folder);
  WriteWholeFile(folder / "setup.exe", Bytes("verified"));
  CUFile first;
  ASSERT_TRUE(first.OpenRead((folder / "setup.exe").wstring().c_str()));
  std::error_code error;
  std::filesystem::rename(folder, scratch.Path("moved"), error);
  ASSERT_FALSE(error) << error.message();
  std::filesystem::create_directories(folder);
  WriteWholeFile(folder / "setup.exe", Bytes("swapped!"));

  CUFile second;
  if (second.OpenSame(first)) {
    char out[8] = {};
    ASSERT_TRUE(second.Read(out, 8));
    EXPECT_EQ(std::string(out, 8), "verified");
  } else {
    EXPECT_EQ(second.LastError(), 17u) << "ERROR_NOT_SAME_DEVICE: another file";
  }
  // Nothing open to follow.
  CUFile closed;
  EXPECT_FALSE(CUFile().OpenSame(closed));
}

}  // namespace
}  // namespace tzk::packers
