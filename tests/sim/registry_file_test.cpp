// .reg import and export (both formats, every value type, deletions, errors with their lines) and
// the reboot of a machine that keeps the registry's non-volatile keys.
#include "sim/regfile/registry_file.h"
#include "tests/sim/registry_fixture.h"

namespace vextest {
namespace {

using vexsim::RegFileError;
using vexsim::RegFileFormat;

const std::string kVex = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vex";

std::vector<UCHAR> FileBytes(const std::string& text, RegFileFormat format)
{
    if (format == RegFileFormat::Regedit4) {
        return std::vector<UCHAR>(text.begin(), text.end());
    }
    std::vector<UCHAR> bytes{0xFF, 0xFE};
    for (char16_t unit : Utf16(text)) {
        bytes.push_back(static_cast<UCHAR>(unit & 0xFF));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    return bytes;
}

// The text of a file in either format, with "<no BOM>" in front of a version 5 file lacking one.
std::string FileText(const std::vector<UCHAR>& bytes, RegFileFormat format)
{
    if (format == RegFileFormat::Regedit4) {
        return std::string(bytes.begin(), bytes.end());
    }
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
        return "<no BOM>";
    }
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return Utf8(text);
}

std::string Header(RegFileFormat format)
{
    return format == RegFileFormat::Version5 ? "Windows Registry Editor Version 5.00\r\n" : "REGEDIT4\r\n";
}

struct StoredValue {
    std::string name;
    ULONG type;
    std::vector<UCHAR> data;
    bool operator==(const StoredValue&) const = default;
};

void PrintTo(const StoredValue& value, std::ostream* out)
{
    *out << "\"" << value.name << "\" type " << value.type << " (" << value.data.size() << " bytes)";
}

std::vector<UCHAR> Bytes(std::u16string_view text)
{
    const auto* begin = reinterpret_cast<const UCHAR*>(text.data());
    return std::vector<UCHAR>(begin, begin + text.size() * 2);
}

class RegistryFileTest : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        options_.currentUserSid = Utf16(config.userSids.front());
    }

    NTSTATUS Import(const std::string& body, RegFileFormat format = RegFileFormat::Version5)
    {
        error_ = RegFileError{};
        return vexsim::ImportRegistryFile(FileBytes(Header(format) + body, format), options_, &error_);
    }

    std::string Export(const std::string& name, RegFileFormat format = RegFileFormat::Version5)
    {
        std::vector<UCHAR> bytes;
        error_ = RegFileError{};
        NTSTATUS status = vexsim::ExportRegistryFile(Utf16(name), format, options_, &bytes, &error_);
        return status == STATUS_SUCCESS ? FileText(bytes, format) : "<export failed: " + error_.message + ">";
    }

    // Every value of a key, in enumeration order; empty when the key cannot be opened.
    std::vector<StoredValue> ValuesOf(const std::u16string& name)
    {
        std::vector<StoredValue> values;
        HANDLE key;
        if (OpenKey(&key, name) != STATUS_SUCCESS) {
            return values;
        }
        std::vector<UCHAR> buffer(4096);
        ULONG length;
        for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer.data(), (ULONG)buffer.size(),
                                              &length) == STATUS_SUCCESS;
             i++) {
            auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
            const UCHAR* data = buffer.data() + info->DataOffset;
            values.push_back({Utf8(std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2)),
                              info->Type, std::vector<UCHAR>(data, data + info->DataLength)});
        }
        (void)ZwClose(key);
        return values;
    }

    LONGLONG LastWriteTime(const std::u16string& name)
    {
        HANDLE key;
        if (OpenKey(&key, name) != STATUS_SUCCESS) {
            return -1;
        }
        KEY_BASIC_INFORMATION info{};
        ULONG length;
        (void)ZwQueryKey(key, KeyBasicInformation, &info, sizeof(info), &length);  // the fixed part is enough
        (void)ZwClose(key);
        return info.LastWriteTime.QuadPart;
    }

    bool KeyExists(const std::u16string& name)
    {
        HANDLE key;
        if (OpenKey(&key, name) != STATUS_SUCCESS) {
            return false;
        }
        (void)ZwClose(key);
        return true;
    }

    vexsim::RegFileOptions options_;
    RegFileError error_;
};

TEST_F(RegistryFileTest, ExportWritesTheRegistryEditorsExactBytes)
{
    ASSERT_EQ(STATUS_SUCCESS, Import("\r\n[" + kVex + "\\b]\r\n\r\n[" + kVex + "\\A]\r\n\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"));
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    std::u16string text = u"C:\\dir \"q\"";
    text.push_back(u'\0');
    Wide none(u"None"), path(u"Path"), blob(u"Blob"), byDefault(u"");
    std::u16string expand(u"%A%\0", 4);
    std::vector<UCHAR> binary;
    for (UCHAR b = 0; b < 30; b++) {
        binary.push_back(b);
    }
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, byDefault.get(), 0, REG_SZ, text.data(), (ULONG)text.size() * 2));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"Count", 42));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, blob.get(), 0, REG_BINARY, binary.data(), (ULONG)binary.size()));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, path.get(), 0, REG_EXPAND_SZ, expand.data(), 8));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, none.get(), 0, REG_NONE, nullptr, 0));
    (void)ZwClose(key);

    // Values in storage order, subkeys sorted, hex wrapped so that no line passes 80 columns.
    const std::string blobLines = "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                                  "  16,17,18,19,1a,1b,1c,1d\r\n";
    const std::string tail = "\"None\"=hex(0):\r\n\r\n[" + kVex + "\\A]\r\n\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n\r\n[" +
                             kVex + "\\b]\r\n\r\n";
    std::string head = "\r\n[" + kVex + "]\r\n@=\"C:\\\\dir \\\"q\\\"\"\r\n\"Count\"=dword:0000002a\r\n" + blobLines;
    EXPECT_EQ(Header(RegFileFormat::Version5) + head + "\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n" + tail,
              Export(kVex, RegFileFormat::Version5));
    // REGEDIT4: no byte-order mark, expandable strings as ANSI text.
    EXPECT_EQ(Header(RegFileFormat::Regedit4) + head + "\"Path\"=hex(2):25,41,25,00\r\n" + tail,
              Export(kVex, RegFileFormat::Regedit4));
}

struct TypeCase {
    const char* what;
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
};

TEST_F(RegistryFileTest, EveryValueTypeSurvivesARoundTripInBothFormats)
{
    std::vector<UCHAR> large(200);
    for (size_t i = 0; i < large.size(); i++) {
        large[i] = static_cast<UCHAR>(i * 7);
    }
    const TypeCase cases[] = {
        {"plain string", u"sz", REG_SZ, Bytes(std::u16string(u"text\0", 5))},
        {"default value, non-ASCII and a surrogate pair", u"", REG_SZ, Bytes(std::u16string(u"\u00e9\U0001D11E\0", 4))},
        {"empty string", u"empty", REG_SZ, Bytes(std::u16string(u"\0", 1))},
        {"string without a terminator goes as hex(1)", u"unterminated", REG_SZ, Bytes(u"abc")},
        {"string with a line break goes as hex(1)", u"lines", REG_SZ, Bytes(std::u16string(u"a\r\nb\0", 5))},
        {"string with an embedded NUL goes as hex(1)", u"nul", REG_SZ, Bytes(std::u16string(u"a\0b\0", 4))},
        {"name with quote and backslash", u"q\"\\", REG_SZ, Bytes(std::u16string(u"\\\"\0", 3))},
        {"expandable string", u"expand", REG_EXPAND_SZ, Bytes(std::u16string(u"%SystemRoot%\\\u00fc\0", 15))},
        {"multi-string", u"multi", REG_MULTI_SZ, Bytes(std::u16string(u"a\0\u00fc\0\0", 5))},
        {"dword", u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {"dword of three bytes goes as hex(4)", u"short", REG_DWORD, {1, 2, 3}},
        {"big-endian dword", u"big", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}},
        {"qword", u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"binary over several lines", u"binary", REG_BINARY, large},
        {"empty binary", u"nothing", REG_BINARY, {}},
        {"REG_NONE with data", u"none", REG_NONE, {9}},
        {"link", u"link", REG_LINK, Bytes(u"\\REGISTRY")},
        {"resource list", u"resources", REG_RESOURCE_LIST, {1, 0, 0, 0}},
        {"type number of its own", u"custom", 0x12345, {0xAB}},
    };
    for (RegFileFormat format : {RegFileFormat::Version5, RegFileFormat::Regedit4}) {
        SCOPED_TRACE(format == RegFileFormat::Version5 ? "version 5" : "REGEDIT4");
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, Import("[" + kVex + "\\Sub]\r\n"));
        ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Sub"));
        std::vector<StoredValue> expected;
        for (const TypeCase& c : cases) {
            Wide name(c.name);
            ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, name.get(), 0, c.type, (PVOID)c.data.data(), (ULONG)c.data.size()))
                << c.what;
            expected.push_back({Utf8(c.name), c.type, c.data});
        }
        (void)ZwClose(key);

        std::vector<UCHAR> exported;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::ExportRegistryFile(Utf16(kVex), format, options_, &exported, &error_))
            << error_.message;
        ASSERT_EQ(STATUS_SUCCESS, Import("[-" + kVex + "]\r\n"));
        ASSERT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::ImportRegistryFile(exported, options_, &error_)) << error_.message;

        std::vector<StoredValue> stored = ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Sub");
        ASSERT_EQ(expected.size(), stored.size());
        for (size_t i = 0; i < expected.size(); i++) {
            EXPECT_EQ(expected[i], stored[i]) << cases[i].what;
        }
        EXPECT_EQ(FileText(exported, format), Export(kVex, format)) << "the export of the import differs";
        ASSERT_EQ(STATUS_SUCCESS, Import("[-" + kVex + "]\r\n"));
    }
}

struct ImportFormCase {
    const char* what;
    RegFileFormat format;
    std::string line;
    ULONG type;
    std::vector<UCHAR> data;
};

TEST_F(RegistryFileTest, ImportReadsTheFormsHandWrittenFilesUse)
{
    const ImportFormCase cases[] = {
        {"short dword, upper case", RegFileFormat::Version5, "\"v\"=DWORD:A", REG_DWORD, {0x0A, 0, 0, 0}},
        {"continued hex with blanks", RegFileFormat::Version5, "\"v\" = hex:01, 02,\\\r\n    03,\\\r\n  04", REG_BINARY,
         {1, 2, 3, 4}},
        {"trailing comma", RegFileFormat::Version5, "\"v\"=hex(3):ff,", REG_BINARY, {0xFF}},
        {"REGEDIT4 UTF-8 string", RegFileFormat::Regedit4, "\"v\"=\"\xC3\xA9\"", REG_SZ, {0xE9, 0, 0, 0}},
        {"REGEDIT4 expandable string is ANSI", RegFileFormat::Regedit4, "\"v\"=hex(2):25,c3,a9,00", REG_EXPAND_SZ,
         {0x25, 0, 0xE9, 0, 0, 0}},
        {"version 5 expandable string is UTF-16", RegFileFormat::Version5, "\"v\"=hex(2):25,00,00,00", REG_EXPAND_SZ,
         {0x25, 0, 0, 0}},
    };
    for (const ImportFormCase& c : cases) {
        ASSERT_EQ(STATUS_SUCCESS, Import("; a comment\r\n[" + kVex + "]\r\n" + c.line + "\r\n", c.format))
            << c.what << ": " << error_.message;
        std::vector<StoredValue> expected{{"v", c.type, c.data}};
        EXPECT_EQ(expected, ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex")) << c.what;
    }
}

TEST_F(RegistryFileTest, RootNamesMapToTheNativeTreeAndLinksAreFollowed)
{
    ASSERT_EQ(STATUS_SUCCESS, Import("[HKEY_CURRENT_USER\\Software\\Vex]\r\n@=\"u\"\r\n"
                                     "[hkey_classes_root\\.vex]\r\n@=\"c\"\r\n"
                                     "[\\REGISTRY\\MACHINE\\SOFTWARE\\Native]\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Vex]\r\n"))
        << error_.message;
    EXPECT_EQ(1u, ValuesOf(u"\\REGISTRY\\USER\\" + options_.currentUserSid + u"\\Software\\Vex").size());
    EXPECT_EQ(1u, ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.vex").size());
    EXPECT_TRUE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Native"));
    EXPECT_TRUE(KeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Vex"));
    // The link is not exported; what it leads to is, where it lives.
    std::string system = Export("HKEY_LOCAL_MACHINE\\SYSTEM");
    EXPECT_EQ(std::string::npos, system.find("CurrentControlSet"));
    EXPECT_NE(std::string::npos, system.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Vex]\r\n"));
}

TEST_F(RegistryFileTest, DeletionsRemoveSubtreesAndValuesWithoutCallbacks)
{
    ASSERT_EQ(STATUS_SUCCESS, Import("[" + kVex + "\\Gone\\Deeper]\r\n\"a\"=dword:1\r\n[" + kVex +
                                     "]\r\n\"keep\"=dword:1\r\n\"drop\"=dword:2\r\n"));
    HANDLE deeper;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&deeper, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Gone\\Deeper"));
    TestCallback callback;
    ASSERT_EQ(STATUS_SUCCESS, Import("[-" + kVex + "\\Gone]\r\n[-" + kVex + "\\NeverWas]\r\n[" + kVex +
                                     "]\r\n\"drop\"=-\r\n\"neverwas\"=-\r\n"))
        << error_.message;
    EXPECT_TRUE(callback.seen.empty()) << "a machine-setup import is shown to no callback";
    EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Gone"));
    std::vector<StoredValue> expected{{"keep", REG_DWORD, {1, 0, 0, 0}}};
    EXPECT_EQ(expected, ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    UCHAR buffer[256];
    ULONG length;
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(deeper, KeyBasicInformation, buffer, sizeof(buffer), &length));
    (void)ZwClose(deeper);
}

struct MalformedCase {
    const char* what;
    std::string file;    // the whole file, header included
    NTSTATUS status;
    size_t line;
    std::string message;
};

TEST_F(RegistryFileTest, MalformedFilesFailWithTheLineAndChangeNothing)
{
    const std::string v5 = Header(RegFileFormat::Version5);
    const std::string key = "[" + kVex + "]\r\n";
    const MalformedCase cases[] = {
        {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", STATUS_INVALID_PARAMETER, 1, "the file must begin with"},
        {"value before a key", v5 + "\r\n\"a\"=dword:1\r\n", STATUS_INVALID_PARAMETER, 3, "before any key header"},
        {"unterminated header", v5 + key + "[" + kVex + "\r\n", STATUS_INVALID_PARAMETER, 3, "must end with \"]\""},
        {"unknown root", v5 + "[HKEY_NOWHERE\\x]\r\n", STATUS_OBJECT_NAME_NOT_FOUND, 2, "unknown root key"},
        {"empty component", v5 + "[" + kVex + "\\\\x]\r\n", STATUS_OBJECT_NAME_INVALID, 2, "invalid key name"},
        {"dword too long", v5 + key + "\"a\"=dword:123456789\r\n", STATUS_INVALID_PARAMETER, 3, "1 to 8 hex digits"},
        {"bad hex byte", v5 + key + "\"a\"=hex:01,xyz\r\n", STATUS_INVALID_PARAMETER, 3, "\"xyz\" is not a hex byte"},
        {"bad hex type", v5 + key + "\"a\"=hex(q):01\r\n", STATUS_INVALID_PARAMETER, 3, "hex(n): needs a type"},
        {"unknown data", v5 + key + "\"a\"=word:1\r\n", STATUS_INVALID_PARAMETER, 3, "value data must be"},
        {"missing =", v5 + key + "\"a\" dword:1\r\n", STATUS_INVALID_PARAMETER, 3, "\"=\" expected"},
        {"unclosed quote", v5 + key + "\"a=\"b\r\n", STATUS_INVALID_PARAMETER, 3, "\"=\" expected"},
        {"unclosed string", v5 + key + "\"a\"=\"b\r\n", STATUS_INVALID_PARAMETER, 3, "no closing quote"},
        {"single backslash", v5 + key + "\"a\"=\"C:\\x\"\r\n", STATUS_INVALID_PARAMETER, 3, "must be written \\\\"},
        {"text after string", v5 + key + "\"a\"=\"b\" c\r\n", STATUS_INVALID_PARAMETER, 3, "after the closing quote"},
        {"error on a continued line reports its first line", v5 + key + "\r\n\"a\"=hex:01,\\\r\n  zz\r\n",
         STATUS_INVALID_PARAMETER, 4, "\"zz\" is not a hex byte"},
        {"value after a deletion", v5 + "[-" + kVex + "]\r\n\"a\"=-\r\n", STATUS_INVALID_PARAMETER, 3,
         "cannot follow a key deletion"},
        {"a string ending in a backslash takes in no line", v5 + key + "\"a\"=\"abc\\\r\n\"\r\n",
         STATUS_INVALID_PARAMETER, 3, "must be written \\\\"},
        {"a long component is named and cut", v5 + "[" + kVex + "\\ok\\" + std::string(40000, 'k') + "]\r\n",
         STATUS_OBJECT_NAME_INVALID, 2,
         "component 4 of the key name after the root (\"" + std::string(60, 'k') + "... (40000 characters)\") is "
         "longer than 255 characters"},
    };
    for (const MalformedCase& c : cases) {
        error_ = RegFileError{};
        EXPECT_EQ(c.status, vexsim::ImportRegistryFile(FileBytes(c.file, RegFileFormat::Version5), options_, &error_))
            << c.what;
        EXPECT_EQ(c.line, error_.line) << c.what;
        EXPECT_NE(std::string::npos, error_.message.find(c.message)) << c.what << ": " << error_.message;
        EXPECT_EQ(0u, error_.message.find("line " + std::to_string(c.line) + ": ")) << c.what << ": " << error_.message;
        EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex")) << c.what << ": a malformed file changed the registry";
    }
    const std::string badUtf8 = "REGEDIT4\r\n[" + kVex + "]\r\n\"a\"=\"\xC3\x28\"\r\n";
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              vexsim::ImportRegistryFile(std::vector<UCHAR>(badUtf8.begin(), badUtf8.end()), options_, &error_));
    EXPECT_EQ("line 3: the text is not valid UTF-8 (byte 50 of the file)", error_.message);
    std::vector<UCHAR> odd{0xFF, 0xFE, 0x52};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, vexsim::ImportRegistryFile(odd, options_, &error_));
    EXPECT_EQ("the UTF-16 file ends in the middle of a character", error_.message);
}

TEST_F(RegistryFileTest, WhatTheRegistryRefusesUndoesTheWholeImport)
{
    ASSERT_EQ(STATUS_SUCCESS, Import("[" + kVex + "]\r\n\"kept\"=dword:1\r\n\"gone\"=dword:2\r\n[" + kVex +
                                     "\\Old\\Deep]\r\n\"v\"=\"x\"\r\n"));
    const std::string before = Export(kVex);
    const LONGLONG vexTime = LastWriteTime(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex");
    const LONGLONG softwareTime = LastWriteTime(u"\\REGISTRY\\MACHINE\\SOFTWARE");
    // Every kind of change comes before the failing line: new keys (one under a new key), values
    // set, changed and deleted, a subtree deleted and a key of the same name made again.
    const std::string changes = "[" + kVex + "\\New\\Below]\r\n\"n\"=dword:3\r\n[" + kVex +
                                "]\r\n\"kept\"=dword:9\r\n\"added\"=\"a\"\r\n\"gone\"=-\r\n[-" + kVex + "\\Old]\r\n[" +
                                kVex + "\\Old]\r\n\"w\"=dword:4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Top]\r\n";
    std::string deep = "[" + kVex;
    for (int level = 0; level < 520; level++) {
        deep += "\\d";
    }
    const struct {
        const char* what;
        std::string failing;
        NTSTATUS status;
        const char* message;
    } cases[] = {
        {"a hive root", "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", STATUS_CANNOT_DELETE, "cannot be deleted"},
        {"a new hive", "[HKEY_LOCAL_MACHINE\\NEWHIVE]\r\n", STATUS_ACCESS_DENIED, "would be a new hive"},
        {"an application hive", "[\\REGISTRY\\A\\{X}\\k]\r\n", STATUS_ACCESS_DENIED, "would be a new hive"},
        {"too deep", deep + "]\r\n", STATUS_INVALID_PARAMETER, "deeper than the registry allows"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, Import(changes + c.failing)) << c.what;
        EXPECT_EQ(12u, error_.line) << c.what << ": " << error_.message;
        EXPECT_NE(std::string::npos, error_.message.find(c.message)) << c.what << ": " << error_.message;
        EXPECT_NE(std::string::npos, error_.message.find("nothing of the file was imported")) << c.what;
        EXPECT_EQ(before, Export(kVex)) << c.what;
        EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Top")) << c.what;
        EXPECT_EQ(vexTime, LastWriteTime(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex")) << c.what;
        EXPECT_EQ(softwareTime, LastWriteTime(u"\\REGISTRY\\MACHINE\\SOFTWARE")) << c.what;
    }
    EXPECT_EQ(STATUS_SUCCESS, Import(changes)) << "the same changes without the failing line";
    EXPECT_EQ((std::vector<StoredValue>{{"w", REG_DWORD, {4, 0, 0, 0}}}), ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Old"));
    EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Old\\Deep"));
    options_.currentUserSid.clear();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Import("[HKEY_CURRENT_USER\\Software]\r\n"));
    EXPECT_EQ("line 2: HKEY_CURRENT_USER needs a user SID in the options", error_.message);
}

TEST_F(RegistryFileTest, ExportFailuresNameTheirCause)
{
    EXPECT_EQ("<export failed: key \"\\REGISTRY\\MACHINE\\SOFTWARE\\Nope\" does not exist>",
              Export("HKEY_LOCAL_MACHINE\\SOFTWARE\\Nope"));
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    Wide name(u"odd");
    UCHAR odd[3] = {0x41, 0, 0};
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, name.get(), 0, REG_MULTI_SZ, odd, sizeof(odd)));
    (void)ZwClose(key);
    std::vector<UCHAR> bytes;
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              vexsim::ExportRegistryFile(Utf16(kVex), RegFileFormat::Regedit4, options_, &bytes, &error_));
    EXPECT_NE(std::string::npos, error_.message.find("REGEDIT4 cannot carry it")) << error_.message;
    EXPECT_EQ(STATUS_SUCCESS, vexsim::ExportRegistryFile(Utf16(kVex), RegFileFormat::Version5, options_, &bytes, &error_));
    Wide broken(u"two\nlines");
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, broken.get(), 0, REG_BINARY, nullptr, 0));
    (void)ZwClose(key);
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              vexsim::ExportRegistryFile(Utf16(kVex), RegFileFormat::Version5, options_, &bytes, &error_));
    EXPECT_NE(std::string::npos, error_.message.find("holds a line break")) << error_.message;
}

TEST_F(RegistryFileTest, RebootDropsVolatileKeysAndKeepsTheRest)
{
    HANDLE key, volatileKey;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"kept", 7));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&volatileKey, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Gone", REG_OPTION_VOLATILE));
    (void)ZwClose(volatileKey);
    // A file cannot say "volatile": under a volatile parent a new key is volatile.
    ASSERT_EQ(STATUS_SUCCESS, Import("[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Vex]\r\n")) << error_.message;
    UCHAR buffer[256];
    ULONG length;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length));
    LONGLONG written = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer)->LastWriteTime.QuadPart;
    (void)ZwClose(key);
    std::string before = Export(kVex);
    LARGE_INTEGER clockBefore;
    KeQuerySystemTime(&clockBefore);

    vexsim::RebootMachine();

    EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex\\Gone"));
    EXPECT_FALSE(KeyExists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\Vex"));
    std::vector<StoredValue> expected{{"kept", REG_DWORD, {7, 0, 0, 0}}};
    EXPECT_EQ(expected, ValuesOf(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vex"));
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(written, reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer)->LastWriteTime.QuadPart);
    (void)ZwClose(key);
    LARGE_INTEGER clockAfter;
    KeQuerySystemTime(&clockAfter);
    EXPECT_GE(clockAfter.QuadPart, clockBefore.QuadPart) << "the clock went back at the reboot";
    // The boot-time volatile layout is there again: the link and HARDWARE's keys.
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001", [&] {
        HANDLE link;
        if (OpenKey(&link, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet") != STATUS_SUCCESS) {
            return std::string("<open failed>");
        }
        std::string name = KeyNameOf(link);
        (void)ZwClose(link);
        return name;
    }());
    EXPECT_TRUE(KeyExists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\System"));
    std::string after = Export(kVex);
    EXPECT_NE(std::string::npos, before.find("[" + kVex + "\\Gone]"));
    EXPECT_EQ(std::string::npos, after.find("[" + kVex + "\\Gone]"));
}

NTSTATUS NTAPI EntryThatDoesNothing(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

TEST_F(RegistryFileTest, RebootKeepsNothingOfADriverButItsServiceKey)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(EntryThatDoesNothing, "Quiet"));
    vexsim::RebootMachine();
    EXPECT_EQ(nullptr, vexsim::LoadedDriverObject());
    EXPECT_TRUE(KeyExists(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quiet"));
}

}  // namespace
}  // namespace vextest
