// Import of a .reg file: the whole file is decoded and parsed first, then its changes are applied
// in order to the key tree under TreeLock(), without callbacks (see registry_file.h); a change
// that cannot be made puts back what the ones before it made.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// [-key]: the key and everything below it; a missing key is no error.
NTSTATUS DeleteKeyTree(const std::vector<std::u16string>& keyPath, RegImportJournal* journal, std::string* problem)
{
    if (keyPath.empty()) {
        *problem = "\\REGISTRY cannot be deleted";
        return STATUS_CANNOT_DELETE;
    }
    std::vector<std::u16string> parentPath(keyPath.begin(), keyPath.end() - 1);
    std::shared_ptr<KeyNode> parent;
    if (!NT_SUCCESS(WalkRegistryPath(parentPath, nullptr, &parent, problem))) {
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
    journal->CutOut(*parent, std::move(key));
    return STATUS_SUCCESS;
}

NTSTATUS ApplyChange(const RegChange& change, RegImportJournal* journal, std::shared_ptr<KeyNode>* currentKey,
                     std::string* problem)
{
    switch (change.kind) {
    case RegChange::Kind::OpenKey:
        return WalkRegistryPath(change.keyPath, journal, currentKey, problem);
    case RegChange::Kind::DeleteKey:
        currentKey->reset();
        return DeleteKeyTree(change.keyPath, journal, problem);
    case RegChange::Kind::SetValue:
        journal->Keep(**currentKey);
        StoreValue(**currentKey, change.value);
        return STATUS_SUCCESS;
    case RegChange::Kind::DeleteValue:
        journal->Keep(**currentKey);
        if ((*currentKey)->values.Erase(change.value.name)) {
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
    RegImportJournal journal;
    std::shared_ptr<KeyNode> currentKey;
    for (const RegChange& change : changes) {
        std::string problem;
        status = ApplyChange(change, &journal, &currentKey, &problem);
        if (!NT_SUCCESS(status)) {
            journal.RollBack();
            return FailRegFile(error, status, change.line, problem + "; nothing of the file was imported");
        }
    }
    journal.Commit();
    return STATUS_SUCCESS;
}

}  // namespace vexsim
