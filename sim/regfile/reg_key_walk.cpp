// Walking the key tree by the components of a .reg key name, for import and export.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// An open by name follows at most this many links in one walk; more means a loop.
constexpr int kMaxLinkHops = 32;

NTSTATUS Walk(const std::vector<std::u16string>& components, RegImportJournal* create, int* hops,
              std::shared_ptr<KeyNode>* node, std::string* problem)
{
    std::shared_ptr<KeyNode> current = RegistryRoot();
    for (const std::u16string& component : components) {
        std::shared_ptr<KeyNode> next = FindSubkey(*current, component);
        if (next == nullptr && !create) {
            *problem = "key \"" + Utf16ToUtf8(FullNameOf(*current)) + "\\" + Utf16ToUtf8(component) +
                       "\" does not exist";
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (next == nullptr) {
            // \REGISTRY, MACHINE, USER, A and WC hold hives, which a file cannot add.
            if (current->depth < 2) {
                *problem = "\"" + Utf16ToUtf8(component) + "\" would be a new hive under \"" +
                           Utf16ToUtf8(FullNameOf(*current)) + "\"";
                return STATUS_ACCESS_DENIED;
            }
            NTSTATUS status = CheckNewSubkey(*current, component);
            if (!NT_SUCCESS(status)) {
                *problem = status == STATUS_NAME_TOO_LONG ? "the key's full name would be longer than the registry allows"
                                                          : "the key would be deeper than the registry allows";
                return status;
            }
            SecurityDescriptorBytes security;
            status = InheritSecurity(current->security, nullptr, TokenOf(PsInitialSystemProcess), true,
                                              &security);
            if (!NT_SUCCESS(status)) {
                *problem = "the new key's security could not be inherited";
                return status;
            }
            create->Keep(*current);
            next = InsertSubkey(*current, component, std::move(security));
            next->isVolatile = current->isVolatile;
            create->Created(*current, next);
        } else if (next->isLink) {
            std::vector<std::u16string> target;
            if (++*hops > kMaxLinkHops ||
                !NT_SUCCESS(NativeComponentsOf(LinkTargetOf(*next), RegFileOptions{}, &target, problem)) ||
                !NT_SUCCESS(Walk(target, nullptr, hops, &next, problem))) {
                *problem = "symbolic link \"" + Utf16ToUtf8(FullNameOf(*next)) + "\" leads nowhere";
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
        }
        current = std::move(next);
    }
    *node = std::move(current);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WalkRegistryPath(const std::vector<std::u16string>& components, RegImportJournal* create,
                          std::shared_ptr<KeyNode>* node, std::string* problem)
{
    int hops = 0;
    return Walk(components, create, &hops, node, problem);
}

}  // namespace vexsim
