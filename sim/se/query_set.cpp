// Reading and replacing parts of an object's descriptor (ZwQuerySecurityObject,
// ZwSetSecurityObject). The access the caller needs for each part (READ_CONTROL, WRITE_OWNER,
// WRITE_DAC, ACCESS_SYSTEM_SECURITY) is checked on its handle by the object's owner, not here.
// LABEL_SECURITY_INFORMATION selects nothing: mandatory labels are not modelled.
#include "sim/se/descriptor_format.h"
#include "sim/se/security.h"

#include <cstring>

namespace vexsim {

namespace {

constexpr USHORT kDaclControl =
    SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
constexpr USHORT kSaclControl =
    SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED | SE_SACL_AUTO_INHERIT_REQ;

void TakeControl(se::DescriptorParts* to, const se::DescriptorParts& from, USHORT bits)
{
    to->control = static_cast<USHORT>((to->control & ~bits) | (from.control & bits));
}

// Copies the parts `information` names from `from` into `to`.
void CopyParts(se::DescriptorParts* to, const se::DescriptorParts& from, SECURITY_INFORMATION information)
{
    if (information & OWNER_SECURITY_INFORMATION) {
        to->owner = from.owner;
        TakeControl(to, from, SE_OWNER_DEFAULTED);
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        to->group = from.group;
        TakeControl(to, from, SE_GROUP_DEFAULTED);
    }
    if (information & DACL_SECURITY_INFORMATION) {
        to->dacl = from.dacl;
        TakeControl(to, from, kDaclControl);
    }
    if (information & SACL_SECURITY_INFORMATION) {
        to->sacl = from.sacl;
        TakeControl(to, from, kSaclControl);
    }
}

void ApplyProtection(se::DescriptorParts* parts, SECURITY_INFORMATION information)
{
    if (information & PROTECTED_DACL_SECURITY_INFORMATION) {
        parts->control |= SE_DACL_PROTECTED;
    } else if (information & UNPROTECTED_DACL_SECURITY_INFORMATION) {
        parts->control &= static_cast<USHORT>(~SE_DACL_PROTECTED);
    }
    if (information & PROTECTED_SACL_SECURITY_INFORMATION) {
        parts->control |= SE_SACL_PROTECTED;
    } else if (information & UNPROTECTED_SACL_SECURITY_INFORMATION) {
        parts->control &= static_cast<USHORT>(~SE_SACL_PROTECTED);
    }
}

}  // namespace

NTSTATUS QuerySecurity(const SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                       PVOID buffer, ULONG length, PULONG lengthNeeded)
{
    se::DescriptorParts stored;
    NTSTATUS status = se::ReadDescriptor(descriptor.data(), descriptor.size(), &stored);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    se::DescriptorParts answer;
    CopyParts(&answer, stored, securityInformation);
    ULONG needed = se::SelfRelativeLength(answer);
    *lengthNeeded = needed;
    if (length < needed || buffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    se::WriteSelfRelative(answer, buffer);
    return STATUS_SUCCESS;
}

NTSTATUS SetSecurity(SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                     PSECURITY_DESCRIPTOR newDescriptor)
{
    se::DescriptorParts replacement;
    if (newDescriptor == nullptr || !NT_SUCCESS(se::ReadDescriptor(newDescriptor, se::kUnbounded, &replacement))) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if ((securityInformation & OWNER_SECURITY_INFORMATION) && replacement.owner.empty()) {
        return STATUS_INVALID_OWNER;
    }
    if ((securityInformation & GROUP_SECURITY_INFORMATION) && replacement.group.empty()) {
        return STATUS_INVALID_PRIMARY_GROUP;
    }
    se::DescriptorParts stored;
    NTSTATUS status = se::ReadDescriptor(descriptor.data(), descriptor.size(), &stored);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CopyParts(&stored, replacement, securityInformation);
    ApplyProtection(&stored, securityInformation);
    descriptor = se::ToSelfRelative(stored);
    return STATUS_SUCCESS;
}

}  // namespace vexsim
