// File and process name utilities: DOS paths to device paths, the image path of a new or running
// process, expansion of 8.3 short components to long ones (remembered in ProcessCache), the
// file-name part of a path, and the WOW64 test. No state but ProcessCache; any thread at
// PASSIVE_LEVEL. Results are zero-filled VexR allocations the caller frees with VEXR_TAG.
#pragma once

#include "platform.h"
#include "common/name_buffer.h"

// "C:\rest" to the drive's device path followed by "\rest", through the link \??\C:.
NTSTATUS GetNtNameFromDosName(PCUNICODE_STRING DosName, PUNICODE_STRING NtName);

// The image path of a process being created, in DOS form ("C:\...", or "\\server\share\..." for
// a network image), from the creation information's file object or image file name.
NTSTATUS GetFileNameFromCreateInfo(PPS_CREATE_NOTIFY_INFO CreateInfo, PUNICODE_STRING DosName);

// The device path of a running process's image (header and characters in one VexR allocation)
// and the referenced process, which the caller dereferences whenever it was set, also on failure.
NTSTATUS GetProcessImageNameFromProcessId(HANDLE ProcessId, PUNICODE_STRING* ImageName, PEPROCESS* Process);

// The same image path without the process.
NTSTATUS GetFileNameFromProcessID(HANDLE ProcessId, PUNICODE_STRING* ImageName);

// Path with every short (tilde) component in its long form; the result's text is NUL-terminated.
// A path without a tilde, and one whose long form would not fit a counted string with its NUL,
// come back as given; only a path whose own text and NUL do not fit fails (STATUS_NAME_TOO_LONG).
NTSTATUS KernelGetLongPathName(PCUNICODE_STRING Path, PUNICODE_STRING LongPath);

// The file-name part (after the last backslash that has a character after it) as a view into
// Path's buffer, or as a copy of exactly its length.
NTSTATUS GetFileNamePart(PUNICODE_STRING FileName, PCUNICODE_STRING Path);
NTSTATUS GetFileNameFromFullPath(PUNICODE_STRING FileName, PCUNICODE_STRING Path);

BOOLEAN ContainsTilde(PCUNICODE_STRING Path);

// Is the process a 32-bit process on 64-bit Windows? False when it cannot be asked.
BOOLEAN IsProcessWow64(PEPROCESS Process);

// Does the path begin with a drive letter, a colon and a backslash?
BOOLEAN IsDosPath(PCUNICODE_STRING Path);
