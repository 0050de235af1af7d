// Key objects: the object type the configuration manager owns, the body every create or open
// makes, its teardown with the close notifications, and the identity and contexts callbacks ask
// for. Dependencies run one way: key objects call into callbacks.h, never the reverse.
#include "sim/cm/callbacks.h"
#include "sim/cm/registry.h"
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <atomic>
#include <new>

namespace vexsim {

namespace {

std::atomic<bool> g_running{false};
PVOID g_registryRootObject = nullptr;

void DeleteKeyObject(PVOID object)
{
    KeyBody& body = BodyOf(object);
    if (g_running.load()) {
        NotifyKeyObjectTeardown(object);
        if (body.appHive != nullptr) {
            std::lock_guard lock(TreeLock());
            // The last key object inside an application hive unloads it.
            if (--body.appHive->keyObjects == 0) {
                RemoveAppHive(*body.appHive);
            }
        }
    }
    body.~KeyBody();
}

std::string DescribeKey(PVOID object)
{
    return Utf16ToUtf8(BodyOf(object).name);
}

_OBJECT_TYPE g_keyType{
    "Key",
    {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS},
    KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
    nullptr,
    DeleteKeyObject,
    DescribeKey,
};
POBJECT_TYPE g_keyTypePointer = &g_keyType;

}  // namespace

POBJECT_TYPE KeyObjectType()
{
    return &g_keyType;
}

const GENERIC_MAPPING& KeyGenericMapping()
{
    return g_keyType.genericMapping;
}

PVOID CreateKeyObject(const std::shared_ptr<KeyNode>& node)
{
    PVOID object = CreateObject(&g_keyType, sizeof(KeyBody));
    auto* body = new (object) KeyBody{};
    body->node = node;
    std::lock_guard lock(TreeLock());
    body->name = node->deleted ? std::u16string() : FullNameOf(*node);
    body->nameString = CountedView(body->name);
    body->appHive = FindAppHive(*node);
    if (body->appHive != nullptr) {
        body->appHive->keyObjects++;
    }
    return object;
}

KeyBody& BodyOf(PVOID keyObject)
{
    return *static_cast<KeyBody*>(keyObject);
}

bool IsKeyObject(PVOID object)
{
    return object != nullptr && TypeOf(object) == &g_keyType;
}

PVOID RegistryRootObject()
{
    return g_registryRootObject;
}

void CreateRegistryRootObject()
{
    g_registryRootObject = CreateKeyObject(RegistryRoot());
}

void ReleaseRegistryRootObject()
{
    if (g_registryRootObject != nullptr) {
        DereferenceObject(g_registryRootObject);
        g_registryRootObject = nullptr;
    }
}

void SetRegistryRunning(bool running)
{
    g_running.store(running);
}

bool IsRegistryRunning()
{
    return g_running.load();
}

NTSTATUS QueryKeyObjectName(PVOID keyObject, std::u16string* name)
{
    std::lock_guard lock(TreeLock());
    const KeyNode& node = *BodyOf(keyObject).node;
    if (node.deleted) {
        return STATUS_KEY_DELETED;
    }
    *name = FullNameOf(node);
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceKeyByHandle(HANDLE handle, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, PVOID* keyObject)
{
    *keyObject = nullptr;
    return ReferenceObjectByHandle(handle, desiredAccess, &g_keyType, mode, keyObject, nullptr);
}

KernelServiceScope::KernelServiceScope(const char* routine) : saved_(CurrentContext().previousMode)
{
    if (KIRQL irql = CurrentContext().irql; irql != PASSIVE_LEVEL) {
        StopMachine(std::string(routine) + " called at IRQL " + std::to_string(irql) +
                    ": the registry routines run at PASSIVE_LEVEL only");
    }
    CurrentContext().previousMode = KernelMode;
}

KernelServiceScope::~KernelServiceScope()
{
    CurrentContext().previousMode = saved_;
}

NTSTATUS BadPointer(KPROCESSOR_MODE mode, const char* what)
{
    if (mode == KernelMode) {
        StopMachine(std::string("registry service called by kernel code with ") + what);
    }
    return STATUS_ACCESS_VIOLATION;
}

}  // namespace vexsim

using namespace vexsim;

POBJECT_TYPE* CmKeyObjectType = &vexsim::g_keyTypePointer;

// The name is the key's full name when the object was made, after symbolic links were
// followed; it lives as long as the object, so a rename leaves the old name, as on Windows.
// ObjectID is the key's node: two objects for the same key share it.
extern "C" NTSTATUS NTAPI CmCallbackGetKeyObjectID(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                   PCUNICODE_STRING* ObjectName)
{
    if (!IsRegisteredCookie(Cookie) || !IsKeyObject(Object)) {
        return STATUS_INVALID_PARAMETER;
    }
    KeyBody& body = BodyOf(Object);
    if (ObjectID != nullptr) {
        *ObjectID = reinterpret_cast<ULONG_PTR>(body.node.get());
    }
    if (ObjectName != nullptr) {
        *ObjectName = &body.nameString;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI CmSetCallbackObjectContext(PVOID Object, PLARGE_INTEGER Cookie, PVOID NewContext,
                                                     PVOID* OldContext)
{
    if (OldContext != nullptr) {
        *OldContext = nullptr;
    }
    if (!IsKeyObject(Object)) {
        return STATUS_INVALID_PARAMETER;
    }
    return AttachObjectContext(Cookie, Object, NewContext, OldContext);
}
