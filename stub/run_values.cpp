#include "stub/run_values.h"

#include <cstring>

namespace tzk::stub {
namespace {

void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
  for (std::size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// A decimal number after optional blanks, as the compiler writes the build stamp. Not
// sscanf: it would bring the C runtime's whole scanf into the stub.
bool readNumber(const char*& at, int* value) {
  while (*at == ' ') ++at;
  const char* start = at;
  *value = 0;
  for (; *at >= '0' && *at <= '9' && at - start < 9; ++at) *value = *value * 10 + (*at - '0');
  return at != start;
}

}  // namespace

void replaceVariable(std::wstring& text, const std::wstring& name, const std::wstring& value) {
  if (name.empty() || value.empty()) return;
  if (value.find(name) != std::wstring::npos && text.find(value) != std::wstring::npos) {
    replaceAll(text, value, name);
  }
  replaceAll(text, name, value);
}

bool parseBuildStamp(const char* date, const char* time, std::tm* out) {
  char month[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  std::memcpy(month, date, std::strlen(date) < 3 ? std::strlen(date) : 3);
  const char* at = date + std::strlen(month);
  if (!readNumber(at, &day) || !readNumber(at, &year)) return false;
  at = time;
  if (!readNumber(at, &hour) || *at++ != ':' || !readNumber(at, &minute) || *at++ != ':' ||
      !readNumber(at, &second)) {
    return false;
  }
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char* found = std::strstr(kMonths, month);
  if (std::strlen(month) != 3 || found == nullptr || (found - kMonths) % 3 != 0) return false;
  *out = std::tm{};
  out->tm_year = year - 1900;
  out->tm_mon = static_cast<int>(found - kMonths) / 3;
  out->tm_mday = day;
  out->tm_hour = hour;
  out->tm_min = minute;
  out->tm_sec = second;
  out->tm_isdst = -1;
  return true;
}

std::wstring tempFolderCandidate(const std::wstring& base, wchar_t letter, std::uint32_t threadId) {
  wchar_t digits[6];
  for (int i = 4; i >= 0; --i, threadId /= 10) digits[i] = static_cast<wchar_t>(L'0' + threadId % 10);
  digits[5] = L'\0';
  std::wstring path = base;
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path + L"_av_iup.tm~" + letter + digits;
}

std::int64_t buildTimestamp() {
  std::tm stamp{};
  if (!parseBuildStamp(__DATE__, __TIME__, &stamp)) return 0;
  return static_cast<std::int64_t>(std::mktime(&stamp));
}

}  // namespace tzk::stub
