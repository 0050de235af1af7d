// Counted strings: initialisation, copy, append and comparison of UNICODE_STRING and STRING.
//
// Every routine reads a string only up to its Length and writes only up to MaximumLength. A
// malformed UNICODE_STRING argument stops the machine (see string_contract.h).
#include "platform/platform.h"

#include "sim/core/kernel.h"
#include "sim/rtl/string_contract.h"
#include "sim/rtl/utf.h"

#include <cstring>
#include <string>

namespace {

// Windows silently truncates a source string too long for a counted string (RtlInitUnicodeString
// to Length 0xFFFC, RtlInitString to 0xFFFE). The driver would then work on a different name than
// it was given, so the simulated kernel stops the machine instead and names the routine.
[[noreturn]] void StopTooLong(const char* routine, size_t bytes)
{
    vexsim::StopMachine(std::string(routine) + ": source string of " + std::to_string(bytes) +
                        " bytes does not fit a counted string");
}

WCHAR Fold(WCHAR unit, BOOLEAN caseInSensitive)
{
    return caseInSensitive ? RtlUpcaseUnicodeChar(unit) : unit;
}

void TerminateIfRoom(PUNICODE_STRING string)
{
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength) {
        string->Buffer[string->Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

// Appends `bytes` bytes of `source` or fails with STATUS_BUFFER_TOO_SMALL leaving the
// destination unchanged.
NTSTATUS AppendUnits(PUNICODE_STRING destination, PCWSTR source, size_t bytes)
{
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(destination->Buffer + destination->Length / sizeof(WCHAR), source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

}  // namespace

namespace {

// RtlInitUnicodeString and RtlInitString: a counted view of a NUL-terminated string, whose
// MaximumLength takes in the terminator. A source too long to be counted stops the machine.
template <typename CountedString, typename Char>
void InitCountedString(CountedString* destination, const Char* source, const char* routine)
{
    vexsim::CheckArgumentPresent(destination, routine, "DestinationString");
    destination->Buffer = const_cast<Char*>(source);
    if (source == nullptr) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        return;
    }
    size_t units = 0;
    while (source[units] != 0) {
        units++;
    }
    const size_t bytes = units * sizeof(Char);
    // Unicode counts stay even, so their largest is MAXUSHORT less one.
    const size_t largest = sizeof(Char) == 1 ? MAXUSHORT : (MAXUSHORT & ~1u);
    if (bytes + sizeof(Char) > largest) {
        StopTooLong(routine, bytes);
    }
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(Char));
}

}  // namespace

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    InitCountedString(DestinationString, SourceString, "RtlInitUnicodeString");
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    InitCountedString(DestinationString, SourceString, "RtlInitString");
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    vexsim::CheckUnicodeString(DestinationString, "RtlCopyUnicodeString", "DestinationString");
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    vexsim::CheckUnicodeString(SourceString, "RtlCopyUnicodeString", "SourceString");
    const USHORT room = DestinationString->MaximumLength & ~1u;
    const USHORT bytes = SourceString->Length < room ? SourceString->Length : room;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    vexsim::CheckUnicodeString(Destination, "RtlAppendUnicodeToString", "Destination");
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return AppendUnits(Destination, Source, vexsim::WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    vexsim::CheckUnicodeString(Destination, "RtlAppendUnicodeStringToString", "Destination");
    vexsim::CheckUnicodeString(Source, "RtlAppendUnicodeStringToString", "Source");
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    return AppendUnits(Destination, Source->Buffer, Source->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    vexsim::CheckUnicodeString(String1, "RtlCompareUnicodeString", "String1");
    vexsim::CheckUnicodeString(String2, "RtlCompareUnicodeString", "String2");
    const USHORT units1 = String1->Length / sizeof(WCHAR);
    const USHORT units2 = String2->Length / sizeof(WCHAR);
    for (USHORT i = 0; i < units1 && i < units2; ++i) {
        const LONG difference = static_cast<LONG>(static_cast<USHORT>(Fold(String1->Buffer[i], CaseInSensitive))) -
                                static_cast<LONG>(static_cast<USHORT>(Fold(String2->Buffer[i], CaseInSensitive)));
        if (difference != 0) {
            return difference;
        }
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    vexsim::CheckUnicodeString(String1, "RtlEqualUnicodeString", "String1");
    vexsim::CheckUnicodeString(String2, "RtlEqualUnicodeString", "String2");
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    vexsim::CheckUnicodeString(String1, "RtlPrefixUnicodeString", "String1");
    vexsim::CheckUnicodeString(String2, "RtlPrefixUnicodeString", "String2");
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        if (Fold(String1->Buffer[i], CaseInSensitive) != Fold(String2->Buffer[i], CaseInSensitive)) {
            return FALSE;
        }
    }
    return TRUE;
}
