#include "archive/sfx_archive.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <shlobj.h>
#endif

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <random>
#include <stdexcept>

#include "archive/embedded_items.h"
#include "archive/file_system.h"
#include "archive/format.h"
#include "archive/installer_writer.h"
#include "log/wide_format.h"
#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "vocabulary/text.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "progress/progress_callback.h"
#include "testing/scratch_dir.h"
#if defined(_WIN32)
#include "root/held_files.h"
#endif

namespace tzk::archive {

using signature::DsaPrivateKey;
using signature::MakeSignatureBlock;
using signature::Number;
using signature::ParsePrivateKeyPem;
using signature::ReadTextFile;
using signature::SignatureType;
namespace {

using testing::ScratchDir;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

Bytes zlibOf(const Bytes& data) {
  auto packer = packers::CreateDataPacker(packers::kPackerZlib);
  Bytes out(packer->MaxCompressedSize(static_cast<std::uint32_t>(data.size())));
  std::uint32_t size = static_cast<std::uint32_t>(out.size());
  EXPECT_EQ(packer->Compress(data.data(), static_cast<std::uint32_t>(data.size()), out.data(), &size), 0);
  out.resize(size);
  return out;
}

DsaPrivateKey testKey(int index) {
  std::string pem;
  EXPECT_EQ(ReadTextFile(testing::SourcePath(L"keys/test/key" + std::to_wstring(index) + L".pem"), &pem), 0u);
  DsaPrivateKey key;
  EXPECT_EQ(ParsePrivateKeyPem(pem, &key), 0u);
  return key;
}

Signer signerFor(SignatureType type) {
  return [type](Bytes* content, std::string* error) {
    DsaPrivateKey key;
    if (type == SignatureType::kRawMd5Dsa) key = testKey(2);
    if (type == SignatureType::kRawSha256Dsa) key = testKey(5);
    Bytes block;
    if (MakeSignatureBlock({content->data(), content->size()}, type, type == SignatureType::kTextMd5 ? nullptr : &key,
                           &block) != 0) {
      *error = "cannot sign";
      return false;
    }
    content->insert(content->end(), block.begin(), block.end());
    return true;
  };
}

// A stub stand-in: any bytes do, the reader never looks at the image.
Bytes fakeStub() { return bytesOf(std::string("MZ") + std::string(510, 'S')); }

InstallerPlan examplePlan(SignatureType type = SignatureType::kRawSha256Dsa) {
  InstallerPlan plan;
  plan.stub = fakeStub();
  plan.commandLine = "/sfx /tmp:%TMPPATH%";
  plan.sfxName = "example";
  plan.installer = randomBytes(5000, 1);
  plan.signatureType = type;
  plan.files.push_back({"vps1.vpx", randomBytes(3000, 2), 1429621132u, "", 1});
  plan.files.push_back({"empty.vpx", {}, 86400u, "", 1});
  plan.files.push_back({"module.pkg", randomBytes(7000, 3), 1000000000u, "module.dll", 2});
  plan.embedded.push_back({"ERID", bytesOf("recommendation")});
  plan.embedded.push_back({"EBCF", zlibOf(bytesOf("[business]\nkey=value\n"))});
  return plan;
}

Bytes build(const InstallerPlan& plan, Layout* layout = nullptr) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(BuildInstaller(plan, signerFor(plan.signatureType), &out, layout, &error)) << error;
  return out;
}

// Records the logger gained since construction, as "level message" texts.
class LogWatch {
 public:
  LogWatch() : start_(log::theLogger().history().size()) {}
  std::vector<std::wstring> messages() const {
    std::vector<std::wstring> out;
    const auto history = log::theLogger().history();
    for (std::size_t i = start_; i < history.size(); ++i) {
      if (std::wcscmp(history[i].component, L"sfxarc") == 0) out.push_back(history[i].message);
    }
    return out;
  }

 private:
  std::size_t start_;
};

class ArchiveFiles : public ::testing::Test {
 protected:
  std::wstring write(const Bytes& bytes, const std::wstring& name = L"setup.exe") {
    const std::wstring path = dir_.file(name);
    EXPECT_TRUE(testing::WriteFileBytes(path, bytes));
    return path;
  }
  ScratchDir dir_;
};

TEST_F(ArchiveFiles, RoundTripOfEverySignedTypeGivesBackBytesAndTimes) {
  for (SignatureType type : {SignatureType::kRawMd5Dsa, SignatureType::kRawSha256Dsa}) {
    SCOPED_TRACE(Number(type));
    const InstallerPlan plan = examplePlan(type);
    const std::wstring path = write(build(plan));
    SfxArchive archive;
    LogWatch watch;
    ASSERT_EQ(archive.Load(path.c_str()), 0u);
    EXPECT_EQ(watch.messages(), std::vector<std::wstring>{L"SFX archive '" + path + L"' sucessfully loaded."});
    EXPECT_EQ(archive.commandLine(), L"/sfx /tmp:%TMPPATH%");
    EXPECT_EQ(archive.sfxName(), L"example");
    ASSERT_EQ(archive.fileEntries().size(), 3u);
    EXPECT_EQ(archive.fileEntries()[2].extractionName, L"module.dll");

    ScratchDir out;
    SfxArchive::InstallerTask installer{L"instup.exe"};
    ASSERT_EQ(archive.ExtractFiles(out.path(), nullptr, nullptr, &installer), 0u);
    EXPECT_EQ(installer.result, 0u);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"instup.exe")), plan.installer);
    for (const auto& file : plan.files) {
      const std::wstring name = vocabulary::fromUtf8(file.name);
      if (file.extractionName.empty()) {
        EXPECT_EQ(testing::ReadFileBytes(out.file(name)), file.data);
      }
      EXPECT_EQ(testing::FileModificationTime(out.file(name)), file.time) << file.name;
    }
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"module.dll")), plan.files[2].data);
    EXPECT_EQ(archive.ExtractEmbeddedItems(out.path()), 0u);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"rid.bin")), bytesOf("recommendation"));
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"bcc.cfg.tmp")), bytesOf("[business]\nkey=value\n"));
  }
}

// Re-signs content after a test has changed it, so only the change itself is under test.
Bytes signedContent(Bytes content) {
  std::string error;
  EXPECT_TRUE(signerFor(SignatureType::kRawSha256Dsa)(&content, &error));
  return content;
}

// The content of a build, without its signature.
Bytes unsignedContent(const InstallerPlan& plan, Layout* layout) {
  Bytes built = build(plan, layout);
  built.resize(layout->contentLength);
  return built;
}

// An archive around a hand-made map block, for maps the producer refuses to write. The payload
// follows the stub, at kPayloadOffset.
constexpr std::uint32_t kPayloadOffset = 512;
Bytes archiveWithMap(const Bytes& map, std::uint32_t packer = packers::kPackerZlib, const Bytes& payload = {}) {
  Bytes content = fakeStub();
  content.insert(content.end(), payload.begin(), payload.end());
  Bytes package;
  EXPECT_EQ(packers::BuildFilePackage(packer, map.data(), static_cast<std::uint32_t>(map.size()), &package), 0u);
  const auto mapOffset = static_cast<std::uint32_t>(content.size());
  content.insert(content.end(), package.begin(), package.end());
  const Bytes m = Uint32Body({mapOffset});
  content.insert(content.end(), m.begin(), m.end());
  content.insert(content.end(), kLocatorMagic, kLocatorMagic + kLocatorMagicSize);
  return signedContent(content);
}

struct LoadOutcome {
  Result code;
  std::vector<std::wstring> messages;
};

LoadOutcome load(const std::wstring& path) {
  LogWatch watch;
  SfxArchive archive;
  const Result code = archive.Load(path.c_str());
  return {code, watch.messages()};
}

// Each refusal at its step, with the line the stub logs (the path quoted in it) and the
// producer's words, which never name the path: the file's name has quotes in it, and the
// producer's words for the container and map steps are the logged line without it.
TEST_F(ArchiveFiles, EveryRefusalHasItsStepCodeAndWords) {
  Layout layout;
  const Bytes content = unsignedContent(examplePlan(), &layout);
  struct Expected {
    LoadStep step;
    Result code;
    std::wstring logged;    // "%s" for the path
    std::wstring producer;  // empty where the producer finds its own words
  };
  auto expectRefusal = [&](const Bytes& bytes, const Expected& e) {
    const std::wstring path = write(bytes, L"it's 'setup'.exe");
    const LoadOutcome outcome = load(path);
    SfxArchive archive;
    const LoadVerdict verdict = archive.JudgeWithCompiledKeys(path.c_str());
    EXPECT_EQ(outcome.code, e.code);
    EXPECT_EQ(verdict.code, e.code);
    EXPECT_EQ(verdict.step, e.step);
    std::wstring expected = e.logged;
    const std::size_t at = expected.find(L"%s");
    if (at != std::wstring::npos) expected.replace(at, 2, path);
    EXPECT_EQ(outcome.messages, e.logged.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{expected});
    EXPECT_EQ(LoaderText(verdict, path.c_str()), expected);
    EXPECT_EQ(ProducerText(verdict), e.producer);
  };
  const LoadStep container = LoadStep::kContainer, map = LoadStep::kMap;
  const std::wstring refuses = L"the stub's loader refuses its archive with code ";

  expectRefusal(content, {LoadStep::kLocate, 1006, L"Cannot get signature of archive '%s' (code 0x0)", L""});
  Bytes badSignature = signedContent(content);
  badSignature[badSignature.size() - 20] ^= 0x01;
  expectRefusal(badSignature, {LoadStep::kSignature, 1006, L"Error in signature of archive '%s' (code 0x0)", L""});
  // A text MD5 form is a checksum anyone can recompute after changing the file: never trusted.
  expectRefusal(build(examplePlan(SignatureType::kTextMd5)),
                {LoadStep::kType, 1006,
                 L"Archive '%s' is unsigned: it carries a plain MD5 checksum, no signature (code 0x3ee)", L""});

  // The text form at the very start: its content ends two bytes before offset 0. Only the
  // producer's inspection reads such a container.
  Bytes atStart;
  std::string error;
  ASSERT_TRUE(signerFor(SignatureType::kTextMd5)(&atStart, &error)) << error;
  {
    SfxArchive archive;
    const LoadVerdict verdict = archive.ReadContainer(write(atStart).c_str(), SignatureType::kTextMd5, 0);
    EXPECT_EQ(verdict.code, 1006u);
    EXPECT_EQ(verdict.step, container);
    EXPECT_EQ(ProducerText(verdict), refuses + L"0x3ee: Archive is too small");
  }
  // Contents without a locator, of 19 and 20 bytes.
  expectRefusal(signedContent(Bytes(19, 'x')),
                {container, 1006, L"Archive '%s' is too small", refuses + L"0x3ee: Archive is too small"});
  const Expected badMagic{container, 1006, L"Incorrect magic of archive '%s'",
                          refuses + L"0x3ee: Incorrect magic of archive"};
  expectRefusal(signedContent(Bytes(20, 'x')), badMagic);

  for (std::uint32_t i = 0; i < 16; ++i) {
    Bytes changed = content;
    changed[layout.locatorOffset + 4 + i] ^= 0x20;
    expectRefusal(signedContent(changed), badMagic);
  }
  Bytes beyond = content;
  const Bytes past = Uint32Body({layout.locatorOffset + 1});
  std::copy(past.begin(), past.end(), beyond.begin() + layout.locatorOffset);
  expectRefusal(signedContent(beyond), {map, 1006, L"", refuses + L"0x3ee: the map block cannot be read"});

  Bytes broken = content;
  broken[layout.mapOffset + 15] ^= 0xFF;  // the package magic
  expectRefusal(signedContent(broken), {map, 1006, L"Cannot load map block of archive '%s'",
                                        refuses + L"0x3ee: Cannot load map block of archive"});

  Bytes noMode;
  AppendRecord(&noMode, record::kMode, TextBody("Extract"));
  expectRefusal(archiveWithMap(noMode), {map, 87, L"Error loading map of archive '%s' (code 0x57)",
                                         refuses + L"0x57: Error loading map of archive (code 0x57)"});

  Bytes shortInstaller;
  AppendRecord(&shortInstaller, record::kMode, TextBody("extract"));
  AppendRecord(&shortInstaller, record::kInstaller, Bytes(7, 0));
  expectRefusal(archiveWithMap(shortInstaller),
                {map, 0xFFFFFFFF, L"Error loading map of archive '%s' (code 0xffffffff)",
                 refuses + L"0xffffffff: Error loading map of archive (code 0xffffffff)"});
}

// The open's own error is in the loader's line, not the verdict's code; a file the loader did not
// open, reopened for the container alone, is named without one.
TEST_F(ArchiveFiles, AnOpenThatFailsNamesTheSystemsError) {
  const std::wstring missing = dir_.file(L"missing.exe");
  SfxArchive archive;
  const LoadVerdict opened = archive.JudgeWithCompiledKeys(missing.c_str());
  EXPECT_EQ(opened.step, LoadStep::kOpen);
  EXPECT_EQ(opened.code, code::kFileInvalid);
  EXPECT_NE(opened.systemError, code::kSuccess);
  EXPECT_EQ(LoaderText(opened, missing.c_str()),
            log::formatString(L"Error opening archive '%s' (code 0x%x)", missing.c_str(), opened.systemError));
  SfxArchive other;
  const LoadVerdict reopened = other.ReadContainer(missing.c_str(), SignatureType::kRawSha256Dsa, 600);
  EXPECT_EQ(reopened.step, LoadStep::kOpen);
  EXPECT_EQ(reopened.code, code::kFileNotFound);
  EXPECT_EQ(LoaderText(reopened, missing.c_str()), L"Error opening archive '" + missing + L"'");
}

Bytes fileRecord(const std::string& name, const Bytes& pointer, const std::string& extractionName = "") {
  Bytes file;
  AppendRecord(&file, record::kName, TextBody(name));
  if (!extractionName.empty()) AppendRecord(&file, record::kExtractionName, TextBody(extractionName));
  if (!pointer.empty()) AppendRecord(&file, record::kPointer, pointer);
  Bytes record;
  AppendRecord(&record, record::kFile, file);
  return record;
}

Bytes mapWithList(const Bytes& list) {
  Bytes map;
  AppendRecord(&map, record::kMode, TextBody("extract"));
  AppendRecord(&map, record::kList, list);
  return map;
}

TEST_F(ArchiveFiles, BadFilePointersDropTheirEntry) {
  const Bytes bad = fileRecord("bad", Bytes(16, 0));
  const Bytes good = fileRecord("good", Uint32Body({0, 2, 0}));
  EXPECT_EQ(load(write(archiveWithMap(mapWithList(bad)))).code, 1006u);

  Bytes list = bad;
  list.insert(list.end(), good.begin(), good.end());
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(list))).c_str()), 0u);
  ASSERT_EQ(archive.fileEntries().size(), 1u);
  EXPECT_EQ(archive.fileEntries()[0].name, L"good");
}

TEST_F(ArchiveFiles, EntriesExtractAsTheMapSays) {
  // Two entries of one name (the later wins), one without PTRL (empty, dated 1970).
  Bytes list = fileRecord("same.txt", Uint32Body({0, 2, 5}));
  const Bytes second = fileRecord("same.txt", Uint32Body({2, 3, 7}));
  const Bytes noPointer = fileRecord("nothing.txt", {});
  list.insert(list.end(), second.begin(), second.end());
  list.insert(list.end(), noPointer.begin(), noPointer.end());
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(list))).c_str()), 0u);
  ScratchDir out;
  ASSERT_EQ(archive.ExtractFiles(out.path(), nullptr), 0u);
  EXPECT_EQ(testing::ReadFileBytes(out.file(L"same.txt")), bytesOf("SSS"));  // the stub's bytes 2..4
  EXPECT_EQ(testing::FileModificationTime(out.file(L"same.txt")), 7);
  EXPECT_TRUE(testing::ReadFileBytes(out.file(L"nothing.txt")).empty());
  EXPECT_EQ(testing::FileModificationTime(out.file(L"nothing.txt")), 0);
}

TEST_F(ArchiveFiles, NamesThatLeaveTheFolderAreRefused) {
  for (const char* name : {"..\\evil.dll", "a/../../evil.dll", "C:\\evil.dll", "\\\\server\\share\\x", "\\x",
                           "/x", "sub\\. .\\x", "...\\x"}) {
    SCOPED_TRACE(name);
    SfxArchive archive;
    ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(fileRecord(name, Uint32Body({0, 2, 0}))))).c_str()),
              0u);
    ScratchDir out;
    LogWatch watch;
    EXPECT_EQ(archive.ExtractFiles(out.path(), nullptr), code::kInvalidName);
    EXPECT_EQ(watch.messages(), std::vector<std::wstring>{L"Error extracting file '" + vocabulary::fromUtf8(name) +
                                                          L"' (code 0x7b)"});
    EXPECT_EQ(archive.extractionFailure().code, code::kInvalidName);
    EXPECT_EQ(archive.extractionFailure().entry.name, vocabulary::fromUtf8(name));
    EXPECT_FALSE(archive.extractionFailure().entry.module);
  }
  EXPECT_TRUE(IsContainedName(L"sub\\dir\\file..name"));
  EXPECT_TRUE(IsContainedName(L".hidden"));
}

// Extracted side by side, the entries still fail as in map order: the first failing one is
// the result and the only one logged, and every entry before it is there.
TEST_F(ArchiveFiles, TheFirstFailingEntryInMapOrderDecides) {
  Bytes list;
  for (const char* name : {"one.txt", "..\\evil.dll", "two.txt", "/abs.dll", "three.txt"}) {
    const Bytes record = fileRecord(name, Uint32Body({0, 2, 0}));
    list.insert(list.end(), record.begin(), record.end());
  }
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(list))).c_str()), 0u);
  ASSERT_TRUE(WritesAreDistinct(archive.fileEntries()));
  for (int run = 0; run < 20; ++run) {
    ScratchDir out;
    LogWatch watch;
    EXPECT_EQ(archive.ExtractFiles(out.path(), nullptr), code::kInvalidName);
    EXPECT_EQ(watch.messages(), std::vector<std::wstring>{L"Error extracting file '..\\evil.dll' (code 0x7b)"});
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"one.txt")).size(), 2u);
  }
}

// A package that cannot be unpacked gets its own code (0xA002 for a module, 1006 for the
// installer), whether or not its file can be made; only a good one that cannot be written gives
// 82. A file already at the target's name stays as it was, and no partial file is left.
TEST_F(ArchiveFiles, EachPackageFailureHasItsCodeAndLeavesNothingBehind) {
  const auto moduleArchive = [this](const char* extractionName) {
    Bytes file;
    AppendRecord(&file, record::kName, TextBody("module.dat"));
    AppendRecord(&file, record::kExtractionName, TextBody(extractionName));
    AppendRecord(&file, record::kPointer, Uint32Body({0, 40, 0}));  // the stub's bytes: no package
    Bytes record;
    AppendRecord(&record, record::kFile, file);
    return write(archiveWithMap(mapWithList(record)), vocabulary::fromUtf8(extractionName).substr(0, 3) + L".exe");
  };
  SfxArchive archive;
  ASSERT_EQ(archive.Load(moduleArchive("module.dll").c_str()), 0u);
  ScratchDir out;
  ASSERT_TRUE(testing::WriteFileBytes(out.file(L"module.dll"), bytesOf("old")));
  ASSERT_TRUE(testing::WriteFileBytes(out.file(L"instup.exe"), bytesOf("old")));
  // The map has no installer record: its package is empty.
  SfxArchive::InstallerTask installer{L"instup.exe"};
  LogWatch watch;
  EXPECT_EQ(archive.ExtractFiles(out.path(), nullptr, nullptr, &installer), code::kPackageCorrupt);
  EXPECT_EQ(installer.result, code::kFileInvalid);
  EXPECT_EQ(watch.messages(), std::vector<std::wstring>{L"Error extracting module 'module.dll' (code 0xa002)"});
  EXPECT_EQ(ExtractionFailureText(archive.extractionFailure()), watch.messages().front());
  EXPECT_TRUE(archive.extractionFailure().entry.module);
  EXPECT_EQ(testing::ReadFileBytes(out.file(L"module.dll")), bytesOf("old"));
  EXPECT_EQ(testing::ReadFileBytes(out.file(L"instup.exe")), bytesOf("old"));
  EXPECT_EQ(testing::ListFolder(out.path()), (std::vector<std::wstring>{L"instup.exe", L"module.dat", L"module.dll"}));

  SfxArchive unmakeable;
  ASSERT_EQ(unmakeable.Load(moduleArchive("missing\\module.dll").c_str()), 0u);
  ScratchDir other;
  SfxArchive::InstallerTask unwritable{L"missing\\instup.exe"};
  EXPECT_EQ(unmakeable.ExtractFiles(other.path(), nullptr, nullptr, &unwritable), code::kPackageCorrupt)
      << "the package's code, not 82";
  EXPECT_EQ(unwritable.result, code::kFileInvalid);
  EXPECT_EQ(testing::ListFolder(other.path()), std::vector<std::wstring>{L"module.dat"});

  SfxArchive good;
  ASSERT_EQ(good.Load(write(build(examplePlan()), L"good.exe").c_str()), 0u);
  ScratchDir third, plain;
  EXPECT_EQ(good.ExtractFiles(third.path(), nullptr, nullptr, &unwritable), 0u);
  EXPECT_EQ(unwritable.result, code::kCannotMake);
  EXPECT_NE(good.ExtractFiles(plain.file(L"missing"), nullptr), 0u);
  EXPECT_NE(good.extractionFailure().code, 0u);
  ASSERT_EQ(good.ExtractFiles(plain.path(), nullptr), 0u);
  EXPECT_EQ(good.extractionFailure().code, 0u) << "a run that succeeds leaves no failure of an earlier one";
  EXPECT_EQ(testing::ListFolder(third.path()), testing::ListFolder(plain.path())) << "no partial file, no folder";
}

// What the producer checks past the loader, each at its step with the entry concerned: what the
// stub's extraction would refuse, which the producer must not write.
TEST_F(ArchiveFiles, TheProducersStepsFollowTheLoaders) {
  const auto judge = [this](const Bytes& map) {
    SfxArchive archive;
    const LoadVerdict loaded = archive.JudgeWithCompiledKeys(write(archiveWithMap(map)).c_str());
    EXPECT_TRUE(loaded.loaded());
    return archive.JudgeExtraction(loaded);
  };
  const auto withInstaller = [](Bytes list, const Bytes& pointer) {
    Bytes map = mapWithList(list);
    AppendRecord(&map, record::kInstaller, pointer);
    return map;
  };
  const Bytes inside = Uint32Body({0, 2});
  LoadVerdict v = judge(withInstaller(fileRecord("..\\evil.dll", Uint32Body({0, 2, 0})), inside));
  EXPECT_EQ(v.step, LoadStep::kEntries);
  EXPECT_EQ(v.code, code::kInvalidName);
  EXPECT_EQ(ProducerText(v), L"entry '..\\evil.dll' would be written outside the target folder");
  EXPECT_FALSE(v.entry.module);

  v = judge(withInstaller(fileRecord("module.pkg", Uint32Body({0, 2, 0}), "C:\\evil.dll"), inside));
  EXPECT_EQ(v.step, LoadStep::kEntries);
  EXPECT_EQ(v.entry.name, L"C:\\evil.dll");
  EXPECT_TRUE(v.entry.module) << "the module's unpacked file is the one outside";

  v = judge(withInstaller(fileRecord("far.bin", Uint32Body({0, 0x100000, 0})), inside));
  EXPECT_EQ(v.step, LoadStep::kEntries);
  EXPECT_EQ(ProducerText(v), L"entry 'far.bin' points outside the signed content");

  v = judge(mapWithList(fileRecord("a.bin", Uint32Body({0, 2, 0}))));
  EXPECT_EQ(v.step, LoadStep::kInstaller);
  EXPECT_EQ(ProducerText(v), L"the archive has no installer record (CMDP): the stub would have nothing to run");
  v = judge(withInstaller(fileRecord("a.bin", Uint32Body({0, 2, 0})), Uint32Body({0, 0x100000})));
  EXPECT_EQ(ProducerText(v), L"the installer record points outside the signed content");
  v = judge(withInstaller(fileRecord("a.bin", Uint32Body({0, 2, 0})), Uint32Body({0, 40})));  // the stub's bytes
  EXPECT_EQ(v.step, LoadStep::kInstaller);
  EXPECT_EQ(v.code, code::kPackageCorrupt);
  EXPECT_EQ(ProducerText(v), L"the installer's package cannot be unpacked (code 0xa002)");

  SfxArchive good;
  const LoadVerdict accepted = good.JudgeExtraction(good.JudgeWithCompiledKeys(write(build(examplePlan())).c_str()));
  EXPECT_TRUE(accepted.loaded());
  EXPECT_EQ(accepted.keyIndex, 5);
  const LoadVerdict noStub = RefusedForNoStub(accepted);
  EXPECT_EQ(noStub.step, LoadStep::kStub);
  EXPECT_EQ(noStub.keyIndex, 5) << "what the loader found stays";
  EXPECT_EQ(ProducerText(noStub), L"no stub in front of the archive");
  EXPECT_TRUE(LoaderText(noStub, L"setup.exe").empty()) << "the stub never logs a producer's step";
}

// The installer/updater unpacks beside the entries, yet what the folder ends with is what the
// order of old gave: an entry under the installer's name is written over by it, and a bad
// installer package fails on its own, after every entry was extracted.
TEST_F(ArchiveFiles, TheInstallerBesideTheEntriesKeepsTheOrderOfOld) {
  InstallerPlan plan = examplePlan();
  plan.files.push_back({"INSTUP.EXE", randomBytes(2000, 4), 1000000000u, "", 1});
  SfxArchive clash;
  ASSERT_EQ(clash.Load(write(build(plan), L"clash.exe").c_str()), 0u);
  EXPECT_TRUE(WritesAreDistinct(clash.fileEntries()));
  EXPECT_FALSE(WritesAreDistinct(clash.fileEntries(), L"instup.exe")) << "the installer's writes count too";
  ScratchDir out;
  SfxArchive::InstallerTask installer{L"instup.exe"};
  ASSERT_EQ(clash.ExtractFiles(out.path(), nullptr, nullptr, &installer), 0u);
  EXPECT_EQ(installer.result, 0u);
  EXPECT_EQ(testing::ReadFileBytes(out.file(L"instup.exe")), plan.installer);

  // No installer record: its package is empty, which only the installer's result tells.
  const Bytes entry = randomBytes(700, 5);
  const Bytes list = fileRecord("a.vpx", Uint32Body({kPayloadOffset, 700, 0}));
  SfxArchive noInstaller;
  ASSERT_EQ(noInstaller.Load(write(archiveWithMap(mapWithList(list), packers::kPackerZlib, entry), L"bare.exe").c_str()),
            0u);
  ScratchDir bare;
  ASSERT_EQ(noInstaller.ExtractFiles(bare.path(), nullptr, nullptr, &installer), 0u);
  EXPECT_EQ(installer.result, code::kFileInvalid);
  EXPECT_EQ(testing::ReadFileBytes(bare.file(L"a.vpx")), entry);
  EXPECT_EQ(testing::ListFolder(bare.path()), std::vector<std::wstring>{L"a.vpx"});
}

// The bytes a map holds for a text where the map is read back as that text: in the ANSI code
// page on Windows, as UTF-8 on the host. Empty where the code page has no such character.
std::string mapBytesOf(const std::wstring& text) {
#if defined(_WIN32)
  char bytes[16];
  BOOL defaulted = FALSE;
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                                      bytes, sizeof bytes, nullptr, &defaulted);
  return n > 0 && !defaulted ? std::string(bytes, static_cast<std::size_t>(n)) : std::string();
#else
  return vocabulary::toUtf8(text);
#endif
}

// The map's texts read alike in every run, whatever locale the C runtime is in: the stub reads
// its map on a thread of its own while its first steps set the user's locale. The cases are
// bytes that the C runtime's "C" locale reads otherwise: in code page 1252 bytes that stand for
// characters beyond Latin-1; in 932 a double-byte character whose second byte is a backslash
// (which, read byte by byte, makes a folder) and a lead byte that nothing completes, which keeps
// one unit; on the host UTF-8, and bytes that are not UTF-8, which keep one unit each.
TEST_F(ArchiveFiles, MapTextsReadAlikeInEveryLocale) {
  struct Reading {
    std::string bytes;
    std::wstring text;
  };
  std::vector<Reading> readings;
#if defined(_WIN32)
  // A run that pins its code page says which: where Wine finds no Unix locale for it, the
  // process gets the default one, and the cases meant for the run would go untested.
  if (const char* pinned = std::getenv("SFX_TEST_CODE_PAGE")) ASSERT_EQ(std::to_string(::GetACP()), pinned);
  if (::GetACP() == 1252) readings = {{"\x85", L"\u2026"}, {"\x80", L"\u20AC"}};
  if (::GetACP() == 932) readings = {{"\x95\x5C", L"\u8868"}, {"\x95", L"\u0095"}};
  const char* const userLocale = "";
#else
  readings = {{"\xE2\x80\xA6", L"\u2026"}, {"caf\xE9", L"caf\u00E9"}};
  const char* const userLocale = "C.UTF-8";
#endif
  if (readings.empty()) GTEST_SKIP() << "cases for the code pages 1252 and 932 only";
  Bytes package;
  ASSERT_EQ(packers::BuildFilePackage(packers::kPackerZlib, bytesOf("ok").data(), 2, &package), 0u);
  const Bytes pointer = Uint32Body({kPayloadOffset, static_cast<std::uint32_t>(package.size()), 0});
  // Entry i is "<i><text>.pkg", unpacked into "<i><text>.dll".
  const auto name = [&](std::size_t i, const char* extension) {
    return std::to_string(i) + readings[i].bytes + extension;
  };
  const auto text = [&](std::size_t i, const wchar_t* extension) {
    return std::to_wstring(i) + readings[i].text + extension;
  };
  Bytes map;
  AppendRecord(&map, record::kMode, TextBody("extract"));
  AppendRecord(&map, record::kCommandLine, TextBody("/dir:" + readings[0].bytes));
  AppendRecord(&map, record::kSfxName, TextBody(readings[0].bytes));
  Bytes list;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const Bytes record = fileRecord(name(i, ".pkg"), pointer, name(i, ".dll"));
    list.insert(list.end(), record.begin(), record.end());
  }
  AppendRecord(&map, record::kList, list);
  const std::wstring path = write(archiveWithMap(map, packers::kPackerZlib, package));

  struct LocaleKept {
    ~LocaleKept() { std::setlocale(LC_ALL, name.c_str()); }
    std::string name = std::setlocale(LC_ALL, nullptr);
  } kept;
  for (const char* locale : {"C", userLocale}) {
    SCOPED_TRACE(std::string("locale \"") + locale + "\"");
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
    SfxArchive archive;
    ASSERT_EQ(archive.Load(path.c_str()), 0u);
    EXPECT_EQ(archive.commandLine(), L"/dir:" + readings[0].text);
    EXPECT_EQ(archive.sfxName(), readings[0].text);
    ASSERT_EQ(archive.fileEntries().size(), readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i) {
      EXPECT_EQ(archive.fileEntries()[i].name, text(i, L".pkg"));
      EXPECT_EQ(archive.fileEntries()[i].extractionName, text(i, L".dll"));
    }
    ScratchDir out;
    EXPECT_EQ(archive.ExtractFiles(out.path(), nullptr), 0u);
    for (std::size_t i = 0; i < readings.size(); ++i) {
      EXPECT_EQ(testing::ReadFileBytes(out.file(text(i, L".pkg"))), package);
      EXPECT_EQ(testing::ReadFileBytes(out.file(text(i, L".dll"))), bytesOf("ok"));
    }
  }
}

// An entry's name may be what a partial file is named, "…" and all. The entry's file is never
// written over, whichever order the map gives.
TEST_F(ArchiveFiles, AnEntryNamedLikeAPartialFileKeepsItsBytes) {
  const std::string ellipsis = mapBytesOf(L"\u2026");
  if (ellipsis.empty()) GTEST_SKIP() << "the ANSI code page has no \"\u2026\"";
  const Bytes module = randomBytes(6000, 7);
  const Bytes entry = randomBytes(700, 8);
  Bytes payload;
  ASSERT_EQ(packers::BuildFilePackage(packers::kPackerLzma, module.data(), static_cast<std::uint32_t>(module.size()),
                                      &payload), 0u);
  const auto packageSize = static_cast<std::uint32_t>(payload.size());
  payload.insert(payload.end(), entry.begin(), entry.end());
  const Bytes atPackage = Uint32Body({kPayloadOffset, packageSize, 0});
  const Bytes atEntry = Uint32Body({kPayloadOffset + packageSize, static_cast<std::uint32_t>(entry.size()), 0});
  for (const bool entryFirst : {true, false}) {
    SCOPED_TRACE(entryFirst ? "entry first" : "module first");
    std::vector<Bytes> records = {fileRecord("f.pkg", atPackage, "f"),
                                  fileRecord("g.pkg", atPackage, "g" + ellipsis),  // a module whose target is "g…"
                                  fileRecord("g.dll", atPackage, "g")};
    records.insert(entryFirst ? records.begin() : records.begin() + 1, fileRecord("f" + ellipsis, atEntry));
    Bytes list;
    for (const Bytes& record : records) list.insert(list.end(), record.begin(), record.end());
    SfxArchive archive;
    ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(list), packers::kPackerZlib, payload)).c_str()), 0u);
    ASSERT_EQ(archive.fileEntries().size(), 4u);
    EXPECT_FALSE(WritesAreDistinct(archive.fileEntries())) << "partial names count in the alias check";
    ScratchDir out;
    ASSERT_EQ(archive.ExtractFiles(out.path(), nullptr), 0u);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"f\u2026")), entry);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"f")), module);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"g\u2026")), module);
    EXPECT_EQ(testing::ReadFileBytes(out.file(L"g")), module);
    EXPECT_EQ(testing::ListFolder(out.path()).size(), 7u) << "four packages and three targets";
  }
}

// A report that throws (a listener out of memory, say) ends the extraction in both lanes: the
// other lane takes no further entry while the exception is on its way to the sequence.
TEST_F(ArchiveFiles, AnExceptionInOneLaneStopsTheOther) {
  constexpr int kEntries = 1000;
  Bytes list;
  for (int i = 0; i < kEntries; ++i) {
    const Bytes record = fileRecord("f" + std::to_string(i) + ".txt", Uint32Body({0, 2, 0}));
    list.insert(list.end(), record.begin(), record.end());
  }
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(archiveWithMap(mapWithList(list))).c_str()), 0u);
  struct ThrowsOnce : progress::ProgressCallback {
    bool advance(progress::Level, std::uint64_t) override {
      if (!thrown.exchange(true)) throw std::runtime_error("listener");
      return false;
    }
    std::atomic<bool> thrown{false};
  } progress;
  // The first exception of a process sets up the unwinder's tables, slowly through an emulated
  // CPU, while the other lane goes on writing: that is done here, before the run.
  try {
    throw std::runtime_error("warm-up");
  } catch (const std::runtime_error&) {
  }
  ScratchDir out;
  EXPECT_THROW(archive.ExtractFiles(out.path(), &progress), std::runtime_error);
  int written = 0;
  for (int i = 0; i < kEntries; ++i) written += testing::FileExists(out.file(L"f" + std::to_wstring(i) + L".txt"));
  // The other lane may finish a few entries while the exception unwinds, never the rest.
  EXPECT_LT(written, kEntries / 2) << "entries written after the exception";
}

// A caller that shows bytes hears of each byte written exactly once, from both lanes, however
// many pieces an entry takes (bytes that do not pack take one step of the codec per megabyte
// read); what progress hears stays one report per entry.
TEST_F(ArchiveFiles, WrittenBytesAddUpToWhatTheFolderHolds) {
  InstallerPlan plan = examplePlan();
  plan.files.push_back({"large.bin", randomBytes(2500000, 11), 0, "", 1});
  plan.files.push_back({"lzma.pkg", randomBytes(2600000, 12), 0, "lzma.dat", packers::kPackerLzma});
  plan.files.push_back({"zlib.pkg", randomBytes(2200000, 13), 0, "zlib.dat", packers::kPackerZlib});
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(build(plan)).c_str()), 0u);
  ASSERT_TRUE(WritesAreDistinct(archive.fileEntries()));
  struct Sum : SfxArchive::WrittenBytes {
    void add(std::uint32_t bytes) override { sum += bytes; }
    std::atomic<std::uint64_t> sum{0};
  } written;
  ScratchDir out;
  progress::ProgressCallback progress;
  ASSERT_EQ(archive.ExtractFiles(out.path(), &progress, &written), 0u);

  std::uint64_t held = 0;
  const std::vector<std::wstring> files = testing::ListFolder(out.path());
  for (const std::wstring& name : files) held += testing::ReadFileBytes(out.file(name)).size();
  EXPECT_EQ(files.size(), 9u);
  EXPECT_EQ(written.sum, held);
  EXPECT_EQ(progress.position(progress::Level::kOverall), archive.fileEntries().size());
}

// Every other way of writing a name that Windows resolves to the same file below the folder.
std::vector<std::wstring> aliasesOf(const std::wstring& folder, const std::wstring& file) {
  const auto upper = [](std::wstring text) {
    for (wchar_t& c : text) c = c == L'\u00e4' ? L'\u00c4' : static_cast<wchar_t>(std::towupper(c));
    return text;
  };
  const std::wstring path = folder.empty() ? file : folder + L"\\" + file;
  std::vector<std::wstring> aliases = {upper(path), path + L".", path + L". .", path + L"  ", path + L"\\.",
                                       L".\\" + path, folder.empty() ? L".\\\\" + file : folder + L"\\\\" + file,
                                       folder.empty() ? L".\\.\\" + file : folder + L"\\.\\" + file};
  if (!folder.empty()) {
    aliases.push_back(folder + L"/" + file);
    aliases.push_back(folder + L".\\" + file);
    aliases.push_back(upper(folder) + L"\\" + file);
  }
  return aliases;
}

// Names that may be one file keep the map order, for any pair of them and for an entry's own
// two names; so do names that Windows may take for another file in ways not worked out here.
TEST(WritesAreDistinct, EveryAliasOfANameKeepsTheMapOrder) {
  const auto entry = [](const std::wstring& name, const std::wstring& extractionName) {
    SfxFileEntry e;
    e.name = name;
    e.extractionName = extractionName;
    return e;
  };
  int pairs = 0;
  for (const auto& [folder, file] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"", L"x"}, {L"", L"setup.dat"}, {L"sub", L"Data.bin"}, {L"a b\\c", L"\u00e4.txt"}}) {
    const std::wstring path = folder.empty() ? file : folder + L"\\" + file;
    for (const std::wstring& alias : aliasesOf(folder, file)) {
      SCOPED_TRACE(vocabulary::toUtf8(path + L" ~ " + alias));
      EXPECT_FALSE(WritesAreDistinct({entry(path, L""), entry(alias, L"")}));
      EXPECT_FALSE(WritesAreDistinct({entry(alias, L""), entry(L"other.dat", path)}));
      EXPECT_FALSE(WritesAreDistinct({entry(path, alias)}));
      ++pairs;
    }
  }
  EXPECT_GT(pairs, 30);
  for (const auto& [first, second] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"sub", L"sub\\a.dat"}, {L"SUB.\\a.dat", L"sub"}, {L"\u00e4.dat", L"\u00f6.dat"}, {L"a.dat", L"LONGNA~1.DAT"},
           {L"a.dat", L"b.dat:stream"}, {L"a.dat", L"nul.txt"}, {L"a.dat", L"com1 .log"}, {L"a.dat", L"."}}) {
    EXPECT_FALSE(WritesAreDistinct({entry(first, L""), entry(second, L"")}))
        << vocabulary::toUtf8(first + L" " + second);
  }
  EXPECT_TRUE(WritesAreDistinct({entry(L"a.dat", L"a.dll"), entry(L"b.dat", L""), entry(L"sub\\a.dat", L""),
                                 entry(L"sub2\\a.dat", L""), entry(L"a.dat.x", L""), entry(L"sub.x\\a.dat", L"")}));
}

#if defined(_WIN32)
// The table above is what the file system does: each alias opens the file its name made.
TEST(WritesAreDistinct, TheAliasesOpenOneFileOnWindows) {
  const auto identity = [](const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::uint64_t{0};
    ::GetFileInformationByHandle(file, &info);
    ::CloseHandle(file);
    return (std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) ^ info.dwVolumeSerialNumber;
  };
  ScratchDir scratch;
  for (const auto& [folder, file] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"", L"x"}, {L"", L"setup.dat"}, {L"sub", L"Data.bin"}, {L"a b\\c", L"\u00e4.txt"}}) {
    if (!folder.empty()) ::SHCreateDirectoryExW(nullptr, scratch.file(folder).c_str(), nullptr);
    const std::wstring path = folder.empty() ? file : folder + L"\\" + file;
    const HANDLE made = ::CreateFileW(scratch.file(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE) << vocabulary::toUtf8(path);
    ::CloseHandle(made);
    const std::uint64_t expected = identity(scratch.file(path));
    ASSERT_NE(expected, 0u) << vocabulary::toUtf8(path);
    for (const std::wstring& alias : aliasesOf(folder, file)) {
      EXPECT_EQ(identity(scratch.path() + L"\\" + alias), expected) << vocabulary::toUtf8(alias);
    }
  }
}

// A scanner holds the file a module replaces: the move waits for it as the clean-up's delete
// does, instead of failing a good run with 82.
HANDLE g_heldTarget = INVALID_HANDLE_VALUE;
int g_movePauses = 0;
void releaseOnFirstPause(std::uint32_t) {
  if (++g_movePauses == 1) ::CloseHandle(g_heldTarget);
}

TEST_F(ArchiveFiles, AModuleWaitsForAHeldTargetAsTheCleanUpDoes) {
  const InstallerPlan plan = examplePlan();
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(build(plan)).c_str()), 0u);
  ScratchDir out;
  ASSERT_TRUE(testing::WriteFileBytes(out.file(L"module.dll"), bytesOf("old")));
  g_heldTarget = ::CreateFileW(out.file(L"module.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(g_heldTarget, INVALID_HANDLE_VALUE);
  g_movePauses = 0;
  const root::RetrySleep previous = root::SetRetrySleep(&releaseOnFirstPause);
  const Result result = archive.ExtractFiles(out.path(), nullptr);
  root::SetRetrySleep(previous);
  if (g_movePauses == 0) ::CloseHandle(g_heldTarget);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(g_movePauses, 1);
  EXPECT_EQ(testing::ReadFileBytes(out.file(L"module.dll")), plan.files[2].data);
  EXPECT_EQ(testing::ListFolder(out.path()), (std::vector<std::wstring>{L"empty.vpx", L"module.dll", L"module.pkg",
                                                                         L"vps1.vpx"}));
}
#endif

TEST_F(ArchiveFiles, SelfDefenseModuleFollowsThePlatform) {
  InstallerPlan plan = examplePlan();
  const Bytes driver = randomBytes(4000, 9);
  plan.files.push_back({"selfdefense_x86_driver", driver, 0, "unused.sys", 2});
  plan.files.push_back({"selfdefense_x64_driver", randomBytes(4000, 10), 0, "unused64.sys", 2});
  SfxArchive archive;
  ASSERT_EQ(archive.Load(write(build(plan)).c_str()), 0u);
  ScratchDir out;
  ASSERT_EQ(archive.ExtractSelfDefenseModule(out.path(), L"tzkSP_test.sys"), 0u);
  const Bytes written = testing::ReadFileBytes(out.file(L"tzkSP_test.sys"));
  EXPECT_EQ(written, RunsUnderWow64() ? plan.files.back().data : driver);

  SfxArchive none;
  ASSERT_EQ(none.Load(write(build(examplePlan()), L"none.exe").c_str()), 0u);
  EXPECT_EQ(none.ExtractSelfDefenseModule(out.path(), L"other.sys"), code::kNotFound);
  EXPECT_FALSE(testing::FileExists(out.file(L"other.sys")));
}

// Embedded blocks in memory: item order, results and the ten-fold bound.
struct SavedItem {
  std::wstring path;
  Bytes data;
};
std::vector<SavedItem>* g_saved = nullptr;
Result g_saveResult = 0;
Result recordSave(const std::wstring& path, const std::uint8_t* data, std::uint32_t size) {
  g_saved->push_back({path, Bytes(data, data + size)});
  return g_saveResult;
}

std::vector<SavedItem> walk(const std::vector<EmbeddedItem>& items, Result saveResult = 0,
                            Result* result = nullptr) {
  std::vector<SavedItem> saved;
  g_saved = &saved;
  g_saveResult = saveResult;
  const Bytes block = EmbeddedDataBlock(items);
  const Result r = WalkEmbeddedBlock(block.data(), block.size() - 4, L"T", &recordSave);
  if (result != nullptr) *result = r;
  return saved;
}

TEST(EmbeddedItems, WalkRunsBackwardsAndKeepsTheLastRawResult) {
  Result result = 1;
  const auto saved = walk({{"ERID", bytesOf("rid")}, {"EAPT", bytesOf("ticket")}}, 82, &result);
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0].path, L"T\\pairing.bin");
  EXPECT_EQ(saved[1].path, L"T\\rid.bin");
  EXPECT_EQ(result, 82u);

  EXPECT_TRUE(walk({}, 0, &result).empty());
  EXPECT_EQ(result, 0u);
  EXPECT_TRUE(walk({{"XXXX", bytesOf("unknown")}, {"ERID", {}}}).empty());
}

TEST(EmbeddedItems, CompressedItemsExpandAtMostTenfold) {
  const Bytes small(100, 'a');
  const Bytes large(5000, 'a');  // compresses far below a tenth of its size
  const auto saved = walk({{"ECFG", zlibOf(small)}, {"EBPK", zlibOf(large)}, {"EBCF", bytesOf("not zlib")}});
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].path, L"T\\CustomInstallation.ini");
  EXPECT_EQ(saved[0].data, small);
}

TEST(EmbeddedItems, ItemsClaimingMoreThanTheBlockAreSkipped) {
  Bytes block = EmbeddedDataBlock({{"ERID", bytesOf("abc")}});
  block[3] = 0xFF;  // the item's size field, little-endian low byte: now 255
  std::vector<SavedItem> saved;
  g_saved = &saved;
  EXPECT_EQ(WalkEmbeddedBlock(block.data(), block.size() - 4, L"T", &recordSave), 0u);
  EXPECT_TRUE(saved.empty());
  // A length field that reaches before the block's start.
  const Bytes lonely = Uint32Body({100, kEmbeddedDataTag});
  EXPECT_EQ(WalkEmbeddedBlock(lonely.data(), 4, L"T", &recordSave), code::kInvalidData);
}

TEST(EmbeddedItems, TailBlockNeedsItsDigestAndNoSignatureMagic) {
  Bytes tail;
  std::string error;
  ASSERT_TRUE(TailBlock({{"EAPT", bytesOf("ticket")}}, &tail, &error));
  std::vector<SavedItem> saved;
  g_saved = &saved;
  g_saveResult = 0;
  EXPECT_EQ(WalkTailBlock(tail.data(), L"T", &recordSave), 0u);
  ASSERT_EQ(saved.size(), 1u);
  Bytes bad = tail;
  bad[100] ^= 1;
  EXPECT_EQ(WalkTailBlock(bad.data(), L"T", &recordSave), code::kInvalidData);
  Bytes signedEnd = tail;
  std::memcpy(&signedEnd[signedEnd.size() - 8], "TZKSignd", 8);
  EXPECT_EQ(WalkTailBlock(signedEnd.data(), L"T", &recordSave), code::kInvalidData);
}

// The items come from one block, the embedded one where its walk succeeds: a tail block behind
// an installer with embedded items is never read. The container is read as the producer's
// inspection reads it, at the signature's known offset: behind a fake stub, which carries no
// certificate table for a tail block to follow, the loader would find no signature.
TEST_F(ArchiveFiles, ItemsComeFromTheEmbeddedBlockElseTheTail) {
  Bytes tail;
  std::string error;
  ASSERT_TRUE(TailBlock({{"EAPT", bytesOf("ticket")}}, &tail, &error)) << error;
  InstallerPlan bare = examplePlan();
  bare.embedded.clear();
  const auto itemsOf = [&](const InstallerPlan& plan, bool tagged, const wchar_t* name, ItemsBlock expected) {
    SCOPED_TRACE(name);
    Layout layout;
    Bytes installer = build(plan, &layout);
    if (tagged) installer.insert(installer.end(), tail.begin(), tail.end());
    SfxArchive archive;
    EXPECT_TRUE(archive.ReadContainer(write(installer, name).c_str(), plan.signatureType, layout.contentLength).loaded());
    ScratchDir out;
    EXPECT_EQ(archive.ExtractItems(out.path()), expected);
    return testing::ListFolder(out.path());
  };
  EXPECT_EQ(itemsOf(examplePlan(), true, L"both.exe", ItemsBlock::kEmbedded),
            (std::vector<std::wstring>{L"bcc.cfg.tmp", L"rid.bin"}));
  EXPECT_EQ(itemsOf(bare, true, L"tail.exe", ItemsBlock::kTail), std::vector<std::wstring>{L"pairing.bin"});
  EXPECT_TRUE(itemsOf(bare, false, L"none.exe", ItemsBlock::kNone).empty());
}

TEST_F(ArchiveFiles, TailItemsAreReadFromTheFilesEnd) {
  SfxArchive small;
  ASSERT_EQ(small.Load(write(build(examplePlan(SignatureType::kRawMd5Dsa)), L"small.exe").c_str()), 0u);
  EXPECT_EQ(small.ExtractTailItems(dir_.path()), code::kCannotMake);  // shorter than a tail block

  InstallerPlan large = examplePlan(SignatureType::kRawMd5Dsa);
  large.installer = randomBytes(20000, 4);
  SfxArchive plain;
  ASSERT_EQ(plain.Load(write(build(large), L"plain.exe").c_str()), 0u);
  EXPECT_EQ(plain.ExtractTailItems(dir_.path()), code::kInvalidData);  // ends in "TZKSignd"
}

}  // namespace
}  // namespace tzk::archive
