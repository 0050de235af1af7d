// Run-time library routines of the simulated kernel: counted strings, case mapping, hashing, the
// ntstrsafe family, generic tables and doubly linked lists.
#pragma once

#include "ntbase.h"

// Counted strings.
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

#define HASH_STRING_ALGORITHM_DEFAULT 0
#define HASH_STRING_ALGORITHM_X65599 1
#define HASH_STRING_ALGORITHM_INVALID 0xffffffff
NTSYSAPI NTSTATUS NTAPI RtlHashUnicodeString(PCUNICODE_STRING String, BOOLEAN CaseInSensitive, ULONG HashAlgorithm, PULONG HashValue);

// Memory.
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ntstrsafe: character counts are limited to NTSTRSAFE_MAX_CCH; a truncated result is still
// NUL-terminated and reported as STATUS_BUFFER_OVERFLOW.
#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767
NTSYSAPI NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSYSAPI NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSYSAPI NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSYSAPI NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSYSAPI NTSTATUS NTAPI RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy);
NTSYSAPI NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSYSAPI NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSYSAPI NTSTATUS NTAPI RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSYSAPI NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSYSAPI NTSTATUS NTAPI RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSYSAPI NTSTATUS NTAPI RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);

// Fail-fast and bug checks stop the machine.
NTKERNELAPI __attribute__((noreturn)) VOID NTAPI RtlFailFast(ULONG Code);
NTKERNELAPI __attribute__((noreturn)) VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
#define KERNEL_SECURITY_CHECK_FAILURE 0x139

// Doubly linked lists. Every routine checks the links of the entries it touches and fails fast
// with FAST_FAIL_CORRUPT_LIST_ENTRY on a mismatch, as the checked WDK list routines do.
NTSYSAPI VOID NTAPI InitializeListHead(PLIST_ENTRY ListHead);
NTSYSAPI BOOLEAN NTAPI IsListEmpty(const LIST_ENTRY* ListHead);
NTSYSAPI BOOLEAN NTAPI RemoveEntryList(PLIST_ENTRY Entry);
NTSYSAPI PLIST_ENTRY NTAPI RemoveHeadList(PLIST_ENTRY ListHead);
NTSYSAPI PLIST_ENTRY NTAPI RemoveTailList(PLIST_ENTRY ListHead);
NTSYSAPI VOID NTAPI InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry);
NTSYSAPI VOID NTAPI InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry);

// Generic tables (splay-tree flavour). The allocate routine is asked for the caller's size plus
// the node header; the element pointer handed out is the node plus that header.
typedef enum _TABLE_SEARCH_RESULT { TableEmptyTree, TableFoundNode, TableInsertAsLeft, TableInsertAsRight } TABLE_SEARCH_RESULT;
typedef enum _RTL_GENERIC_COMPARE_RESULTS { GenericLessThan, GenericGreaterThan, GenericEqual } RTL_GENERIC_COMPARE_RESULTS;

typedef struct _RTL_SPLAY_LINKS {
    struct _RTL_SPLAY_LINKS* Parent;
    struct _RTL_SPLAY_LINKS* LeftChild;
    struct _RTL_SPLAY_LINKS* RightChild;
} RTL_SPLAY_LINKS, *PRTL_SPLAY_LINKS;

struct _RTL_GENERIC_TABLE;
typedef RTL_GENERIC_COMPARE_RESULTS NTAPI RTL_GENERIC_COMPARE_ROUTINE(struct _RTL_GENERIC_TABLE* Table, PVOID FirstStruct, PVOID SecondStruct);
typedef RTL_GENERIC_COMPARE_ROUTINE* PRTL_GENERIC_COMPARE_ROUTINE;
typedef PVOID NTAPI RTL_GENERIC_ALLOCATE_ROUTINE(struct _RTL_GENERIC_TABLE* Table, CLONG ByteSize);
typedef RTL_GENERIC_ALLOCATE_ROUTINE* PRTL_GENERIC_ALLOCATE_ROUTINE;
typedef VOID NTAPI RTL_GENERIC_FREE_ROUTINE(struct _RTL_GENERIC_TABLE* Table, PVOID Buffer);
typedef RTL_GENERIC_FREE_ROUTINE* PRTL_GENERIC_FREE_ROUTINE;

typedef struct _RTL_GENERIC_TABLE {
    PRTL_SPLAY_LINKS TableRoot;
    LIST_ENTRY InsertOrderList;
    PLIST_ENTRY OrderedPointer;
    ULONG WhichOrderedElement;
    ULONG NumberGenericTableElements;
    PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine;
    PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine;
    PRTL_GENERIC_FREE_ROUTINE FreeRoutine;
    PVOID TableContext;
} RTL_GENERIC_TABLE, *PRTL_GENERIC_TABLE;

NTSYSAPI VOID NTAPI RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table, PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                                             PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                                             PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext);
NTSYSAPI PVOID NTAPI RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize, PBOOLEAN NewElement);
NTSYSAPI BOOLEAN NTAPI RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
NTSYSAPI PVOID NTAPI RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
NTSYSAPI PVOID NTAPI RtlGetElementGenericTable(PRTL_GENERIC_TABLE Table, ULONG I);
NTSYSAPI PVOID NTAPI RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart);
NTSYSAPI ULONG NTAPI RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table);
NTSYSAPI BOOLEAN NTAPI RtlIsGenericTableEmpty(PRTL_GENERIC_TABLE Table);

// Time.
typedef struct _TIME_FIELDS {
    CSHORT Year;
    CSHORT Month;         // 1..12
    CSHORT Day;           // 1..31
    CSHORT Hour;
    CSHORT Minute;
    CSHORT Second;
    CSHORT Milliseconds;
    CSHORT Weekday;       // 0 = Sunday
} TIME_FIELDS, *PTIME_FIELDS;
NTSYSAPI VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);

// Version.
typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
NTSYSAPI NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);

// Debugger output.
// Kernel format extensions (%wZ, %ws, %Z, %S, %I64d) are not printf's, so no format attribute.
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);

