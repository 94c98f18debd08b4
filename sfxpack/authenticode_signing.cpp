// Signing with both signatures: the certificate table reserved before the archive is signed,
// osslsigncode run on the result, and its table sealed to the reserved size.
#include "sfxpack/authenticode.h"

#include <algorithm>
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
#include "archive/format.h"
#include "archive/file_system.h"
#include "pe/pe_image.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"

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

// The file's PE headers and size, read where it lies.
bool readHeaders(const std::string& path, tzk::pe::PeHeaders* headers, std::uint64_t* size) {
  tzk::signature::SignatureFile file;
  if (!file.Open(tzk::vocabulary::fromUtf8(path).c_str())) return false;
  *size = file.Size();
  return tzk::pe::ReadPeHeaders(SourceOf(file).read, headers);
}

// Writes data over the file's bytes at offset (a header field: well inside what fseek reaches),
// or appends it when offset is kAppend.
constexpr std::uint64_t kAppend = ~std::uint64_t{0};
bool writeInto(const std::string& path, std::uint64_t offset, const Bytes& data, std::string* error) {
  tzk::archive::OpenFile file(tzk::archive::OpenUtf8File(path, offset == kAppend ? "ab" : "r+b"));
  if (!file) {
    *error = path + ": cannot open for writing: " + std::strerror(errno);
    return false;
  }
  bool ok = offset == kAppend || (offset <= tzk::archive::kFormatLimit &&
                                  std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) == 0);
  ok = ok && std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  ok = std::fclose(file.release()) == 0 && ok;
  if (!ok) *error = path + ": cannot write: " + std::strerror(errno);
  return ok;
}

// The signing tool's result with its table sealed to the reserved size, copied to output.
bool sealSigned(const std::string& signedPath, const std::string& output, std::uint32_t tableOffset,
                std::uint32_t tableSize, std::string* error, int* exit) {
  tzk::signature::SignatureFile in;
  if (!OpenMeasured(signedPath, &in, error)) return false;
  const FileSource signedFile = SourceOf(in);
  tzk::pe::PeHeaders headers;
  const bool found = tzk::pe::ReadPeHeaders(signedFile.read, &headers);
  *exit = kExitCheckFailed;
  if (!found || headers.tableOffset != tableOffset) {
    *error = "osslsigncode put the certificate table at " + std::to_string(found ? headers.tableOffset : 0) +
             ", not at " + std::to_string(tableOffset) + " where it was reserved";
    return false;
  }
  FilePatch sealing;
  if (!SealTable(signedFile, tableSize, &sealing, error)) return false;
  const FileSource sealed = Patched(signedFile, std::move(sealing));
  StagedOutput out(output);
  bool outputFailed = false;
  const StagedOutput::Producer copy = [&sealed](const Sink& sink, std::string* why) { return CopyOut(sealed, sink, why); };
  std::string why;
  if (!out.WriteWith(copy, &why, &outputFailed) || !out.Commit(&why)) {
    *exit = outputFailed ? kExitOutputError : kExitBadInput;
    *error = output + ": " + why;
    return false;
  }
  *exit = kExitOk;
  return true;
}

// Writes the security directory entry that the archive signature will cover, signs the archive
// and appends the zero-filled table of tableSize bytes; the table's offset in *tableOffset.
bool reserveTable(const std::string& output, const FileSigner& sign, std::uint32_t tableSize,
                  std::uint32_t* tableOffset, std::string* error, int* exit) {
  *exit = kExitBadInput;
  tzk::pe::PeHeaders headers;
  std::uint64_t unsignedSize = 0;
  if (!readHeaders(output, &headers, &unsignedSize)) {
    *error = "the stub is no PE image with a security directory entry, so it cannot carry Authenticode";
    return false;
  }
  if (headers.tableOffset != 0 || headers.tableSize != 0) {
    *error = "the stub already has a certificate table entry; build from an unsigned stub";
    return false;
  }
  // The table starts 8-aligned behind the archive signature; its size is the reservation,
  // whatever the signature will take: the archive signature covers both values.
  *tableOffset = static_cast<std::uint32_t>((unsignedSize + tzk::signature::kRawSha256DsaBlock + 7) / 8 * 8);
  Bytes entry(8);
  WriteLe32(entry.data(), *tableOffset);
  WriteLe32(entry.data() + 4, tableSize);
  if (!writeInto(output, headers.securityEntry, entry, error)) {
    *exit = kExitOutputError;
    return false;
  }
  std::uint64_t signedSize = 0;
  if (!sign(output, error)) return false;
  if (!readHeaders(output, &headers, &signedSize) || signedSize != unsignedSize + tzk::signature::kRawSha256DsaBlock) {
    *error = "only a type-5 archive signature can sit beside an Authenticode signature";
    return false;
  }
  // A zero-filled table of the reserved size where the real one will be: signing tools replace
  // a certificate table at the very end of the file like any other.
  Bytes table(static_cast<std::size_t>(*tableOffset - signedSize) + tableSize, 0);
  std::uint8_t* header = table.data() + (*tableOffset - signedSize);
  WriteLe32(header, tableSize);
  const std::uint8_t kind[4] = {0x00, 0x02, 0x02, 0x00};  // revision 2.0, PKCS#7 signed data
  std::copy(kind, kind + sizeof kind, header + 4);
  *exit = kExitOutputError;
  if (!writeInto(output, kAppend, table, error)) return false;
  *exit = kExitOk;
  return true;
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
const std::vector<std::string> kCodeSigningInputs = {"--cert", "--cert-key", "--test-tsa-certs", "--test-tsa-key"};

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

bool ReadSecurityDirectory(const std::string& path, std::uint32_t* offset, std::uint32_t* size) {
  tzk::pe::PeHeaders headers;
  std::uint64_t fileSize = 0;
  if (!readHeaders(path, &headers, &fileSize)) return false;
  *offset = headers.tableOffset;
  *size = headers.tableSize;
  return true;
}

bool SignBoth(const std::string& output, const FileSigner& sign, const CodeSigning& signing, std::string* error,
              int* exit) {
  std::uint32_t tableOffset = 0;
  if (!reserveTable(output, sign, signing.reserve, &tableOffset, error, exit)) return false;
  if (signing.prepareOnly) return true;
  const std::string codeSigned = output + ".signed", log = output + ".log";
  *exit = kExitBadInput;
  const bool sealed = runSign(output, codeSigned, signing, log, error) &&
                      sealSigned(codeSigned, output, tableOffset, signing.reserve, error, exit);
  std::remove(codeSigned.c_str());
  return sealed;
}

}  // namespace sfxpack
