#include "sim/ob/object.h"

#include "sim/core/kernel.h"
#include "sim/rtl/utf.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>

namespace vexsim {

namespace {

constexpr size_t kBodyAlignment = 16;
constexpr size_t kHeaderSize = (sizeof(ObjectHeader) + kBodyAlignment - 1) & ~(kBodyAlignment - 1);
constexpr ULONG kReferenceByPointer = 0x18;  // REFERENCE_BY_POINTER

std::mutex g_storeLock;
std::set<ObjectHeader*> g_liveObjects;  // guarded by g_storeLock
std::atomic<bool> g_tearingDown{false};

bool IsLive(ObjectHeader* header)
{
    std::lock_guard lock(g_storeLock);
    return g_liveObjects.count(header) != 0;
}

void FreeObject(ObjectHeader* header, PVOID body)
{
    if (header->type->deleteProcedure != nullptr) {
        header->type->deleteProcedure(body);
    }
    header->~ObjectHeader();
    ::operator delete(static_cast<void*>(header), std::align_val_t{kBodyAlignment});
}

}  // namespace

PVOID CreateObject(POBJECT_TYPE type, size_t bodySize, const std::u16string& name)
{
    void* block = ::operator new(kHeaderSize + bodySize, std::align_val_t{kBodyAlignment});
    auto* header = new (block) ObjectHeader{type, {1}, {0}, {0}, name};
    PVOID body = static_cast<char*>(block) + kHeaderSize;
    std::memset(body, 0, bodySize);
    std::lock_guard lock(g_storeLock);
    g_liveObjects.insert(header);
    return body;
}

ObjectHeader& HeaderOf(PVOID body)
{
    return *reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - kHeaderSize);
}

POBJECT_TYPE TypeOf(PVOID body)
{
    return HeaderOf(body).type;
}

void ReferenceObject(PVOID body)
{
    ObjectHeader* header = &HeaderOf(body);
    if (!IsLive(header)) {
        BugCheck(kReferenceByPointer, 0, reinterpret_cast<ULONG_PTR>(body), 0, 0,
                 "reference taken on an object that does not exist (already deleted?)");
    }
    header->references.fetch_add(1);
}

void DereferenceObject(PVOID body)
{
    if (g_tearingDown.load()) {
        return;
    }
    ObjectHeader* header = &HeaderOf(body);
    if (!IsLive(header)) {
        BugCheck(kReferenceByPointer, 0, reinterpret_cast<ULONG_PTR>(body), 0, 0,
                 "object dereferenced more often than referenced (it is already deleted)");
    }
    LONG_PTR left = header->references.fetch_sub(1) - 1;
    if (left < 0) {
        BugCheck(kReferenceByPointer, reinterpret_cast<ULONG_PTR>(header->type), reinterpret_cast<ULONG_PTR>(body),
                 1, static_cast<ULONG_PTR>(left), "object reference count dropped below zero");
    }
    if (left > 0) {
        return;
    }
    {
        std::lock_guard lock(g_storeLock);
        g_liveObjects.erase(header);
    }
    FreeObject(header, body);
}

void ReferenceObjectForDriver(PVOID body)
{
    ReferenceObject(body);
    HeaderOf(body).driverReferences.fetch_add(1);
}

LONG_PTR DereferenceObjectFromDriver(PVOID body)
{
    ObjectHeader* header = &HeaderOf(body);
    if (!IsLive(header)) {
        BugCheck(kReferenceByPointer, 0, reinterpret_cast<ULONG_PTR>(body), 0, 0,
                 "ObDereferenceObject on an object that does not exist (already deleted?)");
    }
    // A driver may drop a reference it was handed by the kernel rather than one it took itself;
    // only references it took are counted, so the count never goes below zero.
    LONG_PTR driverRefs = header->driverReferences.load();
    while (driverRefs > 0 && !header->driverReferences.compare_exchange_weak(driverRefs, driverRefs - 1)) {
    }
    LONG_PTR left = header->references.load() - 1;
    DereferenceObject(body);
    return left;
}

void NoteHandleOpened(PVOID body)
{
    ReferenceObject(body);
    HeaderOf(body).handles.fetch_add(1);
}

void NoteHandleClosed(PVOID body)
{
    if (g_tearingDown.load()) {
        return;
    }
    ObjectHeader& header = HeaderOf(body);
    if (header.handles.fetch_sub(1) == 1 && header.type->closeProcedure != nullptr) {
        header.type->closeProcedure(body);
    }
    DereferenceObject(body);
}

std::string DescribeObject(PVOID body)
{
    ObjectHeader& header = HeaderOf(body);
    std::string text = header.type->name;
    if (!header.name.empty()) {
        text += ' ';
        text += Utf16ToUtf8(header.name);
    }
    if (header.type->describe != nullptr) {
        text += ' ';
        text += header.type->describe(body);
    }
    return text;
}

ACCESS_MASK MapAccess(POBJECT_TYPE type, ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    const GENERIC_MAPPING& m = type->genericMapping;
    if (desired & GENERIC_READ) mapped |= m.GenericRead;
    if (desired & GENERIC_WRITE) mapped |= m.GenericWrite;
    if (desired & GENERIC_EXECUTE) mapped |= m.GenericExecute;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= m.GenericAll;
    return mapped & type->validAccessMask;
}

void ReportDriverReferences(std::vector<std::string>& out)
{
    std::lock_guard lock(g_storeLock);
    for (ObjectHeader* header : g_liveObjects) {
        LONG_PTR count = header->driverReferences.load();
        if (count > 0) {
            PVOID body = reinterpret_cast<char*>(header) + kHeaderSize;
            out.push_back("reference held by the driver on " + DescribeObject(body) + ": " + std::to_string(count));
        }
    }
}

void ResetObjectStore()
{
    g_tearingDown.store(false);
}

void DestroyAllObjects()
{
    g_tearingDown.store(true);
    std::set<ObjectHeader*> doomed;
    {
        std::lock_guard lock(g_storeLock);
        doomed.swap(g_liveObjects);
    }
    for (ObjectHeader* header : doomed) {
        FreeObject(header, reinterpret_cast<char*>(header) + kHeaderSize);
    }
}

}  // namespace vexsim
