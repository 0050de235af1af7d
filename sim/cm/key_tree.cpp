// The key tree: nodes, their subkeys and values, the hives a machine boots with, and the
// application-hive table. Every function here runs under TreeLock().
#include "sim/cm/registry.h"

#include "sim/rtl/utf.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace vexsim {

namespace {

std::mutex g_treeLock;
std::shared_ptr<KeyNode> g_root;                              // \REGISTRY
std::map<std::u16string, std::shared_ptr<AppHive>> g_appHives;  // by upper-cased {GUID}
ULONG g_nextAppHive = 1;

const std::u16string kLinkValueName = u"SymbolicLinkValue";

KeyNode& Ensure(KeyNode& parent, std::u16string_view name, bool isVolatile = false)
{
    if (auto existing = FindSubkey(parent, name)) {
        return *existing;
    }
    KeyNode& node = *InsertSubkey(parent, name, DefaultKeySecurity());
    node.isVolatile = isVolatile;
    return node;
}

KeyNode& EnsurePath(KeyNode& from, std::u16string_view path)
{
    KeyNode* node = &from;
    std::vector<std::u16string_view> components;
    (void)SplitKeyPath(path, components);
    for (std::u16string_view component : components) {
        node = &Ensure(*node, component);
    }
    return *node;
}

KeyNode& HiveRoot(KeyNode& parent, std::u16string_view name, bool isVolatile = false)
{
    KeyNode& node = Ensure(parent, name, isVolatile);
    node.isHiveRoot = true;
    return node;
}

// A user's hives are the user's own: every key in them carries the user's hive descriptor.
void GiveSubtreeTo(KeyNode& node, const SecurityDescriptorBytes& security)
{
    node.security = security;
    for (const std::shared_ptr<KeyNode>& subkey : node.subkeys) {
        GiveSubtreeTo(*subkey, security);
    }
}

void MakeLink(KeyNode& parent, std::u16string_view name, const std::u16string& target)
{
    KeyNode& link = Ensure(parent, name, true);
    link.isLink = true;
    if (!LinkTargetOf(link).empty()) {
        return;
    }
    std::vector<UCHAR> data(target.size() * sizeof(char16_t));
    std::copy_n(reinterpret_cast<const UCHAR*>(target.data()), data.size(), data.begin());
    link.values.Store(KeyValue{kLinkValueName, REG_LINK, std::move(data)});
}

// The COM registration subkeys a 32-bit caller sees in Classes\Wow6432Node.
void PrepareClassesRoot(KeyNode& classes)
{
    KeyNode& wow = Ensure(classes, u"Wow6432Node");
    for (const char16_t* name : {u"CLSID", u"Interface"}) {
        Ensure(classes, name);
        Ensure(wow, name);
    }
}

}  // namespace

std::mutex& TreeLock()
{
    return g_treeLock;
}

const std::shared_ptr<KeyNode>& RegistryRoot()
{
    return g_root;
}

std::shared_ptr<KeyNode> FindSubkey(const KeyNode& parent, std::u16string_view name)
{
    return parent.subkeys.Find(UpcaseName(name));
}

std::shared_ptr<KeyNode> InsertSubkey(KeyNode& parent, std::u16string_view name, SecurityDescriptorBytes security)
{
    auto node = std::make_shared<KeyNode>();
    node->name = std::u16string(name);
    node->upcasedName = UpcaseName(name);
    node->parent = &parent;
    node->depth = parent.depth + 1;
    node->security = std::move(security);
    node->appHive = parent.appHive;
    node->lastWriteTime = Now();
    parent.subkeys.Insert(node->upcasedName, node);
    Touch(parent);
    return node;
}

void RemoveSubkey(KeyNode& parent, KeyNode& child)
{
    if (parent.subkeys.Find(child.upcasedName).get() == &child) {
        parent.subkeys.Erase(child.upcasedName);
    }
    Touch(parent);
}

void RenameSubkey(KeyNode& parent, KeyNode& node, std::u16string_view newName)
{
    std::shared_ptr<KeyNode> kept = parent.subkeys.Find(node.upcasedName);
    parent.subkeys.Erase(node.upcasedName);
    node.name = std::u16string(newName);
    node.upcasedName = UpcaseName(newName);
    parent.subkeys.Insert(node.upcasedName, std::move(kept));
    Touch(parent);
    Touch(node);
}

std::u16string FullNameOf(const KeyNode& node)
{
    std::vector<const std::u16string*> parts;
    for (const KeyNode* current = &node; current != nullptr; current = current->parent) {
        parts.push_back(&current->name);
    }
    std::u16string name;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        name += kPathSeparator;
        name += **part;
    }
    return name;
}

namespace {

size_t FullNameLength(const KeyNode& node)
{
    size_t length = 0;
    for (const KeyNode* current = &node; current != nullptr; current = current->parent) {
        length += 1 + current->name.size();
    }
    return length;
}

// What the longest full name below the node adds to the node's own: 0 without subkeys.
size_t LongestNameBelow(const KeyNode& node)
{
    size_t longest = 0;
    for (const std::shared_ptr<KeyNode>& subkey : node.subkeys) {
        longest = std::max(longest, 1 + subkey->name.size() + LongestNameBelow(*subkey));
    }
    return longest;
}

}  // namespace

// Windows documents no status for either limit. Too deep is refused like any other name the
// registry cannot hold; a full name longer than a counted string can carry is STATUS_NAME_TOO_LONG,
// so that CmCallbackGetKeyObjectID and KeyNameInformation never report a name cut short.
NTSTATUS CheckNewSubkey(const KeyNode& parent, std::u16string_view name)
{
    if (parent.depth + 1 > kMaxKeyDepth) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FullNameLength(parent) + 1 + name.size() > kMaxFullNameChars) {
        return STATUS_NAME_TOO_LONG;
    }
    return STATUS_SUCCESS;
}

bool NamesFitAfterRename(const KeyNode& node, std::u16string_view newName)
{
    if (newName.size() <= node.name.size()) {
        return true;  // no name gets longer
    }
    return FullNameLength(node) - node.name.size() + newName.size() + LongestNameBelow(node) <= kMaxFullNameChars;
}

const KeyValue* FindValue(const KeyNode& node, std::u16string_view name)
{
    return node.values.Find(name);
}

void StoreValue(KeyNode& node, KeyValue value)
{
    node.values.Store(std::move(value));
    Touch(node);
}

std::u16string LinkTargetOf(const KeyNode& node)
{
    const KeyValue* value = FindValue(node, kLinkValueName);
    if (value == nullptr || value->type != REG_LINK) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

void Touch(KeyNode& node)
{
    node.lastWriteTime = Now();
}

std::shared_ptr<AppHive> FindAppHive(const KeyNode& node)
{
    if (node.appHive == nullptr) {
        return nullptr;
    }
    auto found = g_appHives.find(UpcaseName(node.appHive->guid));
    return found == g_appHives.end() ? nullptr : found->second;
}

namespace {

// The layout of a freshly installed machine, reduced to the keys a sandbox touches first. Every
// step keeps what exists, so a restart lays the volatile keys (HARDWARE's, the links) out again
// over the kept tree without touching its other keys.
void LayOutBootKeys(KeyNode& root, const MachineConfig& config)
{

    KeyNode& machine = HiveRoot(root, u"MACHINE");
    KeyNode& software = HiveRoot(machine, u"SOFTWARE");
    PrepareClassesRoot(Ensure(software, u"Classes"));
    EnsurePath(software, u"Microsoft\\Windows\\CurrentVersion");
    EnsurePath(software, u"Policies");
    KeyNode& software32 = Ensure(software, u"Wow6432Node");
    EnsurePath(software32, u"Microsoft\\Windows\\CurrentVersion");
    // Seen from the 64-bit view, the 32-bit SOFTWARE's Classes is the machine's 32-bit Classes.
    MakeLink(software32, u"Classes", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node");

    KeyNode& system = HiveRoot(machine, u"SYSTEM");
    KeyNode& controlSet = Ensure(system, u"ControlSet001");
    EnsurePath(controlSet, u"Control");
    EnsurePath(controlSet, u"Services");
    MakeLink(system, u"CurrentControlSet", u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001");

    KeyNode& hardware = HiveRoot(machine, u"HARDWARE", true);
    for (const char16_t* path : {u"DESCRIPTION", u"DESCRIPTION\\System", u"DEVICEMAP"}) {
        EnsurePath(hardware, path).isVolatile = true;
    }
    HiveRoot(machine, u"SAM");
    HiveRoot(machine, u"SECURITY");

    KeyNode& users = HiveRoot(root, u"USER");
    EnsurePath(HiveRoot(users, u".DEFAULT"), u"Software");
    for (const std::string& sid : config.userSids) {
        std::u16string wideSid = Utf8ToUtf16(sid);
        KeyNode& classes = HiveRoot(users, wideSid + u"_Classes");
        PrepareClassesRoot(classes);
        KeyNode& profile = HiveRoot(users, wideSid);
        EnsurePath(profile, u"Software\\Microsoft\\Windows\\CurrentVersion");
        MakeLink(*FindSubkey(profile, u"Software"), u"Classes", u"\\REGISTRY\\USER\\" + wideSid + u"_Classes");
        EnsurePath(profile, u"Environment");
        SecurityDescriptorBytes userSecurity = UserHiveSecurity(sid);
        GiveSubtreeTo(classes, userSecurity);
        GiveSubtreeTo(profile, userSecurity);
    }

    HiveRoot(root, u"A", true);
    HiveRoot(root, u"WC", true);
}

}  // namespace

void BuildRegistryTree(const MachineConfig& config, std::shared_ptr<KeyNode> kept)
{
    g_appHives.clear();
    g_nextAppHive = 1;
    if (kept != nullptr) {
        g_root = std::move(kept);
        DropVolatileKeys();
    } else {
        g_root = std::make_shared<KeyNode>();
        g_root->name = u"REGISTRY";
        g_root->upcasedName = u"REGISTRY";
        g_root->security = DefaultKeySecurity();
        g_root->isHiveRoot = true;
        g_root->lastWriteTime = Now();
    }
    LayOutBootKeys(*g_root, config);
}

void ClearRegistryTree()
{
    g_appHives.clear();
    g_root.reset();
}

std::shared_ptr<KeyNode> DetachRegistryTree()
{
    g_appHives.clear();
    return std::move(g_root);
}

namespace {

void DropVolatileBelow(KeyNode& node)
{
    node.subkeys.EraseIf([](const std::shared_ptr<KeyNode>& child) {
        if (child->isVolatile && !child->isHiveRoot) {
            MarkSubtreeDeleted(*child);
            return true;
        }
        return false;
    });
    for (const auto& child : node.subkeys) {
        DropVolatileBelow(*child);
    }
}

}  // namespace

void MarkSubtreeDeleted(KeyNode& node)
{
    node.deleted = true;
    node.parent = nullptr;
    for (const auto& child : node.subkeys) {
        MarkSubtreeDeleted(*child);
    }
    node.subkeys.clear();
}

void RemoveSubtree(KeyNode& parent, KeyNode& child)
{
    RemoveSubkey(parent, child);
    MarkSubtreeDeleted(child);
}

void DropVolatileKeys()
{
    DropVolatileBelow(*g_root);
}

// Application hives get GUID-shaped names from a counter, so runs are repeatable.
std::shared_ptr<AppHive> AddAppHive(SecurityDescriptorBytes rootSecurity)
{
    char guid[40];
    std::snprintf(guid, sizeof(guid), "{5ABB0C1E-0000-4000-8000-%012X}", g_nextAppHive++);
    auto hive = std::make_shared<AppHive>();
    hive->guid = Utf8ToUtf16(guid);
    hive->root = std::make_shared<KeyNode>();
    KeyNode& root = *hive->root;
    root.name = hive->guid;
    root.upcasedName = UpcaseName(hive->guid);
    root.parent = FindSubkey(*g_root, u"A").get();
    root.depth = 2;
    root.security = std::move(rootSecurity);
    root.isHiveRoot = true;
    root.appHive = hive.get();
    root.lastWriteTime = Now();
    g_appHives.emplace(root.upcasedName, hive);
    return hive;
}

std::shared_ptr<KeyNode> FindAppHiveRoot(std::u16string_view guid)
{
    auto found = g_appHives.find(UpcaseName(guid));
    return found == g_appHives.end() ? nullptr : found->second->root;
}

void RemoveAppHive(AppHive& hive)
{
    g_appHives.erase(UpcaseName(hive.guid));
}

}  // namespace vexsim
