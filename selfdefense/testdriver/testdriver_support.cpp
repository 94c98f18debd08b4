#include "selfdefense/testdriver/testdriver_support.h"

#include <cstring>

#include "root/last_failure.h"
#include "vocabulary/scoped_handle.h"
#include "vocabulary/text.h"
#include "selfdefense/testdriver/testdriver_protocol.h"

namespace tzk::testdriver {
namespace {

using vocabulary::ScopedFileHandle;
using vocabulary::ScopedKernelHandle;
using vocabulary::ScopedRegKey;
using vocabulary::ScopedServiceHandle;

// File-system redirection off for one scope, under WOW64 only.
class RedirectionOff {
 public:
  RedirectionOff() : active_(runningUnderWow64() && ::Wow64DisableWow64FsRedirection(&old_)) {}
  ~RedirectionOff() {
    if (active_) ::Wow64RevertWow64FsRedirection(old_);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  PVOID old_ = nullptr;
  bool active_;
};

std::wstring hex8(std::uint32_t value) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text(8, L'0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

std::wstring systemFolder() {
  wchar_t buffer[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  return length && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

Result openControlKey(ScopedRegKey& key) {
  return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, TZK_TD_KEY, 0, nullptr, 0,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                           key.receive(), nullptr);
}

Result setDword(const std::wstring& name, std::uint32_t value) {
  ScopedRegKey key;
  if (const Result r = openControlKey(key)) return r;
  const DWORD data = value;
  return ::RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

Result readValue(const wchar_t* name, DWORD expectedType, std::vector<std::uint8_t>& data) {
  ScopedRegKey key;
  if (const Result r = openControlKey(key)) return r;
  DWORD type = 0;
  DWORD size = 0;
  if (const Result r = ::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size)) {
    return r;
  }
  data.assign(size, 0);
  if (const Result r = ::RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &size)) {
    return r;
  }
  data.resize(size);
  return type == expectedType ? code::kSuccess : code::kInvalidData;
}

std::uint32_t loadU32(const std::uint8_t* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

Result parseRequests(const std::vector<std::uint8_t>& log, std::vector<Request>& requests) {
  requests.clear();
  std::size_t at = 0;
  while (at < log.size()) {
    if (log.size() - at < TZK_TD_RECORD_HEADER) return code::kInvalidData;
    const std::uint8_t* header = log.data() + at;
    Request request;
    request.code = loadU32(header + 4 * TZK_TD_FIELD_CODE);
    request.device = loadU32(header + 4 * TZK_TD_FIELD_DEVICE);
    request.inputLength = loadU32(header + 4 * TZK_TD_FIELD_INPUT_LENGTH);
    request.outputLength = loadU32(header + 4 * TZK_TD_FIELD_OUTPUT_LENGTH);
    const std::uint32_t stored = loadU32(header + 4 * TZK_TD_FIELD_STORED_LENGTH);
    at += TZK_TD_RECORD_HEADER;
    if (stored > log.size() - at) return code::kInvalidData;
    request.input.assign(log.begin() + at, log.begin() + at + stored);
    at += stored;
    requests.push_back(std::move(request));
  }
  return code::kSuccess;
}

// Runs the system's own sc.exe (the native one under WOW64) and returns its exit code.
Result runNativeSc(const std::wstring& arguments) {
  const std::wstring program = systemFolder() + L"\\sc.exe";
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  {
    RedirectionOff off;
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
      return root::LastFailure();
    }
  }
  const ScopedKernelHandle process(info.hProcess);
  const ScopedKernelHandle thread(info.hThread);
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(process.get(), &exitCode)) return root::LastFailure();
  return exitCode;
}

Result createKernelService(SC_HANDLE manager, const std::wstring& name,
                           const std::wstring& image) {
  if (runningUnderWow64()) {
    return runNativeSc(L"create " + name + L" type= kernel start= demand binPath= \"" + image +
                       L"\"");
  }
  const ScopedServiceHandle service(::CreateServiceW(
      manager, name.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
      nullptr, nullptr));
  return service ? code::kSuccess : root::LastFailure();
}

// Asks a service to stop and waits until it has; one that is not running counts as stopped.
Result stopService(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  if (!::ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return root::LastFailure();
  }
  for (int waited = 0; waited < 10000; waited += 50) {
    if (!::QueryServiceStatus(service, &status)) return root::LastFailure();
    if (status.dwCurrentState == SERVICE_STOPPED) return code::kSuccess;
    ::Sleep(50);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

typedef char*(CDECL* UnixFileNameFn)(LPCWSTR);
typedef LONG(WINAPI* UnixSpawnFn)(char* const* argv, int wait);

// A Windows path as the host sees it, through Wine's own converter; empty when unavailable.
std::string unixPath(const std::wstring& path) {
  const auto convert = reinterpret_cast<UnixFileNameFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!convert) return std::string();
  RedirectionOff off;
  char* converted = convert(path.c_str());
  if (!converted) return std::string();
  std::string result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

bool isFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool runningOnWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool runningUnderWow64() {
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

bool systemIs64Bit() { return sizeof(void*) == 8 || runningUnderWow64(); }

std::wstring imageFile(Image image) {
  // The build folder on the host, reached through Wine's drive for the host's root.
  std::wstring folder = L"Z:" + vocabulary::fromUtf8(TZK_TESTDRIVER_IMAGE_DIR);
  for (wchar_t& c : folder) {
    if (c == L'/') c = L'\\';
  }
  return folder + (image == Image::kX64 ? L"\\tzk_testdriver_x64.sys"
                                        : L"\\tzk_testdriver_x86.sys");
}

std::wstring driversFolder() {
  wchar_t buffer[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH);
  if (!length || length >= MAX_PATH) return std::wstring();
  return std::wstring(buffer, length) + L"\\System32\\drivers";
}

Result copyImage(Image image, const std::wstring& target) {
  RedirectionOff off;
  return ::CopyFileW(imageFile(image).c_str(), target.c_str(), FALSE) ? code::kSuccess
                                                                      : root::LastFailure();
}

Result deleteDriverFile(const std::wstring& target) {
  RedirectionOff off;
  if (::DeleteFileW(target.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) {
    return code::kSuccess;
  }
  return root::LastFailure();
}

std::vector<std::uint8_t> readSystemFile(const std::wstring& path) {
  RedirectionOff off;
  const ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
  std::vector<std::uint8_t> bytes;
  if (!file) return bytes;
  const DWORD size = ::GetFileSize(file.get(), nullptr);
  if (size == INVALID_FILE_SIZE) return bytes;
  bytes.resize(size);
  DWORD read = 0;
  if (!bytes.empty() && !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                    &read, nullptr)) {
    read = 0;
  }
  bytes.resize(read);
  return bytes;
}

std::vector<std::uint8_t> imageBytes(Image image) { return readSystemFile(imageFile(image)); }

Result installTestDriver(const std::wstring& serviceName) {
  const std::wstring target = driversFolder() + L"\\" + serviceName + L".sys";
  if (const Result r = copyImage(systemIs64Bit() ? Image::kX64 : Image::kX86, target)) {
    return r;
  }
  const ScopedServiceHandle manager(
      ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
  if (!manager) return root::LastFailure();
  if (const Result r = createKernelService(manager.get(), serviceName, target)) return r;
  const ScopedServiceHandle service(::OpenServiceW(manager.get(), serviceName.c_str(),
                                                   SERVICE_START));
  if (!service) return root::LastFailure();
  return ::StartServiceW(service.get(), 0, nullptr) ? code::kSuccess : root::LastFailure();
}

Result uninstallTestDriver(const std::wstring& serviceName) {
  const ScopedServiceHandle manager(
      ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
  if (!manager) return root::LastFailure();
  const ScopedServiceHandle service(::OpenServiceW(
      manager.get(), serviceName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service) {
    if (const Result r = stopService(service.get())) return r;
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return root::LastFailure();
    }
  } else if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    return root::LastFailure();
  }
  return deleteDriverFile(driversFolder() + L"\\" + serviceName + L".sys");
}

Image stubModuleImage() {
  if (sizeof(void*) == 8) return Image::kX64;
  return runningOnWine() || !runningUnderWow64() ? Image::kX86 : Image::kX64;
}

Result prepareStubDriverFolder() {
  if (!runningOnWine() || !runningUnderWow64()) return code::kSuccess;
  wchar_t buffer[MAX_PATH];
  const UINT length = ::GetSystemWow64DirectoryW(buffer, MAX_PATH);
  if (!length || length >= MAX_PATH) return root::LastFailure();
  const std::wstring wow64Folder(buffer, length);
  if (isFolder(wow64Folder + L"\\drivers")) return code::kSuccess;
  // Wine 8 makes no symbolic links from the Windows side, so the host's ln makes it.
  const auto spawn = reinterpret_cast<UnixSpawnFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  const std::string target = unixPath(driversFolder());
  const std::string parent = unixPath(wow64Folder);
  if (!spawn || target.empty() || parent.empty()) return code::kCallNotImplemented;
  std::string link = parent + "/drivers";
  std::string program = "/bin/ln";
  std::string option = "-s";
  std::string source = target;
  char* const argv[] = {&program[0], &option[0], &source[0], &link[0], nullptr};
  spawn(argv, 1);
  return isFolder(wow64Folder + L"\\drivers") ? code::kSuccess : code::kCannotMake;
}

Result resetDriverState() {
  const Result r = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, TZK_TD_KEY);
  return r == ERROR_FILE_NOT_FOUND ? code::kSuccess : r;
}

Result setQueryActive(std::uint32_t value) { return setDword(TZK_TD_QUERY_ACTIVE, value); }

Result setQueryActiveLength(std::uint32_t bytes) {
  return setDword(TZK_TD_QUERY_ACTIVE_LENGTH, bytes);
}

Result setControlStatus(std::uint32_t code, std::uint32_t ntStatus) {
  return setDword(TZK_TD_STATUS_PREFIX + hex8(code), ntStatus);
}

Result setDeniedOpenAccess(std::uint32_t access) {
  return setDword(TZK_TD_DENIED_ACCESS, access);
}

Result readRequests(std::vector<Request>& requests) {
  std::vector<std::uint8_t> log;
  const Result r = readValue(TZK_TD_REQUESTS, REG_BINARY, log);
  if (r == ERROR_FILE_NOT_FOUND) {
    requests.clear();
    return code::kSuccess;
  }
  return r ? r : parseRequests(log, requests);
}

Result readLoadedServiceKey(std::wstring& key) {
  std::vector<std::uint8_t> data;
  if (const Result r = readValue(TZK_TD_SERVICE_KEY, REG_SZ, data)) return r;
  key.assign(data.size() / sizeof(wchar_t), L'\0');
  if (!key.empty()) std::memcpy(&key[0], data.data(), key.size() * sizeof(wchar_t));
  while (!key.empty() && key.back() == L'\0') key.pop_back();
  return code::kSuccess;
}

Result readLoadedImage(Image& image) {
  std::vector<std::uint8_t> data;
  if (const Result r = readValue(TZK_TD_IMAGE_BITS, REG_DWORD, data)) return r;
  if (data.size() != sizeof(std::uint32_t)) return code::kInvalidData;
  image = loadU32(data.data()) == 64 ? Image::kX64 : Image::kX86;
  return code::kSuccess;
}

}  // namespace tzk::testdriver
