#include "sim/executive/fault_injection.h"
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

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

_OBJECT_TYPE g_linkType{"SymbolicLink", {0, 0, 0, STANDARD_RIGHTS_REQUIRED | 0x1}, STANDARD_RIGHTS_REQUIRED | 0x1,
                        nullptr, DeleteLink, DescribeLink};

}  // namespace

POBJECT_TYPE SymbolicLinkObjectType()
{
    return &g_linkType;
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
    PVOID link = CreateObject(&g_linkType, sizeof(SymbolicLinkBody), linkName);
    new (link) SymbolicLinkBody{target};
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
