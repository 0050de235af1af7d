// ZwQueryDirectoryFile with FileBothDirectoryInformation on the simulated file systems.
//
// The pattern is captured by the first query on a file object and ignored afterwards; the first
// query always starts from the beginning. Entries come in the order of their upcased long names;
// a pattern matches an entry by its long or its short name. A first query that matches nothing
// returns STATUS_NO_SUCH_FILE and leaves the I/O status block as it was; once entries have been
// listed, or after that first failure, the end is STATUS_NO_MORE_FILES. When the first entry of a
// call does not fit whole: on the file object's first query it is returned cut short with
// STATUS_BUFFER_OVERFLOW and counts as listed (this kernel's choice); on a later query the call
// returns STATUS_SUCCESS with nothing written and the entry stays next.
#include "sim/fs/fs_internal.h"

#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <cstring>

namespace vexsim {

namespace {

constexpr ULONG kFixedPart = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
constexpr size_t kShortNameChars = 12;

bool Matches(const FsNode& node, const std::u16string& pattern)
{
    return MatchesFilePattern(node.name, pattern) || (!node.shortName.empty() && MatchesFilePattern(node.shortName, pattern));
}

ULONG EntrySize(const FsNode& node)
{
    return kFixedPart + static_cast<ULONG>(node.name.size() * sizeof(WCHAR));
}

// Writes as much of the entry as fits in room bytes (at least the fixed part); returns the bytes
// written.
ULONG WriteEntry(const FsNode& node, char* at, ULONG room)
{
    auto* entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(at);
    std::memset(at, 0, kFixedPart);
    entry->CreationTime.QuadPart = node.time;
    entry->LastAccessTime.QuadPart = node.time;
    entry->LastWriteTime.QuadPart = node.time;
    entry->ChangeTime.QuadPart = node.time;
    entry->FileAttributes = node.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    entry->FileNameLength = static_cast<ULONG>(node.name.size() * sizeof(WCHAR));
    size_t shortChars = std::min(node.shortName.size(), kShortNameChars);
    entry->ShortNameLength = static_cast<CCHAR>(shortChars * sizeof(WCHAR));
    std::memcpy(entry->ShortName, node.shortName.data(), shortChars * sizeof(WCHAR));
    ULONG nameBytes = std::min<ULONG>(entry->FileNameLength, room - kFixedPart);
    std::memcpy(entry->FileName, node.name.data(), nameBytes);
    return kFixedPart + nameBytes;
}

}  // namespace

// '*' matches any run of characters, '?' exactly one; both sides are compared upcased.
bool MatchesFilePattern(const std::u16string& name, const std::u16string& pattern)
{
    std::u16string text = Upcase(name);
    std::u16string wild = Upcase(pattern);
    size_t t = 0;
    size_t p = 0;
    size_t starP = std::u16string::npos;
    size_t starT = 0;
    while (t < text.size()) {
        if (p < wild.size() && (wild[p] == u'?' || wild[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < wild.size() && wild[p] == u'*') {
            starP = p++;
            starT = t;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < wild.size() && wild[p] == u'*') {
        ++p;
    }
    return p == wild.size();
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                               PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                                               PUNICODE_STRING FileName, BOOLEAN RestartScan)
{
    RequirePassiveLevel("ZwQueryDirectoryFile");
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    if (IoStatusBlock == nullptr || FileInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FileInformationClass != FileBothDirectoryInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (Length < kFixedPart) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PVOID object;
    HandleEntry handle;
    NTSTATUS status = ReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, KernelMode, &object, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto file = static_cast<PFILE_OBJECT>(object);
    std::lock_guard lock(FsLock());
    FsNode* directory = NodeOf(file);
    DirectoryCursor* cursor = CursorOf(file);
    if (directory == nullptr || !directory->directory) {
        status = STATUS_INVALID_PARAMETER;
    } else if ((handle.grantedAccess & FILE_LIST_DIRECTORY) == 0) {
        status = STATUS_ACCESS_DENIED;
    }
    if (!NT_SUCCESS(status)) {
        DereferenceObject(object);
        return status;
    }
    bool firstQuery = !cursor->queried;
    if (firstQuery) {
        cursor->queried = true;
        cursor->pattern = FileName != nullptr && FileName->Length != 0 ? ToU16(FileName) : u"*";
    }
    if (firstQuery || RestartScan) {
        cursor->atStart = true;
        cursor->lastKey.clear();
    }
    auto next = cursor->atStart ? directory->children.begin() : directory->children.upper_bound(cursor->lastKey);
    char* out = static_cast<char*>(FileInformation);
    ULONG written = 0;
    ULONG previous = 0;
    bool any = false;
    status = STATUS_SUCCESS;
    for (; next != directory->children.end(); ++next) {
        const FsNode& node = *next->second;
        if (!Matches(node, cursor->pattern)) {
            continue;
        }
        ULONG at = static_cast<ULONG>(ALIGN_UP_BY(written, 8));
        if (at + EntrySize(node) > Length) {
            if (!any && firstQuery) {
                written = WriteEntry(node, out, Length);
                cursor->atStart = false;
                cursor->lastKey = next->first;
                any = true;
                status = STATUS_BUFFER_OVERFLOW;
            }
            break;
        }
        if (any) {
            reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(out + previous)->NextEntryOffset = at - previous;
        }
        written = at + WriteEntry(node, out + at, Length - at);
        previous = at;
        any = true;
        cursor->atStart = false;
        cursor->lastKey = next->first;
        if (ReturnSingleEntry) {
            break;
        }
    }
    DereferenceObject(object);
    if (!any && next == directory->children.end()) {
        if (firstQuery) {
            return STATUS_NO_SUCH_FILE;
        }
        status = STATUS_NO_MORE_FILES;
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = written;
    return status;
}
