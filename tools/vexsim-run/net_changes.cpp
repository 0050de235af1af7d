// Net changes of a session: every key the private copy holds is read twice, once as the observer
// process (through the driver, as the sandboxed programs see it) and once as the kernel (the real
// registry), and the differences become added, changed and deleted keys and values.
//
// Why the copy's keys are enough: a sandboxed program reaches a key only through its copy, so a
// key it added or changed has one; a key it deleted is missing from its parent's copy, and the
// parent then enumerates from the copy, so the parent's subkeys as the observer sees them lack it.
#include "tools/vexsim-run/net_changes.h"

#include "names/url_allowlist.h"
#include "sim/cm/user_registry.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/regfile/regfile.h"
#include "sim/rtl/utf.h"
#include "tables/key_lists.h"

#include <algorithm>
#include <map>
#include <set>

namespace vexrun {

namespace {

using vexsim::KeyValue;

struct KeyContent {
    std::vector<KeyValue> values;
    std::vector<std::u16string> subkeys;
};

// Calls that look a key up: the kernel's Zw* routines or a user process's Nt* ones.
struct KeyCalls {
    NTSTATUS (*open)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG);
    NTSTATUS (*enumerateKey)(HANDLE, ULONG, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    NTSTATUS (*enumerateValue)(HANDLE, ULONG, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    NTSTATUS (*close)(HANDLE);
    ULONG attributes;
    ACCESS_MASK access;
};

const KeyCalls kKernelCalls{ZwOpenKeyEx, ZwEnumerateKey, ZwEnumerateValueKey, ZwClose,
                            OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, KEY_READ};
// Names are read as written, Wow6432Node included, even when the observer is a 32-bit program.
const KeyCalls kUserCalls{vexsim::NtOpenKeyEx, vexsim::NtEnumerateKey, vexsim::NtEnumerateValueKey, vexsim::NtClose,
                          OBJ_CASE_INSENSITIVE, KEY_READ | KEY_WOW64_64KEY};

// No single value or name is larger than this; a buffer that would grow beyond it means a fault.
constexpr size_t kMaxEntryBytes = size_t(64) << 20;

// Keys and values the driver hides from sandboxed programs (the exclusion lists the service set,
// the URL-allowlist keys' values but "1" and "2") look deleted to the observer, yet no program
// deleted them: the driver's own rules, asked while redirection still runs, tell them apart.
class HiddenFromSandbox {
public:
    explicit HiddenFromSandbox(const std::u16string& key) : key_(key), keyName_(vexsim::CountedView(key_)) {}

    bool Key() const { return key_.size() <= kMaxCountedChars && IsThereExcludeKey(&keyName_); }

    bool Value(const std::u16string& value) const
    {
        if (key_.size() > kMaxCountedChars || value.size() > kMaxCountedChars) {
            return false;
        }
        UNICODE_STRING valueName = vexsim::CountedView(value);
        return IsThereExcludeValue(&keyName_, &valueName) || IsUrlAllowlistKey(&keyName_, &valueName);
    }

private:
    static constexpr size_t kMaxCountedChars = 0x7FFF;
    std::u16string key_;
    UNICODE_STRING keyName_;
};

// Calls enumerate(index, buffer, size, &length) for index 0, 1, ... until STATUS_NO_MORE_ENTRIES,
// growing the buffer as the answer asks, and hands each entry to consume.
template <typename Enumerate, typename Consume>
NTSTATUS EnumerateAll(Enumerate enumerate, Consume consume)
{
    std::vector<UCHAR> buffer(1024);
    for (ULONG index = 0;; index++) {
        ULONG length = 0;
        NTSTATUS status;
        while ((status = enumerate(index, buffer.data(), ULONG(buffer.size()), &length)) == STATUS_BUFFER_OVERFLOW ||
               status == STATUS_BUFFER_TOO_SMALL) {
            if (buffer.size() >= kMaxEntryBytes) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            buffer.resize(std::min(kMaxEntryBytes, std::max<size_t>(length, buffer.size() * 2)));
        }
        if (status == STATUS_NO_MORE_ENTRIES) {
            return STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        consume(buffer.data());
    }
}

// The key's values and subkey names as the caller of `calls` sees them.
NTSTATUS ReadKey(const KeyCalls& calls, const std::u16string& name, KeyContent* content)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, calls.attributes, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = calls.open(&key, calls.access, &attributes, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = EnumerateAll(
        [&](ULONG index, PVOID buffer, ULONG size, PULONG length) {
            return calls.enumerateValue(key, index, KeyValueFullInformation, buffer, size, length);
        },
        [&](const UCHAR* entry) {
            auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(entry);
            const UCHAR* data = entry + info->DataOffset;
            content->values.push_back(KeyValue{vexsim::ToU16(info->Name, info->NameLength / sizeof(WCHAR)), info->Type,
                                               std::vector<UCHAR>(data, data + info->DataLength)});
        });
    if (NT_SUCCESS(status)) {
        status = EnumerateAll(
            [&](ULONG index, PVOID buffer, ULONG size, PULONG length) {
                return calls.enumerateKey(key, index, KeyBasicInformation, buffer, size, length);
            },
            [&](const UCHAR* entry) {
                auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(entry);
                content->subkeys.push_back(vexsim::ToU16(info->Name, info->NameLength / sizeof(WCHAR)));
            });
    }
    (void)calls.close(key);
    return status;
}

// Key names in the order a .reg file lists them: parents before children, siblings sorted by
// upper-cased name.
std::u16string SortKey(std::u16string_view name)
{
    std::u16string key = vexsim::UpcaseName(name);
    std::replace(key.begin(), key.end(), u'\\', u'\x01');
    return key;
}

bool IsAtOrBelow(std::u16string_view name, std::u16string_view ancestor)
{
    return name.size() >= ancestor.size() && vexsim::SameName(name.substr(0, ancestor.size()), ancestor) &&
           (name.size() == ancestor.size() || name[ancestor.size()] == vexsim::kPathSeparator);
}

std::u16string JoinComponents(const std::vector<std::u16string>& components, size_t count)
{
    std::u16string name;
    for (size_t i = 0; i < count; i++) {
        name += u"\\" + components[i];
    }
    return name;
}

// A key of the copy: its real name and the copy's own.
struct CopiedKey {
    std::u16string real;
    std::u16string copy;
};

// Compares every key of the copy with the real key. The side the sandbox shows is read as the
// observer reads it or, with no observer, straight from the copy by its own name (what the
// copy holds before any program runs, when no enumeration is answered from it yet: no subkey
// counts as deleted then).
class NetChangeWalk {
public:
    NetChangeWalk(const SandboxLayout& layout, PEPROCESS observer) : layout_(layout), observer_(observer) {}

    NTSTATUS Run(NetChanges* changes, std::string* problem)
    {
        std::vector<CopiedKey> copied;
        NTSTATUS status = CollectCopiedKeys(&copied, problem);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        for (const CopiedKey& key : copied) {
            status = CompareKey(key, problem);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        // Parents come first, so a deleted key is met before anything listed below it.
        changes->keys.clear();
        std::u16string deleted;  // the last deleted key listed; empty for none
        for (auto& [sortKey, change] : found_) {
            if (!deleted.empty() && IsAtOrBelow(change.path, deleted)) {
                continue;
            }
            deleted = change.kind == ChangeKind::Deleted ? change.path : std::u16string();
            changes->keys.push_back(std::move(change));
        }
        return STATUS_SUCCESS;
    }

private:
    // Each root of the copy with the real name its keys stand for; the names of the redirect
    // root's USER and MACHINE halves are no keys of their own (hive roots are never changed).
    struct CopyRoot {
        std::u16string copy;
        std::u16string real;
        bool compareItself;
    };

    NTSTATUS Roots(std::vector<CopyRoot>* roots, std::string* problem)
    {
        std::vector<std::u16string> user, machine;
        if (!NT_SUCCESS(vexsim::NativeComponentsOf(layout_.userClassesRoot, {}, &user, problem)) ||
            !NT_SUCCESS(vexsim::NativeComponentsOf(layout_.machineClassesRoot, {}, &machine, problem)) ||
            user.size() < 4 || !vexsim::SameName(user[0], u"USER") || !vexsim::SameName(user[2], u"Software") ||
            !vexsim::SameName(user[3], u"Classes") || machine.size() < 3 || !vexsim::SameName(machine[0], u"MACHINE") ||
            !vexsim::SameName(machine[1], u"SOFTWARE") || !vexsim::SameName(machine[2], u"Classes")) {
            *problem = "the Classes redirect roots must lie under a user's Software\\Classes and under "
                       "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
            return STATUS_INVALID_PARAMETER;
        }
        *roots = {{layout_.redirectRoot + u"\\MACHINE", u"\\REGISTRY\\MACHINE", false},
                  {layout_.redirectRoot + u"\\USER", u"\\REGISTRY\\USER", false},
                  {layout_.userClassesRoot, u"\\REGISTRY" + JoinComponents(user, 4), true},
                  {layout_.machineClassesRoot, u"\\REGISTRY" + JoinComponents(machine, 3), true}};
        return STATUS_SUCCESS;
    }

    // Every key of the copy; read straight from the key tree,
    // so that the listing itself makes no copies.
    NTSTATUS CollectCopiedKeys(std::vector<CopiedKey>* keys, std::string* problem)
    {
        std::vector<CopyRoot> roots;
        NTSTATUS status = Roots(&roots, problem);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::lock_guard lock(vexsim::TreeLock());
        for (const CopyRoot& root : roots) {
            std::vector<std::u16string> components;
            std::shared_ptr<vexsim::KeyNode> node;
            status = vexsim::NativeComponentsOf(root.copy, {}, &components, problem);
            if (NT_SUCCESS(status)) {
                status = vexsim::WalkRegistryPath(components, nullptr, &node, problem);
            }
            if (!NT_SUCCESS(status)) {
                *problem = "redirect root: " + *problem;
                return status;
            }
            if (root.compareItself) {
                keys->push_back(CopiedKey{root.real, root.copy});
            }
            AddBelow(*node, CopiedKey{root.real, root.copy}, keys);
        }
        return STATUS_SUCCESS;
    }

    static void AddBelow(const vexsim::KeyNode& node, const CopiedKey& key, std::vector<CopiedKey>* keys)
    {
        for (const auto& child : node.subkeys) {
            if (!child->isLink) {
                CopiedKey childKey{key.real + u"\\" + child->name, key.copy + u"\\" + child->name};
                keys->push_back(childKey);
                AddBelow(*child, childKey, keys);
            }
        }
    }

    // A redirect root or a key below one, or with `orAbove` a key above one: the keys that hold
    // the copy, which the net changes never name.
    bool HoldsCopy(std::u16string_view name, bool orAbove) const
    {
        for (const std::u16string* root : {&layout_.redirectRoot, &layout_.userClassesRoot, &layout_.machineClassesRoot}) {
            if (IsAtOrBelow(name, *root) || (orAbove && IsAtOrBelow(*root, name))) {
                return true;
            }
        }
        return false;
    }

    NTSTATUS CompareKey(const CopiedKey& key, std::string* problem)
    {
        const std::u16string& name = key.real;
        if (HoldsCopy(name, false)) {
            return STATUS_SUCCESS;
        }
        KeyContent seen, real;
        NTSTATUS seenStatus;
        if (observer_ != nullptr) {
            vexsim::UserModeScope user(observer_);
            seenStatus = ReadKey(kUserCalls, name, &seen);
        } else {
            seenStatus = ReadKey(kKernelCalls, key.copy, &seen);
        }
        NTSTATUS realStatus = ReadKey(kKernelCalls, name, &real);
        bool seenMissing = seenStatus == STATUS_OBJECT_NAME_NOT_FOUND;
        bool realMissing = realStatus == STATUS_OBJECT_NAME_NOT_FOUND;
        // A key the observer may not read is one the sandboxed programs could not have changed.
        if (seenStatus == STATUS_ACCESS_DENIED || realStatus == STATUS_ACCESS_DENIED || (seenMissing && realMissing)) {
            return STATUS_SUCCESS;
        }
        if ((!NT_SUCCESS(seenStatus) && !seenMissing) || (!NT_SUCCESS(realStatus) && !realMissing)) {
            *problem = "key \"" + vexsim::Utf16ToUtf8(name) + "\" cannot be read";
            return NT_SUCCESS(seenStatus) ? realStatus : seenStatus;
        }
        if (seenMissing && HiddenFromSandbox(name).Key()) {
            return STATUS_SUCCESS;
        }
        KeyChange change{name, seenMissing ? ChangeKind::Deleted : realMissing ? ChangeKind::Added : ChangeKind::Changed, {}};
        if (!seenMissing) {
            change.values = CompareValues(seen.values, real.values);
            HiddenFromSandbox hidden(name);
            std::erase_if(change.values, [&](const ValueChange& value) {
                return value.kind == ChangeKind::Deleted && hidden.Value(value.name);
            });
        }
        if (change.kind != ChangeKind::Changed || !change.values.empty()) {
            Record(std::move(change));
        }
        if (!seenMissing && !realMissing && observer_ != nullptr) {
            std::set<std::u16string> seenSubkeys;
            for (const std::u16string& subkey : seen.subkeys) {
                seenSubkeys.insert(vexsim::UpcaseName(subkey));
            }
            for (const std::u16string& subkey : real.subkeys) {
                std::u16string path = name + u"\\" + subkey;
                if (!seenSubkeys.count(vexsim::UpcaseName(subkey)) && !HoldsCopy(path, true) &&
                    !HiddenFromSandbox(path).Key()) {
                    Record(KeyChange{path, ChangeKind::Deleted, {}});
                }
            }
        }
        return STATUS_SUCCESS;
    }

    static std::vector<ValueChange> CompareValues(const std::vector<KeyValue>& seen, const std::vector<KeyValue>& real)
    {
        std::map<std::u16string, const KeyValue*> seenByName, realByName;
        for (const KeyValue& value : seen) {
            seenByName[vexsim::UpcaseName(value.name)] = &value;
        }
        for (const KeyValue& value : real) {
            realByName[vexsim::UpcaseName(value.name)] = &value;
        }
        std::vector<ValueChange> changes;  // built in upper-cased name order
        auto realValue = realByName.begin();
        for (const auto& [upcased, value] : seenByName) {
            for (; realValue != realByName.end() && realValue->first < upcased; ++realValue) {
                changes.push_back(ValueChange{realValue->second->name, ChangeKind::Deleted, 0, {}});
            }
            if (realValue != realByName.end() && realValue->first == upcased) {
                const KeyValue& old = *(realValue++)->second;
                if (old.type != value->type || old.data != value->data) {
                    changes.push_back(ValueChange{value->name, ChangeKind::Changed, value->type, value->data});
                }
            } else {
                changes.push_back(ValueChange{value->name, ChangeKind::Added, value->type, value->data});
            }
        }
        for (; realValue != realByName.end(); ++realValue) {
            changes.push_back(ValueChange{realValue->second->name, ChangeKind::Deleted, 0, {}});
        }
        return changes;
    }

    void Record(KeyChange change)
    {
        found_.try_emplace(SortKey(change.path), std::move(change));
    }

    const SandboxLayout& layout_;
    PEPROCESS observer_;
    std::map<std::u16string, KeyChange> found_;  // by SortKey
};

// Leaves out of `changes` what `atStart` holds the same: a key added or changed the same way
// and values set or deleted the same way.
void LeaveOut(const NetChanges& atStart, NetChanges* changes)
{
    std::map<std::u16string, const KeyChange*> before;
    for (const KeyChange& key : atStart.keys) {
        before[SortKey(key.path)] = &key;
    }
    std::erase_if(changes->keys, [&](KeyChange& key) {
        auto found = before.find(SortKey(key.path));
        if (found == before.end() || found->second->kind != key.kind) {
            return false;
        }
        std::erase_if(key.values, [&](const ValueChange& value) {
            return std::any_of(found->second->values.begin(), found->second->values.end(), [&](const ValueChange& old) {
                return vexsim::SameName(old.name, value.name) && old.kind == value.kind && old.type == value.type &&
                       old.data == value.data;
            });
        });
        return key.values.empty();
    });
}

}  // namespace

NTSTATUS ComputeStartChanges(const SandboxLayout& layout, NetChanges* changes, std::string* problem)
{
    return NetChangeWalk(layout, nullptr).Run(changes, problem);
}

NTSTATUS ComputeNetChanges(const SandboxLayout& layout, PEPROCESS observer, const NetChanges& atStart,
                           NetChanges* changes, std::string* problem)
{
    if (observer == nullptr) {
        *problem = "no observer process";
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = NetChangeWalk(layout, observer).Run(changes, problem);
    if (NT_SUCCESS(status)) {
        LeaveOut(atStart, changes);
    }
    return status;
}

NTSTATUS FormatNetChangesRegFile(const NetChanges& changes, vexsim::RegFileFormat format,
                                 const vexsim::RegFileOptions& options, std::vector<UCHAR>* file, std::string* problem)
{
    std::u16string text = (format == vexsim::RegFileFormat::Version5 ? vexsim::kVersion5Header : vexsim::kRegedit4Header) +
                          u"\r\n";
    for (const KeyChange& key : changes.keys) {
        std::u16string name = vexsim::RegFileKeyName(key.path, options);
        if (vexsim::HasLineBreak(name)) {
            *problem = "key \"" + vexsim::Utf16ToUtf8(name) + "\" holds a line break in its name; a .reg file cannot carry it";
            return STATUS_NOT_SUPPORTED;
        }
        if (key.kind == ChangeKind::Deleted) {
            text += u"\r\n[-" + name + u"]\r\n";
            continue;
        }
        text += u"\r\n[" + name + u"]\r\n";
        for (const ValueChange& value : key.values) {
            NTSTATUS status = STATUS_SUCCESS;
            if (value.kind != ChangeKind::Deleted) {
                status = vexsim::FormatValue(KeyValue{value.name, value.type, value.data}, format, &text, problem);
            } else if (vexsim::HasLineBreak(value.name)) {
                *problem = "value \"" + vexsim::Utf16ToUtf8(value.name) + "\" holds a line break in its name";
                status = STATUS_NOT_SUPPORTED;
            } else {
                text += (value.name.empty() ? u"@" : vexsim::QuoteRegString(value.name)) + u"=-\r\n";
            }
            if (!NT_SUCCESS(status)) {
                *problem = "key \"" + vexsim::Utf16ToUtf8(name) + "\": " + *problem;
                return status;
            }
        }
    }
    *file = vexsim::EncodeRegText(changes.empty() ? text : text + u"\r\n", format);
    return STATUS_SUCCESS;
}

}  // namespace vexrun
