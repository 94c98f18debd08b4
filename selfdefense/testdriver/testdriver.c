/* A stand-in for the self-protection driver, for tests only. It creates the control devices the
 * stub talks to, answers every control code as a test has configured it in the registry and
 * appends each request to a log there. Nothing here filters or protects anything. */
#include <ntifs.h>

#include "testdriver_protocol.h"

#define TD_POOL_TAG 0x64547A74u /* "tzTd" in memory order */

static const WCHAR* const kDeviceNames[TZK_TD_DEVICE_COUNT] = {L"tzkSP_Open", L"tzkSP",
                                                               L"tzkSP_Handler"};
static PDEVICE_OBJECT gDevices[TZK_TD_DEVICE_COUNT];
/* The log is read, extended and written back; two requests at once must not lose one. */
static KMUTEX gLogLock;

typedef struct DeviceExtension {
  ULONG index;
} DeviceExtension;

/* ---- registry ---- */

static NTSTATUS openConfigKey(HANDLE* key) {
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\" TZK_TD_KEY);
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  return ZwCreateKey(key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes, 0, NULL,
                     REG_OPTION_NON_VOLATILE, NULL);
}

/* Reads a REG_DWORD; anything else (absent, other type) gives the fallback. */
static ULONG readDword(HANDLE key, const WCHAR* name, ULONG fallback) {
  UNICODE_STRING valueName;
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  ULONG length = 0;
  ULONG value;
  RtlInitUnicodeString(&valueName, name);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                  sizeof(buffer), &length)) ||
      info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) {
    return fallback;
  }
  RtlCopyMemory(&value, info->Data, sizeof(value));
  return value;
}

static ULONG readConfig(const WCHAR* name, ULONG fallback) {
  HANDLE key;
  ULONG value;
  if (!NT_SUCCESS(openConfigKey(&key))) return fallback;
  value = readDword(key, name, fallback);
  ZwClose(key);
  return value;
}

/* The status a test chose for one control code: value "Status." + eight upper-case hex digits. */
static NTSTATUS configuredStatus(ULONG code) {
  static const WCHAR kHex[] = L"0123456789ABCDEF";
  WCHAR name[sizeof(TZK_TD_STATUS_PREFIX) / sizeof(WCHAR) + 8];
  const ULONG prefix = sizeof(TZK_TD_STATUS_PREFIX) / sizeof(WCHAR) - 1;
  ULONG i;
  RtlCopyMemory(name, TZK_TD_STATUS_PREFIX, prefix * sizeof(WCHAR));
  for (i = 0; i < 8; ++i) name[prefix + i] = kHex[(code >> (28 - 4 * i)) & 0xF];
  name[prefix + 8] = L'\0';
  return (NTSTATUS)readConfig(name, 0);
}

static void writeDword(const WCHAR* name, ULONG value) {
  HANDLE key;
  UNICODE_STRING valueName;
  if (!NT_SUCCESS(openConfigKey(&key))) return;
  RtlInitUnicodeString(&valueName, name);
  ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
  ZwClose(key);
}

static void writeString(const WCHAR* name, const UNICODE_STRING* text) {
  HANDLE key;
  UNICODE_STRING valueName;
  WCHAR* copy;
  if (!NT_SUCCESS(openConfigKey(&key))) return;
  copy = ExAllocatePoolWithTag(PagedPool, text->Length + sizeof(WCHAR), TD_POOL_TAG);
  if (copy) {
    RtlCopyMemory(copy, text->Buffer, text->Length);
    copy[text->Length / sizeof(WCHAR)] = L'\0';
    RtlInitUnicodeString(&valueName, name);
    ZwSetValueKey(key, &valueName, 0, REG_SZ, copy, text->Length + sizeof(WCHAR));
    ExFreePoolWithTag(copy, TD_POOL_TAG);
  }
  ZwClose(key);
}

/* ---- request log ---- */

/* Returns the current log in a pool buffer with room for `extra` more bytes; NULL when the
 * log is full or memory is short, and the record is then dropped. */
static UCHAR* readLog(HANDLE key, ULONG extra, ULONG* length) {
  UNICODE_STRING valueName;
  PKEY_VALUE_PARTIAL_INFORMATION info = NULL;
  ULONG needed = 0;
  ULONG existing = 0;
  UCHAR* log = NULL;
  NTSTATUS status;
  RtlInitUnicodeString(&valueName, TZK_TD_REQUESTS);
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &needed);
  if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
    info = ExAllocatePoolWithTag(PagedPool, needed, TD_POOL_TAG);
    if (!info) return NULL;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, needed,
                                   &needed)) &&
        info->Type == REG_BINARY) {
      existing = info->DataLength;
    }
  }
  *length = 0;
  if (extra <= TZK_TD_MAX_LOG && existing <= TZK_TD_MAX_LOG - extra) {
    log = ExAllocatePoolWithTag(PagedPool, existing + extra, TD_POOL_TAG);
    if (log && existing) RtlCopyMemory(log, info->Data, existing);
    if (log) *length = existing;
  }
  if (info) ExFreePoolWithTag(info, TD_POOL_TAG);
  return log;
}

static void appendRecord(ULONG code, ULONG device, const UCHAR* input, ULONG inputLength,
                         ULONG outputLength) {
  const ULONG stored = inputLength < TZK_TD_MAX_STORED_INPUT ? inputLength
                                                              : TZK_TD_MAX_STORED_INPUT;
  const ULONG header[5] = {code, device, inputLength, outputLength, stored};
  UNICODE_STRING valueName;
  HANDLE key;
  UCHAR* log;
  ULONG length;
  KeWaitForSingleObject(&gLogLock, Executive, KernelMode, FALSE, NULL);
  if (NT_SUCCESS(openConfigKey(&key))) {
    log = readLog(key, TZK_TD_RECORD_HEADER + stored, &length);
    if (log) {
      RtlCopyMemory(log + length, header, TZK_TD_RECORD_HEADER);
      if (stored) RtlCopyMemory(log + length + TZK_TD_RECORD_HEADER, input, stored);
      RtlInitUnicodeString(&valueName, TZK_TD_REQUESTS);
      ZwSetValueKey(key, &valueName, 0, REG_BINARY, log, length + TZK_TD_RECORD_HEADER + stored);
      ExFreePoolWithTag(log, TD_POOL_TAG);
    }
    ZwClose(key);
  }
  KeReleaseMutex(&gLogLock, FALSE);
}

/* ---- control codes ---- */

static ULONG loadUlong(const UCHAR* record, ULONG offset) {
  ULONG value;
  RtlCopyMemory(&value, record + offset, sizeof(value));
  return value;
}

static void storeUlong(UCHAR* record, ULONG offset, ULONG value) {
  RtlCopyMemory(record + offset, &value, sizeof(value));
}

/* Characters before the terminator of the record's path, 0 when it has none or is too long
 * for a counted string. */
static ULONG pathLength(const UCHAR* record, ULONG inputLength) {
  const ULONG chars = (inputLength - TZK_TD_OPEN_PATH) / sizeof(WCHAR);
  ULONG end;
  WCHAR c;
  for (end = 0; end < chars && end < 0x7FFF; ++end) {
    RtlCopyMemory(&c, record + TZK_TD_OPEN_PATH + end * sizeof(WCHAR), sizeof(c));
    if (c == L'\0') return end;
  }
  return 0;
}

/* Hands a handle of this process to the process that sent the request. Windows runs the request
 * in the caller's process, Wine in its driver host: duplicating into the caller covers both. */
static NTSTATUS giveToRequestor(PIRP irp, HANDLE handle, HANDLE* theirs) {
  HANDLE process;
  OBJECT_ATTRIBUTES attributes;
  CLIENT_ID client;
  NTSTATUS status;
  /* Windows dispatches a top-level device's requests in the caller's context, and Wine reports
   * the client as the current process while it dispatches. */
  client.UniqueProcess = PsGetCurrentProcessId();
  client.UniqueThread = NULL;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  status = ZwOpenProcess(&process, PROCESS_DUP_HANDLE, &attributes, &client);
  if (!NT_SUCCESS(status)) return status;
  status = ZwDuplicateObject(NtCurrentProcess(), handle, process, theirs, 0, 0,
                             DUPLICATE_SAME_ACCESS);
  ZwClose(process);
  return status;
}

/* Opens the record's file for the caller; the outcome goes into the record's status field. */
static NTSTATUS openFile(PIRP irp, UCHAR* record, ULONG inputLength, ULONG outputLength) {
  const ULONG access = loadUlong(record, TZK_TD_OPEN_ACCESS);
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE file;
  HANDLE theirs = NULL;
  NTSTATUS status;
  ULONG end;
  if (inputLength < TZK_TD_OPEN_MIN_SIZE || outputLength < TZK_TD_OPEN_MIN_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  end = pathLength(record, inputLength);
  if (end == 0) return STATUS_INVALID_PARAMETER;
  path.Buffer = (PWSTR)(record + TZK_TD_OPEN_PATH);
  path.Length = path.MaximumLength = (USHORT)(end * sizeof(WCHAR));
  if (access == readConfig(TZK_TD_DENIED_ACCESS, 0) && access != 0) {
    storeUlong(record, TZK_TD_OPEN_STATUS, 5 /* ERROR_ACCESS_DENIED */);
    irp->IoStatus.Information = TZK_TD_OPEN_MIN_SIZE;
    return STATUS_SUCCESS;
  }
  /* The caller's own rights apply: this stand-in must not open files for anyone who asks. */
  InitializeObjectAttributes(&attributes, &path,
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK, NULL,
                             NULL);
  status = ZwCreateFile(&file, access | SYNCHRONIZE, &attributes, &io, NULL,
                        loadUlong(record, TZK_TD_OPEN_ATTRIBUTES),
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        loadUlong(record, TZK_TD_OPEN_DISPOSITION),
                        loadUlong(record, TZK_TD_OPEN_OPTIONS), NULL, 0);
  if (NT_SUCCESS(status)) {
    status = giveToRequestor(irp, file, &theirs);
    ZwClose(file);
  }
  storeUlong(record, TZK_TD_OPEN_HANDLE, (ULONG)(ULONG_PTR)theirs);
  storeUlong(record, TZK_TD_OPEN_STATUS, NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status));
  irp->IoStatus.Information = TZK_TD_OPEN_MIN_SIZE;
  return STATUS_SUCCESS;
}

static NTSTATUS queryActive(PIRP irp, UCHAR* output, ULONG outputLength) {
  const ULONG active = readConfig(TZK_TD_QUERY_ACTIVE, 0);
  const ULONG length = readConfig(TZK_TD_QUERY_ACTIVE_LENGTH, sizeof(ULONG));
  if (outputLength < length) return STATUS_BUFFER_TOO_SMALL;
  RtlZeroMemory(output, length);
  RtlCopyMemory(output, &active, length < sizeof(active) ? length : sizeof(active));
  irp->IoStatus.Information = length;
  return STATUS_SUCCESS;
}

static NTSTATUS answer(PIRP irp, ULONG code, UCHAR* buffer, ULONG inputLength,
                       ULONG outputLength) {
  /* Only failures are taken: a success code other than 0 would confuse the I/O manager. */
  const NTSTATUS chosen = configuredStatus(code);
  if (!NT_SUCCESS(chosen)) return chosen;
  switch (code) {
    case TZK_TD_IOCTL_PRE_CLEANUP:
    case TZK_TD_IOCTL_REGISTER_PROCESS:
    case TZK_TD_IOCTL_POST_START:
    case TZK_TD_IOCTL_PRE_STOP:
      return STATUS_SUCCESS;
    case TZK_TD_IOCTL_QUERY_ACTIVE:
      return queryActive(irp, buffer, outputLength);
    case TZK_TD_IOCTL_OPEN_FILE:
      return openFile(irp, buffer, inputLength, outputLength);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

/* ---- dispatch ---- */

static NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI dispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  const DeviceExtension* extension = device->DeviceExtension;
  irp->IoStatus.Information = 0;
  appendRecord(code, extension->index, buffer, buffer ? inputLength : 0, outputLength);
  return complete(irp, answer(irp, code, buffer, inputLength, outputLength));
}

static NTSTATUS NTAPI dispatchOpenClose(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Information = 0;
  return complete(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI dispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Information = 0;
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

/* ---- load and unload ---- */

static void makeName(UNICODE_STRING* name, WCHAR* buffer, USHORT capacity, const WCHAR* prefix,
                     const WCHAR* leaf) {
  UNICODE_STRING part;
  name->Buffer = buffer;
  name->Length = 0;
  name->MaximumLength = capacity;
  RtlInitUnicodeString(&part, prefix);
  RtlAppendUnicodeStringToString(name, &part);
  RtlInitUnicodeString(&part, leaf);
  RtlAppendUnicodeStringToString(name, &part);
}

static void removeDevices(void) {
  WCHAR buffer[64];
  UNICODE_STRING link;
  ULONG i;
  for (i = 0; i < TZK_TD_DEVICE_COUNT; ++i) {
    if (!gDevices[i]) continue;
    makeName(&link, buffer, sizeof(buffer), L"\\DosDevices\\", kDeviceNames[i]);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(gDevices[i]);
    gDevices[i] = NULL;
  }
}

static NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG index) {
  WCHAR deviceBuffer[64];
  WCHAR linkBuffer[64];
  UNICODE_STRING deviceName;
  UNICODE_STRING link;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  makeName(&deviceName, deviceBuffer, sizeof(deviceBuffer), L"\\Device\\", kDeviceNames[index]);
  makeName(&link, linkBuffer, sizeof(linkBuffer), L"\\DosDevices\\", kDeviceNames[index]);
  status = IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName, 0xB2D6,
                          FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ((DeviceExtension*)device->DeviceExtension)->index = index;
  device->Flags |= DO_BUFFERED_IO;
  status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  gDevices[index] = device;
  return STATUS_SUCCESS;
}

static VOID NTAPI driverUnload(PDRIVER_OBJECT driver) { removeDevices(); }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  ULONG i;
  NTSTATUS status;
  KeInitializeMutex(&gLogLock, 0);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
  driver->DriverUnload = driverUnload;
  for (i = 0; i < TZK_TD_DEVICE_COUNT; ++i) {
    status = createDevice(driver, i);
    if (!NT_SUCCESS(status)) {
      removeDevices();
      return status;
    }
  }
  writeString(TZK_TD_SERVICE_KEY, registryPath);
  writeDword(TZK_TD_IMAGE_BITS, sizeof(void*) * 8);
  return STATUS_SUCCESS;
}
