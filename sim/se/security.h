// Security of the simulated kernel's objects: self-relative security descriptors, tokens,
// inheritance on create, and the access check. Host API for the object-owning components (the
// configuration manager first); drivers reach the same model through the Rtl security routines
// and ZwQuerySecurityObject / ZwSetSecurityObject.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace vexsim {

// A security descriptor in self-relative form, exactly the bytes Windows would hand out.
using SecurityDescriptorBytes = std::vector<UCHAR>;

// Who a thread acts as: the user and the groups of its process's token, as SID strings.
struct Token {
    std::string user;                 // e.g. "S-1-5-21-1-2-3-1001"
    std::vector<std::string> groups;  // e.g. "S-1-1-0" (Everyone), "S-1-5-32-545" (Users)
    bool administrator = false;       // holds S-1-5-32-544 enabled
};

// The token of a process (the System process: S-1-5-18 with the Administrators group).
Token TokenOf(PEPROCESS process);

// The descriptor a new key gets: the inheritable entries of its parent's DACL, or the explicit
// descriptor when one is given (a relative or absolute SECURITY_DESCRIPTOR the caller passed).
// A malformed explicit descriptor gives STATUS_INVALID_SECURITY_DESCR.
[[nodiscard]] NTSTATUS InheritSecurity(const SecurityDescriptorBytes& parent, PSECURITY_DESCRIPTOR explicitDescriptor,
                                       const Token& creator, bool isContainer, SecurityDescriptorBytes* result);

// The descriptor of a hive's root keys: SYSTEM and Administrators full control, Users read,
// inheritable by subkeys.
SecurityDescriptorBytes DefaultKeySecurity();

// Checks DesiredAccess (generic rights mapped through Mapping, MAXIMUM_ALLOWED honoured) against
// the descriptor's DACL for Token. Returns STATUS_SUCCESS with the granted access, or
// STATUS_ACCESS_DENIED. A descriptor without a DACL grants everything.
[[nodiscard]] NTSTATUS AccessCheck(const SecurityDescriptorBytes& descriptor, const Token& token, ACCESS_MASK desiredAccess,
                                   const GENERIC_MAPPING& mapping, ACCESS_MASK* grantedAccess);

// ZwQuerySecurityObject's answer for the parts SecurityInformation asks for: the self-relative
// descriptor in Buffer, or STATUS_BUFFER_TOO_SMALL with the length needed in *LengthNeeded.
[[nodiscard]] NTSTATUS QuerySecurity(const SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                                     PVOID buffer, ULONG length, PULONG lengthNeeded);

// ZwSetSecurityObject: replaces the parts SecurityInformation names with those of NewDescriptor.
[[nodiscard]] NTSTATUS SetSecurity(SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                                   PSECURITY_DESCRIPTOR newDescriptor);

}  // namespace vexsim
