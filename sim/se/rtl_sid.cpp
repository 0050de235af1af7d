// The run-time library's SID routines. SIDs handed in are read only as far as their own header
// says; a SID pointer of null stops the machine, as a driver passing one has a bug Windows would
// fault on.
#include "platform/platform.h"

#include "sim/rtl/string_contract.h"
#include "sim/rtl/utf.h"
#include "sim/se/descriptor_format.h"
#include "sim/se/security.h"

#include <cstring>

using vexsim::se::ValidSidLength;

BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    return ValidSidLength(Sid, vexsim::se::kUnbounded) != 0;
}

ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount)
{
    return vexsim::se::kSidHeaderLength + SubAuthorityCount * sizeof(ULONG);
}

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    vexsim::CheckArgumentPresent(Sid, "RtlLengthSid", "Sid");
    return RtlLengthRequiredSid(static_cast<const SID*>(Sid)->SubAuthorityCount);
}

BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2)
{
    vexsim::CheckArgumentPresent(Sid1, "RtlEqualSid", "Sid1");
    vexsim::CheckArgumentPresent(Sid2, "RtlEqualSid", "Sid2");
    ULONG length = RtlLengthSid(Sid1);
    return length == RtlLengthSid(Sid2) && std::memcmp(Sid1, Sid2, length) == 0;
}

NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid)
{
    vexsim::CheckArgumentPresent(SourceSid, "RtlCopySid", "SourceSid");
    ULONG length = RtlLengthSid(SourceSid);
    if (DestinationSidLength < length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    vexsim::CheckArgumentPresent(DestinationSid, "RtlCopySid", "DestinationSid");
    std::memmove(DestinationSid, SourceSid, length);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority, UCHAR SubAuthorityCount)
{
    vexsim::CheckArgumentPresent(Sid, "RtlInitializeSid", "Sid");
    vexsim::CheckArgumentPresent(IdentifierAuthority, "RtlInitializeSid", "IdentifierAuthority");
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* sid = static_cast<SID*>(Sid);
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = SubAuthorityCount;
    sid->IdentifierAuthority = *IdentifierAuthority;
    return STATUS_SUCCESS;
}

PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority)
{
    vexsim::CheckArgumentPresent(Sid, "RtlSubAuthoritySid", "Sid");
    return reinterpret_cast<PULONG>(static_cast<UCHAR*>(Sid) + vexsim::se::kSidHeaderLength + SubAuthority * sizeof(ULONG));
}

NTSTATUS NTAPI RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid, BOOLEAN AllocateDestinationString)
{
    vexsim::CheckArgumentPresent(UnicodeString, "RtlConvertSidToUnicodeString", "UnicodeString");
    if (!RtlValidSid(Sid)) {
        return STATUS_INVALID_SID;
    }
    // The simulated run-time library has no RtlFreeUnicodeString, so it cannot hand out a buffer
    // the driver could give back; say so rather than pretend.
    if (AllocateDestinationString) {
        return STATUS_NOT_IMPLEMENTED;
    }
    vexsim::CheckUnicodeString(UnicodeString, "RtlConvertSidToUnicodeString", "UnicodeString");
    std::u16string text = vexsim::Utf8ToUtf16(vexsim::SidToString(Sid));
    size_t bytes = text.size() * sizeof(WCHAR);
    // The string is written with its terminating NUL, so the buffer must hold that too.
    if (bytes + sizeof(WCHAR) > UnicodeString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(UnicodeString->Buffer, text.data(), bytes);
    UnicodeString->Buffer[text.size()] = UNICODE_NULL;
    UnicodeString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}
