// Lines of the parameter dump on the debug mailslot, and the registry value that chooses which
// of them are written.
#pragma once

#include "platform.h"

#define DEBUG_MAILSLOT_NAME L"\\Device\\mailslot\\TessalineSandbox_Dbg"
#define PRODUCT_KEY_NAME L"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\Tessaline\\Quillfen"
#define DEBUG_LOG_LEVEL_VALUE_NAME L"DebugLogLevel"

// A mailslot message is one NUL-terminated UTF-16 line of at most this many bytes.
#define MAILSLOT_LINE_BYTES 40960

// The dump's level mask: the third byte of the product key's DWORD "DebugLogLevel". A value of
// another type, or with fewer than three bytes of data, gives 0 and success. Failures to open the
// key or read the value are printed and returned.
NTSTATUS GetDebugLogFlags(PULONG Mask);

// Writes one line: the header (local time, the process and thread, the level name) and the text
// of Format, cut to fit, with its NUL, as one message. Nothing is written above PASSIVE_LEVEL,
// when LineLevel shares no bit with Mask, or when LineLevel has none of the bits 0x7F.
// Format is a wide format: %s takes a wide string, %wZ a counted string.
NTSTATUS WriteMailslotLine(ULONG LineLevel, ULONG Mask, HANDLE Mailslot, HANDLE ProcessId, HANDLE ThreadId,
                           PCWSTR ProcessName, PCWSTR Format, ...);
