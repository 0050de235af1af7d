// Registry interception: the one registry callback of the driver, the per-key-object callback
// context, and the handlers of the operations the sandbox changes.
//
// RegistryCallback runs in the thread of every registry operation of every process, at
// PASSIVE_LEVEL, on any number of threads at once. It keeps no state of its own between calls:
// names, buffers and handles of one operation live and die in that call. The lists it consults
// lock themselves.
//
// Callback contexts. A key object that a create or open hands out through the redirect carries a
// CALLBACK_CONTEXT with its original and redirect names, attached with CmSetCallbackObjectContext
// before the object reaches the caller and read without a lock afterwards. The configuration
// manager hands it back as ObjectContext with every later operation on the object, and gives it
// to ContextCleanup, the only place that frees it, when the object goes or the callback is
// unregistered.
#pragma once

#include "platform.h"

// "VexRgFlt": the first eight bytes of every callback context.
#define TAG_CALLBACK_CONTEXT "VexRgFlt"
#define CALLBACK_CONTEXT_TAG_BYTES 8

typedef struct _CALLBACK_CONTEXT {
    CHAR Tag[CALLBACK_CONTEXT_TAG_BYTES];  // TAG_CALLBACK_CONTEXT, checked before the record is freed
    UNICODE_STRING OriginalName;           // full name of the real key; buffer of exactly its length
    UNICODE_STRING RedirectName;           // full name of the key's copy under the redirect root; likewise
    ULONG RedirectNameHash;                // history hash of RedirectName (with one trailing '\', case ignored)
} CALLBACK_CONTEXT, *PCALLBACK_CONTEXT;

// The routine registered with CmRegisterCallbackEx; CallbackContext is not consulted.
NTSTATUS NTAPI RegistryCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);

// Unregisters the callback when it is registered and clears the cookie. The configuration
// manager then cleans up every context still attached. The prepared-key threads must be stopped
// before: they work with the histories the callback reads.
VOID UnregisterRegistryCallback(VOID);

// Attaches a new context with copies of the names to a key object that a create or open hands
// out through the redirect. On failure nothing is attached and nothing is left allocated.
NTSTATUS SetCallbackContext(PVOID KeyObject, PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName,
                            ULONG RedirectNameHash);
NTSTATUS ContextCleanup(PREG_CALLBACK_CONTEXT_CLEANUP_INFORMATION Information);

// The context of a key object, or none: ObjectContext when it is one of the driver's.
PCALLBACK_CONTEXT CallbackContextOf(PVOID ObjectContext);

// Application-hive bookkeeping: the close of any key object, and the open of a hive root by a
// sandboxed process (RegNtPostOpenKeyEx).
NTSTATUS VexRegNtPreKeyHandleClose(PREG_KEY_HANDLE_CLOSE_INFORMATION Information);
NTSTATUS VexRegNtPostKeyHandleClose(PREG_POST_OPERATION_INFORMATION Information);

// Create and open of a sandboxed process: pass, complete on the key's copy, or fail.
NTSTATUS VexRegNtPreCreateKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information);
NTSTATUS VexRegNtPreOpenKeyEx(PREG_OPEN_KEY_INFORMATION_V1 Information);

// Queries and enumeration on a key handed out through the redirect.
NTSTATUS VexRegNtEnumerateKey(PREG_ENUMERATE_KEY_INFORMATION Information);
NTSTATUS VexRegNtPreQueryKey(PREG_QUERY_KEY_INFORMATION Information);
NTSTATUS VexRegNtPreQueryKeySecurity(PREG_QUERY_KEY_SECURITY_INFORMATION Information);
NTSTATUS VexRegNtPreQueryValueKey(PREG_QUERY_VALUE_KEY_INFORMATION Information);

// The caller's operation on the real key, answered into its buffers.
NTSTATUS EnumerateKey(PCUNICODE_STRING OriginalName, PREG_ENUMERATE_KEY_INFORMATION Information);
NTSTATUS QueryKey(PCUNICODE_STRING OriginalName, PREG_QUERY_KEY_INFORMATION Information);
NTSTATUS QuerySecurity(PCUNICODE_STRING OriginalName, PREG_QUERY_KEY_SECURITY_INFORMATION Information);

// A rename or delete of a redirect root itself: STATUS_ACCESS_DENIED; of any other key,
// STATUS_SUCCESS (the operation goes on).
NTSTATUS VexRegNtPreRenameKey(PREG_RENAME_KEY_INFORMATION Information);
NTSTATUS VexRegNtPreDeleteKey(PREG_DELETE_KEY_INFORMATION Information);

// Changes through a key handed out through the redirect: each marks the copy as differing from
// the real key. Always STATUS_SUCCESS.
NTSTATUS VexRegNtPostDeleteKey(PREG_POST_OPERATION_INFORMATION Information);
NTSTATUS VexRegNtPostDeleteValueKey(PREG_POST_OPERATION_INFORMATION Information);
NTSTATUS VexRegNtPostRenameKey(PREG_POST_OPERATION_INFORMATION Information);
NTSTATUS VexRegNtPostSetValueKey(PREG_POST_OPERATION_INFORMATION Information);

// Could the caller open the real key OriginalName with DesiredAccess? *Status is
// STATUS_ACCESS_DENIED when not; otherwise STATUS_SUCCESS with the access to grant in
// *GrantedAccess: what the real key grants, generic rights mapped to the key rights. Always TRUE.
BOOLEAN RegAccessCheck(PCUNICODE_STRING OriginalName, KPROCESSOR_MODE CheckAccessMode, ACCESS_MASK DesiredAccess,
                       PACCESS_MASK GrantedAccess, PNTSTATUS Status);

// The registry-operation log record: "<operation> Ope = PRE <func> status = 0x%08XL path = ...",
// written when Level is enabled; the path is shortened in the middle to 260 characters.
NTSTATUS LogRegistryOperation(ULONG Level, HANDLE ProcessId, PCWSTR OperationText, PCWSTR FuncText, NTSTATUS Status,
                              PCUNICODE_STRING Path);
// Copies Source into Destination's buffer of MaximumLength bytes, shortened in the middle with
// " ... " when it does not fit. STATUS_BUFFER_TOO_SMALL for a capacity below 16 bytes.
NTSTATUS ShortenLogPath(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
