// Small pure pieces of the main sequence: variable substitution in the archive's command line,
// the build stamp and the temporary folder's unique name.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tzk::stub {

// Replaces every occurrence of name in text by value, never searching an inserted value
// again. When value itself contains name and text already holds value, those occurrences are
// first turned back into name, so that running it twice changes nothing more.
void replaceVariable(std::wstring& text, const std::wstring& name, const std::wstring& value);

// Reads a build date ("Apr 21 2015") and time ("14:58:52") into a calendar time with daylight
// saving left to the system; false when either text does not parse.
bool parseBuildStamp(const char* date, const char* time, std::tm* out);

// This build's own stamp (__DATE__, __TIME__) as seconds since 1970 in local time; 0 when it does
// not parse.
std::int64_t buildTimestamp();

// "<base>\_av_iup.tm~" + letter + the five lowest decimal digits of threadId.
std::wstring tempFolderCandidate(const std::wstring& base, wchar_t letter, std::uint32_t threadId);

}  // namespace tzk::stub
