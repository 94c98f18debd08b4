// Deterministic payloads for tests, benchmarks and seeds. Sample data compresses the way an
// installer's files do: text, tables of binary records, machine-code-like bytes and stretches
// of bytes that are already compressed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tzk::packers {

class SampleRandom {
 public:
  explicit SampleRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(Next() % bound); }

 private:
  std::uint64_t state_;
};

inline std::vector<std::uint8_t> MakeRandomData(std::size_t size, std::uint64_t seed) {
  SampleRandom random(seed);
  std::vector<std::uint8_t> data(size);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random.Next() >> 56);
  return data;
}

inline std::vector<std::uint8_t> MakeSampleData(std::size_t size, std::uint64_t seed) {
  static const char* const kWords[] = {
      "the", "file", "setup", "install", "update", "virus", "definition", "service", "driver",
      "folder", "registry", "value", "version", "product", "component", "license", "shield",
      "engine", "scan", "report", "error", "warning", "<item", "name=\"", "\"/>", "</section>",
      "0x", "C:\\Program Files\\", ".dll", ".exe", "\r\n", "    "};
  constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
  static const std::uint8_t kOpcodes[] = {0x55, 0x8B, 0xEC, 0x83, 0xE8, 0xFF, 0x15, 0x89, 0x45, 0xC3,
                                          0x6A, 0x00, 0x50, 0x51, 0x74, 0x75, 0x33, 0xC0, 0x5D, 0x8D};
  SampleRandom random(seed);
  std::vector<std::uint8_t> data;
  data.reserve(size);
  std::uint32_t record = 0;
  while (data.size() < size) {
    const std::uint32_t kind = random.Below(10);
    const std::size_t end = data.size() + 256 + random.Below(8192);
    while (data.size() < end && data.size() < size) {
      if (kind < 5) {  // text
        for (const char* c = kWords[random.Below(kWordCount)]; *c != '\0'; ++c) data.push_back(static_cast<std::uint8_t>(*c));
        data.push_back(random.Below(8) == 0 ? '\n' : ' ');
      } else if (kind < 7) {  // records: a counter, flags and growing offsets
        const std::uint32_t fields[4] = {record, random.Below(4), record * 48 + 0x1000, random.Below(300)};
        ++record;
        for (std::uint32_t field : fields) {
          for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
        }
      } else if (kind < 9) {  // code
        data.push_back(random.Below(4) == 0 ? static_cast<std::uint8_t>(random.Next())
                                             : kOpcodes[random.Below(sizeof(kOpcodes))]);
      } else {  // already compressed
        data.push_back(static_cast<std::uint8_t>(random.Next()));
      }
    }
  }
  data.resize(size);
  return data;
}

// Large payloads that both packers get through quickly: one 16 KiB sample block over and
// over, each copy stamped with its number so that no two are alike.
inline std::vector<std::uint8_t> MakeTiledData(std::size_t size, std::uint64_t seed) {
  constexpr std::size_t kBlock = 16 << 10;
  const std::vector<std::uint8_t> block = MakeSampleData(kBlock, seed);
  std::vector<std::uint8_t> data(size);
  for (std::size_t at = 0; at < size; at += kBlock) {
    const std::size_t length = size - at < kBlock ? size - at : kBlock;
    std::copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length), data.begin() + static_cast<std::ptrdiff_t>(at));
    for (std::size_t k = 0; k < 4 && k < length; ++k) data[at + k] = static_cast<std::uint8_t>((at / kBlock) >> (8 * k));
  }
  return data;
}

}  // namespace tzk::packers
