/* What the test driver and its tests agree on: the registry key through which a test sets the
 * driver's answers and reads back what it was asked, and the layout of the request log.
 * Shared by the kernel image (C) and the test-support library (C++), so plain C only. */
#ifndef TZK_TESTDRIVER_PROTOCOL_H
#define TZK_TESTDRIVER_PROTOCOL_H

/* Under HKEY_LOCAL_MACHINE. SYSTEM has one view for 32-bit and 64-bit code, so the key is the
 * same whichever driver host writes it (Wine runs 32-bit drivers in a WOW64 process, whose
 * Software key would be redirected). */
#define TZK_TD_KEY L"SYSTEM\\tzkTestDriver"

/* Configuration, re-read on every request so a test can change it while the driver runs. */
#define TZK_TD_QUERY_ACTIVE L"QueryActive"              /* REG_DWORD, default 0 */
#define TZK_TD_QUERY_ACTIVE_LENGTH L"QueryActiveLength" /* REG_DWORD bytes returned, default 4 */
#define TZK_TD_DENIED_ACCESS L"OpenFileDeniedAccess"    /* REG_DWORD: this exact access gets 5 */
/* "Status.B2D6019C" (REG_DWORD NTSTATUS): the status the named control code completes with;
 * absent or 0 means success. */
#define TZK_TD_STATUS_PREFIX L"Status."

/* Written by the driver. */
#define TZK_TD_REQUESTS L"Requests"       /* REG_BINARY, a sequence of request records */
#define TZK_TD_SERVICE_KEY L"ServiceKey"  /* REG_SZ, the registry path DriverEntry was given */
#define TZK_TD_IMAGE_BITS L"ImageBits"    /* REG_DWORD, 32 or 64: which image was loaded */

/* One request record: five little-endian uint32 followed by the stored input bytes. */
#define TZK_TD_RECORD_HEADER 20u
#define TZK_TD_MAX_STORED_INPUT 4096u /* longer inputs are stored cut to this */
#define TZK_TD_MAX_LOG 262144u        /* records that would grow the log past this are dropped */
/* header fields, by index */
#define TZK_TD_FIELD_CODE 0
#define TZK_TD_FIELD_DEVICE 1 /* index into the device table below */
#define TZK_TD_FIELD_INPUT_LENGTH 2
#define TZK_TD_FIELD_OUTPUT_LENGTH 3
#define TZK_TD_FIELD_STORED_LENGTH 4

/* The devices, by index; each is \Device\<name> with the link \DosDevices\<name>. Names are
 * case-insensitive, so "TZKSP_Open" and "TZKSP" reach the first two. */
#define TZK_TD_DEVICE_OPEN 0    /* "tzkSP_Open" */
#define TZK_TD_DEVICE_MAIN 1    /* "tzkSP" */
#define TZK_TD_DEVICE_HANDLER 2 /* "tzkSP_Handler" */
#define TZK_TD_DEVICE_COUNT 3

/* The control codes the driver answers. */
#define TZK_TD_IOCTL_PRE_CLEANUP 0xB2D600A4u
#define TZK_TD_IOCTL_OPEN_FILE 0xB2D6016Cu
#define TZK_TD_IOCTL_QUERY_ACTIVE 0xB2D60190u
#define TZK_TD_IOCTL_REGISTER_PROCESS 0xB2D60198u
#define TZK_TD_IOCTL_POST_START 0xB2D6019Cu
#define TZK_TD_IOCTL_PRE_STOP 0xB2D601A0u

/* Open-file record: the driver opens the named file for the caller and fills in the handle
 * and the Windows error code. */
#define TZK_TD_OPEN_HANDLE 0
#define TZK_TD_OPEN_STATUS 8
#define TZK_TD_OPEN_ACCESS 12
#define TZK_TD_OPEN_DISPOSITION 16
#define TZK_TD_OPEN_ATTRIBUTES 20
#define TZK_TD_OPEN_OPTIONS 24
#define TZK_TD_OPEN_PATH 32 /* "\??\" and the path, NUL-terminated */
#define TZK_TD_OPEN_MIN_SIZE 44

#endif
