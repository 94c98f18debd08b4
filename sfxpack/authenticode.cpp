#include "sfxpack/authenticode.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "archive/embedded_items.h"
#include "pe/pe_image.h"
#include "signature/signature.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "sfxpack/code_signature.h"
#include "sfxpack/manifest.h"

namespace sfxpack {
namespace {

using tzk::archive::kTailBlockSize;


using tzk::vocabulary::WriteLe32;

std::string lastLine(const std::string& text) {
  std::size_t end = text.find_last_not_of("\r\n");
  if (end == std::string::npos) return std::string();
  const std::size_t start = text.find_last_of('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// Runs osslsigncode sign; its own last line of output is the reason when it fails.
bool runSign(const std::string& in, const std::string& out, const CodeSigning& s, const std::string& log,
             std::string* error) {
  const std::string time = std::to_string(s.signingTime);
  std::vector<std::string> args = {"osslsigncode", "sign", "-certs", s.certificate, "-key", s.key, "-h", "sha256",
                                   "-time", time};
  if (!s.timestampUrl.empty()) args.insert(args.end(), {"-ts", s.timestampUrl});
  // osslsigncode's own test authority answers instead of a server: offline, and repeatable.
  if (!s.testTsaCerts.empty()) args.insert(args.end(), {"-TSA-certs", s.testTsaCerts, "-TSA-key", s.testTsaKey, "-TSA-time", time});
  args.insert(args.end(), {"-in", in, "-out", out});
  int status = -1;
#ifdef _WIN32
  std::vector<std::wstring> wide;
  for (const std::string& a : args) wide.push_back(L"\"" + tzk::vocabulary::fromUtf8(a) + L"\"");
  std::vector<const wchar_t*> argv;
  for (const std::wstring& a : wide) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  status = static_cast<int>(::_wspawnvp(_P_WAIT, L"osslsigncode", argv.data()));
  const bool started = status != -1;
  std::string output;
  (void)log;
#else
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "osslsigncode", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  const bool started = spawned == 0;
  if (started) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  Bytes text;
  std::string ignored;
  ReadWholeFile(log, &text, &ignored);
  std::remove(log.c_str());
  const std::string output(text.begin(), text.end());
  status = started && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  if (!started) {
#ifdef _WIN32
    *error = "cannot run osslsigncode.exe (none on the PATH): put it there, or build with --prepare, sign with "
             "your own tool (signtool) and run sfxpack seal";
#else
    *error = "cannot run osslsigncode (install Debian's osslsigncode package)";
#endif
    return false;
  }
  if (status != 0) {
    const std::string why = lastLine(output);
    *error = "osslsigncode sign failed" + (why.empty() ? std::string() : ": " + why);
    return false;
  }
  return true;
}

tzk::Result ignoreItem(const std::wstring&, const std::uint8_t*, std::uint32_t) { return tzk::code::kSuccess; }

bool writeFile(const std::string& path, const Bytes& data, std::string* error) {
  std::string why;
  if (WriteWholeFile(path, data, &why)) return true;
  *error = path + ": " + why;
  return false;
}

}  // namespace

const std::string& CodeSigningHelp() {
  static const std::string help =
      "Authenticode (the installer also carries a code signature; needs osslsigncode and type 5):\n"
      "  --cert CERT.pem       the code-signing certificate (with its chain) for osslsigncode -certs\n"
      "  --cert-key KEY.pem    its private key for osslsigncode -key\n"
      "  --signing-time SECS   the signing time, seconds since 1970 (else SOURCE_DATE_EPOCH; the clock\n"
      "                        is never used, so the same inputs give the same bytes)\n"
      "  --timestamp URL       ask this RFC 3161 server for a timestamp (osslsigncode -ts)\n"
      "  --test-tsa-certs CERT.pem --test-tsa-key KEY.pem\n"
      "                        a timestamp from osslsigncode's built-in test authority instead, at the\n"
      "                        signing time: for offline tests, never for a release\n"
      "  --reserve BYTES       the certificate table's size, fixed before the archive is signed (a\n"
      "                        multiple of 8; default " + std::to_string(kDefaultTableReserve) +
      "): the signature and " + std::to_string(kTailBlockSize) + " bytes of room\n"
      "                        for the per-download tail block inside it\n"
      "  --prepare             only reserve the table (a zero-filled placeholder) and sign the\n"
      "                        archive; then sign with any Authenticode tool and options, and seal:\n"
      "                          osslsigncode sign -certs CERT.pem -key KEY.pem -h sha256 -in F -out G\n"
      "                          sfxpack seal G [--reserve BYTES]\n"
      "Chain trust is not judged here: check it with osslsigncode verify -CAfile CA.pem.\n";
  return help;
}

bool ReadCodeSigning(const ParsedArgs& a, CodeSigning* out, bool* used, std::string* error) {
  *used = a.has("--cert") || a.has("--cert-key") || a.has("--prepare") || a.has("--signing-time") ||
          a.has("--reserve") || a.has("--timestamp") || a.has("--test-tsa-certs") || a.has("--test-tsa-key");
  if (!*used) return true;
  out->certificate = a.value("--cert");
  out->key = a.value("--cert-key");
  out->prepareOnly = a.has("--prepare");
  out->timestampUrl = a.value("--timestamp");
  out->testTsaCerts = a.value("--test-tsa-certs");
  out->testTsaKey = a.value("--test-tsa-key");
  if (out->testTsaCerts.empty() != out->testTsaKey.empty() || (!out->testTsaCerts.empty() && !out->timestampUrl.empty())) {
    *error = "a timestamp comes from --timestamp URL or from --test-tsa-certs with --test-tsa-key, not both";
    return false;
  }
  if (!ReadReserve(a, &out->reserve, error)) return false;
  if (out->prepareOnly) {
    // Only the table's size is fixed here; the engineer's own tool signs later, as it likes.
    if (!out->certificate.empty() || !out->key.empty() || a.has("--signing-time") || !out->timestampUrl.empty() ||
        !out->testTsaCerts.empty()) {
      *error = "--prepare only reserves the table: give the certificate, time and timestamp to your signing tool";
      return false;
    }
    return true;
  }
  if (out->certificate.empty() || out->key.empty()) {
    *error = "Authenticode signing needs both --cert CERT.pem and --cert-key KEY.pem (or --prepare)";
    return false;
  }
  std::string time = a.value("--signing-time");
  if (time.empty() && std::getenv("SOURCE_DATE_EPOCH") != nullptr) time = std::getenv("SOURCE_DATE_EPOCH");
  char* end = nullptr;
  errno = 0;
  const long long value = time.empty() ? -1 : std::strtoll(time.c_str(), &end, 10);
  if (time.empty() || *end != '\0' || errno != 0 || value < 0 || value > 0xFFFFFFFFll) {
    *error = time.empty() ? "Authenticode signing needs a time: --signing-time SECONDS or SOURCE_DATE_EPOCH"
                          : "--signing-time wants seconds since 1970, not '" + time + "'";
    return false;
  }
  out->signingTime = value;
  return true;
}

const std::vector<std::string> kCodeSigningOptions = {"--cert",      "--cert-key",       "--signing-time",
                                                     "--timestamp", "--test-tsa-certs", "--test-tsa-key",
                                                     "--reserve"};

bool ReadReserve(const ParsedArgs& a, std::uint32_t* reserve, std::string* error) {
  if (!a.has("--reserve")) return true;
  const std::string text = a.value("--reserve");
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value % 8 != 0 || value < kMinTableReserve ||
      value > kMaxTableReserve) {
    *error = "--reserve wants a multiple of 8 between " + std::to_string(kMinTableReserve) + " and " +
             std::to_string(kMaxTableReserve >> 20) + " MiB, not '" + text + "'";
    return false;
  }
  *reserve = static_cast<std::uint32_t>(value);
  return true;
}

bool ReadSecurityDirectory(const Bytes& image, std::uint32_t* offset, std::uint32_t* size) {
  tzk::archive::PeHeaders headers;
  if (!tzk::archive::ReadPeHeaders(image.data(), image.size(), &headers)) return false;
  *offset = headers.tableOffset;
  *size = headers.tableSize;
  return true;
}

bool ReadSecurityDirectory(const std::string& path, std::uint32_t* offset, std::uint32_t* size) {
  Bytes image;
  std::string ignored;
  return ReadWholeFile(path, &image, &ignored) && ReadSecurityDirectory(image, offset, size);
}

ItemsBlock StubItemsBlock(tzk::archive::SfxArchive& archive) {
  if (archive.ExtractEmbeddedItems(L"", ignoreItem) == tzk::code::kSuccess) return ItemsBlock::kEmbedded;
  return archive.ExtractTailItems(L"", ignoreItem) == tzk::code::kSuccess ? ItemsBlock::kTail : ItemsBlock::kNone;
}

const char* ItemsBlockName(ItemsBlock block) {
  switch (block) {
    case ItemsBlock::kEmbedded: return "embedded";
    case ItemsBlock::kTail: return "tail";
    case ItemsBlock::kNone: break;
  }
  return "none";
}

bool SignBoth(Bytes content, const Signer& sign, const CodeSigning& signing, const std::string& output,
              std::string* error, int* exit) {
  *exit = kExitBadInput;
  tzk::archive::PeHeaders headers;
  if (!tzk::archive::ReadPeHeaders(content.data(), content.size(), &headers)) {
    *error = "the stub is no PE image with a security directory entry, so it cannot carry Authenticode";
    return false;
  }
  if (headers.tableOffset != 0 || headers.tableSize != 0) {
    *error = "the stub already has a certificate table entry; build from an unsigned stub";
    return false;
  }
  // The table starts 8-aligned behind the archive signature; its size is the reservation,
  // whatever the signature will take: the archive signature covers both values.
  const std::uint32_t tableOffset = static_cast<std::uint32_t>((content.size() + tzk::archive::kRawSha256DsaBlock + 7) / 8 * 8);
  const std::uint32_t tableSize = signing.reserve;
  WriteLe32(content.data() + headers.securityEntry, tableOffset);
  WriteLe32(content.data() + headers.securityEntry + 4, tableSize);
  const std::size_t unsignedSize = content.size();
  if (!sign(&content, error)) return false;
  if (content.size() != unsignedSize + tzk::archive::kRawSha256DsaBlock) {
    *error = "only a type-5 archive signature can sit beside an Authenticode signature";
    return false;
  }
  // A zero-filled table of the reserved size where the real one will be: signing tools replace
  // a certificate table at the very end of the file like any other.
  content.resize(tableOffset, 0);
  std::uint8_t header[8] = {0, 0, 0, 0, 0x00, 0x02, 0x02, 0x00};  // its length, revision 2.0, PKCS#7 signed data
  WriteLe32(header, tableSize);
  content.insert(content.end(), header, header + sizeof header);
  content.resize(std::size_t{tableOffset} + tableSize, 0);
  *exit = kExitOutputError;
  if (signing.prepareOnly) return writeFile(output, content, error);
  const std::string archiveSigned = output + ".unsigned", codeSigned = output + ".signed", log = output + ".log";
  if (!writeFile(archiveSigned, content, error)) return false;
  *exit = kExitBadInput;
  const bool signedOk = runSign(archiveSigned, codeSigned, signing, log, error);
  std::remove(archiveSigned.c_str());
  Bytes result;
  const bool read = signedOk && ReadWholeFile(codeSigned, &result, error);
  std::remove(codeSigned.c_str());
  if (!read) return false;
  std::uint32_t finalOffset = 0, finalSize = 0;
  if (!ReadSecurityDirectory(result, &finalOffset, &finalSize) || finalOffset != tableOffset) {
    *exit = kExitCheckFailed;
    *error = "osslsigncode put the certificate table at " + std::to_string(finalOffset) + ", not at " +
             std::to_string(tableOffset) + " where it was reserved";
    return false;
  }
  *exit = kExitCheckFailed;
  if (!SealTable(&result, tableSize, error)) return false;
  *exit = kExitOutputError;
  if (!writeFile(output, result, error)) return false;
  *exit = kExitOk;
  return true;
}

}  // namespace sfxpack
