// The run-time library's ACL routines. An ACL is trusted only as far as its own header: its
// entries are walked within AclSize, and a list that does not add up is refused.
#include "platform/platform.h"

#include "sim/rtl/string_contract.h"
#include "sim/se/descriptor_format.h"

#include <cstring>

using vexsim::se::IsValidAcl;
using vexsim::se::Load;

namespace {

bool IsKnownAclRevision(ULONG revision)
{
    return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION;
}

// Bytes taken by the entries of a well-formed ACL, header included.
ULONG UsedLength(PACL Acl)
{
    auto* bytes = reinterpret_cast<const UCHAR*>(Acl);
    ULONG at = sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; i++) {
        at += Load<USHORT>(bytes + at + offsetof(ACE_HEADER, AceSize));
    }
    return at;
}

// The byte offset of entry `index` (or of the free space after the last one).
ULONG EntryOffset(PACL Acl, ULONG index)
{
    auto* bytes = reinterpret_cast<const UCHAR*>(Acl);
    ULONG at = sizeof(ACL);
    for (ULONG i = 0; i < index; i++) {
        at += Load<USHORT>(bytes + at + offsetof(ACE_HEADER, AceSize));
    }
    return at;
}

// Counts the entries of a caller's entry list, or returns -1 when they do not exactly fill it.
LONG CountEntries(const UCHAR* list, ULONG length)
{
    LONG count = 0;
    ULONG at = 0;
    while (at < length) {
        if (length - at < sizeof(ACE_HEADER)) {
            return -1;
        }
        USHORT size = Load<USHORT>(list + at + offsetof(ACE_HEADER, AceSize));
        if (size < sizeof(ACE_HEADER) || size % sizeof(ULONG) != 0 || size > length - at) {
            return -1;
        }
        at += size;
        count++;
    }
    return count;
}

NTSTATUS AppendSidAce(PACL Acl, ULONG AceRevision, UCHAR type, ULONG AceFlags, ACCESS_MASK AccessMask, PSID Sid)
{
    vexsim::CheckArgumentPresent(Acl, "RtlAddAccessAllowedAce", "Acl");
    if (!IsValidAcl(Acl, vexsim::se::kUnbounded)) {
        return STATUS_INVALID_ACL;
    }
    ULONG sidLength = vexsim::se::ValidSidLength(Sid, vexsim::se::kUnbounded);
    if (sidLength == 0) {
        return STATUS_INVALID_SID;
    }
    if (!IsKnownAclRevision(AceRevision)) {
        return STATUS_REVISION_MISMATCH;
    }
    if ((AceFlags & ~VALID_INHERIT_FLAGS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG used = UsedLength(Acl);
    ULONG aceLength = vexsim::se::kAceBodyOffset + sidLength;
    if (used + aceLength > Acl->AclSize) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    vexsim::se::Bytes ace = vexsim::se::BuildAce(type, static_cast<UCHAR>(AceFlags), AccessMask,
                                                 vexsim::se::Bytes(static_cast<UCHAR*>(Sid),
                                                                   static_cast<UCHAR*>(Sid) + sidLength));
    std::memcpy(reinterpret_cast<UCHAR*>(Acl) + used, ace.data(), ace.size());
    Acl->AceCount++;
    if (AceRevision > Acl->AclRevision) {
        Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!IsKnownAclRevision(AclRevision) || AclLength > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    vexsim::CheckArgumentPresent(Acl, "RtlCreateAcl", "Acl");
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAce(PACL Acl, ULONG AceRevision, ULONG StartingAceIndex, PVOID AceList, ULONG AceListLength)
{
    vexsim::CheckArgumentPresent(Acl, "RtlAddAce", "Acl");
    if (!IsValidAcl(Acl, vexsim::se::kUnbounded) || !IsKnownAclRevision(AceRevision) || AceList == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* list = static_cast<const UCHAR*>(AceList);
    LONG added = CountEntries(list, AceListLength);
    if (added < 0 || Acl->AceCount + added > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG used = UsedLength(Acl);
    if (used + AceListLength > Acl->AclSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // MAXULONG, or any index past the last entry, appends.
    ULONG index = StartingAceIndex < Acl->AceCount ? StartingAceIndex : Acl->AceCount;
    auto* bytes = reinterpret_cast<UCHAR*>(Acl);
    ULONG at = EntryOffset(Acl, index);
    std::memmove(bytes + at + AceListLength, bytes + at, used - at);
    std::memcpy(bytes + at, list, AceListLength);
    Acl->AceCount = static_cast<USHORT>(Acl->AceCount + added);
    if (AceRevision > Acl->AclRevision) {
        Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    return AppendSidAce(Acl, AceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, AccessMask, Sid);
}

NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags, ACCESS_MASK AccessMask, PSID Sid)
{
    return AppendSidAce(Acl, AceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, AccessMask, Sid);
}

NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace)
{
    vexsim::CheckArgumentPresent(Ace, "RtlGetAce", "Ace");
    if (Acl == nullptr || !IsValidAcl(Acl, vexsim::se::kUnbounded) || AceIndex >= Acl->AceCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *Ace = reinterpret_cast<UCHAR*>(Acl) + EntryOffset(Acl, AceIndex);
    return STATUS_SUCCESS;
}
