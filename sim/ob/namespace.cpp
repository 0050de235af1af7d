#include "sim/ob/namespace.h"

#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <map>
#include <mutex>

namespace vexsim {

namespace {

std::mutex g_namespaceLock;
std::map<std::u16string, PVOID> g_names;  // by upcased canonical name, guarded by g_namespaceLock

// Object names compare without case, as the object manager compares them.
std::u16string UpcaseName(std::u16string name)
{
    for (char16_t& c : name) {
        c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    }
    return name;
}

bool StartsWithFolded(const std::u16string& name, const std::u16string& prefix)
{
    return name.size() >= prefix.size() && UpcaseName(name.substr(0, prefix.size())) == prefix;
}

}  // namespace

std::u16string CanonicalName(const std::u16string& name)
{
    for (const std::u16string alias : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
        if (StartsWithFolded(name, alias)) {
            return u"\\??\\" + name.substr(alias.size());
        }
    }
    return name;
}

NTSTATUS CaptureObjectName(PCUNICODE_STRING name, std::u16string& canonical)
{
    if (name == nullptr || (name->Length % sizeof(WCHAR)) != 0 || name->Length > name->MaximumLength ||
        (name->Buffer == nullptr && name->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string text = ToU16(name);
    if (text.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (text[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    canonical = CanonicalName(text);
    return STATUS_SUCCESS;
}

NTSTATUS InsertObjectName(const std::u16string& canonicalName, PVOID object)
{
    std::lock_guard lock(g_namespaceLock);
    if (!g_names.emplace(UpcaseName(canonicalName), object).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

PVOID LookupObjectName(const std::u16string& canonicalName)
{
    std::lock_guard lock(g_namespaceLock);
    auto it = g_names.find(UpcaseName(canonicalName));
    if (it == g_names.end()) {
        return nullptr;
    }
    ReferenceObject(it->second);
    return it->second;
}

void RemoveObjectName(const std::u16string& canonicalName, PVOID object)
{
    std::lock_guard lock(g_namespaceLock);
    auto it = g_names.find(UpcaseName(canonicalName));
    if (it != g_names.end() && it->second == object) {
        g_names.erase(it);
    }
}

void ClearNamespace()
{
    std::lock_guard lock(g_namespaceLock);
    g_names.clear();
}

}  // namespace vexsim
