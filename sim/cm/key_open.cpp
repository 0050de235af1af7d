// ZwCreateKey, ZwOpenKey and ZwOpenKeyEx: validate, reference the root, capture the name, apply
// a WOW64 process's 32-bit view to it (wow64_view.cpp), pre-notification, walk and create,
// post-notification, handle. A user-mode caller's KeyHandle and Disposition are its own memory
// (process_memory.h): probed first, written last.
//
// A symbolic link met on the way ends the walk with STATUS_REPARSE, as the configuration manager
// hands a link back to the object manager on Windows: callbacks see that post-notification with
// STATUS_REPARSE and no object, then a new pre-notification with the link's target as an
// absolute name. So the name of the object finally opened is the name after resolution.
//
// Bypass: a pre-callback returning STATUS_CALLBACK_BYPASS has completed the create or open. The
// caller gets a handle to *ResultObject with exactly GrantedAccess (left 0, the handle carries no
// right, as reported for Windows) and the Disposition the callback wrote; the reference the
// callback passed in ResultObject is consumed by that handle, and the object keeps the view of the
// open that made it. The registry always hands the callback a Disposition to write, also when the
// caller passed none.
#include "sim/cm/callbacks.h"
#include "sim/cm/key_parse.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/process_memory.h"
#include "sim/rtl/utf.h"

#include <algorithm>

namespace vexsim {

namespace {

// A chain of links longer than this is taken for a loop and refused with STATUS_INVALID_PARAMETER,
// as Windows does since 10 1607. Windows does not document its limit; 32 hops is this kernel's.
constexpr int kMaxReparses = 32;

NTSTATUS ValidateRequest(const OpenKeyRequest& request)
{
    POBJECT_ATTRIBUTES attributes = request.attributes;
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES) || (attributes->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request.create) {
        return (request.options & ~REG_LEGAL_OPTION) != 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }
    return (request.options & ~REG_OPEN_LEGAL_OPTION) != 0 ? STATUS_INVALID_PARAMETER_4 : STATUS_SUCCESS;
}

// Names outside \REGISTRY never reach the registry: the object manager fails them first.
NTSTATUS CheckRegistryName(const std::u16string& name)
{
    NTSTATUS status = CheckAbsoluteKeyName(name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t end = name.find(kPathSeparator, 1);
    if (SameName(std::u16string_view(name).substr(1, end == std::u16string::npos ? end : end - 1), u"REGISTRY")) {
        return STATUS_SUCCESS;
    }
    if (PVOID other = LookupObjectName(CanonicalName(name))) {
        DereferenceObject(other);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return end == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

// The part of an absolute name below \REGISTRY: RemainingName when RootObject is \REGISTRY.
std::u16string BelowRegistryRoot(const std::u16string& name)
{
    size_t end = name.find(kPathSeparator, 1);
    return end == std::u16string::npos ? std::u16string() : name.substr(end + 1);
}

bool IsWow64UserCaller(KPROCESSOR_MODE mode)
{
    PEPROCESS process = CurrentContext().process;
    return mode == UserMode && process != nullptr && process->wow64;
}

// Whether a WOW64 process's create or open works in the 32-bit view: KEY_WOW64_64KEY asks for the
// 64-bit one (it wins when both flags are given: Windows documents no answer), KEY_WOW64_32KEY for
// the 32-bit one, and without either an absolute name is in the 32-bit view and a relative one in
// the view its root was opened in. Native callers, kernel ones included, have no 32-bit view:
// their KEY_WOW64_32KEY is ignored, as on Windows.
bool WorksInView32(ACCESS_MASK desired, KPROCESSOR_MODE mode, PVOID root)
{
    if (!IsWow64UserCaller(mode) || (desired & KEY_WOW64_64KEY) != 0) {
        return false;
    }
    return (desired & KEY_WOW64_32KEY) != 0 || root == nullptr || BodyOf(root).view32;
}

// Applies the 32-bit view to a create's or open's name. A name the view changes becomes absolute
// (the root goes: the caller's reference is dropped); any other stays as given, relative to its
// root. Names the walk refuses anyway (below a deleted root, relative ones beginning with a
// backslash) are left alone.
void ApplyView32(std::u16string& name, PVOID& root)
{
    std::u16string fullName = name;
    if (root != nullptr) {
        std::lock_guard lock(TreeLock());
        const KeyNode& node = *BodyOf(root).node;
        if (node.deleted || (!name.empty() && name[0] == kPathSeparator)) {
            return;
        }
        fullName = FullNameOf(node);
        fullName += kPathSeparator;
        fullName += name;
    }
    std::u16string view32 = View32Name(fullName);
    std::vector<std::u16string_view> given;
    std::vector<std::u16string_view> rewritten;
    (void)SplitKeyPath(fullName, given);
    (void)SplitKeyPath(view32, rewritten);
    if (std::equal(given.begin(), given.end(), rewritten.begin(), rewritten.end(), SameName)) {
        return;
    }
    name = std::move(view32);
    if (root != nullptr) {
        DereferenceObject(root);
        root = nullptr;
    }
}

struct WalkOutcome {
    NTSTATUS status = STATUS_SUCCESS;
    PVOID object = nullptr;  // a new key object with one reference
    ACCESS_MASK granted = 0;
    ULONG disposition = 0;
    std::u16string reparseName;
};

// The registry's own part of a create or open, under the tree lock.
WalkOutcome Walk(const OpenKeyRequest& request, const ParseRequest& parse, bool check)
{
    WalkOutcome outcome;
    outcome.status = STATUS_SUCCESS;
    std::shared_ptr<KeyNode> node;
    {
        std::lock_guard lock(TreeLock());
        ParseResult parsed = ParseKeyName(parse);
        outcome.status = parsed.status;
        if (parsed.status == STATUS_REPARSE) {
            outcome.reparseName = std::move(parsed.reparseName);
            return outcome;
        }
        if (!NT_SUCCESS(parsed.status)) {
            return outcome;
        }
        if (parsed.node != nullptr) {
            if (request.create && (request.options & REG_OPTION_CREATE_LINK) != 0) {
                outcome.status = STATUS_OBJECT_NAME_COLLISION;
                return outcome;
            }
            outcome.status = GrantKeyAccess(parsed.node->security, request.desiredAccess, check, &outcome.granted);
            if (!NT_SUCCESS(outcome.status)) {
                return outcome;
            }
            node = std::move(parsed.node);
            outcome.disposition = REG_OPENED_EXISTING_KEY;
        } else {
            KeyNode& parent = *parsed.parent;
            ACCESS_MASK parentAccess;
            if (check) {
                outcome.status = AccessCheck(parent.security, TokenOf(CurrentContext().process), KEY_CREATE_SUB_KEY,
                                             KeyGenericMapping(), &parentAccess);
                if (!NT_SUCCESS(outcome.status)) {
                    return outcome;
                }
            }
            bool isVolatile = (request.options & REG_OPTION_VOLATILE) != 0;
            outcome.status = GrantCreatorAccess(request.desiredAccess, check, &outcome.granted);
            if (!NT_SUCCESS(outcome.status)) {
                return outcome;
            }
            if (parent.isVolatile && !isVolatile) {
                outcome.status = STATUS_CHILD_MUST_BE_VOLATILE;
                return outcome;
            }
            outcome.status = CheckNewSubkey(parent, parsed.newName);
            if (!NT_SUCCESS(outcome.status)) {
                return outcome;
            }
            SecurityDescriptorBytes security;
            outcome.status = InheritSecurity(parent.security, request.attributes->SecurityDescriptor,
                                             TokenOf(CurrentContext().process), true, &security);
            if (!NT_SUCCESS(outcome.status)) {
                return outcome;
            }
            node = InsertSubkey(parent, parsed.newName, std::move(security));
            node->isVolatile = isVolatile;
            node->isLink = (request.options & REG_OPTION_CREATE_LINK) != 0;
            node->className = ToU16(request.className);
            outcome.disposition = REG_CREATED_NEW_KEY;
        }
    }
    outcome.object = CreateKeyObject(node);
    return outcome;
}

}  // namespace

OpenKeyRequest CreateKeyRequest(ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, PUNICODE_STRING className,
                                ULONG createOptions)
{
    OpenKeyRequest request;
    request.desiredAccess = desiredAccess;
    request.attributes = attributes;
    request.options = createOptions;
    request.className = className;
    request.create = true;
    return request;
}

NTSTATUS OpenOrCreateKey(const OpenKeyRequest& request, KPROCESSOR_MODE mode, PHANDLE keyHandle, PULONG disposition)
{
    if (keyHandle == nullptr) {
        return BadPointer(mode, "a null KeyHandle");
    }
    const HANDLE none = nullptr;
    NTSTATUS status = CopyToCaller(mode, keyHandle, &none, sizeof(none));
    if (NT_SUCCESS(status) && disposition != nullptr) {
        status = ProbeCaller(mode, disposition, sizeof(ULONG), true);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (request.attributes == nullptr) {
        return BadPointer(mode, "null ObjectAttributes");
    }
    status = ValidateRequest(request);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    POBJECT_ATTRIBUTES attributes = request.attributes;
    std::u16string name;
    std::u16string className;
    status = CaptureCountedName(attributes->ObjectName, name);
    if (NT_SUCCESS(status)) {
        status = CaptureCountedName(request.className, className);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID root = nullptr;
    if (attributes->RootDirectory != nullptr) {
        status = ReferenceKeyByHandle(attributes->RootDirectory, 0, mode, &root);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        status = CheckRegistryName(name);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    const bool check = MustCheckAccess(mode, attributes->Attributes);
    const bool view32 = WorksInView32(request.desiredAccess, mode, root);
    if (view32) {
        ApplyView32(name, root);
    }
    const REG_NOTIFY_CLASS preClass = request.create ? RegNtPreCreateKeyEx : RegNtPreOpenKeyEx;
    const REG_NOTIFY_CLASS postClass = request.create ? RegNtPostCreateKeyEx : RegNtPostOpenKeyEx;
    UNICODE_STRING classString = CountedView(className);
    OpenKeyRequest captured = request;
    captured.className = request.className != nullptr ? &classString : nullptr;

    PVOID result = nullptr;
    ACCESS_MASK granted = 0;
    ULONG resultDisposition = 0;
    bool bypassed = false;
    for (int reparses = 0;; reparses++) {
        if (reparses > kMaxReparses) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        std::u16string remaining = root != nullptr ? name : BelowRegistryRoot(name);
        UNICODE_STRING completeName = CountedView(name);
        UNICODE_STRING remainingName = CountedView(remaining);
        REG_CREATE_KEY_INFORMATION_V1 info{};
        info.CompleteName = &completeName;
        info.RootObject = root != nullptr ? root : RegistryRootObject();
        info.ObjectType = KeyObjectType();
        info.Options = request.options;
        info.Class = captured.className;
        info.SecurityDescriptor = attributes->SecurityDescriptor;
        info.SecurityQualityOfService = attributes->SecurityQualityOfService;
        info.DesiredAccess = request.desiredAccess;
        info.Disposition = &resultDisposition;
        info.ResultObject = &result;
        info.Version = 1;
        info.RemainingName = &remainingName;
        // The view the registry applies: a filter that follows it reaches the same key.
        info.Wow64Flags = view32 ? KEY_WOW64_32KEY
                                 : (request.desiredAccess & KEY_WOW64_64KEY) | (IsWow64UserCaller(mode) ? KEY_WOW64_64KEY : 0);
        info.Attributes = attributes->Attributes;
        info.CheckAccessMode = check ? UserMode : KernelMode;

        NotifiedOperation operation(info.RootObject, &info.CallContext, &info.RootObjectContext);
        status = operation.Pre(preClass, &info);
        if (status == STATUS_CALLBACK_BYPASS) {
            if (!IsKeyObject(result)) {
                StopMachine("a registry callback bypassed a create or open without a key object in ResultObject");
            }
            bypassed = true;
            granted = info.GrantedAccess;
            status = operation.Post(postClass, STATUS_SUCCESS, &result);
            break;
        }
        if (!NT_SUCCESS(status)) {
            // Callbacks above the one that failed the operation learn how it ended.
            status = operation.Post(postClass, status, &result);
            break;
        }
        ParseRequest parse;
        parse.root = root != nullptr ? BodyOf(root).node : nullptr;
        parse.name = name;
        parse.create = request.create;
        // Only OBJ_OPENLINK opens a link key itself; REG_OPTION_OPEN_LINK alone changes nothing, as
        // Windows answers (the documentation says otherwise).
        parse.openLink = (attributes->Attributes & OBJ_OPENLINK) != 0 ||
                         (request.create && (request.options & REG_OPTION_CREATE_LINK) != 0);
        parse.allowAppHiveRoot = request.allowAppHiveRoot;
        parse.limitLevels = reparses == 0;
        WalkOutcome outcome = Walk(captured, parse, check);
        if (outcome.status == STATUS_REPARSE) {
            PVOID none = nullptr;
            (void)operation.Post(postClass, STATUS_REPARSE, &none);
            name = std::move(outcome.reparseName);
            if (root != nullptr) {
                DereferenceObject(root);
                root = nullptr;
            }
            continue;
        }
        result = outcome.object;
        granted = outcome.granted;
        resultDisposition = outcome.disposition;
        status = operation.Post(postClass, outcome.status, &result);
        break;
    }

    if (NT_SUCCESS(status) && result == nullptr) {
        StopMachine("a registry callback turned a failed create or open into success without a key object in Object");
    }
    if (NT_SUCCESS(status)) {
        // Relative opens under the handle inherit its view. A key object a callback completed the
        // operation with keeps the view of the open that made it: the driver's own, which knows
        // no 32-bit view (Windows does not document this; its view is a property of the key
        // body the opening call made).
        if (IsWow64UserCaller(mode) && !bypassed) {
            BodyOf(result).view32 = view32;
        }
        HANDLE handle = OpenHandle(result, attributes->Attributes, granted);
        NTSTATUS copied = CopyToCaller(mode, keyHandle, &handle, sizeof(handle));
        if (NT_SUCCESS(copied) && disposition != nullptr) {
            copied = CopyToCaller(mode, disposition, &resultDisposition, sizeof(resultDisposition));
        }
        if (!NT_SUCCESS(copied)) {
            // The caller's memory went away after the probe: the handle it cannot learn is closed.
            (void)CloseHandle(handle, KernelMode);
            status = copied;
        }
    }
    // The handle holds its own reference; the one the walk made, or the one a bypassing
    // callback passed, is released here (a post-callback that failed a create dropped it itself
    // and cleared the object).
    if (result != nullptr) {
        if (bypassed) {
            (void)DereferenceObjectFromDriver(result);
        } else {
            DereferenceObject(result);
        }
    }
    if (root != nullptr) {
        DereferenceObject(root);
    }
    return status;
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    KernelServiceScope kernel(__func__);
    return OpenOrCreateKey(CreateKeyRequest(DesiredAccess, ObjectAttributes, Class, CreateOptions), KernelMode, KeyHandle,
                           Disposition);
}

extern "C" NTSTATUS NTAPI ZwOpenKeyEx(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG OpenOptions)
{
    KernelServiceScope kernel(__func__);
    OpenKeyRequest request;
    request.desiredAccess = DesiredAccess;
    request.attributes = ObjectAttributes;
    request.options = OpenOptions;
    return OpenOrCreateKey(request, KernelMode, KeyHandle, nullptr);
}

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return ZwOpenKeyEx(KeyHandle, DesiredAccess, ObjectAttributes, 0);
}
