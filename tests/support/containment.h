// The containment property as tests check it: the real registry outside what a sandboxed program
// may change is, byte for byte, what it was. RealRegistryOutsideSandbox exports the machine and
// user hives and drops the blocks of the redirect roots (the user's Classes root also under its
// hive's own name) and of the keys the driver leaves outside the sandbox; take it while the
// driver is loaded (its exclusion lists decide what is left out).
#pragma once

#include "names/names.h"
#include "sim/regfile/registry_file.h"
#include "tables/builtin_lists.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vextest {

inline bool StartsWithKey(const std::u16string& name, const std::u16string& root)
{
    if (name.size() < root.size() || (name.size() > root.size() && name[root.size()] != u'\\')) {
        return false;
    }
    for (size_t i = 0; i < root.size(); i++) {
        char16_t a = name[i], b = root[i];
        if ((a >= u'a' && a <= u'z' ? a - 32 : a) != (b >= u'a' && b <= u'z' ? b - 32 : b)) {
            return false;
        }
    }
    return true;
}

// Whether a sandboxed program may change the key of this native name: inside a redirect root or
// a key the driver leaves outside the sandbox.
inline bool IsChangeableBySandbox(const std::u16string& name)
{
    const std::u16string roots[] = {kRedirectRoot, kRedirectUserClasses, kRedirectMachineClasses,
                                    u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + u"_Classes\\Sample\\Sandbox"};
    for (const std::u16string& root : roots) {
        if (StartsWithKey(name, root)) {
            return true;
        }
    }
    Wide wide(name);
    return ELIsExcludeKey(wide.get()) || IsExcludeName(wide.get());
}

// The export of one hive ("\REGISTRY\MACHINE" or "\REGISTRY\USER") as key blocks, without the
// blocks of keys a sandboxed program may change.
inline std::vector<std::string> HiveOutsideSandbox(const std::u16string& hive)
{
    std::vector<UCHAR> bytes;
    vexsim::RegFileError error;
    EXPECT_EQ(STATUS_SUCCESS, vexsim::ExportRegistryFile(hive, vexsim::RegFileFormat::Regedit4, {}, &bytes, &error))
        << error.message;
    std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> blocks;
    size_t start = text.find("\r\n[");
    while (start != std::string::npos) {
        size_t end = text.find("\r\n[", start + 3);
        std::string block = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string name = block.substr(3, block.find(']') - 3);
        for (auto [from, to] : {std::pair{"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"}, std::pair{"HKEY_USERS", "\\REGISTRY\\USER"}}) {
            if (name.rfind(from, 0) == 0) {
                name = to + name.substr(std::string(from).size());
            }
        }
        if (!IsChangeableBySandbox(Utf16(name))) {
            blocks.push_back(std::move(block));
        }
        start = end;
    }
    return blocks;
}

struct RealRegistry {
    std::vector<std::string> machine;
    std::vector<std::string> users;
    bool operator==(const RealRegistry&) const = default;
};

inline RealRegistry RealRegistryOutsideSandbox()
{
    return {HiveOutsideSandbox(u"\\REGISTRY\\MACHINE"), HiveOutsideSandbox(u"\\REGISTRY\\USER")};
}

// The first key block that differs, for a failure message.
inline std::string FirstDifference(const RealRegistry& before, const RealRegistry& after)
{
    for (auto [a, b] : {std::pair{&before.machine, &after.machine}, std::pair{&before.users, &after.users}}) {
        for (size_t i = 0; i < std::max(a->size(), b->size()); i++) {
            std::string x = i < a->size() ? (*a)[i] : "(none)", y = i < b->size() ? (*b)[i] : "(none)";
            if (x != y) {
                return "before:" + x + "\nafter:" + y;
            }
        }
    }
    return {};
}

}  // namespace vextest
