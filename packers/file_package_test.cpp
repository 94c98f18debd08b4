#include "packers/file_package.h"

#include <gtest/gtest.h>

#include <cstring>

#include "packers/data_packer.h"
#include "packers/sample_data.h"
#include "packers/test_files.h"

namespace tzk::packers {
namespace {

struct Loaded {
  Result result = 0;
  std::vector<std::uint8_t> data;
};

// Every package loaded is also streamed, which must reach the same verdict and the same bytes.
Loaded LoadFrom(CGenFile& file) {
  Loaded loaded;
  std::uint32_t size = 0xDEADBEEF;
  std::unique_ptr<std::uint8_t[]> data;
  loaded.result = LoadFilePackage(file, &size, &data);
  if (loaded.result == code::kSuccess) loaded.data.assign(data.get(), data.get() + size);

  std::vector<std::uint8_t> streamed;
  std::uint32_t streamedSize = 0xDEADBEEF;
  const auto keep = [&streamed](const std::uint8_t* bytes, std::uint32_t count) {
    streamed.insert(streamed.end(), bytes, bytes + count);
    return true;
  };
  EXPECT_EQ(StreamFilePackage(file, 0, file.GetSize(), keep, &streamedSize), loaded.result);
  if (loaded.result == code::kSuccess) {
    EXPECT_EQ(streamedSize, streamed.size());
    EXPECT_TRUE(streamed == loaded.data);
  }
  return loaded;
}

Loaded LoadFromMemory(std::vector<std::uint8_t> package) {
  package.push_back(0);  // a real buffer even for an empty package; not part of the window
  CMFile file;
  EXPECT_TRUE(file.Attach(package.data(), static_cast<std::uint32_t>(package.size() - 1)));
  return LoadFrom(file);
}

std::vector<std::uint8_t> Package(std::uint32_t kind, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> package;
  EXPECT_EQ(BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), &package), 0u);
  return package;
}

void SetField(std::vector<std::uint8_t>* package, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*package)[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
constexpr std::size_t kUnpackedField = 16;
constexpr std::size_t kPackedField = 20;

TEST(FilePackageTest, BothKindsCarryTheSamePayload) {
  const auto data = MakeSampleData(100000, 7);
  const auto zlib = Package(kPackerZlib, data);
  const auto lzma = Package(kPackerLzma, data);
  EXPECT_EQ(std::string(zlib.begin(), zlib.begin() + 16), "TZKsetupFPkgFile");
  EXPECT_EQ(std::string(lzma.begin(), lzma.begin() + 16), "TZKsetupFPkgFil3");
  EXPECT_NE(zlib, lzma);
  const Loaded fromZlib = LoadFromMemory(zlib);
  const Loaded fromLzma = LoadFromMemory(lzma);
  EXPECT_EQ(fromZlib.result, 0u);
  EXPECT_EQ(fromLzma.result, 0u);
  EXPECT_TRUE(fromZlib.data == data);
  EXPECT_TRUE(fromLzma.data == data);
  // Whatever follows the packed bytes (a signature block in an archive) is not read.
  auto followed = lzma;
  followed.insert(followed.end(), 300, 0xAB);
  EXPECT_TRUE(LoadFromMemory(followed).data == data);
}

TEST(FilePackageTest, UnknownMagicAndShortHeaders) {
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    auto package = Package(kind, MakeSampleData(100, 8));
    package[15] = '2';
    EXPECT_EQ(LoadFromMemory(package).result, code::kPackageCorrupt);
    EXPECT_EQ(LoadFromMemory(std::vector<std::uint8_t>(package.begin(), package.begin() + 10)).result,
              code::kPackageCorrupt);
  }
  EXPECT_EQ(LoadFromMemory({}).result, code::kPackageCorrupt);
  // A magic without whole sizes behind it is a read failure.
  const auto package = Package(kPackerZlib, MakeSampleData(100, 8));
  EXPECT_EQ(LoadFromMemory(std::vector<std::uint8_t>(package.begin(), package.begin() + 22)).result,
            code::kNotEnoughMemory);
}

TEST(FilePackageTest, UnpackedSizeInTheHeader) {
  const auto data = MakeSampleData(20000, 9);
  auto zlib = Package(kPackerZlib, data);
  auto lzma = Package(kPackerLzma, data);
  // Too small a destination: zlib stops with -5, LZMA leaves input behind (1001).
  SetField(&zlib, kUnpackedField, 19999);
  SetField(&lzma, kUnpackedField, 19999);
  EXPECT_EQ(LoadFromMemory(zlib).result, code::kPackageCorrupt);
  EXPECT_EQ(LoadFromMemory(lzma).result, code::kPackageCorrupt);
  SetField(&zlib, kUnpackedField, 0);
  SetField(&lzma, kUnpackedField, 0);
  EXPECT_EQ(LoadFromMemory(zlib).result, code::kPackageCorrupt);
  EXPECT_EQ(LoadFromMemory(lzma).result, code::kPackageCorrupt);
  // An empty payload whose stream is shorter than the decoder's five starting bytes is cut
  // short, whatever it would unpack to (the streaming decoder once took it with 0).
  for (std::uint32_t streamBytes = 0; streamBytes <= 4; ++streamBytes) {
    auto cut = Package(kPackerLzma, {});
    cut.resize(24 + 5 + streamBytes, 0);
    SetField(&cut, kPackedField, 5 + streamBytes);
    SetField(&cut, kUnpackedField, 0);
    EXPECT_EQ(LoadFromMemory(cut).result, code::kPackageCorrupt) << streamBytes;
  }
  // A larger one: zlib's stream ends by itself and the shorter length is what comes back.
  SetField(&zlib, kUnpackedField, 25000);
  const Loaded loaded = LoadFromMemory(zlib);
  EXPECT_EQ(loaded.result, 0u);
  EXPECT_TRUE(loaded.data == data);
  // Sizes no 32-bit process could hold are refused before anything is allocated or decoded.
  for (std::uint32_t huge : {0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    SetField(&zlib, kUnpackedField, huge);
    SetField(&lzma, kUnpackedField, huge);
    EXPECT_EQ(LoadFromMemory(zlib).result, code::kNotEnoughMemory) << huge;
    EXPECT_EQ(LoadFromMemory(lzma).result, code::kNotEnoughMemory) << huge;
  }
}

TEST(FilePackageTest, PackedSizeInTheHeader) {
  const auto data = MakeSampleData(20000, 10);
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    auto package = Package(kind, data);
    const auto packedSize = static_cast<std::uint32_t>(package.size() - 24);
    for (std::uint32_t beyond : {packedSize + 1, 0x7FFFFFFFu, 0xFFFFFFE8u, 0xFFFFFFFFu}) {
      SetField(&package, kPackedField, beyond);
      EXPECT_EQ(LoadFromMemory(package).result, code::kNotEnoughMemory) << kind << " " << beyond;
    }
    SetField(&package, kPackedField, packedSize - 1);
    EXPECT_EQ(LoadFromMemory(package).result, code::kPackageCorrupt) << kind;
    SetField(&package, kPackedField, 0);
    EXPECT_EQ(LoadFromMemory(package).result, code::kPackageCorrupt) << kind;
  }
  // Trailing bytes inside the packed size: LZMA reports them, zlib ignores them.
  auto lzma = Package(kPackerLzma, data);
  lzma.push_back(0);
  SetField(&lzma, kPackedField, static_cast<std::uint32_t>(lzma.size() - 24));
  EXPECT_EQ(LoadFromMemory(lzma).result, code::kPackageCorrupt);
  auto zlib = Package(kPackerZlib, data);
  zlib.push_back(0);
  SetField(&zlib, kPackedField, static_cast<std::uint32_t>(zlib.size() - 24));
  EXPECT_EQ(LoadFromMemory(zlib).result, 0u);
}

// Streaming from inside a larger file, as the stub unpacks its entries, and a receiver that
// stops taking bytes (a full disk).
TEST(FilePackageTest, StreamsFromWithinAFileAndStopsWhenTheSinkRefuses) {
  const auto data = MakeSampleData(3u << 20, 12);
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    std::vector<std::uint8_t> file(1000, 0xEE);
    const auto package = Package(kind, data);
    file.insert(file.end(), package.begin(), package.end());
    file.insert(file.end(), 77, 0xEE);
    CMFile window;
    ASSERT_TRUE(window.Attach(file.data(), static_cast<std::uint32_t>(file.size())));
    std::vector<std::uint8_t> streamed;
    std::uint32_t size = 0;
    const auto keep = [&streamed](const std::uint8_t* bytes, std::uint32_t count) {
      streamed.insert(streamed.end(), bytes, bytes + count);
      return true;
    };
    const auto length = static_cast<std::uint32_t>(package.size());
    EXPECT_EQ(StreamFilePackage(window, 1000, length, keep, &size), 0u) << kind;
    EXPECT_TRUE(streamed == data) << kind;
    // The package may not reach past its length, even where the file goes on.
    EXPECT_EQ(StreamFilePackage(window, 1000, length - 1, keep, &size), code::kNotEnoughMemory) << kind;
    const auto refuse = [](const std::uint8_t*, std::uint32_t) { return false; };
    EXPECT_EQ(StreamFilePackage(window, 1000, length, refuse, &size), code::kCannotMake) << kind;
  }
}

TEST(FilePackageTest, RoundTripsThroughFilesOnDisk) {
  ScratchFolder scratch;
  struct Case {
    std::uint32_t kind;
    std::size_t size;
  };
  std::vector<Case> cases;
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{0x400001}, std::size_t{64} << 20}) {
      cases.push_back({kind, size});
    }
  }
  for (const Case& c : cases) {
    const auto data = c.size < 0x10000 ? MakeSampleData(c.size, c.size + c.kind) : MakeTiledData(c.size, c.kind);
    std::vector<std::uint8_t> package;
    ASSERT_EQ(BuildFilePackage(c.kind, data.data(), static_cast<std::uint32_t>(data.size()), &package), 0u);
    CUFile out;
    ASSERT_TRUE(out.Create(scratch.WidePath("package.bin").c_str()));
    ASSERT_TRUE(out.Write(package.data(), static_cast<std::uint32_t>(package.size())));
    out.Close();
    CUFile in;
    ASSERT_TRUE(in.OpenRead(scratch.WidePath("package.bin").c_str()));
    const Loaded loaded = LoadFrom(in);
    EXPECT_EQ(loaded.result, 0u) << c.kind << " " << c.size;
    EXPECT_TRUE(loaded.data == data) << c.kind << " " << c.size;
  }
}

}  // namespace
}  // namespace tzk::packers
