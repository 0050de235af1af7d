// Import of a regf hive file: libhivex reads the whole hive into memory first, then the keys are
// created below the mount point under TreeLock() through the same walk and journal as a .reg
// import, so that a hive that cannot be placed changes nothing.
#include "sim/regfile/hive_file.h"
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

#include <hivex.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <type_traits>
#include <unordered_set>

namespace vexsim {

namespace {

struct HiveKey {
    std::u16string name;
    std::u16string className;
    LONGLONG lastWriteTime = 0;  // 0: the hive gives none
    std::vector<KeyValue> values;
    std::vector<HiveKey> subkeys;
};

// Key classes, which libhivex does not read, come from the key records themselves. A node handle
// of libhivex is the file offset of the key's cell (checked on the root, whose offset the base
// block gives); the cell holds its size, then the nk record with the class cell's offset (from
// the first bin, at 0x1000) at +0x30 and the class's length in bytes at +0x4A.
class ClassReader {
public:
    explicit ClassReader(std::vector<UCHAR> file) : file_(std::move(file)) {}

    bool HandlesAreOffsets(hive_node_h root) const
    {
        ULONG rootOffset = 0;
        return Read32(0x24, &rootOffset) && root == kFirstBin + rootOffset;
    }

    // False when the class's record is out of the file or out of its cell.
    bool ClassOf(hive_node_h node, std::u16string* className) const
    {
        ULONG classOffset = 0;
        USHORT length = 0;
        if (!Read32(node + 4 + 0x30, &classOffset) || !Read16(node + 4 + 0x4A, &length)) {
            return false;
        }
        className->clear();
        if (classOffset == 0xFFFFFFFF || length == 0) {
            return true;
        }
        size_t cell = kFirstBin + size_t(classOffset);
        ULONG cellSize = 0;
        if (length % 2 != 0 || !Read32(cell, &cellSize) || -LONG(cellSize) < LONG(4 + length) ||
            cell + 4 + length > file_.size()) {
            return false;
        }
        for (size_t i = 0; i < length; i += 2) {
            className->push_back(char16_t(file_[cell + 4 + i] | (file_[cell + 5 + i] << 8)));
        }
        return true;
    }

private:
    static constexpr size_t kFirstBin = 0x1000;

    bool Read32(size_t offset, ULONG* out) const
    {
        if (offset + 4 > file_.size()) {
            return false;
        }
        std::memcpy(out, file_.data() + offset, 4);
        return true;
    }
    bool Read16(size_t offset, USHORT* out) const
    {
        if (offset + 2 > file_.size()) {
            return false;
        }
        std::memcpy(out, file_.data() + offset, 2);
        return true;
    }

    std::vector<UCHAR> file_;
};

// libhivex gives names in UTF-8, possibly with embedded NULs; the registry holds UTF-16.
bool Utf16Of(char* text, size_t length, std::u16string* out)
{
    size_t badOffset = 0;
    bool ok = text != nullptr && Utf8ToUtf16Strict(std::string_view(text, length), out, &badOffset);
    std::free(text);
    return ok;
}

// Reads the whole hive below a node. A key reached twice means the hive's subkey lists loop or
// share keys (a damaged or hostile file): refused, as is anything deeper than the registry holds.
class HiveReader {
public:
    HiveReader(hive_h* hive, const ClassReader& classes) : hive_(hive), classes_(classes) {}

    bool Read(hive_node_h node, const std::u16string& where, size_t depth, HiveKey* key)
    {
        if (depth > kMaxKeyDepth) {
            return Fail("key \"" + Excerpt(where) + "\" lies deeper than the registry allows");
        }
        if (!seen_.insert(node).second) {
            return Fail("key \"" + Excerpt(where) + "\" is reached twice: the hive's key lists loop");
        }
        if (!classes_.ClassOf(node, &key->className)) {
            return Fail("the class of key \"" + Excerpt(where) + "\" lies outside its record");
        }
        errno = 0;
        int64_t time = hivex_node_timestamp(hive_, node);
        key->lastWriteTime = time > 0 && errno == 0 ? time : 0;
        if (!ReadValues(node, where, key)) {
            return false;
        }
        hive_node_h* children = hivex_node_children(hive_, node);
        if (children == nullptr) {
            return Fail("the subkeys of \"" + Excerpt(where) + "\" cannot be read: " + std::strerror(errno));
        }
        bool ok = true;
        for (size_t i = 0; ok && children[i] != 0; i++) {
            HiveKey child;
            if (!Utf16Of(hivex_node_name(hive_, children[i]), hivex_node_name_len(hive_, children[i]), &child.name)) {
                ok = Fail("a subkey of \"" + Excerpt(where) + "\" has a name that is not valid text");
            } else if (child.name.empty() || child.name.size() > kMaxKeyNameChars ||
                       child.name.find(kPathSeparator) != std::u16string::npos) {
                ok = Fail("a subkey of \"" + Excerpt(where) + "\" has an invalid key name \"" + Excerpt(child.name) + "\"");
            } else {
                ok = Read(children[i], where + u"\\" + child.name, depth + 1, &child);
                key->subkeys.push_back(std::move(child));
            }
        }
        std::free(children);
        return ok;
    }

    const std::string& problem() const { return problem_; }

private:
    bool ReadValues(hive_node_h node, const std::u16string& where, HiveKey* key)
    {
        hive_value_h* values = hivex_node_values(hive_, node);
        if (values == nullptr) {
            return Fail("the values of \"" + Excerpt(where) + "\" cannot be read: " + std::strerror(errno));
        }
        bool ok = true;
        for (size_t i = 0; ok && values[i] != 0; i++) {
            KeyValue value;
            errno = 0;
            size_t nameLength = hivex_value_key_len(hive_, values[i]);
            if (errno != 0 || !Utf16Of(hivex_value_key(hive_, values[i]), nameLength, &value.name) ||
                value.name.size() > kMaxValueNameChars) {
                ok = Fail("a value of \"" + Excerpt(where) + "\" has an invalid name");
                break;
            }
            // Types beyond the enum's members (applications use their own) are read as a number.
            std::underlying_type_t<hive_type> type = 0;
            size_t length = 0;
            char* data = hivex_value_value(hive_, values[i], reinterpret_cast<hive_type*>(&type), &length);
            if (data == nullptr) {
                ok = Fail("the data of value \"" + Excerpt(value.name) + "\" of \"" + Excerpt(where) +
                          "\" cannot be read: " + std::strerror(errno));
                break;
            }
            value.type = ULONG(type);
            value.data.assign(data, data + length);
            std::free(data);
            key->values.push_back(std::move(value));
        }
        std::free(values);
        return ok;
    }

    bool Fail(const std::string& problem)
    {
        problem_ = problem;
        return false;
    }

    hive_h* hive_;
    const ClassReader& classes_;
    std::unordered_set<hive_node_h> seen_;
    std::string problem_;
};

struct HiveCloser {
    void operator()(hive_h* hive) const { hivex_close(hive); }
};

NTSTATUS ReadHive(const std::string& hivePath, HiveKey* root, std::string* problem)
{
    errno = 0;
    std::ifstream in(hivePath, std::ios::binary);
    std::vector<UCHAR> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        *problem = std::string("cannot be read (") + std::strerror(errno) + ")";
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    errno = 0;
    std::unique_ptr<hive_h, HiveCloser> hive(hivex_open(hivePath.c_str(), 0));
    if (hive == nullptr) {
        *problem = std::string("is not a well-formed hive (") + std::strerror(errno) + ")";
        return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_REGISTRY_CORRUPT;
    }
    ClassReader classes(std::move(bytes));
    hive_node_h rootNode = hivex_root(hive.get());
    if (rootNode == 0 || !classes.HandlesAreOffsets(rootNode)) {
        *problem = "has no root key where its header says";
        return STATUS_REGISTRY_CORRUPT;
    }
    HiveReader reader(hive.get(), classes);
    if (!reader.Read(rootNode, u"(root)", 0, root)) {
        *problem = reader.problem();
        return STATUS_REGISTRY_CORRUPT;
    }
    return STATUS_SUCCESS;
}

// Places one key at path: created when missing, its class (when the hive gives one) and values
// set, its subkeys placed, and only then its last-write time, which creating them would move.
NTSTATUS PlaceKey(const HiveKey& key, std::vector<std::u16string>* path, RegImportJournal* journal,
                  std::string* problem)
{
    std::shared_ptr<KeyNode> node;
    NTSTATUS status = WalkRegistryPath(*path, journal, &node, problem);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    journal->Keep(*node);
    if (!key.className.empty()) {
        node->className = key.className;
    }
    for (const KeyValue& value : key.values) {
        StoreValue(*node, value);
    }
    for (const HiveKey& subkey : key.subkeys) {
        path->push_back(subkey.name);
        status = PlaceKey(subkey, path, journal, problem);
        path->pop_back();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (key.lastWriteTime != 0) {
        node->lastWriteTime = key.lastWriteTime;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ImportHiveFile(const std::string& hivePath, std::u16string_view mountPoint, RegFileError* error)
{
    const std::string what = "hive file \"" + hivePath + "\" ";
    HiveKey root;
    std::string problem;
    NTSTATUS status = ReadHive(hivePath, &root, &problem);
    if (!NT_SUCCESS(status)) {
        return FailRegFile(error, status, 0, what + problem);
    }
    std::vector<std::u16string> path;
    status = NativeComponentsOf(mountPoint, RegFileOptions{}, &path, &problem);
    if (!NT_SUCCESS(status)) {
        return FailRegFile(error, status, 0, "mount point: " + problem);
    }
    std::lock_guard lock(TreeLock());
    std::shared_ptr<KeyNode> mount;
    status = WalkRegistryPath(path, nullptr, &mount, &problem);
    if (!NT_SUCCESS(status)) {
        return FailRegFile(error, status, 0, "mount point: " + problem);
    }
    RegImportJournal journal;
    status = PlaceKey(root, &path, &journal, &problem);
    if (!NT_SUCCESS(status)) {
        journal.RollBack();
        return FailRegFile(error, status, 0, what + "cannot be placed: " + problem + "; nothing of it was imported");
    }
    journal.Commit();
    return STATUS_SUCCESS;
}

}  // namespace vexsim
