// The run-time library's security-descriptor routines. The Set routines work on the absolute form
// only (they store the caller's pointers, copying nothing); the Get routines read either form.
#include "platform/platform.h"

#include "sim/rtl/string_contract.h"
#include "sim/se/descriptor_format.h"

#include <cstring>

using vexsim::se::Load;

namespace {

PISECURITY_DESCRIPTOR Absolute(PSECURITY_DESCRIPTOR descriptor) { return static_cast<PISECURITY_DESCRIPTOR>(descriptor); }

bool IsSelfRelative(PSECURITY_DESCRIPTOR descriptor) { return (Absolute(descriptor)->Control & SE_SELF_RELATIVE) != 0; }

// The revision and form checks every Set routine makes before touching the descriptor.
NTSTATUS CheckSettable(PSECURITY_DESCRIPTOR descriptor, const char* routine)
{
    vexsim::CheckArgumentPresent(descriptor, routine, "SecurityDescriptor");
    if (Absolute(descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (IsSelfRelative(descriptor)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    return STATUS_SUCCESS;
}

void SetFlag(PSECURITY_DESCRIPTOR descriptor, USHORT flag, bool on)
{
    USHORT& control = Absolute(descriptor)->Control;
    control = static_cast<USHORT>(on ? (control | flag) : (control & ~flag));
}

// Where a part of either form lives: the pointer of the absolute form, or the descriptor plus the
// offset of the self-relative form (null for offset 0).
PVOID PartOf(PSECURITY_DESCRIPTOR descriptor, size_t absoluteField, size_t relativeField)
{
    auto* base = static_cast<UCHAR*>(descriptor);
    if (!IsSelfRelative(descriptor)) {
        return Load<PVOID>(base + absoluteField);
    }
    ULONG offset = Load<ULONG>(base + relativeField);
    return offset == 0 ? nullptr : base + offset;
}

NTSTATUS GetAcl(PSECURITY_DESCRIPTOR descriptor, USHORT presentFlag, USHORT defaultedFlag, size_t absoluteField,
                size_t relativeField, PBOOLEAN present, PACL* acl, PBOOLEAN defaulted, const char* routine)
{
    vexsim::CheckArgumentPresent(descriptor, routine, "SecurityDescriptor");
    if (Absolute(descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    USHORT control = Absolute(descriptor)->Control;
    *present = (control & presentFlag) != 0;
    // Without the PRESENT bit Windows leaves the other outputs as they were; they are set to "no
    // ACL" here so a driver that reads them anyway sees nothing stale.
    *acl = *present ? static_cast<PACL>(PartOf(descriptor, absoluteField, relativeField)) : nullptr;
    *defaulted = *present && (control & defaultedFlag) != 0;
    return STATUS_SUCCESS;
}

// The DACL or SACL of an absolute descriptor: the PRESENT bit as asked, and with it the ACL
// pointer and the DEFAULTED bit; without it both are left as they were.
NTSTATUS SetAcl(PSECURITY_DESCRIPTOR descriptor, USHORT presentFlag, USHORT defaultedFlag, PACL SECURITY_DESCRIPTOR::*field,
                BOOLEAN present, PACL acl, BOOLEAN defaulted, const char* routine)
{
    NTSTATUS status = CheckSettable(descriptor, routine);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SetFlag(descriptor, presentFlag, present);
    if (present) {
        Absolute(descriptor)->*field = acl;
        SetFlag(descriptor, defaultedFlag, defaulted);
    }
    return STATUS_SUCCESS;
}

// The owner or group of an absolute descriptor and its DEFAULTED bit.
NTSTATUS SetSid(PSECURITY_DESCRIPTOR descriptor, USHORT defaultedFlag, PSID SECURITY_DESCRIPTOR::*field, PSID sid,
                BOOLEAN defaulted, const char* routine)
{
    NTSTATUS status = CheckSettable(descriptor, routine);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Absolute(descriptor)->*field = sid;
    SetFlag(descriptor, defaultedFlag, defaulted);
    return STATUS_SUCCESS;
}

NTSTATUS GetSid(PSECURITY_DESCRIPTOR descriptor, USHORT defaultedFlag, size_t absoluteField, size_t relativeField,
                PSID* sid, PBOOLEAN defaulted, const char* routine)
{
    vexsim::CheckArgumentPresent(descriptor, routine, "SecurityDescriptor");
    if (Absolute(descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *sid = PartOf(descriptor, absoluteField, relativeField);
    *defaulted = (Absolute(descriptor)->Control & defaultedFlag) != 0;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    vexsim::CheckArgumentPresent(SecurityDescriptor, "RtlCreateSecurityDescriptor", "SecurityDescriptor");
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    Absolute(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted)
{
    return SetAcl(SecurityDescriptor, SE_DACL_PRESENT, SE_DACL_DEFAULTED, &SECURITY_DESCRIPTOR::Dacl, DaclPresent, Dacl,
                  DaclDefaulted, "RtlSetDaclSecurityDescriptor");
}

NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN SaclPresent, PACL Sacl,
                                            BOOLEAN SaclDefaulted)
{
    return SetAcl(SecurityDescriptor, SE_SACL_PRESENT, SE_SACL_DEFAULTED, &SECURITY_DESCRIPTOR::Sacl, SaclPresent, Sacl,
                  SaclDefaulted, "RtlSetSaclSecurityDescriptor");
}

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner, BOOLEAN OwnerDefaulted)
{
    return SetSid(SecurityDescriptor, SE_OWNER_DEFAULTED, &SECURITY_DESCRIPTOR::Owner, Owner, OwnerDefaulted,
                  "RtlSetOwnerSecurityDescriptor");
}

NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group, BOOLEAN GroupDefaulted)
{
    return SetSid(SecurityDescriptor, SE_GROUP_DEFAULTED, &SECURITY_DESCRIPTOR::Group, Group, GroupDefaulted,
                  "RtlSetGroupSecurityDescriptor");
}

NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent, PACL* Dacl,
                                            PBOOLEAN DaclDefaulted)
{
    return GetAcl(SecurityDescriptor, SE_DACL_PRESENT, SE_DACL_DEFAULTED, offsetof(SECURITY_DESCRIPTOR, Dacl),
                  offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), DaclPresent, Dacl, DaclDefaulted,
                  "RtlGetDaclSecurityDescriptor");
}

NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN SaclPresent, PACL* Sacl,
                                            PBOOLEAN SaclDefaulted)
{
    return GetAcl(SecurityDescriptor, SE_SACL_PRESENT, SE_SACL_DEFAULTED, offsetof(SECURITY_DESCRIPTOR, Sacl),
                  offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl), SaclPresent, Sacl, SaclDefaulted,
                  "RtlGetSaclSecurityDescriptor");
}

NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner, PBOOLEAN OwnerDefaulted)
{
    return GetSid(SecurityDescriptor, SE_OWNER_DEFAULTED, offsetof(SECURITY_DESCRIPTOR, Owner),
                  offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner), Owner, OwnerDefaulted, "RtlGetOwnerSecurityDescriptor");
}

NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group, PBOOLEAN GroupDefaulted)
{
    return GetSid(SecurityDescriptor, SE_GROUP_DEFAULTED, offsetof(SECURITY_DESCRIPTOR, Group),
                  offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group), Group, GroupDefaulted, "RtlGetGroupSecurityDescriptor");
}

BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    vexsim::se::DescriptorParts parts;
    return NT_SUCCESS(vexsim::se::ReadDescriptor(SecurityDescriptor, vexsim::se::kUnbounded, &parts));
}

// The length of the descriptor with its parts. For the absolute form this is the length its
// self-relative copy needs (which is what a caller sizes buffers with); Windows documents only
// that the parts are included, so that choice is the simulated kernel's. A malformed descriptor
// gives 0.
ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    vexsim::CheckArgumentPresent(SecurityDescriptor, "RtlLengthSecurityDescriptor", "SecurityDescriptor");
    vexsim::se::DescriptorParts parts;
    if (!NT_SUCCESS(vexsim::se::ReadDescriptor(SecurityDescriptor, vexsim::se::kUnbounded, &parts))) {
        return 0;
    }
    return vexsim::se::SelfRelativeLength(parts);
}

NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor, PULONG BufferLength)
{
    vexsim::CheckArgumentPresent(AbsoluteSecurityDescriptor, "RtlAbsoluteToSelfRelativeSD", "AbsoluteSecurityDescriptor");
    vexsim::CheckArgumentPresent(BufferLength, "RtlAbsoluteToSelfRelativeSD", "BufferLength");
    if (IsSelfRelative(AbsoluteSecurityDescriptor)) {
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    }
    vexsim::se::DescriptorParts parts;
    NTSTATUS status = vexsim::se::ReadDescriptor(AbsoluteSecurityDescriptor, vexsim::se::kUnbounded, &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG needed = vexsim::se::SelfRelativeLength(parts);
    if (SelfRelativeSecurityDescriptor == nullptr || *BufferLength < needed) {
        *BufferLength = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    vexsim::se::WriteSelfRelative(parts, SelfRelativeSecurityDescriptor);
    return STATUS_SUCCESS;
}
