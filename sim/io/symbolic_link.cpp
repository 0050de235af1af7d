#include "sim/executive/fault_injection.h"
#include "sim/ob/handles.h"
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <cstring>
#include <set>
#include <vector>

namespace vexsim {

namespace {

// Links are followed at most this many times while resolving one name.
constexpr int kMaxLinkDepth = 32;

struct SymbolicLinkBody {
    std::u16string target;  // canonical full name
};

std::mutex g_linksLock;
std::set<PVOID> g_links;  // links IoCreateSymbolicLink made and IoDeleteSymbolicLink has not removed; guarded by g_linksLock

void DeleteLink(PVOID body)
{
    static_cast<SymbolicLinkBody*>(body)->~SymbolicLinkBody();
}

std::string DescribeLink(PVOID body)
{
    return "-> " + Utf16ToUtf8(static_cast<SymbolicLinkBody*>(body)->target);
}

_OBJECT_TYPE g_linkType{"SymbolicLink",
                        {STANDARD_RIGHTS_READ | SYMBOLIC_LINK_QUERY, STANDARD_RIGHTS_WRITE,
                         STANDARD_RIGHTS_EXECUTE | SYMBOLIC_LINK_QUERY, SYMBOLIC_LINK_ALL_ACCESS},
                        SYMBOLIC_LINK_ALL_ACCESS, nullptr, DeleteLink, DescribeLink};

PVOID NewLink(const std::u16string& name, const std::u16string& target)
{
    PVOID link = CreateObject(&g_linkType, sizeof(SymbolicLinkBody), name);
    new (link) SymbolicLinkBody{target};
    return link;
}

}  // namespace

POBJECT_TYPE SymbolicLinkObjectType()
{
    return &g_linkType;
}

NTSTATUS CreateSystemSymbolicLink(const std::u16string& name, const std::u16string& target)
{
    std::u16string canonical = CanonicalName(name);
    PVOID link = NewLink(canonical, CanonicalName(target));
    NTSTATUS status = InsertObjectName(canonical, link);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(link);
    }
    return status;
}

bool SymbolicLinkTarget(PVOID object, std::u16string& target)
{
    if (TypeOf(object) != &g_linkType) {
        return false;
    }
    target = static_cast<SymbolicLinkBody*>(object)->target;
    return true;
}

NTSTATUS ResolveDevice(const std::u16string& canonicalName, PDEVICE_OBJECT* device)
{
    std::u16string name = canonicalName;
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        PVOID object = LookupObjectName(name);
        if (object == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (TypeOf(object) == &g_linkType) {
            name = static_cast<SymbolicLinkBody*>(object)->target;
            DereferenceObject(object);
            continue;
        }
        if (TypeOf(object) != DeviceObjectType()) {
            DereferenceObject(object);
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        *device = static_cast<PDEVICE_OBJECT>(object);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void ResetSymbolicLinks()
{
    std::lock_guard lock(g_linksLock);
    g_links.clear();
}

void ReportSymbolicLinks(std::vector<std::string>& out)
{
    std::lock_guard lock(g_linksLock);
    for (PVOID link : g_links) {
        out.push_back("symbolic link " + NameForReport(link) + " " + DescribeLink(link) + " not deleted");
    }
}

}  // namespace vexsim

using namespace vexsim;

// The target need not exist yet: links are resolved when a name is opened.
extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    std::u16string linkName;
    std::u16string target;
    NTSTATUS status = CaptureObjectName(SymbolicLinkName, linkName);
    if (NT_SUCCESS(status)) {
        status = CaptureObjectName(DeviceName, target);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ShouldFailAllocation(kSymbolicLinkTag)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID link = NewLink(linkName, target);
    status = InsertObjectName(linkName, link);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(link);
        return status;
    }
    std::lock_guard lock(g_linksLock);
    g_links.insert(link);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    std::u16string linkName;
    NTSTATUS status = CaptureObjectName(SymbolicLinkName, linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID link = LookupObjectName(linkName);
    if (link == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool isLink = TypeOf(link) == &g_linkType;
    if (isLink) {
        std::lock_guard lock(g_linksLock);
        isLink = g_links.erase(link) != 0;
    }
    if (!isLink) {
        DereferenceObject(link);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    RemoveObjectName(linkName, link);
    DereferenceObject(link);  // the lookup's
    DereferenceObject(link);  // the one the link held since IoCreateSymbolicLink
    return STATUS_SUCCESS;
}

// Opening by name: the object must be a symbolic link. As a Zw routine called from kernel mode
// it grants what is asked without an access check.
extern "C" NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequirePassiveLevel("ZwOpenSymbolicLinkObject");
    if (LinkHandle == nullptr || ObjectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *LinkHandle = nullptr;
    std::u16string name;
    NTSTATUS status = CaptureObjectName(ObjectAttributes->ObjectName, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID link = LookupObjectName(name);
    if (link == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (TypeOf(link) != &g_linkType) {
        DereferenceObject(link);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *LinkHandle = OpenHandle(link, ObjectAttributes->Attributes, MapAccess(&g_linkType, DesiredAccess));
    DereferenceObject(link);
    return STATUS_SUCCESS;
}

// The size asked for is the target's MaximumLength (its length and a NUL) when ReturnedLength is
// given, else its Length. Too small: STATUS_BUFFER_TOO_SMALL, LinkTarget->Length 0, the buffer
// untouched, *ReturnedLength the size to allocate. Success: Length is the target's length, a NUL
// follows only when ReturnedLength is given and there is room, MaximumLength is left as it was.
extern "C" NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength)
{
    RequirePassiveLevel("ZwQuerySymbolicLinkObject");
    if (LinkTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID object;
    NTSTATUS status = ReferenceObjectByHandle(LinkHandle, SYMBOLIC_LINK_QUERY, &g_linkType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string target = static_cast<SymbolicLinkBody*>(object)->target;
    DereferenceObject(object);
    ULONG length = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    ULONG maximumLength = length + sizeof(WCHAR);
    ULONG needed = ReturnedLength != nullptr ? maximumLength : length;
    if (ReturnedLength != nullptr) {
        *ReturnedLength = maximumLength;
    }
    if (LinkTarget->MaximumLength < needed) {
        LinkTarget->Length = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(LinkTarget->Buffer, target.data(), length);
    LinkTarget->Length = static_cast<USHORT>(length);
    if (ReturnedLength != nullptr && LinkTarget->MaximumLength >= maximumLength) {
        LinkTarget->Buffer[target.size()] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}
