#include "tools/vexsim-run/copy_keys.h"

#include "platform/platform.h"

#include "sim/rtl/utf.h"

#include <vector>

namespace vexrun {
namespace {

void Walk(const std::u16string& name, std::map<std::u16string, size_t>& keys)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return;
    }
    std::vector<unsigned char> buffer(1024);
    ULONG length = 0;
    size_t values = 0;
    if (NT_SUCCESS(ZwQueryKey(key, KeyFullInformation, buffer.data(), (ULONG)buffer.size(), &length))) {
        values = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer.data())->Values;
    }
    keys[UpperName(name)] = values;
    std::vector<std::u16string> children;
    for (ULONG index = 0;; index++) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(length);
            index--;
            continue;
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        auto* information = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
        children.emplace_back(reinterpret_cast<const char16_t*>(information->Name), information->NameLength / sizeof(WCHAR));
    }
    (void)ZwClose(key);
    for (const std::u16string& child : children) {
        Walk(name + u"\\" + child, keys);
    }
}

}  // namespace

std::u16string UpperName(std::u16string_view name)
{
    std::u16string upper(name);
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return upper;
}

std::map<std::u16string, size_t> ListCopyKeys(const std::vector<std::u16string>& roots)
{
    std::map<std::u16string, size_t> keys;
    for (const std::u16string& root : roots) {
        Walk(root, keys);
    }
    return keys;
}

}  // namespace vexrun
