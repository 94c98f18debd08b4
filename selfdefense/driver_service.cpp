#include "selfdefense/driver_service.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/sfx_archive.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/scoped_handle.h"
#include "root/held_files.h"
#include "root/last_failure.h"
#include "root/library.h"
#include "root/registry.h"
#include "root/system_function.h"
#include "selfdefense/control_device.h"

namespace tzk::selfdefense {
namespace {

constexpr std::size_t kServiceNameLength = 8;
constexpr std::uint32_t kStartDisabled = 4;  // SERVICE_DISABLED
constexpr DWORD kNoMessageForStatus = 317;   // ERROR_MR_MID_NOT_FOUND

const wchar_t kDriversSubfolder[] = L"\\System32\\drivers";
const wchar_t kInstanceName[] = L"tzkSP Instance";
const wchar_t kAltitude[] = L"388400";
const wchar_t kLoadOrderGroup[] = L"FSFilter Activity Monitor";
const wchar_t kDependencies[] = L"FltMgr\0";  // a multi-string: the literal adds the second NUL
const wchar_t kServiceDatabase[] = L"ServicesActive";

FARPROC findInNtdll(const char* name) {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr ? ::GetProcAddress(ntdll, name) : nullptr;
}

std::atomic<NativeFunctionLookup> gNativeLookup{&findInNtdll};

int systemBootMode() { return ::GetSystemMetrics(SM_CLEANBOOT); }
std::atomic<BootModeQuery> gBootMode{&systemBootMode};

struct CountedString {  // UNICODE_STRING
  USHORT length;
  USHORT maximumLength;
  const wchar_t* buffer;
};
using RenameKeyFunction = LONG(NTAPI*)(HANDLE key, CountedString* newName);
using StatusToErrorFunction = ULONG(NTAPI*)(LONG status);

std::wstring servicesKey(const std::wstring& name) { return std::wstring(kServicesRoot) + L"\\" + name; }
std::wstring permanentKey() { return servicesKey(kPermanentServiceName); }

bool keyOpens(const std::wstring& path) {
  vocabulary::ScopedRegKey key;
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.receive()) == ERROR_SUCCESS;
}

void setText(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  root::SetRegistryValue(HKEY_LOCAL_MACHINE, path.c_str(), name, text.c_str());
}

void setNumber(const std::wstring& path, const wchar_t* name, std::uint32_t number) {
  root::SetRegistryValue(HKEY_LOCAL_MACHINE, path.c_str(), name, nullptr, &number);
}

void deleteValue(const std::wstring& path, const wchar_t* name) {
  if (path.empty()) return;
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS) return;
  ::RegDeleteValueW(key.get(), name);
}

// One request on a device opened for reading and writing, for the driver's life-cycle steps.
Result sendToDevice(const wchar_t* device, std::uint32_t code) {
  vocabulary::ScopedFileHandle handle;
  const Result opened = OpenControlDevice(device, GENERIC_READ | GENERIC_WRITE, handle);
  if (opened != code::kSuccess) return opened;
  return SendControlRequest(handle.get(), code, nullptr, 0, nullptr, 0, nullptr);
}

bool driverAnswers() {
  for (const wchar_t* device : {kDeviceServiceOpen, kDeviceService}) {
    vocabulary::ScopedFileHandle handle;
    if (OpenControlDevice(device, GENERIC_READ | GENERIC_WRITE, handle) == code::kSuccess) return true;
  }
  return false;
}

// Draws names until one has no service key yet.
void chooseServiceName(std::wstring& serviceName) {
  do {
    serviceName = GenerateServiceName();
  } while (keyOpens(servicesKey(serviceName)));
}

// The filter's instance and the parameters the driver reads when it starts, in the order the
// driver's installation has always written them. Failures are logged by the key creation and
// left to show up when the driver starts.
void writeServiceParameters(const std::wstring& serviceKey, const std::wstring& tempFolder) {
  const std::wstring instances = serviceKey + L"\\Instances";
  const std::wstring instance = instances + L"\\" + kInstanceName;
  const std::wstring parameters = serviceKey + L"\\Parameters";
  root::EnsureRegistryKey(HKEY_LOCAL_MACHINE, instances.c_str(), 0);
  setText(instances, L"DefaultInstance", kInstanceName);
  root::EnsureRegistryKey(HKEY_LOCAL_MACHINE, instance.c_str(), 0);
  setText(instance, L"Altitude", kAltitude);
  setNumber(instance, L"Flags", 0);
  root::EnsureRegistryKey(HKEY_LOCAL_MACHINE, parameters.c_str(), 0);
  setNumber(parameters, L"BehavShield", 0);
  setText(parameters, L"InstupFolder", L"\\??\\" + tempFolder);
  setNumber(parameters, L"RestartSuspendCounter", 1);
}

// Moves the opened service key to the permanent name. The rename's NTSTATUS is given as the
// Windows error it stands for where there is one.
Result renameToPermanentName(HKEY key) {
  const NativeFunctionLookup lookup = gNativeLookup.load();
  const auto rename = root::AsFunction<RenameKeyFunction>(lookup("NtRenameKey"));
  if (rename == nullptr) return root::LastFailure();
  CountedString name = {sizeof(kPermanentServiceName) - sizeof(wchar_t), sizeof(kPermanentServiceName) - sizeof(wchar_t),
                        kPermanentServiceName};
  const LONG status = rename(key, &name);
  if (status >= 0) return code::kSuccess;
  const auto toError = root::AsFunction<StatusToErrorFunction>(lookup("RtlNtStatusToDosError"));
  if (toError != nullptr) {
    const ULONG error = toError(status);
    if (error != kNoMessageForStatus) return error;
  }
  return static_cast<Result>(status);
}

// The drivers folder a 32-bit process names is the system's own only with the thread's WOW64
// file-system redirection off: off for this object's life, back on whichever way it ends.
class RedirectionOff {
 public:
  RedirectionOff() : wow64_(root::ProcessRunsUnderWow64()) {
    if (wow64_) root::DisableFsRedirection(&previous_);
  }
  ~RedirectionOff() {
    if (wow64_) root::RevertFsRedirection(previous_);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  bool wow64_;
  void* previous_ = nullptr;
};

// The driver file stays in use while the driver runs; the next start of Windows removes it.
Result markForDeletionAtReboot(const std::wstring& driverFile) {
  const RedirectionOff redirectionOff;
  return ::MoveFileExW(driverFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? code::kSuccess : root::LastFailure();
}

// The driver is unpacked under a partial name beside its file (the file's name and "…", then a
// digit), which takes the file's place only when complete. The unwinding of a fault removes
// the partial file while it is written, but not once it is complete and being moved into place,
// nor when a scanner holds it at that one deletion: the clean-up, which runs on every way out,
// takes what is left of this run's. Never the driver file itself, which a started service may
// still use; after the hand-over the restart removes it. 0, or the error of a partial file that
// stays.
Result removePartialDriverFiles(const std::wstring& serviceName) {
  const std::wstring driversFolder = GetDriversFolder();
  if (driversFolder.empty()) return code::kSuccess;
  const std::wstring driverFile = driversFolder + L"\\" + serviceName + L".sys";
  const RedirectionOff redirectionOff;
  Result result = code::kSuccess;
  for (unsigned i = 0; i < archive::kPartialNames; ++i) {
    const std::wstring partial = archive::PartialName(driverFile, i);
    Result error = code::kSuccess;
    const auto remove = [&] {
      if (::DeleteFileW(partial.c_str())) return true;
      error = root::LastFailure();
      return error == ERROR_FILE_NOT_FOUND;  // none of this name
    };
    if (!root::RetryWhileHeld(remove)) result = error;
  }
  return result;
}

// Steps from the service manager on: create and start the service, let the driver take over,
// and hand the running service over to the permanent name. Handles close in reverse order of
// opening: the key, the service, the service manager.
Result startAndHandOver(const std::wstring& serviceName, const std::wstring& driverFile) {
  const std::wstring serviceKey = servicesKey(serviceName);
  const vocabulary::ScopedServiceHandle manager(::OpenSCManagerW(nullptr, kServiceDatabase, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return root::LastFailure();
  const std::wstring imageName = serviceName + L".sys";
  const vocabulary::ScopedServiceHandle service(::CreateServiceW(
      manager.get(), serviceName.c_str(), nullptr, SERVICE_START, SERVICE_FILE_SYSTEM_DRIVER, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, imageName.c_str(), kLoadOrderGroup, nullptr, kDependencies, nullptr, nullptr));
  if (!service) return root::LastFailure();
  // Without an image path the system loads the driver from the drivers folder by the key's name.
  deleteValue(serviceKey, L"ImagePath");
  deleteValue(serviceKey, L"WOW64");
  if (!::StartServiceW(service.get(), 0, nullptr)) return root::LastFailure();
  if (const Result announced = sendToDevice(kDeviceServiceOpen, SP_IOCTL_POST_START)) return announced;
  setNumber(serviceKey, L"Start", kStartDisabled);  // not again at the next boot

  root::DeleteBranchImpl(HKEY_LOCAL_MACHINE, permanentKey().c_str(), 0, false);
  vocabulary::ScopedRegKey key;
  const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, serviceKey.c_str(), 0, KEY_WRITE, key.receive());
  if (opened != ERROR_SUCCESS) return static_cast<Result>(opened);
  if (const Result renamed = renameToPermanentName(key.get())) return renamed;
  return markForDeletionAtReboot(driverFile);
}

// Asks the temporary driver to stop: it must agree first, then the service manager stops it.
Result stopTemporaryService(const std::wstring& serviceName) {
  const std::wstring serviceKey = servicesKey(serviceName);
  // The service manager needs these under the name it knows the service by, which the
  // hand-over renamed away.
  setNumber(serviceKey, L"DeleteFlag", 1);
  setNumber(serviceKey, L"ErrorControl", SERVICE_ERROR_NORMAL);
  setNumber(serviceKey, L"Start", kStartDisabled);
  setNumber(serviceKey, L"Type", SERVICE_FILE_SYSTEM_DRIVER);
  if (const Result agreed = sendToDevice(kDeviceService, SP_IOCTL_PRE_STOP)) return agreed;
  const vocabulary::ScopedServiceHandle manager(::OpenSCManagerW(nullptr, kServiceDatabase, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return root::LastFailure();
  const vocabulary::ScopedServiceHandle service(::OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_STOP));
  if (!service) return root::LastFailure();
  SERVICE_STATUS status = {};
  return ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ? code::kSuccess : root::LastFailure();
}

// A REG_DWORD value of the permanent service key, or the fallback for anything else.
std::uint32_t permanentNumber(const wchar_t* name, std::uint32_t fallback) {
  DWORD size = sizeof(std::uint32_t);
  std::vector<std::uint8_t> data;
  DWORD type = REG_NONE;
  if (root::QueryRegistryValue(permanentKey().c_str(), name, size, data, type) != ERROR_SUCCESS ||
      type != REG_DWORD || data.size() < sizeof(std::uint32_t)) {
    return fallback;
  }
  return vocabulary::ReadLe32(data.data());
}

// The stub's own installation is disabled or marked for deletion; a product's permanent
// driver service is neither.
bool permanentServiceIsTemporary() {
  return !keyOpens(permanentKey()) || permanentNumber(L"Start", kStartDisabled) == kStartDisabled ||
         permanentNumber(L"DeleteFlag", 0) == 1;
}

}  // namespace

std::wstring GenerateServiceName() {
  std::wstring name;
  name.reserve(kServiceNameLength);
  while (name.size() < kServiceNameLength) {
    const int c = std::rand() % 127;
    if (std::islower(c)) name.push_back(static_cast<wchar_t>(c));
  }
  return name;
}

std::wstring GetDriversFolder() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + kDriversSubfolder;
}

Result InstallEarlySelfDefense(const std::wstring& tempFolder, std::wstring& serviceName,
                               archive::SfxArchive& archive) {
  serviceName.clear();
  if (gBootMode.load()() > 0) return code::kSuccess;  // safe mode: no drivers of ours
  if (driverAnswers()) return code::kSuccess;
  // Without a driver there is nothing to install, so no name is drawn: the clean-up then has
  // no service of this run to take down, and no key to make for one.
  if (!archive.HasSelfDefenseModule()) return code::kNotFound;
  chooseServiceName(serviceName);

  const std::wstring driversFolder = GetDriversFolder();
  const std::wstring imageName = serviceName + L".sys";
  if (const Result extracted = archive.ExtractSelfDefenseModule(driversFolder, imageName)) return extracted;
  writeServiceParameters(servicesKey(serviceName), tempFolder);
  return startAndHandOver(serviceName, driversFolder + L"\\" + imageName);
}

Result CleanUpEarlySelfDefense(const std::wstring& serviceName) {
  deleteValue(permanentKey() + L"\\Parameters", L"InstupFolder");
  sendToDevice(kDeviceService, SP_IOCTL_PRE_CLEANUP);

  Result result = code::kSuccess;
  if (permanentServiceIsTemporary()) {
    root::DeleteBranchImpl(HKEY_LOCAL_MACHINE, permanentKey().c_str(), 0, false);
    if (!serviceName.empty()) result = stopTemporaryService(serviceName);
  }
  if (!serviceName.empty() && keyOpens(servicesKey(serviceName))) {
    root::DeleteBranchImpl(HKEY_LOCAL_MACHINE, servicesKey(serviceName).c_str(), 0, false);
  }
  if (!serviceName.empty()) {
    const Result removed = removePartialDriverFiles(serviceName);
    if (result == code::kSuccess) result = removed;
  }
  return result;
}

void SetNativeFunctionLookup(NativeFunctionLookup lookup) { gNativeLookup.store(lookup != nullptr ? lookup : &findInNtdll); }

void SetBootModeQuery(BootModeQuery query) { gBootMode.store(query != nullptr ? query : &systemBootMode); }

}  // namespace tzk::selfdefense
