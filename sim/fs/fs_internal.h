// Records the file-system files share. Host code only.
//
// Invariants. A volume owns its tree of nodes; nodes are never removed while the machine runs,
// so a file object may keep a pointer to its node. Children are ordered by their upcased long
// name, the order directory listings return them in. A short name is unique among its siblings
// and empty when the long name is itself a valid 8.3 name. The file-system lock guards every
// volume, every tree and every directory cursor; it is never held while the driver runs.
#pragma once

#include "sim/core/kernel.h"
#include "sim/fs/file_system.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vexsim {

struct FsNode {
    std::u16string name;       // long name; empty for a root
    std::u16string shortName;  // 8.3 form, empty when the long name is one
    bool directory = false;
    bool listingDenied = false;
    ImageTraits image;
    LONGLONG time = 0;         // creation, access, write and change time alike
    FsNode* parent = nullptr;
    std::map<std::u16string, std::unique_ptr<FsNode>> children;  // by upcased long name
};

struct Volume {
    std::u16string deviceName;  // \Device\HarddiskVolume3, \Device\Mup
    PDEVICE_OBJECT device;      // named device object, referenced by the volume
    VPB vpb;                    // unused for the network provider
    bool network;               // files have no volume parameter block
    char16_t letter;            // 0 when none
    FsNode root;
};

std::mutex& FsLock();

std::u16string Upcase(std::u16string text);

// DOS path to NT path: C:\x -> \??\C:\x, \\server\share -> \??\UNC\server\share; NT paths are
// returned in canonical form.
std::u16string NtPathOf(const std::u16string& path);

// Follows symbolic links through the prefixes of an NT path to a volume device; remainder is the
// rest, beginning with a backslash or empty. Caller holds the file-system lock.
[[nodiscard]] NTSTATUS ResolveToVolume(const std::u16string& ntPath, Volume** volume, std::u16string& remainder);

// Walks the remainder's components (long or short names, without case). A trailing backslash
// demands a directory. STATUS_OBJECT_PATH_NOT_FOUND when a directory on the way is missing,
// STATUS_OBJECT_NAME_NOT_FOUND when the last component is. Caller holds the lock.
[[nodiscard]] NTSTATUS WalkPath(Volume* volume, const std::u16string& remainder, FsNode** node);

// The child of a directory named by its long or short name, or null.
FsNode* FindChild(FsNode* directory, const std::u16string& name);

// The 8.3 short name a new child of the directory gets; empty when the name is valid 8.3.
std::u16string GenerateShortName(const FsNode& directory, const std::u16string& longName);

// Does the name match the pattern ('*' any run, '?' one character), ignoring case?
bool MatchesFilePattern(const std::u16string& name, const std::u16string& pattern);

// A file object on the volume for the node, with FileName set to the path within the volume
// (or below the network provider); one internal reference, owned by the caller.
PFILE_OBJECT CreateFsFileObject(Volume* volume, FsNode* node, const std::u16string& fileName);

// The node a file object made by CreateFsFileObject stands for, or null for other files.
FsNode* NodeOf(PFILE_OBJECT file);

// Directory cursor of a file object: the pattern is captured by the first query.
struct DirectoryCursor {
    bool queried = false;       // a query has run on this file object
    std::u16string pattern;     // upcased; "*" when none was given
    std::u16string lastKey;     // key of the entry returned last; empty before the first
    bool atStart = true;
};
DirectoryCursor* CursorOf(PFILE_OBJECT file);

}  // namespace vexsim
