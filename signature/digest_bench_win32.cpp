// The digests of the signed content as the shipped 32-bit stub computes them, timed under
// Wine: the file named on the command line, read whole, each digest run five times. Prints the
// fastest run of each in MiB/s; tools/bench_digests.sh sets them beside openssl.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "signature/signature_digest.h"
#include "vocabulary/scoped_handle.h"

namespace {

using tzk::signature::ByteView;

bool ReadWhole(const wchar_t* path, std::vector<std::uint8_t>* content) {
  tzk::vocabulary::ScopedKernelHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file.valid() || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x40000000) return false;
  content->resize(static_cast<std::size_t>(size.QuadPart));
  DWORD got = 0;
  return ::ReadFile(file.get(), content->data(), static_cast<DWORD>(content->size()), &got, nullptr) &&
         got == content->size();
}

template <typename Digest>
double BestRate(const std::vector<std::uint8_t>& content, Digest (*digest)(ByteView)) {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    LARGE_INTEGER start{}, end{};
    ::QueryPerformanceCounter(&start);
    volatile std::uint8_t sink = digest(ByteView{content.data(), content.size()})[0];
    (void)sink;
    ::QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    const double rate = content.size() / 1048576.0 / seconds;
    if (rate > best) best = rate;
  }
  return best;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::uint8_t> content;
  if (argc != 2 || !ReadWhole(argv[1], &content)) {
    std::fprintf(stderr, "usage: digest_speed FILE (a readable file of at most 1 GiB)\n");
    return 2;
  }
  std::printf("md5 %.0f\n", BestRate(content, tzk::signature::Md5Of));
  std::printf("sha256 %.0f\n", BestRate(content, tzk::signature::Sha256WithoutPeChecksum));
  std::printf("md5text %.0f\n", BestRate(content, tzk::signature::Md5OfText));
  return 0;
}
