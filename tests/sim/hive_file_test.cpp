// Hive file import: the same keys as a .reg file with the same content, classes and last-write
// times from the file, and nothing changed by a file that is damaged or cannot be placed.
// Hives are made from tests/sim/data/base.hive (see make_base_hive.py there) with libhivex.
#include "sim/regfile/hive_file.h"
#include "tests/sim/registry_fixture.h"

#include <hivex.h>

#include <fstream>

namespace vextest {
namespace {

const std::string kBaseHive = std::string(VEX_SOURCE_DIR) + "/tests/sim/data/base.hive";
constexpr LONGLONG kClassedTime = 132'000'000'000'000'000;  // what the base hive gives "Classed"

struct HiveValue {
    std::string key;      // below the hive's root, '\' between components; empty: the root
    std::string name;
    ULONG type;
    std::vector<UCHAR> data;
    std::string regLine;  // the same value as a .reg file writes it
};

std::vector<UCHAR> Utf16Bytes(std::u16string_view text)
{
    std::vector<UCHAR> bytes;
    for (char16_t unit : text) {
        bytes.push_back(UCHAR(unit & 0xFF));
        bytes.push_back(UCHAR(unit >> 8));
    }
    return bytes;
}

// The base hive with the given keys and values (a value without a name only makes its key),
// committed to a file of its own.
std::string WriteHive(const std::vector<HiveValue>& values, const std::string& fileName)
{
    hive_h* hive = hivex_open(kBaseHive.c_str(), HIVEX_OPEN_WRITE);
    EXPECT_NE(nullptr, hive) << kBaseHive;
    for (const HiveValue& value : values) {
        hive_node_h node = hivex_root(hive);
        std::stringstream components(value.key);
        for (std::string component; !value.key.empty() && std::getline(components, component, '\\');) {
            hive_node_h child = hivex_node_get_child(hive, node, component.c_str());
            node = child != 0 ? child : hivex_node_add_child(hive, node, component.c_str());
        }
        if (value.regLine.empty()) {
            continue;
        }
        hive_set_value set{const_cast<char*>(value.name.c_str()), hive_type(value.type), value.data.size(),
                           reinterpret_cast<char*>(const_cast<UCHAR*>(value.data.data()))};
        EXPECT_EQ(0, hivex_node_set_value(hive, node, &set, 0)) << value.key << " " << value.name;
    }
    std::string path = testing::TempDir() + fileName;
    EXPECT_EQ(0, hivex_commit(hive, path.c_str(), 0));
    hivex_close(hive);
    return path;
}

class HiveFileTest : public RegistryTest {
protected:
    NTSTATUS ImportReg(const std::string& body)
    {
        std::string text = "REGEDIT4\r\n" + body;
        return vexsim::ImportRegistryFile(std::vector<UCHAR>(text.begin(), text.end()), {}, &error_);
    }

    NTSTATUS ImportHive(const std::string& path, const std::u16string& mountPoint)
    {
        error_ = {};
        return vexsim::ImportHiveFile(path, mountPoint, &error_);
    }

    std::string Export(const std::string& name)
    {
        std::vector<UCHAR> bytes;
        NTSTATUS status = vexsim::ExportRegistryFile(Utf16(name), vexsim::RegFileFormat::Regedit4, {}, &bytes, &error_);
        return status == STATUS_SUCCESS ? std::string(bytes.begin(), bytes.end()) : "<export failed>";
    }

    vexsim::RegFileError error_;
};

TEST_F(HiveFileTest, AHiveAndARegFileWithTheSameContentGiveTheSameKeys)
{
    std::vector<UCHAR> large(20000);  // beyond one data cell: the hive keeps it in a big-data record
    for (size_t i = 0; i < large.size(); i++) {
        large[i] = UCHAR(i * 13);
    }
    std::string largeLine = "\"large\"=hex:";
    for (size_t i = 0; i < large.size(); i++) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), i == 0 ? "%02x" : ",%02x", large[i]);
        largeLine += byte;
    }
    const std::vector<HiveValue> values = {
        {"", "", REG_SZ, Utf16Bytes(std::u16string(u"root\0", 5)), "@=\"root\""},
        {"App", "sz", REG_SZ, Utf16Bytes(std::u16string(u"t\u00e9xt\0", 5)), "\"sz\"=\"t\xc3\xa9xt\""},
        {"App", "dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, "\"dword\"=dword:12345678"},
        {"App", "qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, "\"qword\"=hex(b):01,02,03,04,05,06,07,08"},
        {"App", "multi", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0b\0\0", 5)), "\"multi\"=hex(7):61,00,62,00,00"},
        {"App", "custom", 0x12345, {0xAB}, "\"custom\"=hex(12345):ab"},
        {"App", "none", REG_NONE, {}, "\"none\"=hex(0):"},
        {"App\\Nested\\Deeper", "large", REG_BINARY, large, largeLine},
        {"App\\Empty", "", 0, {}, ""},
        {"\xc3\x9cnicode", "\xe2\x82\xac", REG_DWORD, {1, 0, 0, 0}, "\"\xe2\x82\xac\"=dword:00000001"},
    };
    std::string reg = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\FromHive]\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\FromReg\\Classed]\r\n";
    for (const HiveValue& value : values) {
        reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\FromReg" + (value.key.empty() ? "" : "\\" + value.key) + "]\r\n" +
               value.regLine + "\r\n";
    }
    ASSERT_EQ(STATUS_SUCCESS, ImportReg(reg)) << error_.message;
    std::string hive = WriteHive(values, "same.hive");
    ASSERT_EQ(STATUS_SUCCESS, ImportHive(hive, u"\\REGISTRY\\MACHINE\\SOFTWARE\\FromHive")) << error_.message;

    std::string fromReg = Export("HKEY_LOCAL_MACHINE\\SOFTWARE\\FromReg");
    for (size_t at; (at = fromReg.find("FromReg")) != std::string::npos;) {
        fromReg.replace(at, 7, "FromHive");
    }
    EXPECT_EQ(fromReg, Export("HKEY_LOCAL_MACHINE\\SOFTWARE\\FromHive"));

    // What a .reg file cannot carry: the class and the last-write time.
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\FromHive\\Classed"));
    std::vector<UCHAR> buffer(512);
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyNodeInformation, buffer.data(), ULONG(buffer.size()), &length));
    (void)ZwClose(key);
    auto* info = reinterpret_cast<PKEY_NODE_INFORMATION>(buffer.data());
    EXPECT_EQ(kClassedTime, info->LastWriteTime.QuadPart);
    EXPECT_EQ("VexClass", Utf8(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + info->ClassOffset),
                                              info->ClassLength / 2)));
}

TEST_F(HiveFileTest, AFileThatIsDamagedOrCannotBePlacedChangesNothing)
{
    // A mount point whose full name leaves room for one more 255-character component, not two.
    std::string longPath = "HKEY_LOCAL_MACHINE\\SOFTWARE";
    for (int i = 0; i < 126; i++) {
        longPath += "\\" + std::string(255, char('a' + i % 26));
    }
    ASSERT_EQ(STATUS_SUCCESS, ImportReg("[" + longPath + "]\r\n\"kept\"=dword:1\r\n")) << error_.message;
    const std::string name255(255, 'n');
    const std::string tooLong = WriteHive({{"", "added", REG_DWORD, {2, 0, 0, 0}, "-"},
                                           {name255 + "\\" + name255, "", 0, {}, ""}},
                                          "toolong.hive");
    const std::string good = WriteHive({}, "good.hive");
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    struct Case {
        const char* what;
        std::string content;  // written to a file of its own; empty: the hive given
        std::string hive;
        std::string mountPoint;
        NTSTATUS status;
    };
    std::string badChecksum = bytes;
    badChecksum[0x1FC] ^= 1;
    std::string badRoot = bytes;
    badRoot[0x24] = 0x08;  // the root offset points into the middle of a cell
    const Case cases[] = {
        {"missing file", "", testing::TempDir() + "missing.hive", "HKEY_LOCAL_MACHINE\\SOFTWARE", STATUS_OBJECT_NAME_NOT_FOUND},
        {"a .reg file", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n", "", "HKEY_LOCAL_MACHINE\\SOFTWARE",
         STATUS_REGISTRY_CORRUPT},
        {"cut after the base block", bytes.substr(0, 4096), "", "HKEY_LOCAL_MACHINE\\SOFTWARE", STATUS_REGISTRY_CORRUPT},
        {"wrong checksum", badChecksum, "", "HKEY_LOCAL_MACHINE\\SOFTWARE", STATUS_REGISTRY_CORRUPT},
        {"root offset off its record", badRoot, "", "HKEY_LOCAL_MACHINE\\SOFTWARE", STATUS_REGISTRY_CORRUPT},
        {"missing mount point", "", good, "HKEY_LOCAL_MACHINE\\SOFTWARE\\NotThere", STATUS_OBJECT_NAME_NOT_FOUND},
        {"full name too long below the mount point", "", tooLong, longPath, STATUS_NAME_TOO_LONG},
    };
    const std::string before = Export("HKEY_LOCAL_MACHINE\\SOFTWARE");
    for (const Case& c : cases) {
        std::string path = c.hive;
        if (!c.content.empty()) {
            path = testing::TempDir() + "damaged.hive";
            std::ofstream(path, std::ios::binary) << c.content;
        }
        EXPECT_EQ(c.status, ImportHive(path, Utf16(c.mountPoint))) << c.what;
        EXPECT_FALSE(error_.message.empty()) << c.what;
        EXPECT_EQ(before, Export("HKEY_LOCAL_MACHINE\\SOFTWARE")) << c.what << ": " << error_.message;
    }
}

}  // namespace
}  // namespace vextest
