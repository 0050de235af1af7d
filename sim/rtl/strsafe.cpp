// The ntstrsafe family: bounded copies, concatenations and formatting into caller buffers.
//
// Statuses as ntstrsafe documents them: STATUS_SUCCESS when the whole result fit;
// STATUS_BUFFER_OVERFLOW when it was cut short, the destination then holding the truncated result
// (NUL-terminated for the character-buffer routines); STATUS_INVALID_PARAMETER for a zero or
// too-large destination size, a missing pointer, a source with no NUL within the allowed length,
// or an invalid UNICODE_STRING (odd lengths, Length above MaximumLength, no buffer behind a size;
// an even USHORT size can never exceed NTSTRSAFE_UNICODE_STRING_MAX_CCH characters). Invalid
// parameters leave the destination untouched.
#include "platform/platform.h"

#include "sim/rtl/format.h"
#include "sim/rtl/utf.h"

#include <cstring>
#include <string>

namespace {

bool IsValidDestination(const void* destination, size_t cch)
{
    return destination != nullptr && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

// Length of `text` in units if a NUL occurs within `cchMax` units.
NTSTATUS BoundedLength(PCWSTR text, size_t cchMax, size_t* length)
{
    if (text == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    for (size_t units = 0; units < cchMax; ++units) {
        if (text[units] == UNICODE_NULL) {
            *length = units;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

// Copies at most `cchToCopy` units of `source` (stopping at its NUL) into the destination of
// `cchDest` units, always NUL-terminating.
NTSTATUS CopyBounded(PWSTR destination, size_t cchDest, PCWSTR source, size_t cchToCopy)
{
    size_t copied = 0;
    while (copied < cchToCopy && source[copied] != UNICODE_NULL && copied + 1 < cchDest) {
        destination[copied] = source[copied];
        ++copied;
    }
    destination[copied] = UNICODE_NULL;
    const bool complete = copied == cchToCopy || source[copied] == UNICODE_NULL;
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS CopyN(PWSTR destination, size_t cchDest, PCWSTR source, size_t cchToCopy)
{
    if (!IsValidDestination(destination, cchDest) || source == nullptr || cchToCopy > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyBounded(destination, cchDest, source, cchToCopy);
}

NTSTATUS Cat(PWSTR destination, size_t cchDest, PCWSTR source)
{
    size_t used = 0;
    if (!IsValidDestination(destination, cchDest) || source == nullptr ||
        !NT_SUCCESS(BoundedLength(destination, cchDest, &used))) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyBounded(destination + used, cchDest - used, source, NTSTRSAFE_MAX_CCH);
}

NTSTATUS VPrintf(PWSTR destination, size_t cchDest, PCWSTR format, va_list args)
{
    if (!IsValidDestination(destination, cchDest) || format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool truncated = false;
    const std::u16string text = vexsim::FormatWide(format, args, cchDest - 1, &truncated);
    for (size_t i = 0; i < text.size(); ++i) {
        destination[i] = static_cast<WCHAR>(text[i]);
    }
    destination[text.size()] = UNICODE_NULL;
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

bool IsValidUnicodeString(PCUNICODE_STRING string)
{
    return string != nullptr && string->Length % sizeof(WCHAR) == 0 && string->MaximumLength % sizeof(WCHAR) == 0 &&
           string->Length <= string->MaximumLength &&
           (string->Buffer != nullptr || string->MaximumLength == 0);
}

// Places `units` units of `source` after the destination's first `offset` bytes, as many as fit.
NTSTATUS PutIntoUnicodeString(PUNICODE_STRING destination, USHORT offset, const WCHAR* source, size_t units)
{
    const size_t room = (destination->MaximumLength - offset) / sizeof(WCHAR);
    const size_t copied = units < room ? units : room;
    if (copied != 0) {
        std::memmove(destination->Buffer + offset / sizeof(WCHAR), source, copied * sizeof(WCHAR));
    }
    destination->Length = static_cast<USHORT>(offset + copied * sizeof(WCHAR));
    return copied == units ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    size_t length = 0;
    const NTSTATUS status = BoundedLength(psz, cchMax, &length);
    if (pcchLength != nullptr) {
        *pcchLength = NT_SUCCESS(status) ? length : 0;
    }
    return status;
}

NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    size_t length = 0;
    const NTSTATUS status = BoundedLength(psz, cbMax / sizeof(WCHAR), &length);
    if (pcbLength != nullptr) {
        *pcbLength = NT_SUCCESS(status) ? length * sizeof(WCHAR) : 0;
    }
    return status;
}

NTSTATUS NTAPI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return CopyN(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS NTAPI RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy)
{
    return CopyN(pszDest, cbDest / sizeof(WCHAR), pszSrc, cbToCopy / sizeof(WCHAR));
}

NTSTATUS NTAPI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return Cat(pszDest, cchDest, pszSrc);
}

NTSTATUS NTAPI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Cat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS NTAPI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS NTAPI RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = VPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS NTAPI RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    if (!IsValidDestination(pszDest, cbDest) || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    bool truncated = false;
    const std::string text = vexsim::FormatNarrow(pszFormat, args, cbDest - 1, &truncated);
    va_end(args);
    std::memcpy(pszDest, text.data(), text.size());
    pszDest[text.size()] = '\0';
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!IsValidUnicodeString(DestinationString) || !IsValidUnicodeString(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutIntoUnicodeString(DestinationString, 0, SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
}

NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!IsValidUnicodeString(DestinationString) || !IsValidUnicodeString(SourceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    return PutIntoUnicodeString(DestinationString, DestinationString->Length, SourceString->Buffer,
                                SourceString->Length / sizeof(WCHAR));
}

NTSTATUS NTAPI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...)
{
    if (!IsValidUnicodeString(DestinationString) || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    const size_t room = DestinationString->MaximumLength / sizeof(WCHAR);
    bool truncated = false;
    const std::u16string text = vexsim::FormatWide(pszFormat, args, room, &truncated);
    va_end(args);
    for (size_t i = 0; i < text.size(); ++i) {
        DestinationString->Buffer[i] = static_cast<WCHAR>(text[i]);
    }
    DestinationString->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
