#include "tools/sfxpack/authenticode.h"

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

#include "root/text.h"
#include "tools/sfxpack/manifest.h"

namespace sfxpack {
namespace {

constexpr std::size_t kType5Block = 72;

std::uint32_t le32(const std::uint8_t* at) {
  return at[0] | static_cast<std::uint32_t>(at[1]) << 8 | static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

void put32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Where the security directory entry lies in the image, or 0. PE32 has it 128 bytes into the
// optional header, PE32+ 144; the header must list at least five directories.
std::size_t securityEntry(const Bytes& image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return 0;
  const std::size_t pe = le32(image.data() + 0x3C);
  if (pe > image.size() || image.size() - pe < 24 + 2 || std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) return 0;
  const std::size_t optional = pe + 24;
  const unsigned magic = image[optional] | image[optional + 1] << 8;
  const std::size_t count = magic == 0x10B ? optional + 92 : magic == 0x20B ? optional + 108 : 0;
  const std::size_t entry = magic == 0x10B ? optional + 128 : optional + 144;
  if (count == 0 || image.size() < entry + 8 || le32(image.data() + count) < 5) return 0;
  return entry;
}

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
                                   "-time", time, "-in", in, "-out", out};
  int status = -1;
#ifdef _WIN32
  std::vector<std::wstring> wide;
  for (const std::string& a : args) wide.push_back(L"\"" + tzk::root::fromUtf8(a) + L"\"");
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
    *error = "cannot run osslsigncode (install Debian's osslsigncode package)";
    return false;
  }
  if (status != 0) {
    const std::string why = lastLine(output);
    *error = "osslsigncode sign failed" + (why.empty() ? std::string() : ": " + why);
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const Bytes& data, std::string* error) {
  std::string why;
  if (WriteWholeFile(path, data, &why)) return true;
  *error = path + ": " + why;
  return false;
}

}  // namespace

const char kCodeSigningHelp[] =
    "Authenticode (the installer also carries a code signature; needs osslsigncode and type 5):\n"
    "  --cert CERT.pem       the code-signing certificate (with its chain) for osslsigncode -certs\n"
    "  --cert-key KEY.pem    its private key for osslsigncode -key\n"
    "  --signing-time SECS   the signing time, seconds since 1970 (else SOURCE_DATE_EPOCH; the clock\n"
    "                        is never used, so the same inputs give the same bytes)\n"
    "  --prepare             only reserve the certificate table (a zero-filled placeholder of the\n"
    "                        final size) and sign the archive; then sign with the same certificate,\n"
    "                        key and osslsigncode version yourself, without -n, -i, -t or -ts\n"
    "                        (they change the table's size):\n"
    "                          osslsigncode sign -certs CERT.pem -key KEY.pem -h sha256 -in F -out G\n"
    "                        and check G with sfxpack verify\n";

bool ReadCodeSigning(const ParsedArgs& a, CodeSigning* out, bool* used, std::string* error) {
  *used = a.has("--cert") || a.has("--cert-key") || a.has("--prepare") || a.has("--signing-time");
  if (!*used) return true;
  out->certificate = a.value("--cert");
  out->key = a.value("--cert-key");
  out->prepareOnly = a.has("--prepare");
  if (out->certificate.empty() || out->key.empty()) {
    *error = "Authenticode signing needs both --cert CERT.pem and --cert-key KEY.pem";
    return false;
  }
  std::string time = a.value("--signing-time");
  if (time.empty() && std::getenv("SOURCE_DATE_EPOCH") != nullptr) time = std::getenv("SOURCE_DATE_EPOCH");
  // Only the size of the table matters for a trial before the engineer's own signing.
  if (time.empty() && out->prepareOnly) time = "0";
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

bool ReadSecurityDirectory(const Bytes& image, std::uint32_t* offset, std::uint32_t* size) {
  const std::size_t entry = securityEntry(image);
  if (entry == 0) return false;
  *offset = le32(image.data() + entry);
  *size = le32(image.data() + entry + 4);
  return true;
}

bool ReadSecurityDirectory(const std::string& path, std::uint32_t* offset, std::uint32_t* size) {
  Bytes image;
  std::string ignored;
  return ReadWholeFile(path, &image, &ignored) && ReadSecurityDirectory(image, offset, size);
}

bool SignBoth(Bytes content, const Signer& sign, const CodeSigning& signing, const std::string& output,
              std::string* error, int* exit) {
  *exit = kExitBadInput;
  const std::size_t entry = securityEntry(content);
  if (entry == 0) {
    *error = "the stub is no PE image with a security directory entry, so it cannot carry Authenticode";
    return false;
  }
  if (le32(content.data() + entry) != 0 || le32(content.data() + entry + 4) != 0) {
    *error = "the stub already has a certificate table entry; build from an unsigned stub";
    return false;
  }
  // The trial: the same bytes up to the entry's value and a block of the same size.
  const std::string trialIn = output + ".trial", trialOut = output + ".trial-signed", log = output + ".log";
  Bytes trial = content;
  trial.resize(content.size() + kType5Block, 0);
  *exit = kExitOutputError;
  if (!writeFile(trialIn, trial, error)) return false;
  *exit = kExitBadInput;
  const bool measured = runSign(trialIn, trialOut, signing, log, error);
  std::uint32_t tableOffset = 0, tableSize = 0;
  const bool read = measured && ReadSecurityDirectory(trialOut, &tableOffset, &tableSize);
  std::remove(trialIn.c_str());
  std::remove(trialOut.c_str());
  if (!measured) return false;
  const std::uint64_t expected = (content.size() + kType5Block + 7) / 8 * 8;
  if (!read || tableSize == 0 || tableOffset != expected) {
    *error = "osslsigncode put the certificate table of the trial copy at an unexpected place";
    return false;
  }

  put32(content.data() + entry, tableOffset);
  put32(content.data() + entry + 4, tableSize);
  const std::size_t unsignedSize = content.size();
  if (!sign(&content, error)) return false;
  if (content.size() != unsignedSize + kType5Block) {
    *error = "only a type-5 archive signature can sit beside an Authenticode signature";
    return false;
  }
  // A zero-filled table of the reserved size where the real one will be: signing tools that
  // insist on a certificate table at the very end of the file replace it like any other.
  content.resize(tableOffset, 0);
  const std::uint8_t header[8] = {static_cast<std::uint8_t>(tableSize), static_cast<std::uint8_t>(tableSize >> 8),
                                  static_cast<std::uint8_t>(tableSize >> 16), static_cast<std::uint8_t>(tableSize >> 24),
                                  0x00, 0x02, 0x02, 0x00};  // revision 2.0, PKCS#7 signed data
  content.insert(content.end(), header, header + sizeof header);
  content.resize(std::size_t{tableOffset} + tableSize, 0);
  if (signing.prepareOnly) {
    *exit = kExitOutputError;
    return writeFile(output, content, error);
  }
  const std::string archiveSigned = output + ".unsigned";
  *exit = kExitOutputError;
  if (!writeFile(archiveSigned, content, error)) return false;
  *exit = kExitBadInput;
  const bool signedOk = runSign(archiveSigned, output, signing, log, error);
  std::remove(archiveSigned.c_str());
  if (!signedOk) return false;
  std::uint32_t finalOffset = 0, finalSize = 0;
  if (!ReadSecurityDirectory(output, &finalOffset, &finalSize) || finalOffset != tableOffset || finalSize != tableSize) {
    *exit = kExitCheckFailed;
    *error = "osslsigncode made a certificate table of " + std::to_string(finalSize) + " bytes at " +
             std::to_string(finalOffset) + " where " + std::to_string(tableSize) + " bytes at " +
             std::to_string(tableOffset) + " were reserved";
    return false;
  }
  *exit = kExitOk;
  return true;
}

}  // namespace sfxpack
