// Import of a .reg file: the whole file is decoded and parsed first, then its changes are applied
// in order to the key tree under TreeLock(), without callbacks (see registry_file.h).
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// [-key]: the key and everything below it; a missing key is no error.
NTSTATUS DeleteKeyTree(const std::vector<std::u16string>& keyPath, std::string* problem)
{
    if (keyPath.empty()) {
        *problem = "\\REGISTRY cannot be deleted";
        return STATUS_CANNOT_DELETE;
    }
    std::vector<std::u16string> parentPath(keyPath.begin(), keyPath.end() - 1);
    std::shared_ptr<KeyNode> parent;
    if (!NT_SUCCESS(WalkRegistryPath(parentPath, false, &parent, problem))) {
        return STATUS_SUCCESS;
    }
    std::shared_ptr<KeyNode> key = FindSubkey(*parent, keyPath.back());
    if (key == nullptr) {
        return STATUS_SUCCESS;
    }
    if (key->isHiveRoot) {
        *problem = "hive root \"" + Utf16ToUtf8(FullNameOf(*key)) + "\" cannot be deleted";
        return STATUS_CANNOT_DELETE;
    }
    RemoveSubtree(*parent, *key);
    return STATUS_SUCCESS;
}

NTSTATUS ApplyChange(const RegChange& change, std::shared_ptr<KeyNode>* currentKey, std::string* problem)
{
    switch (change.kind) {
    case RegChange::Kind::OpenKey:
        return WalkRegistryPath(change.keyPath, true, currentKey, problem);
    case RegChange::Kind::DeleteKey:
        currentKey->reset();
        return DeleteKeyTree(change.keyPath, problem);
    case RegChange::Kind::SetValue:
        StoreValue(**currentKey, change.value);
        return STATUS_SUCCESS;
    case RegChange::Kind::DeleteValue:
        if (std::erase_if((*currentKey)->values,
                          [&](const KeyValue& value) { return SameName(value.name, change.value.name); }) != 0) {
            Touch(**currentKey);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ImportRegistryFile(std::span<const UCHAR> file, const RegFileOptions& options, RegFileError* error)
{
    std::vector<RegLine> lines;
    NTSTATUS status = DecodeRegText(file, &lines, error);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<RegChange> changes;
    status = ParseRegFile(lines, options, &changes, error);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard lock(TreeLock());
    std::shared_ptr<KeyNode> currentKey;
    for (const RegChange& change : changes) {
        std::string problem;
        status = ApplyChange(change, &currentKey, &problem);
        if (!NT_SUCCESS(status)) {
            return FailRegFile(error, status, change.line, problem);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace vexsim
