// The 32-bit registry view of a WOW64 process: how a key name it gives is rewritten before the
// registry walks it, as WOW64's own layer in the process does on Windows before the system call.
// So the registry, and every callback, sees the name after the rewrite (a WOW64 process opening
// \REGISTRY\MACHINE\SOFTWARE\Vendor is seen opening ...\SOFTWARE\Wow6432Node\Vendor). Windows does
// not document what callbacks see; this is the reading under which a filter that follows
// CompleteName and Wow64Flags reaches the key the registry reaches.
//
// The rules, taken from what Windows answers a WOW64 process (Wine's ntdll reg.c,
// test_redirection):
// - Below \REGISTRY\MACHINE\SOFTWARE a key lives in Wow6432Node, except Classes; SOFTWARE itself
//   opens as its Wow6432Node. An explicit Wow6432Node there is kept, and Wow6432Node\Classes is
//   the shared Classes.
// - Below a Classes root (the machine's, a user's <SID>_Classes hive and its link
//   <SID>\Software\Classes) the COM registration subkeys live in Wow6432Node and everything else
//   is shared. An explicit Wow6432Node there is the 32-bit Classes: its COM subkeys stay in it,
//   its other names are the shared ones; as the last component it is the Wow6432Node key itself.
#include "sim/cm/registry.h"

#include <array>

namespace vexsim {

namespace {

constexpr std::u16string_view kWowNode = u"Wow6432Node";

bool IsComRegistrationSubkey(std::u16string_view name)
{
    static constexpr std::array<std::u16string_view, 5> kRedirected{u"CLSID", u"DirectShow", u"Interface",
                                                                     u"Media Type", u"MediaFoundation"};
    for (std::u16string_view redirected : kRedirected) {
        if (SameName(name, redirected)) {
            return true;
        }
    }
    return false;
}

using Components = std::vector<std::u16string_view>;

bool Matches(const Components& path, std::initializer_list<std::u16string_view> pattern)
{
    if (path.size() != pattern.size()) {
        return false;
    }
    size_t i = 0;
    for (std::u16string_view expected : pattern) {
        if (!expected.empty() && !SameName(path[i], expected)) {
            return false;  // an empty pattern component matches any name
        }
        i++;
    }
    return true;
}

bool IsSoftwareRoot(const Components& path)
{
    return Matches(path, {u"REGISTRY", u"MACHINE", u"SOFTWARE"});
}

bool IsClassesRoot(const Components& path)
{
    constexpr std::u16string_view kSuffix = u"_Classes";
    if (Matches(path, {u"REGISTRY", u"USER", u""})) {
        std::u16string_view hive = path[2];
        return hive.size() > kSuffix.size() && SameName(hive.substr(hive.size() - kSuffix.size()), kSuffix);
    }
    return Matches(path, {u"REGISTRY", u"USER", u"", u"Software", u"Classes"});
}

// Where the rewrite stands: at a plain key, or at one of the roots the view changes.
enum class At { Plain, Software, Software32, Classes, Classes32 };

}  // namespace

std::u16string View32Name(std::u16string_view fullName)
{
    Components in;
    if (fullName.empty() || fullName[0] != kPathSeparator || !NT_SUCCESS(SplitKeyPath(fullName.substr(1), in))) {
        return std::u16string(fullName);  // the walk refuses it with its own status
    }
    Components out;
    At at = At::Plain;
    for (std::u16string_view component : in) {
        bool wowNode = SameName(component, kWowNode);
        switch (at) {
        case At::Software:
            if (wowNode) {
                at = At::Software32;
            } else if (SameName(component, u"Classes")) {
                at = At::Classes;
            } else {
                out.push_back(kWowNode);
                at = At::Plain;
            }
            out.push_back(component);
            continue;
        case At::Software32:
            if (SameName(component, u"Classes")) {
                out.pop_back();  // Wow6432Node\Classes is the shared Classes
                at = At::Classes;
            } else {
                at = At::Plain;
            }
            out.push_back(component);
            continue;
        case At::Classes:
            if (wowNode) {
                at = At::Classes32;
            } else {
                if (IsComRegistrationSubkey(component)) {
                    out.push_back(kWowNode);
                }
                at = At::Plain;
            }
            out.push_back(component);
            continue;
        case At::Classes32:
            if (!IsComRegistrationSubkey(component)) {
                out.pop_back();  // a shared name: the one in Classes itself
            }
            out.push_back(component);
            at = At::Plain;
            continue;
        case At::Plain:
            out.push_back(component);
            at = IsSoftwareRoot(out) ? At::Software : IsClassesRoot(out) ? At::Classes : At::Plain;
            continue;
        }
    }
    if (at == At::Software) {
        out.push_back(kWowNode);
    }
    std::u16string rewritten;
    for (std::u16string_view component : out) {
        rewritten += kPathSeparator;
        rewritten += component;
    }
    return rewritten;
}

}  // namespace vexsim
