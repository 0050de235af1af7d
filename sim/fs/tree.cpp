// Directories and files of a volume: creation along a path, look-up by long or short name, and
// the path forms tests compare with.
#include "sim/fs/fs_internal.h"

#include <vector>

namespace vexsim {

namespace {

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

std::vector<std::u16string> SplitComponents(const std::u16string& remainder)
{
    std::vector<std::u16string> components;
    size_t start = 0;
    while (start < remainder.size()) {
        size_t slash = remainder.find(u'\\', start);
        if (slash == std::u16string::npos) {
            slash = remainder.size();
        }
        if (slash > start) {
            components.push_back(remainder.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return components;
}

// Creates what is missing along the path; the last component is a directory or a file.
NTSTATUS CreatePath(const std::u16string& path, bool directory, const ImageTraits& traits)
{
    std::lock_guard lock(FsLock());
    Volume* volume;
    std::u16string remainder;
    NTSTATUS status = ResolveToVolume(NtPathOf(path), &volume, remainder);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<std::u16string> components = SplitComponents(remainder);
    if (components.empty()) {
        return directory ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    FsNode* parent = &volume->root;
    for (size_t i = 0; i < components.size(); ++i) {
        bool last = i + 1 == components.size();
        bool wantDirectory = !last || directory;
        FsNode* child = FindChild(parent, components[i]);
        if (child == nullptr) {
            auto node = std::make_unique<FsNode>();
            node->name = components[i];
            node->shortName = GenerateShortName(*parent, components[i]);
            node->directory = wantDirectory;
            node->image = traits;
            node->time = Now();
            node->parent = parent;
            child = node.get();
            parent->children.emplace(Upcase(components[i]), std::move(node));
        } else if (child->directory != wantDirectory) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        parent = child;
    }
    return STATUS_SUCCESS;
}

// The nodes from the root's child down to the path's last component.
NTSTATUS Chain(const std::u16string& path, Volume** volume, std::vector<FsNode*>& chain)
{
    std::u16string remainder;
    NTSTATUS status = ResolveToVolume(NtPathOf(path), volume, remainder);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FsNode* node = &(*volume)->root;
    for (const std::u16string& component : SplitComponents(remainder)) {
        node = node->directory ? FindChild(node, component) : nullptr;
        if (node == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        chain.push_back(node);
    }
    return STATUS_SUCCESS;
}

}  // namespace

FsNode* FindChild(FsNode* directory, const std::u16string& name)
{
    std::u16string key = Upcase(name);
    auto found = directory->children.find(key);
    if (found != directory->children.end()) {
        return found->second.get();
    }
    for (auto& [childKey, child] : directory->children) {
        if (!child->shortName.empty() && child->shortName == key) {
            return child.get();
        }
    }
    return nullptr;
}

NTSTATUS WalkPath(Volume* volume, const std::u16string& remainder, FsNode** node)
{
    std::vector<std::u16string> components = SplitComponents(remainder);
    FsNode* at = &volume->root;
    for (size_t i = 0; i < components.size(); ++i) {
        FsNode* child = at->directory ? FindChild(at, components[i]) : nullptr;
        if (child == nullptr) {
            return i + 1 == components.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        at = child;
    }
    bool trailingSlash = !remainder.empty() && remainder.back() == u'\\';
    if (trailingSlash && !at->directory) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *node = at;
    return STATUS_SUCCESS;
}

NTSTATUS CreateDirectoryPath(const std::u16string& path)
{
    return CreatePath(path, true, ImageTraits{});
}

NTSTATUS CreateFilePath(const std::u16string& path, const ImageTraits& traits)
{
    return CreatePath(path, false, traits);
}

NTSTATUS DenyDirectoryListing(const std::u16string& path, bool deny)
{
    std::lock_guard lock(FsLock());
    Volume* volume;
    std::vector<FsNode*> chain;
    NTSTATUS status = Chain(path, &volume, chain);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FsNode* node = chain.empty() ? &volume->root : chain.back();
    if (!node->directory) {
        return STATUS_NOT_A_DIRECTORY;
    }
    node->listingDenied = deny;
    return STATUS_SUCCESS;
}

std::u16string ShortPathOf(const std::u16string& path)
{
    std::lock_guard lock(FsLock());
    Volume* volume;
    std::vector<FsNode*> chain;
    if (!NT_SUCCESS(Chain(path, &volume, chain))) {
        return {};
    }
    // Keep the given prefix (drive, \??\C:, device or share) and rewrite the components after it.
    std::vector<std::u16string> given = SplitComponents(path);
    size_t prefixComponents = given.size() - chain.size();
    size_t leadingSlashes = 0;
    while (leadingSlashes < 2 && leadingSlashes < path.size() && path[leadingSlashes] == u'\\') {
        ++leadingSlashes;
    }
    std::u16string result(leadingSlashes, u'\\');
    for (size_t i = 0; i < given.size(); ++i) {
        if (i != 0) {
            result += u'\\';
        }
        if (i < prefixComponents) {
            result += given[i];
        } else {
            FsNode* node = chain[i - prefixComponents];
            result += node->shortName.empty() ? node->name : node->shortName;
        }
    }
    return result;
}

std::u16string DevicePathOf(const std::u16string& path)
{
    std::lock_guard lock(FsLock());
    Volume* volume;
    std::vector<FsNode*> chain;
    if (!NT_SUCCESS(Chain(path, &volume, chain))) {
        return {};
    }
    std::u16string result = volume->deviceName;
    for (FsNode* node : chain) {
        result += u"\\" + node->name;
    }
    return result;
}

}  // namespace vexsim
