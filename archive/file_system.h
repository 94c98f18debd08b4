// The few file-system services extraction needs beyond the file classes, for Windows and
// for the host (where the producer extracts installers).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "vocabulary/result.h"

namespace tzk::archive {

// Sets the access and modification times of a file to seconds since 1970-01-01 UTC.
bool SetEntryFileTime(const std::wstring& path, std::int64_t unixSeconds);
bool DeleteEntryFile(const std::wstring& path);
// Moves a complete file onto its final name, replacing a file already there. Either file may
// be held for a moment by a scanner: the move is retried as the clean-up retries a delete.
bool ReplaceEntryFile(const std::wstring& from, const std::wstring& to);
// The same path in the form that the path limit does not apply to ("\\?\" and the full path,
// as Windows would resolve the plain one); a host path as it is.
std::wstring ExtendedLengthPath(const std::wstring& path);

// True for a 32-bit process on 64-bit Windows, as the platform library knows it; never on the
// host.
bool RunsUnderWow64();

// Switch the thread's WOW64 file-system redirection off and back on; used only under WOW64.
Result DisableRedirection(void** previous);
Result RevertRedirection(void* previous);

// A file for the producer's intermediate bytes, open for writing and reading back, which the
// system deletes when it is closed or the process ends however it ends; null when none can be
// made.
std::FILE* OpenScratchFile();

// fopen for a UTF-8 path on every system (Windows wants it wide); null with errno set.
std::FILE* OpenUtf8File(const std::string& path, const char* mode);
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using OpenFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace tzk::archive
