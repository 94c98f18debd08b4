#include "sfxpack/manifest.h"
#include "sfxpack/file_io.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace sfxpack {
namespace {

namespace fs = std::filesystem;

std::string fixture(const char* name) {
  const char* folder = std::getenv("SFX_STAMP_FIXTURES");
  return std::string(folder != nullptr ? folder : "SFX_STAMP_FIXTURES is not set") + "/" + name;
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Lays the given bytes over a copy of a file at `at`, as a hand-made variant of a fixture.
void patchCopy(const std::string& from, const fs::path& to, std::uint64_t at, const std::string& bytes) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  std::fstream f(to, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The usual manifest around entries, its key never read by the loader.
std::string around(const std::string& entries) {
  return R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "files": [)" + entries +
         R"(], "signature": {"type": 5, "key": "key.pem"}})";
}

// Every test gets a folder of its own with the stand-in stub, a program for the installer and
// an entry; the clock's stand-in SOURCE_DATE_EPOCH is unset unless a test sets it.
class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("manifest_test_") + std::to_string(::getpid()) + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');  // a parameterised test's name holds one
    dir_ = fs::path(::testing::TempDir()) / name;
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "sub");
    fs::copy_file(fixture("stub.exe"), dir_ / "stub.exe");
    fs::copy_file(fixture("installer.exe"), dir_ / "installer.exe");
    writeText(dir_ / "data.bin", "entry bytes");
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) savedEpoch_ = epoch;
    ::unsetenv("SOURCE_DATE_EPOCH");
  }
  void TearDown() override {
    if (savedEpoch_) ::setenv("SOURCE_DATE_EPOCH", savedEpoch_->c_str(), 1);
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  bool load(const std::string& text, const ManifestOverrides& overrides = {}, const std::string& name = "m.json") {
    writeText(dir_ / name, text);
    error_.clear();
    manifest_ = Manifest{};
    return LoadManifest(path(name), overrides, &manifest_, &error_);
  }

  fs::path dir_;
  Manifest manifest_;
  std::string error_;
  std::optional<std::string> savedEpoch_;
};

// A refusal and its exact text: "@" stands for the manifest's path, "%" for its folder.
struct Refusal {
  const char* label;
  std::string manifest;
  std::string error;
};

class ManifestRefusal : public ManifestTest, public ::testing::WithParamInterface<Refusal> {};

std::string expand(std::string text, const std::string& manifest, const std::string& folder) {
  for (std::size_t at; (at = text.find_first_of("@%")) != std::string::npos;) {
    const std::string& with = text[at] == '@' ? manifest : folder;
    text.replace(at, 1, with);
  }
  return text;
}

TEST_P(ManifestRefusal, NamesWhereAndWhat) {
  EXPECT_FALSE(load(GetParam().manifest));
  EXPECT_EQ(error_, expand(GetParam().error, path("m.json"), dir_.string()));
}

const std::string kTimeRule = R"(: "time" must be seconds since 1970 that fit in 32 bits)";

INSTANTIATE_TEST_SUITE_P(
    Fields, ManifestRefusal,
    ::testing::Values(
        Refusal{"UnknownTopKey", R"({"stub": "stub.exe", "instaler": {}})", R"(@: unknown key "instaler")"},
        Refusal{"NoInstaller", R"({"stub": "stub.exe"})", R"(@: "installer" is missing)"},
        Refusal{"NoInstallerPath", R"({"stub": "stub.exe", "installer": {"packer": "zlib"}})",
                R"(@: installer: "path" is missing)"},
        Refusal{"UnknownEntryKey", around(R"({"path": "data.bin", "time": 1}, {"path": "data.bin", "nmae": "x"})"),
                R"(@: files[1]: unknown key "nmae")"},
        Refusal{"FilesNotArray",
                R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "files": {"path": "data.bin"}})",
                "@: files: must be an array"},
        Refusal{"EntryNotObject", around("\"data.bin\""), "@: files[0]: must be an object"},
        Refusal{"CommandLineNotText", R"({"stub": "stub.exe", "commandLine": 5})",
                R"(@: commandLine: "commandLine" must be a string)"},
        Refusal{"PathNotText", around(R"({"path": 7, "time": 1})"), R"(@: files[0]: "path" must be a string)"},
        Refusal{"TimeAsText", around(R"({"path": "data.bin", "time": "1429621132"})"), "@: files[0]" + kTimeRule},
        Refusal{"TimeNegative", around(R"({"path": "data.bin", "time": -1})"), "@: files[0]" + kTimeRule},
        Refusal{"TimeFraction", around(R"({"path": "data.bin", "time": 1.5})"), "@: files[0]" + kTimeRule},
        Refusal{"TimeOver32Bits", around(R"({"path": "data.bin", "time": 4294967296})"), "@: files[0]" + kTimeRule},
        Refusal{"UnknownPacker", R"({"stub": "stub.exe", "installer": {"path": "installer.exe", "packer": "bzip2"}})",
                R"(@: installer: "packer" must be "zlib" or "lzma")"},
        Refusal{"TypeAsText",
                R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "signature": {"type": "5"}})",
                R"(@: signature: "type" must be 1, 2 or 5)"},
        Refusal{"TypeThree",
                R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "signature": {"type": 3, "key": "k"}})",
                R"(@: signature: "type" must be 1, 2 or 5)"},
        Refusal{"KeyedTypeWithoutKey",
                R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "signature": {"type": 5}})",
                R"(@: signature: type 5 needs a "key" (or --key PRIVATE.pem))"},
        Refusal{"UnknownPlatform",
                R"({"stub": "stub.exe", "installer": {"path": "installer.exe"},
                    "selfDefense": [{"path": "data.bin", "platform": "arm", "time": 1}]})",
                R"(@: selfDefense[0]: "platform" must be "x86" or "x64")"},
        Refusal{"MissingEntry", around(R"({"path": "nosuch.bin", "time": 1})"),
                "%/nosuch.bin: cannot open for reading: No such file or directory (files[0] in @)"}),
    [](const auto& info) { return std::string(info.param.label); });

// The position names the byte the parser stopped at, counted from 1 in lines and columns, so
// an editor's "go to" lands on it.
TEST_F(ManifestTest, MalformedJsonNamesLineAndColumn) {
  const struct {
    std::string text;
    std::string at;
  } cases[] = {
      {"", ":1:1: "},
      {"{\n  \"stub\": \"stub.exe\",\n  \"installer\": { \"path\": \"installer.exe\" },,\n}\n", ":3:44: "},
      {"{\"stub\": \"stub.exe\"}\n  x", ":2:3: "},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(load(c.text)) << c.text;
    EXPECT_EQ(error_.rfind(path("m.json") + c.at + "not valid JSON: ", 0), 0u) << error_;
  }
}

// Paths are taken from the manifest's folder, not the working directory, and every file named
// is listed as an input under the name messages give it.
TEST_F(ManifestTest, RelativePathsComeFromTheManifestsFolder) {
  ASSERT_TRUE(load(R"({"stub": "../stub.exe", "installer": {"path": "../installer.exe"},
                       "files": [{"path": "../data.bin", "time": 7}, {"path": ")" + path("data.bin") +
                       R"(", "name": "other.bin", "time": 8}],
                       "signature": {"type": 5, "key": "../key.pem"}})",
                   {}, "sub/m.json"))
      << error_;
  const std::string m = path("sub/m.json");
  const InstallerPlan& plan = manifest_.plan;
  EXPECT_EQ(plan.stub.size(), fs::file_size(dir_ / "stub.exe"));
  EXPECT_EQ(plan.installerPath, path("sub/../installer.exe"));
  EXPECT_EQ(plan.installerSize, fs::file_size(dir_ / "installer.exe"));
  ASSERT_EQ(plan.files.size(), 2u);
  EXPECT_EQ(plan.files[0].path, path("sub/../data.bin"));
  EXPECT_EQ(plan.files[0].name, "data.bin");
  EXPECT_EQ(plan.files[0].size, 11u);
  EXPECT_EQ(plan.files[0].time, 7u);
  EXPECT_EQ(plan.files[1].path, path("data.bin"));
  EXPECT_EQ(plan.files[1].name, "other.bin");
  EXPECT_EQ(manifest_.signature.key, path("sub/../key.pem"));
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {m, "the manifest"},
      {path("sub/../stub.exe"), "stub in " + m},
      {path("sub/../installer.exe"), "installer in " + m},
      {path("sub/../data.bin"), "files[0] in " + m},
      {path("data.bin"), "files[1] in " + m},
      {path("sub/../key.pem"), "\"key\" of \"signature\" in " + m}};
  ASSERT_EQ(manifest_.inputs.size(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(manifest_.inputs[i].path, inputs[i].first);
    EXPECT_EQ(manifest_.inputs[i].named, inputs[i].second);
  }
}

// An override replaces the manifest's file outright: the manifest's own is neither measured
// (it may not exist) nor listed as an input.
TEST_F(ManifestTest, OverridesReplaceTheManifestsOwn) {
  fs::copy_file(dir_ / "stub.exe", dir_ / "other-stub.exe");
  ManifestOverrides overrides{path("other-stub.exe"), path("installer.exe"), path("other.pem"), false};
  ASSERT_TRUE(load(R"({"stub": "gone.exe", "installer": {"path": "gone-setup.exe"},
                       "signature": {"type": 5, "key": "gone.pem"}})",
                   overrides))
      << error_;
  EXPECT_EQ(manifest_.plan.installerPath, path("installer.exe"));
  EXPECT_EQ(manifest_.signature.key, path("other.pem"));
  ASSERT_EQ(manifest_.inputs.size(), 4u);
  EXPECT_EQ(manifest_.inputs[1].named, "given with --stub");
  EXPECT_EQ(manifest_.inputs[2].named, "given with --installer");
  EXPECT_EQ(manifest_.inputs[3].named, "given with --key");
  for (const NamedInput& input : manifest_.inputs) EXPECT_EQ(input.path.find("gone"), std::string::npos);
  // A stub given with --stub that is no stub is named by its option.
  writeText(dir_ / "text.exe", "not a program");
  overrides.stub = path("text.exe");
  EXPECT_FALSE(load(R"({"installer": {"path": "installer.exe"}})", overrides));
  EXPECT_EQ(error_, path("text.exe") + ": not the stub: it is no PE image (no MZ and PE headers) (given with --stub)");
}

// Without a "time" the entry takes SOURCE_DATE_EPOCH, whole and within 32 bits, or is refused:
// a value read only in part would date every entry wrongly and silently.
TEST_F(ManifestTest, SourceDateEpochStandsInForAMissingTime) {
  const std::string manifest = around(R"({"path": "data.bin"}, {"path": "data.bin", "time": 5})");
  const std::string refused = path("m.json") +
                              R"(: files[0]: no "time": give one or set SOURCE_DATE_EPOCH (the clock is never used))";
  EXPECT_FALSE(load(manifest));
  EXPECT_EQ(error_, refused);
  for (const char* bad : {"", "12x", "-1", "4294967296", "99999999999999999999999"}) {
    ::setenv("SOURCE_DATE_EPOCH", bad, 1);
    EXPECT_FALSE(load(manifest)) << bad;
    EXPECT_EQ(error_, refused) << bad;
  }
  for (const auto& [text, value] : {std::pair<const char*, std::uint32_t>{"1429621132", 1429621132u},
                                    {"0", 0u}, {"4294967295", 4294967295u}}) {
    ::setenv("SOURCE_DATE_EPOCH", text, 1);
    ASSERT_TRUE(load(manifest)) << error_;
    EXPECT_EQ(manifest_.plan.files[0].time, value);
    EXPECT_EQ(manifest_.plan.files[1].time, 5u) << "the manifest's own time wins";
  }
}

// Every file is measured before any is read: an input over the format's limit is refused on its
// size even when a file in front of it (the stub) would be refused on its content.
TEST_F(ManifestTest, FilesOverTheLimitAreRefusedBeforeAnyIsRead) {
  writeText(dir_ / "text.exe", "not a program");
  writeText(dir_ / "huge.bin", "");
  fs::resize_file(dir_ / "huge.bin", 3ull << 30);  // sparse: nothing of it is on disk
  EXPECT_FALSE(load(R"({"stub": "text.exe", "installer": {"path": "installer.exe"},
                       "files": [{"path": "huge.bin", "time": 1}], "signature": {"type": 2}})"));
  EXPECT_EQ(error_, path("huge.bin") +
                        ": is 3221225472 bytes, over the format's limit of 2147483647 bytes (files[0] in " +
                        path("m.json") + ")");
}

// Entries stored as they are count towards the installer's size together with the stub; those
// packed (with an extraction name) do not, as their packed size is not known yet.
TEST_F(ManifestTest, OnlyInputsStoredAsTheyAreAddUpAgainstTheLimit) {
  const std::uint64_t part = 1100ull << 20;
  writeText(dir_ / "part.bin", "");
  fs::resize_file(dir_ / "part.bin", part);
  const std::string head = R"({"stub": "stub.exe", "installer": {"path": "installer.exe"}, "files": [)";
  const std::string tail = R"(], "signature": {"type": 2}})";
  EXPECT_FALSE(load(head + R"({"path": "part.bin", "time": 1}, {"path": "part.bin", "name": "b", "time": 1})" + tail));
  const std::uint64_t sum = 2 * part + fs::file_size(dir_ / "stub.exe");
  EXPECT_EQ(error_, path("m.json") + ": the stub and the inputs stored as they are come to " + std::to_string(sum) +
                        " bytes, over the format's limit of 2147483647 bytes");
  EXPECT_TRUE(load(head + R"({"path": "part.bin", "time": 1},
                             {"path": "part.bin", "name": "b", "extractionName": "b", "time": 1})" + tail))
      << error_;
}

// What the stub and the installer/updater must be, each refusal in its own words.
TEST_F(ManifestTest, StubAndInstallerMustBeWhatTheyAreNamed) {
  const std::string installer = fixture("installer.exe");
  constexpr std::uint64_t kPe = 0x40;
  patchCopy(installer, dir_ / "x64.exe", kPe + 4, std::string("\x64\x86", 2));
  patchCopy(installer, dir_ / "dll.exe", kPe + 22, std::string("\x02\x21", 2));
  patchCopy(installer, dir_ / "object.exe", kPe + 22, std::string("\x00\x01", 2));
  fs::copy_file(installer, dir_ / "cut.exe");
  fs::resize_file(dir_ / "cut.exe", 0x300);
  writeText(dir_ / "empty.exe", "");
  const struct {
    const char* stub;
    const char* installer;
    bool keysGiven;
    std::string error;  // empty when loaded
  } cases[] = {
      {"empty.exe", "installer.exe", false, "empty.exe: not the stub: it is empty (stub in @)"},
      {"x64.exe", "installer.exe", false,
       "x64.exe: not the stub: it is a program for machine 0x8664, not for 32-bit x86 as the stub is (stub in @)"},
      {"installer.exe", "installer.exe", false, ""},
      {"installer.exe", "installer.exe", true,
       "installer.exe: not the stub: it is a 32-bit program without the stub's key table or the archive locator's "
       "magic (\"TZKsetupSelfExt2\") that the stub's loader looks for (stub in @)"},
      {"stub.exe", "dll.exe", false,
       "dll.exe: not a program the stub can start: it is a DLL, not a program (installer in @)"},
      {"stub.exe", "object.exe", false,
       "object.exe: not a program the stub can start: it is a PE image not marked executable (installer in @)"},
      {"stub.exe", "cut.exe", false,
       "cut.exe: not a program the stub can start: it is a PE image cut short: its sections run past its 768 bytes "
       "(installer in @)"},
      {"stub.exe", "x64.exe", false, ""},
  };
  for (const auto& c : cases) {
    ManifestOverrides overrides;
    overrides.keysGiven = c.keysGiven;
    const bool loaded = load(std::string(R"({"stub": ")") + c.stub + R"(", "installer": {"path": ")" + c.installer +
                             R"("}, "signature": {"type": 2}})", overrides);
    EXPECT_EQ(loaded, c.error.empty()) << c.stub << " " << c.installer;
    if (!c.error.empty()) {
      EXPECT_EQ(error_, dir_.string() + "/" + expand(c.error, path("m.json"), ""));
    }
  }
}

// An output is refused when it is an input under another name, as the file system sees them.
TEST_F(ManifestTest, IsNoInputSeesTheSameFileUnderAnyName) {
  const std::vector<NamedInput> inputs = {{path("data.bin"), "files[0] in M.json"},
                                          {path("later.bin"), "files[1] in M.json"}};
  fs::create_hard_link(dir_ / "data.bin", dir_ / "link.bin");
  fs::create_symlink(dir_ / "data.bin", dir_ / "symlink.bin");
  std::string why;
  for (const std::string& same : {path("link.bin"), path("symlink.bin"), path("./data.bin"),
                                  path("sub/../data.bin"), path("sub/../later.bin")}) {
    EXPECT_FALSE(IsNoInput(same, inputs, &why)) << same;
  }
  EXPECT_EQ(why, path("sub/../later.bin") +
                     " is also an input (files[1] in M.json): an output must not replace what is read");
  fs::copy_file(dir_ / "data.bin", dir_ / "copy.bin");
  for (const std::string& other : {path("copy.bin"), path("sub/data.bin"), path("new.bin")}) {
    EXPECT_TRUE(IsNoInput(other, inputs, &why)) << other;
  }
}

}  // namespace
}  // namespace sfxpack
