// INF sections are read with SimpleIni (key-only lines allowed, repeated keys kept); the fields of
// a line are split here, because INF quoting and string substitution are INF's own.
#include "sim/machine/driver_package.h"

#include "sim/rtl/utf.h"

// The INF is ASCII or UTF-8 text: no wide-character conversion is wanted.
#define SI_NO_CONVERSION
#include <SimpleIni.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <list>
#include <optional>
#include <vector>

namespace vexsim {

namespace {

const std::u16string kServicesKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string kDriversDirectory = "\\SystemRoot\\System32\\drivers";

constexpr ULONG kAddRegString = 0x00000000;
constexpr ULONG kAddRegMultiString = 0x00010000;
constexpr ULONG kAddRegDword = 0x00010001;
constexpr ULONG kAddRegExpandString = 0x00020000;

class InfFile {
public:
    bool Load(const std::string& path, std::string* problem)
    {
        ini_.SetAllowKeyOnly(true);
        ini_.SetMultiKey(true);
        if (ini_.LoadFile(path.c_str()) < 0) {
            *problem = "cannot read " + path;
            return false;
        }
        return true;
    }

    bool LoadText(const std::string& text, std::string* problem)
    {
        ini_.SetAllowKeyOnly(true);
        ini_.SetMultiKey(true);
        if (ini_.LoadData(text) < 0) {
            *problem = "cannot parse the INF text";
            return false;
        }
        return true;
    }

    bool HasSection(const std::string& section) const { return ini_.GetSection(section.c_str()) != nullptr; }

    // The entries of a section in file order: key, and value (empty for a key-only line).
    std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const
    {
        CSimpleIniA::TNamesDepend keys;
        ini_.GetAllKeys(section.c_str(), keys);
        keys.sort(CSimpleIniA::Entry::LoadOrder());
        std::vector<std::pair<std::string, std::string>> entries;
        for (const auto& key : keys) {
            CSimpleIniA::TNamesDepend values;
            ini_.GetAllValues(section.c_str(), key.pItem, values);
            values.sort(CSimpleIniA::Entry::LoadOrder());
            for (const auto& value : values) {
                entries.emplace_back(key.pItem, value.pItem);
            }
        }
        return entries;
    }

    std::optional<std::string> Value(const std::string& section, const std::string& key) const
    {
        const char* value = ini_.GetValue(section.c_str(), key.c_str(), nullptr);
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    }

private:
    CSimpleIniA ini_;
};

// The comma-separated fields of a line with INF quoting: quotes group, "" inside quotes is one
// quote, and ';' outside quotes starts a comment. Fields are trimmed of blanks.
std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (!quoted && c == ';') {
            break;
        } else if (!quoted && c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    for (std::string& field : fields) {
        field.erase(0, field.find_first_not_of(" \t"));
        field.erase(field.find_last_not_of(" \t") + 1);
    }
    return fields;
}

class Installer {
public:
    Installer(const InfFile& inf, std::string* problem) : inf_(inf), problem_(problem) {}

    NTSTATUS Run()
    {
        std::optional<std::string> signature = inf_.Value("Version", "Signature");
        if (!signature || SplitFields(Substitute(*signature))[0] != "$WINDOWS NT$") {
            return Fail("[Version] has no Signature of \"$WINDOWS NT$\"");
        }
        std::string section = "DefaultInstall.NTamd64.Services";
        if (!inf_.HasSection(section)) {
            section = "DefaultInstall.Services";
        }
        bool any = false;
        for (const auto& [key, value] : inf_.Entries(section)) {
            if (Lower(key) != "addservice") {
                continue;
            }
            std::vector<std::string> fields = SplitFields(Substitute(value));
            if (fields.size() < 3 || fields[0].empty() || fields[2].empty()) {
                return Fail("AddService needs a service name and a service section: " + value);
            }
            NTSTATUS status = AddService(fields[0], fields[2]);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            any = true;
        }
        return any ? STATUS_SUCCESS : Fail("no AddService in [" + section + "]");
    }

private:
    NTSTATUS Fail(const std::string& what)
    {
        *problem_ = what;
        return STATUS_INVALID_PARAMETER;
    }

    static std::string Lower(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text;
    }

    // %strkey% from [Strings] (unquoted), %12% the drivers directory, %% a percent sign.
    std::string Substitute(const std::string& text)
    {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
            if (end == std::string::npos) {
                out += text[i];
                continue;
            }
            std::string token = text.substr(i + 1, end - i - 1);
            if (token.empty()) {
                out += '%';
            } else if (token == "12") {
                out += kDriversDirectory;
            } else if (std::optional<std::string> value = inf_.Value("Strings", token)) {
                std::vector<std::string> fields = SplitFields(*value);
                out += fields.empty() ? std::string() : fields[0];
            } else {
                unknownToken_ = token;
                out += text.substr(i, end - i + 1);
            }
            i = end;
        }
        return out;
    }

    NTSTATUS AddService(const std::string& name, const std::string& section)
    {
        if (!inf_.HasSection(section)) {
            return Fail("no service section [" + section + "]");
        }
        std::u16string key = kServicesKey + Utf8ToUtf16(name);
        NTSTATUS status = CreateKeyPath(key);
        for (const auto& [entry, rawValue] : inf_.Entries(section)) {
            if (!NT_SUCCESS(status)) {
                break;
            }
            std::string directive = Lower(entry);
            std::string value = SplitFields(Substitute(rawValue))[0];
            if (!unknownToken_.empty()) {
                return Fail("[" + section + "] uses %" + unknownToken_ + "%, which [Strings] does not define");
            }
            if (directive == "servicetype" || directive == "starttype" || directive == "errorcontrol") {
                static const std::pair<const char*, const char16_t*> names[] = {
                    {"servicetype", u"Type"}, {"starttype", u"Start"}, {"errorcontrol", u"ErrorControl"}};
                auto it = std::find_if(std::begin(names), std::end(names), [&](auto& n) { return directive == n.first; });
                status = SetDword(key, it->second, value);
            } else if (directive == "servicebinary") {
                status = SetString(key, u"ImagePath", REG_EXPAND_SZ, {value});
            } else if (directive == "displayname") {
                status = SetString(key, u"DisplayName", REG_SZ, {value});
            } else if (directive == "description") {
                status = SetString(key, u"Description", REG_SZ, {value});
            } else if (directive == "loadordergroup") {
                status = SetString(key, u"Group", REG_SZ, {value});
            } else if (directive == "dependencies") {
                status = SetString(key, u"DependOnService", REG_MULTI_SZ, SplitFields(Substitute(rawValue)));
            } else if (directive == "addreg") {
                for (const std::string& addReg : SplitFields(Substitute(rawValue))) {
                    status = NT_SUCCESS(status) ? AddRegistry(key, addReg) : status;
                }
            }
        }
        return status;
    }

    NTSTATUS AddRegistry(const std::u16string& serviceKey, const std::string& section)
    {
        if (!inf_.HasSection(section)) {
            return Fail("no AddReg section [" + section + "]");
        }
        for (const auto& [line, value] : inf_.Entries(section)) {
            std::string text = value.empty() ? line : line + "=" + value;
            std::vector<std::string> fields = SplitFields(Substitute(text));
            if (!unknownToken_.empty()) {
                return Fail("[" + section + "] uses %" + unknownToken_ + "%, which [Strings] does not define");
            }
            if (fields.size() < 5 || Lower(fields[0]) != "hkr") {
                return Fail("[" + section + "] line is not HKR,subkey,value,flags,data: " + text);
            }
            std::u16string key = serviceKey + (fields[1].empty() ? u"" : u"\\" + Utf8ToUtf16(fields[1]));
            NTSTATUS status = CreateKeyPath(key);
            ULONG flags = std::strtoul(fields[3].c_str(), nullptr, 0);
            std::u16string valueName = Utf8ToUtf16(fields[2]);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (flags == kAddRegString || flags == kAddRegExpandString) {
                status = SetString(key, valueName, flags == kAddRegString ? REG_SZ : REG_EXPAND_SZ, {fields[4]});
            } else if (flags == kAddRegMultiString) {
                status = SetString(key, valueName, REG_MULTI_SZ, std::vector<std::string>(fields.begin() + 4, fields.end()));
            } else if (flags == kAddRegDword) {
                status = SetDword(key, valueName, fields[4]);
            } else {
                return Fail("[" + section + "] uses AddReg flags " + fields[3] + ", which this installer does not know");
            }
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }

    // Creates the key and any missing key above it below an existing one.
    NTSTATUS CreateKeyPath(const std::u16string& path)
    {
        for (size_t at = kServicesKey.size(); at != std::u16string::npos;) {
            at = path.find(u'\\', at + 1);
            NTSTATUS status = WithKey(path.substr(0, at), [](HANDLE) { return STATUS_SUCCESS; });
            if (!NT_SUCCESS(status)) {
                *problem_ = "cannot create " + Utf16ToUtf8(path.substr(0, at));
                return status;
            }
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS SetDword(const std::u16string& key, const std::u16string& name, const std::string& text)
    {
        char* end = nullptr;
        ULONG value = std::strtoul(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0') {
            return Fail("\"" + text + "\" is not a number");
        }
        return SetValue(key, name, REG_DWORD, &value, sizeof(value));
    }

    NTSTATUS SetString(const std::u16string& key, const std::u16string& name, ULONG type, const std::vector<std::string>& parts)
    {
        std::u16string data;
        for (const std::string& part : parts) {
            data += Utf8ToUtf16(part);
            data += u'\0';
        }
        if (type == REG_MULTI_SZ) {
            data += u'\0';
        }
        return SetValue(key, name, type, data.data(), static_cast<ULONG>(data.size() * sizeof(char16_t)));
    }

    NTSTATUS SetValue(const std::u16string& key, const std::u16string& name, ULONG type, const void* data, ULONG size)
    {
        return WithKey(key, [&](HANDLE handle) {
            UNICODE_STRING valueName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                                     reinterpret_cast<PWSTR>(const_cast<char16_t*>(name.data()))};
            return ZwSetValueKey(handle, &valueName, 0, type, const_cast<void*>(data), size);
        });
    }

    template <typename Action>
    static NTSTATUS WithKey(const std::u16string& path, Action action)
    {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                            reinterpret_cast<PWSTR>(const_cast<char16_t*>(path.data()))};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key = nullptr;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
        if (NT_SUCCESS(status)) {
            status = action(key);
            (void)ZwClose(key);
        }
        return status;
    }

    const InfFile& inf_;
    std::string* problem_;
    std::string unknownToken_;
};

}  // namespace

NTSTATUS InstallFilterInstances(const std::u16string& service, const std::u16string& altitude)
{
    // The same AddReg lines a minifilter INF carries, read by the same installer.
    std::string name = Utf16ToUtf8(service);
    std::string text = "[Version]\nSignature = \"$WINDOWS NT$\"\n"
                       "[DefaultInstall.NTamd64.Services]\nAddService = " + name + ",,Service\n"
                       "[Service]\nServiceType = 2\nAddReg = Instances\n"
                       "[Instances]\n"
                       "HKR,\"Instances\",\"DefaultInstance\",0x00000000,\"" + name + " Instance\"\n"
                       "HKR,\"Instances\\" + name + " Instance\",\"Altitude\",0x00000000,\"" + Utf16ToUtf8(altitude) + "\"\n"
                       "HKR,\"Instances\\" + name + " Instance\",\"Flags\",0x00010001,0\n";
    InfFile inf;
    std::string problem;
    if (!inf.LoadText(text, &problem)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Installer(inf, &problem).Run();
}

NTSTATUS InstallDriverPackage(const std::string& infPath, std::string* problem)
{
    InfFile inf;
    if (!inf.Load(infPath, problem)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Installer(inf, problem).Run();
}

}  // namespace vexsim
