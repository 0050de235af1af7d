// Base types of the Windows kernel as the simulated kernel declares them for Linux builds.
//
// Every type keeps the DDK's name and the x64 Windows width (LLP64: LONG and ULONG are 32 bits,
// pointers 64 bits, WCHAR 16 bits). All project code is compiled with -fshort-wchar, so wchar_t
// is 16 bits and L"" literals are UTF-16 as on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

static_assert(sizeof(wchar_t) == 2, "project code must be compiled with -fshort-wchar");

#define NTAPI
#define NTSYSAPI extern "C"
#define NTKERNELAPI extern "C"
#define FLTAPI
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FORCEINLINE inline __attribute__((always_inline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#ifndef FALSE
#define FALSE 0
#define TRUE 1
#endif
#ifndef NULL
#define NULL nullptr
#endif

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR, CCHAR;
typedef const char* PCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD, *PWORD;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, UINT, CLONG;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, LONG_PTR;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, ULONG_PTR, *PULONG_PTR, SIZE_T, *PSIZE_T, DWORD64;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef UCHAR KIRQL, *PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes in use, without any terminating NUL
    USHORT MaximumLength;  // bytes the buffer holds
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define ARGUMENT_PRESENT(p) ((p) != NULL)
// Through offsetof: the driver kit's form takes a member of a null pointer, which clang's
// UndefinedBehaviorSanitizer reports.
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - offsetof(type, field)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ALIGN_UP_BY(length, alignment) (((ULONG_PTR)(length) + (alignment) - 1) & ~((ULONG_PTR)(alignment) - 1))
#define UNICODE_NULL ((WCHAR)0)
#define RTL_CONSTANT_STRING(s) { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) }
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL

// Processor modes and IRQLs (x64 numbering).
#define KernelMode 0
#define UserMode 1
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

// Status codes the simulated kernel returns or the driver tests for.
#define STATUS_SUCCESS                 ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                  ((NTSTATUS)0x00000000L)
#define STATUS_USER_APC                ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED                 ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT                 ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                 ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE                 ((NTSTATUS)0x00000104L)
#define STATUS_OBJECT_NAME_EXISTS      ((NTSTATUS)0x40000000L)
#define STATUS_DATATYPE_MISALIGNMENT   ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW         ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_FILES           ((NTSTATUS)0x80000006L)
#define STATUS_NO_MORE_ENTRIES         ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL            ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED         ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS      ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH    ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION        ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE          ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_CID             ((NTSTATUS)0xC000000BL)
#define STATUS_INVALID_PARAMETER       ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE          ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE            ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST  ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY               ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED           ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL        ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH    ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID     ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND   ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION   ((NTSTATUS)0xC0000035L)
#define STATUS_PORT_DISCONNECTED       ((NTSTATUS)0xC0000037L)
#define STATUS_OBJECT_PATH_INVALID     ((NTSTATUS)0xC0000039L)
#define STATUS_OBJECT_PATH_NOT_FOUND   ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD  ((NTSTATUS)0xC000003BL)
#define STATUS_THREAD_IS_TERMINATING   ((NTSTATUS)0xC000004BL)
#define STATUS_UNKNOWN_REVISION        ((NTSTATUS)0xC0000058L)
#define STATUS_REVISION_MISMATCH       ((NTSTATUS)0xC0000059L)
#define STATUS_INVALID_OWNER           ((NTSTATUS)0xC000005AL)
#define STATUS_INVALID_PRIMARY_GROUP   ((NTSTATUS)0xC000005BL)
#define STATUS_PRIVILEGE_NOT_HELD      ((NTSTATUS)0xC0000061L)
#define STATUS_INVALID_ACL             ((NTSTATUS)0xC0000077L)
#define STATUS_INVALID_SID             ((NTSTATUS)0xC0000078L)
#define STATUS_INVALID_SECURITY_DESCR  ((NTSTATUS)0xC0000079L)
#define STATUS_INSUFFICIENT_RESOURCES  ((NTSTATUS)0xC000009AL)
#define STATUS_MEMORY_NOT_ALLOCATED    ((NTSTATUS)0xC00000A0L)
#define STATUS_NOT_SUPPORTED           ((NTSTATUS)0xC00000BBL)
#define STATUS_BAD_DESCRIPTOR_FORMAT   ((NTSTATUS)0xC00000E7L)
#define STATUS_INVALID_PARAMETER_1     ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2     ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3     ((NTSTATUS)0xC00000F1L)
#define STATUS_INVALID_PARAMETER_4     ((NTSTATUS)0xC00000F2L)
#define STATUS_NAME_TOO_LONG           ((NTSTATUS)0xC0000106L)
#define STATUS_PROCESS_IS_TERMINATING  ((NTSTATUS)0xC000010AL)
#define STATUS_CANNOT_DELETE           ((NTSTATUS)0xC0000121L)
#define STATUS_INTEGER_OVERFLOW        ((NTSTATUS)0xC0000095L)
#define STATUS_ALLOTTED_SPACE_EXCEEDED ((NTSTATUS)0xC0000099L)
#define STATUS_REGISTRY_CORRUPT        ((NTSTATUS)0xC000014CL)
#define STATUS_KEY_DELETED             ((NTSTATUS)0xC000017CL)
#define STATUS_KEY_HAS_CHILDREN        ((NTSTATUS)0xC0000180L)
#define STATUS_CHILD_MUST_BE_VOLATILE  ((NTSTATUS)0xC0000181L)
#define STATUS_INVALID_BUFFER_SIZE     ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND               ((NTSTATUS)0xC0000225L)
#define STATUS_STACK_BUFFER_OVERRUN    ((NTSTATUS)0xC0000409L)
#define STATUS_CALLBACK_BYPASS         ((NTSTATUS)0xC0000503L)
#define STATUS_FLT_DELETING_OBJECT     ((NTSTATUS)0xC01C000BL)
#define STATUS_FLT_DO_NOT_DETACH       ((NTSTATUS)0xC01C0010L)
#define STATUS_FLT_NO_WAITER_FOR_REPLY ((NTSTATUS)0xC01C0020L)
#define STATUS_FLT_INSTANCE_ALTITUDE_COLLISION ((NTSTATUS)0xC01C0011L)

// Fail-fast codes.
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define FAST_FAIL_INVALID_ARG 5
#define FAST_FAIL_RANGE_CHECK_FAILURE 8

// Object attributes.
#define OBJ_INHERIT             0x00000002L
#define OBJ_PERMANENT           0x00000010L
#define OBJ_EXCLUSIVE           0x00000020L
#define OBJ_CASE_INSENSITIVE    0x00000040L
#define OBJ_OPENIF              0x00000080L
#define OBJ_OPENLINK            0x00000100L
#define OBJ_KERNEL_HANDLE       0x00000200L
#define OBJ_FORCE_ACCESS_CHECK  0x00000400L
#define OBJ_VALID_ATTRIBUTES    0x00001FF2L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                            \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);    \
        (p)->RootDirectory = (r);                   \
        (p)->Attributes = (a);                      \
        (p)->ObjectName = (n);                      \
        (p)->SecurityDescriptor = (s);              \
        (p)->SecurityQualityOfService = NULL;       \
    } while (0)

// Access rights.
#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define ACCESS_SYSTEM_SECURITY   0x01000000L
#define MAXIMUM_ALLOWED          0x02000000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// Opaque kernel objects: their bodies are defined by the simulated kernel.
typedef struct _EPROCESS* PEPROCESS;
typedef struct _ETHREAD* PETHREAD;
typedef struct _ETHREAD* PKTHREAD;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef struct _ACCESS_STATE* PACCESS_STATE;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;
