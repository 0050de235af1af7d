// The simulated configuration manager: the key tree, key objects and the pieces its services
// share. Host code only; drivers reach it through the Zw* and Cm* routines of ntcm.h, tests and
// tools through user_registry.h and, for .reg files, sim/regfile/registry_file.h.
//
// What it holds. One tree of key nodes rooted at \REGISTRY: MACHINE (SOFTWARE, SYSTEM, HARDWARE,
// SAM, SECURITY), USER (.DEFAULT, each configured user SID and its <SID>_Classes hive), A (the
// parent of application hives, which are not its listed subkeys: they are reachable only through
// the handle their loading returned) and WC (container hives, mounted by LoadContainerHive). A
// node keeps its name as created (case preserved), its class, its values in insertion order, its
// subkeys sorted by upper-cased name, its last-write time (simulated clock), its self-relative
// security descriptor and whether it is volatile, a symbolic link or deleted.
// No node lies deeper than kMaxKeyDepth and no full name is longer than kMaxFullNameChars: a
// create, rename or import that would break either is refused and changes nothing.
//
// Key objects. Every create or open makes a new key object (type CmKeyObjectType) whose body
// holds a shared reference on its node and the node's full name at that moment, which is what
// CmCallbackGetKeyObjectID reports for the object's whole life (a rename does not change it).
// A deleted node stays alive while key objects refer to it; every operation on such an object
// but close fails with STATUS_KEY_DELETED. When a key object's last reference goes, its delete
// procedure tells the callbacks (RegNtPreKeyHandleClose, RegNtPostKeyHandleClose), delivers
// RegNtCallbackObjectContextCleanup for every context attached to it, and frees the body. An
// application hive is unloaded when the last key object inside it goes.
//
// Locks. TreeLock() guards every node of every hive and the application-hive table. It is never
// held while a callback runs or an object is released, so callbacks may call back into the
// registry. The callback list has its own lock (callbacks.cpp).
//
// Life cycle. RegistryBoot builds the tree from the machine configuration, or for a restart from
// the tree the previous boot kept (KeepRegistryForRestart): its volatile keys go, the boot-time
// layout is laid out again, every other key stays with its values, class, security and times.
// RegistryShutdown drops the tree and the callback list. Key objects still alive then (handles the machine's
// shutdown has not closed yet) keep their nodes until the object store frees them, without any
// notification.
#pragma once

#include "sim/cm/key_children.h"
#include "sim/core/components.h"
#include "sim/se/security.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexsim {

constexpr size_t kMaxKeyNameChars = 255;        // one path component
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxLevelsPerCall = 32;        // components one create or open may walk
constexpr size_t kMaxKeyDepth = 512;            // levels below \REGISTRY
constexpr size_t kMaxFullNameChars = 32767;     // what a counted string (Length in bytes, 16 bits) holds
constexpr WCHAR kPathSeparator = u'\\';

struct AppHive;

struct KeyNode {
    std::u16string name;                            // case preserved
    std::u16string upcasedName;                     // the sort and lookup key
    std::u16string className;
    KeyNode* parent = nullptr;                      // null for \REGISTRY and for deleted nodes
    SubkeyList subkeys;                             // sorted by upcasedName
    ValueList values;                               // insertion order
    LONGLONG lastWriteTime = 0;
    SecurityDescriptorBytes security;
    ULONG depth = 0;                                // levels below \REGISTRY
    bool isVolatile = false;
    bool isLink = false;
    bool isHiveRoot = false;                        // cannot be deleted or renamed
    bool deleted = false;
    AppHive* appHive = nullptr;                     // the application hive it belongs to, if any
};

// An application hive loaded by a process: \REGISTRY\A\{GUID}.
struct AppHive {
    std::u16string guid;               // "{...}"
    std::shared_ptr<KeyNode> root;
    size_t keyObjects = 0;             // live key objects inside the hive; guarded by TreeLock()
};

// Body of a key object.
struct KeyBody {
    std::shared_ptr<KeyNode> node;
    std::u16string name;               // full name when opened: what CmCallbackGetKeyObjectID reports
    UNICODE_STRING nameString;         // counted view of name handed to callbacks
    std::shared_ptr<AppHive> appHive;  // keeps the hive loaded while the object lives
    bool view32 = false;               // a WOW64 process opened it in the 32-bit view (wow64_view.cpp)
};

std::mutex& TreeLock();

// ---- names (key_names.cpp)
std::u16string UpcaseName(std::u16string_view name);
bool SameName(std::u16string_view a, std::u16string_view b);
// Splits a relative path at backslashes, several in a row counting as one; a component longer
// than 255 characters gives STATUS_INVALID_PARAMETER.
[[nodiscard]] NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& components);
// The counted string's text, or STATUS_INVALID_PARAMETER for an odd length or a missing buffer.
[[nodiscard]] NTSTATUS CaptureCountedName(PCUNICODE_STRING name, std::u16string& text);

// ---- the 32-bit view (wow64_view.cpp)
// A full name (\REGISTRY\...) as a WOW64 process in the 32-bit view reaches it: Wow6432Node put in
// or taken out where the view moves keys. Names the rewrite leaves alone come back unchanged.
std::u16string View32Name(std::u16string_view fullName);

// ---- tree (key_tree.cpp); callers hold TreeLock()
const std::shared_ptr<KeyNode>& RegistryRoot();
std::shared_ptr<KeyNode> FindSubkey(const KeyNode& parent, std::u16string_view name);
// Creates a subkey with an inherited descriptor; the caller checked the name and volatility.
std::shared_ptr<KeyNode> InsertSubkey(KeyNode& parent, std::u16string_view name, SecurityDescriptorBytes security);
void RemoveSubkey(KeyNode& parent, KeyNode& child);
// Removes a subkey with everything below it; the removed nodes are marked deleted.
void RemoveSubtree(KeyNode& parent, KeyNode& child);
// Marks a node already cut from the tree and every node below it deleted; key objects keep them
// alive.
void MarkSubtreeDeleted(KeyNode& node);
// Gives a subkey a new name and its place in the sorted order; the caller checked for siblings.
void RenameSubkey(KeyNode& parent, KeyNode& node, std::u16string_view newName);
std::u16string FullNameOf(const KeyNode& node);
// Whether the registry can hold a new subkey `name` under parent: STATUS_INVALID_PARAMETER beyond
// kMaxKeyDepth, STATUS_NAME_TOO_LONG when its full name would pass kMaxFullNameChars.
[[nodiscard]] NTSTATUS CheckNewSubkey(const KeyNode& parent, std::u16string_view name);
// Whether the full names of the node and of every key below it stay within kMaxFullNameChars
// once the node is called newName.
bool NamesFitAfterRename(const KeyNode& node, std::u16string_view newName);
const KeyValue* FindValue(const KeyNode& node, std::u16string_view name);
// Sets a value: one of the same name keeps its place (and its name's case) and takes the new type
// and data; a new one goes last. Sets the key's last-write time.
void StoreValue(KeyNode& node, KeyValue value);
// The target of a link key (its SymbolicLinkValue), empty when it has none.
std::u16string LinkTargetOf(const KeyNode& node);
LONGLONG Now();
void Touch(KeyNode& node);
std::shared_ptr<AppHive> FindAppHive(const KeyNode& node);
// Builds the tree a machine boots with: a fresh one, or the tree a restart kept, whose volatile
// keys it drops before laying the boot-time keys out again.
void BuildRegistryTree(const MachineConfig& config, std::shared_ptr<KeyNode> kept = nullptr);
void ClearRegistryTree();
// Hands the whole tree over for the next boot (application hives are not kept: the processes
// that loaded them are gone) and leaves the registry empty.
std::shared_ptr<KeyNode> DetachRegistryTree();
// Drops the nodes of every volatile key, as a restart does; their key objects see them deleted.
void DropVolatileKeys();
std::shared_ptr<AppHive> AddAppHive(SecurityDescriptorBytes rootSecurity);
void RemoveAppHive(AppHive& hive);
std::shared_ptr<KeyNode> FindAppHiveRoot(std::u16string_view guid);

// ---- key objects (key_object.cpp)
POBJECT_TYPE KeyObjectType();
// A new key object on the node with one reference owned by the caller.
PVOID CreateKeyObject(const std::shared_ptr<KeyNode>& node);
KeyBody& BodyOf(PVOID keyObject);
bool IsKeyObject(PVOID object);
// The name the object manager reports for a key object (ObQueryNameString, NtQueryObject): the
// key's current full name, STATUS_KEY_DELETED once it is deleted.
[[nodiscard]] NTSTATUS QueryKeyObjectName(PVOID keyObject, std::u16string* name);
// The permanent object of \REGISTRY: the RootObject of absolute creates and opens.
PVOID RegistryRootObject();
void CreateRegistryRootObject();
void ReleaseRegistryRootObject();
// Delete procedures notify only while the registry runs.
void SetRegistryRunning(bool running);
bool IsRegistryRunning();

// The key object behind a handle, referenced, with the handle's access checked for user-mode
// callers (kernel callers are trusted, as on Windows).
[[nodiscard]] NTSTATUS ReferenceKeyByHandle(HANDLE handle, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode,
                                            PVOID* keyObject);

// What a Zw* registry routine does first: it must be called at PASSIVE_LEVEL (the DDK's rule;
// a driver holding a fast mutex is at APC_LEVEL), else the machine stops naming the routine;
// then the calling thread's previous mode is KernelMode for the length of the service.
class KernelServiceScope {
public:
    explicit KernelServiceScope(const char* routine);
    ~KernelServiceScope();
    KernelServiceScope(const KernelServiceScope&) = delete;
    KernelServiceScope& operator=(const KernelServiceScope&) = delete;

private:
    KPROCESSOR_MODE saved_;
};

// Output arguments a caller breaks the contract with: a kernel caller stops the machine (what a
// bad pointer does on Windows), a user caller gets STATUS_ACCESS_VIOLATION.
[[nodiscard]] NTSTATUS BadPointer(KPROCESSOR_MODE mode, const char* what);

// ---- security of keys (key_access.cpp)
const GENERIC_MAPPING& KeyGenericMapping();
// Whether opens by this caller are checked against the key's DACL.
bool MustCheckAccess(KPROCESSOR_MODE mode, ULONG attributes);
// The access a caller gets to a node: the checked grant, or every desired right mapped for a
// trusted caller.
[[nodiscard]] NTSTATUS GrantKeyAccess(const SecurityDescriptorBytes& security, ACCESS_MASK desired, bool check,
                                      ACCESS_MASK* granted);
// The access the creator of a new key gets: what it asked for, mapped; STATUS_PRIVILEGE_NOT_HELD
// when a checked caller without the privilege asks for ACCESS_SYSTEM_SECURITY.
[[nodiscard]] NTSTATUS GrantCreatorAccess(ACCESS_MASK desired, bool check, ACCESS_MASK* granted);

// ---- create and open (key_open.cpp)
struct OpenKeyRequest {
    ACCESS_MASK desiredAccess = 0;
    POBJECT_ATTRIBUTES attributes = nullptr;
    ULONG options = 0;
    PUNICODE_STRING className = nullptr;  // create only
    bool create = false;
    bool allowAppHiveRoot = false;        // the loader's own open of a new application hive
};
// What ZwCreateKey and NtCreateKey ask of OpenOrCreateKey.
OpenKeyRequest CreateKeyRequest(ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, PUNICODE_STRING className,
                                ULONG createOptions);
[[nodiscard]] NTSTATUS OpenOrCreateKey(const OpenKeyRequest& request, KPROCESSOR_MODE mode, PHANDLE keyHandle,
                                       PULONG disposition);

}  // namespace vexsim
