#include "tools/vexsim-run/scenario_reader.h"

#include "platform/platform.h"
#include "sim/rtl/utf8.h"
#include "tools/vexsim-run/registry_names.h"
#include "tools/vexsim-run/value_data.h"

#include <toml++/toml.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>

namespace vexrun {

std::string Where(const SourceLine& at) { return at.line == 0 ? at.file : at.file + ":" + std::to_string(at.line); }

namespace {


// The one way a problem leaves the reader: its line and message.
struct ScenarioError {
    uint32_t line;
    std::string message;
};

class Reader {
public:
    Reader(std::string file, std::string baseDirectory) : file_(std::move(file)), base_(std::move(baseDirectory)) {}

    void Read(const toml::table& root, Scenario* scenario)
    {
        scenario->file = file_;
        Keys(root, {"title", "machine", "service", "port_client", "process"});
        scenario->title = OptionalString(root, "title").value_or("");
        if (const toml::node* machine = root.get("machine")) {
            ReadMachine(Table(*machine, "machine"), &scenario->machine);
        }
        if (scenario->machine.users.empty()) {
            scenario->machine.users.push_back(User{"Alice", "S-1-5-21-1004336348-1177238915-682003330-1001"});
        }
        users_ = &scenario->machine.users;
        for (const toml::table* entry : TableArray(root, "service")) {
            scenario->service.push_back(ReadRequest(*entry));
        }
        std::set<std::string> clientNames;
        for (const toml::table* entry : TableArray(root, "port_client")) {
            Keys(*entry, {"name"});
            PortClientSpec client{RequiredString(*entry, "name"), At(*entry)};
            if (!clientNames.insert(client.name).second) {
                Fail(*entry, "a port client named \"" + client.name + "\" is already declared");
            }
            scenario->portClients.push_back(client);
        }
        for (const toml::table* entry : TableArray(root, "process")) {
            scenario->processes.push_back(ReadProcess(*entry));
        }
    }

private:
    [[noreturn]] void Fail(uint32_t line, const std::string& message) { throw ScenarioError{line, message}; }
    [[noreturn]] void Fail(const toml::node& node, const std::string& message) { Fail(Line(node), message); }
    static uint32_t Line(const toml::node& node) { return node.source().begin.line; }
    SourceLine At(const toml::node& node) const { return SourceLine{file_, Line(node)}; }

    // Refuses every key of the table that is not one of `allowed`.
    void Keys(const toml::table& table, std::initializer_list<std::string_view> allowed)
    {
        for (auto&& [key, value] : table) {
            bool known = false;
            for (std::string_view name : allowed) {
                known = known || key.str() == name;
            }
            if (!known) {
                std::string list;
                for (std::string_view name : allowed) {
                    list += (list.empty() ? "" : ", ") + std::string(name);
                }
                Fail(key.source().begin.line != 0 ? key.source().begin.line : Line(value),
                     "unknown key \"" + std::string(key.str()) + "\" (expected one of: " + list + ")");
            }
        }
    }

    const toml::table& Table(const toml::node& node, std::string_view name)
    {
        if (!node.is_table()) {
            Fail(node, "\"" + std::string(name) + "\" must be a table");
        }
        return *node.as_table();
    }

    std::vector<const toml::table*> TableArray(const toml::table& parent, std::string_view name)
    {
        std::vector<const toml::table*> tables;
        const toml::node* node = parent.get(name);
        if (node == nullptr) {
            return tables;
        }
        if (!node->is_array_of_tables()) {
            Fail(*node, "\"" + std::string(name) + "\" must be an array of tables ([[" + std::string(name) + "]])");
        }
        for (const toml::node& element : *node->as_array()) {
            tables.push_back(element.as_table());
        }
        return tables;
    }

    std::optional<std::string> OptionalString(const toml::table& table, std::string_view name)
    {
        const toml::node* node = table.get(name);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (!node->is_string()) {
            Fail(*node, "\"" + std::string(name) + "\" must be a string");
        }
        return node->as_string()->get();
    }

    std::string RequiredString(const toml::table& table, std::string_view name)
    {
        std::optional<std::string> text = OptionalString(table, name);
        if (!text) {
            Fail(table, "missing \"" + std::string(name) + "\"");
        }
        return *text;
    }

    std::optional<bool> OptionalBool(const toml::table& table, std::string_view name)
    {
        const toml::node* node = table.get(name);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (!node->is_boolean()) {
            Fail(*node, "\"" + std::string(name) + "\" must be true or false");
        }
        return node->as_boolean()->get();
    }

    std::optional<int64_t> OptionalInteger(const toml::table& table, std::string_view name, int64_t low, int64_t high)
    {
        const toml::node* node = table.get(name);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (!node->is_integer() || node->as_integer()->get() < low || node->as_integer()->get() > high) {
            Fail(*node, "\"" + std::string(name) + "\" must be an integer from " + std::to_string(low) + " to " +
                            std::to_string(high));
        }
        return node->as_integer()->get();
    }

    std::u16string Utf16(const toml::node& node, const std::string& text)
    {
        std::u16string wide;
        size_t bad = 0;
        if (!vexsim::Utf8ToUtf16Strict(text, &wide, &bad)) {
            Fail(node, "text is not valid UTF-8");
        }
        return wide;
    }

    // A key path with a root: HKLM\, HKCU\ (the user's hive), HKCR\, HKU\ or \REGISTRY\.
    std::u16string KeyPath(const toml::table& table, std::string_view name, const std::string& sid)
    {
        std::string text = RequiredString(table, name);
        const toml::node& node = *table.get(name);
        std::u16string native = NativeKeyPath(Utf16(node, text), vexsim::Utf8ToUtf16(sid));
        if (native.empty()) {
            Fail(node, "\"" + text + "\" is not a key path: it must start with HKLM\\, HKCU\\, HKCR\\, HKU\\ or \\REGISTRY\\");
        }
        if (native.size() > 1 && native.back() == u'\\') {
            Fail(node, "\"" + text + "\" ends with a backslash");
        }
        return native;
    }

    std::optional<uint32_t> ExpectStatus(const toml::table& table)
    {
        std::optional<std::string> text = OptionalString(table, "expect_status");
        if (!text) {
            return std::nullopt;
        }
        std::optional<uint32_t> status = ParseResultName(*text);
        if (!status) {
            Fail(*table.get("expect_status"), "unknown result \"" + *text +
                                                  "\" (use a Process Monitor result such as SUCCESS or NAME NOT FOUND, or 0x........)");
        }
        return status;
    }

    // Data of a value: `typeKey` names the type (REG_SZ, ...); without it the data's form decides
    // (text: REG_SZ, integer: REG_DWORD, array: REG_MULTI_SZ). Binary types take hexadecimal text.
    ValueData Data(const toml::table& table, std::string_view typeKey, std::string_view dataKey)
    {
        const toml::node* node = table.get(dataKey);
        if (node == nullptr) {
            Fail(table, "missing \"" + std::string(dataKey) + "\"");
        }
        ValueData value;
        if (std::optional<std::string> typeName = OptionalString(table, typeKey)) {
            std::optional<uint32_t> type = ParseValueTypeName(*typeName);
            if (!type) {
                Fail(*table.get(typeKey), "unknown value type \"" + *typeName + "\"");
            }
            value.type = *type;
        } else if (node->is_string()) {
            value.type = kRegSz;
        } else if (node->is_integer()) {
            value.type = kRegDword;
        } else if (node->is_array()) {
            value.type = kRegMultiSz;
        } else {
            Fail(*node, "\"" + std::string(dataKey) + "\" must be text, an integer or an array of texts");
        }
        switch (value.type) {
        case kRegSz:
        case kRegExpandSz:
        case kRegLink:
            if (!node->is_string()) {
                Fail(*node, ValueTypeName(value.type) + " data must be text");
            }
            value.bytes = EncodeString(Utf16(*node, node->as_string()->get()));
            if (value.type == kRegLink) {
                value.bytes.resize(value.bytes.size() - 2);  // a link's target is stored without a NUL
            }
            break;
        case kRegDword:
        case kRegQword: {
            if (!node->is_integer() || node->as_integer()->get() < 0 ||
                (value.type == kRegDword && node->as_integer()->get() > 0xFFFFFFFFll)) {
                Fail(*node, ValueTypeName(value.type) + " data must be a non-negative integer that fits");
            }
            value.bytes = EncodeNumber(static_cast<uint64_t>(node->as_integer()->get()), value.type == kRegDword ? 4 : 8);
            break;
        }
        case kRegMultiSz: {
            if (!node->is_array()) {
                Fail(*node, "REG_MULTI_SZ data must be an array of texts");
            }
            std::vector<std::u16string> strings;
            for (const toml::node& element : *node->as_array()) {
                if (!element.is_string()) {
                    Fail(element, "REG_MULTI_SZ data must be an array of texts");
                }
                strings.push_back(Utf16(element, element.as_string()->get()));
            }
            value.bytes = EncodeMultiString(strings);
            break;
        }
        default:
            if (!node->is_string()) {
                Fail(*node, ValueTypeName(value.type) + " data must be hexadecimal bytes in text, such as \"01 ff 3a\"");
            }
            value.bytes = HexBytes(*node, node->as_string()->get());
            break;
        }
        return value;
    }

    std::vector<uint8_t> HexBytes(const toml::node& node, const std::string& text)
    {
        std::vector<uint8_t> bytes;
        std::string digits;
        for (char c : text) {
            if (c == ' ' || c == ',') {
                continue;
            }
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                Fail(node, "\"" + text + "\" is not hexadecimal bytes");
            }
            digits += c;
        }
        if (digits.size() % 2 != 0) {
            Fail(node, "\"" + text + "\" has an odd number of hexadecimal digits");
        }
        for (size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    }

    void ReadMachine(const toml::table& machine, MachineSpec* declared)
    {
        Keys(machine, {"windows", "users", "windows_volume", "volumes", "registry", "file"});
        if (std::optional<std::string> version = OptionalString(machine, "windows")) {
            unsigned major = 0, minor = 0, build = declared->osBuild;
            char extra = 0;
            int fields = std::sscanf(version->c_str(), "%u.%u.%u%c", &major, &minor, &build, &extra);
            if (fields != 2 && fields != 3) {
                Fail(*machine.get("windows"), "\"windows\" must be MAJOR.MINOR or MAJOR.MINOR.BUILD, such as \"10.0.19045\"");
            }
            declared->osMajor = major;
            declared->osMinor = minor;
            declared->osBuild = build;
        }
        if (const toml::node* users = machine.get("users")) {
            if (!users->is_array_of_tables() && !(users->is_array() && users->as_array()->empty())) {
                Fail(*users, "\"users\" must be an array of tables such as { name = \"Alice\", sid = \"S-1-5-21-...\" }");
            }
            for (const toml::node& element : *users->as_array()) {
                const toml::table& user = *element.as_table();
                Keys(user, {"name", "sid"});
                User entry{RequiredString(user, "name"), RequiredString(user, "sid")};
                if (entry.sid.rfind("S-1-", 0) != 0) {
                    Fail(user, "\"" + entry.sid + "\" is not a SID (S-1-...)");
                }
                for (const User& other : declared->users) {
                    if (other.name == entry.name || other.sid == entry.sid) {
                        Fail(user, "user \"" + entry.name + "\" is declared twice");
                    }
                }
                declared->users.push_back(entry);
            }
        }
        declared->windowsVolume = OptionalBool(machine, "windows_volume").value_or(true);
        if (const toml::node* volumes = machine.get("volumes")) {
            if (!volumes->is_array_of_tables()) {
                Fail(*volumes, "\"volumes\" must be an array of tables such as { number = 4, letter = \"D\" }");
            }
            for (const toml::node& element : *volumes->as_array()) {
                const toml::table& volume = *element.as_table();
                Keys(volume, {"number", "letter"});
                Volume entry;
                entry.at = At(volume);
                entry.number = static_cast<uint32_t>(OptionalInteger(volume, "number", 1, 99).value_or(0));
                if (entry.number == 0) {
                    Fail(volume, "missing \"number\"");
                }
                if (std::optional<std::string> letter = OptionalString(volume, "letter")) {
                    if (letter->size() != 1 || !std::isalpha(static_cast<unsigned char>((*letter)[0]))) {
                        Fail(*volume.get("letter"), "\"letter\" must be one drive letter");
                    }
                    entry.letter = static_cast<char16_t>(std::toupper(static_cast<unsigned char>((*letter)[0])));
                }
                declared->volumes.push_back(entry);
            }
        }
        for (const toml::table* entry : TableArray(machine, "registry")) {
            Keys(*entry, {"reg", "hive", "mount"});
            RegistrySource source;
            source.at = At(*entry);
            std::optional<std::string> reg = OptionalString(*entry, "reg");
            std::optional<std::string> hive = OptionalString(*entry, "hive");
            if (reg.has_value() == hive.has_value()) {
                Fail(*entry, "a registry source names either \"reg\" (a .reg file) or \"hive\" (a regf hive file with \"mount\")");
            }
            source.kind = reg ? RegistrySource::Kind::RegFile : RegistrySource::Kind::Hive;
            source.path = (std::filesystem::path(base_) / (reg ? *reg : *hive)).lexically_normal().string();
            if (hive) {
                source.mountPoint = KeyPath(*entry, "mount", declared->users.empty() ? "" : declared->users[0].sid);
            } else if (entry->get("mount") != nullptr) {
                Fail(*entry->get("mount"), "a .reg file names its own keys: \"mount\" is for hives");
            }
            declared->registry.push_back(source);
        }
        for (const toml::table* entry : TableArray(machine, "file")) {
            Keys(*entry, {"path", "console", "bits"});
            ImageFile file;
            file.at = At(*entry);
            file.path = Utf16(*entry, RequiredString(*entry, "path"));
            file.console = OptionalBool(*entry, "console").value_or(false);
            int64_t bits = OptionalInteger(*entry, "bits", 32, 64).value_or(64);
            if (bits != 32 && bits != 64) {
                Fail(*entry->get("bits"), "\"bits\" must be 32 or 64");
            }
            file.is32bit = bits == 32;
            declared->files.push_back(file);
        }
    }

    const std::string& FirstSid() const { return (*users_)[0].sid; }

    ControlRequest ReadRequest(const toml::table& entry)
    {
        ControlRequest request;
        request.at = At(entry);
        request.request = RequiredString(entry, "request");
        const std::string& name = request.request;
        static const std::set<std::string> keyRequests = {"set_redirect_key_name", "set_redirect_user_classes_key_name",
                                                          "set_redirect_machine_classes_key_name", "add_exclude_key_name"};
        static const std::set<std::string> imageRequests = {"set_process", "set_parent_process", "set_root_process",
                                                            "add_exclusion_process", "add_process_tree_monitor"};
        static const std::set<std::string> bareRequests = {"reset_exclude_key_name", "reset_exclude_value_name",
                                                           "start_reg_redirect", "output_current_param"};
        if (keyRequests.count(name) != 0) {
            Keys(entry, {"request", "key", "expect_status"});
            request.key = KeyPath(entry, "key", FirstSid());
        } else if (imageRequests.count(name) != 0) {
            Keys(entry, {"request", "image", "label", "expect_status"});
            request.image = Utf16(entry, RequiredString(entry, "image"));
            request.label = OptionalString(entry, "label").value_or("");
            if (!request.label.empty() && !labels_.insert(request.label).second) {
                Fail(entry, "a setting labelled \"" + request.label + "\" is already declared");
            }
        } else if (bareRequests.count(name) != 0) {
            Keys(entry, {"request", "expect_status"});
        } else if (name == "add_exclude_value_name") {
            Keys(entry, {"request", "key", "value", "expect_status"});
            request.key = KeyPath(entry, "key", FirstSid());
            request.valueName = Utf16(entry, RequiredString(entry, "value"));
        } else if (name == "set_reg_value") {
            Keys(entry, {"request", "key", "value", "type", "data", "expect_status"});
            request.key = Utf16(entry, RequiredString(entry, "key"));
            request.valueName = Utf16(entry, RequiredString(entry, "value"));
            ValueData data = Data(entry, "type", "data");
            request.valueType = data.type;
            request.data = data.bytes;
        } else if (name == "delete_process") {
            Keys(entry, {"request", "setting", "expect_status"});
            request.setting = RequiredString(entry, "setting");
            if (labels_.count(request.setting) == 0) {
                Fail(*entry.get("setting"), "no earlier process request is labelled \"" + request.setting + "\"");
            }
        } else {
            Fail(*entry.get("request"), "unknown request \"" + name + "\"");
        }
        request.expectStatus = ExpectStatus(entry);
        return request;
    }

    ProcessSpec ReadProcess(const toml::table& entry)
    {
        Keys(entry, {"name", "image", "parent", "user", "elevated", "session", "command_line", "wow64", "op"});
        ProcessSpec process;
        process.at = At(entry);
        process.name = RequiredString(entry, "name");
        if (!processNames_.insert(process.name).second) {
            Fail(entry, "a process named \"" + process.name + "\" is already declared");
        }
        process.image = Utf16(entry, RequiredString(entry, "image"));
        process.parent = OptionalString(entry, "parent").value_or("");
        if (!process.parent.empty() && (process.parent == process.name || processNames_.count(process.parent) == 0)) {
            Fail(*entry.get("parent"), "no earlier process is named \"" + process.parent + "\"");
        }
        process.user = OptionalString(entry, "user").value_or((*users_)[0].name);
        std::string sid;
        for (const User& user : *users_) {
            if (user.name == process.user) {
                sid = user.sid;
            }
        }
        if (sid.empty()) {
            Fail(*entry.get("user"), "no user is named \"" + process.user + "\"");
        }
        process.session = static_cast<uint32_t>(OptionalInteger(entry, "session", 0, 65535).value_or(1));
        process.elevated = OptionalBool(entry, "elevated").value_or(false);
        process.commandLine = Utf16(entry, OptionalString(entry, "command_line").value_or(""));
        process.wow64 = OptionalBool(entry, "wow64");
        std::map<std::string, uint32_t> handles;  // open handle names, with the line that opened them
        for (const toml::table* op : TableArray(entry, "op")) {
            process.ops.push_back(ReadOp(*op, sid, handles));
        }
        return process;
    }

    uint32_t Access(const toml::table& entry, uint32_t fallback)
    {
        const toml::node* node = entry.get("access");
        if (node == nullptr) {
            return fallback;
        }
        if (node->is_integer() && node->as_integer()->get() >= 0 && node->as_integer()->get() <= 0xFFFFFFFFll) {
            return static_cast<uint32_t>(node->as_integer()->get());
        }
        if (!node->is_string()) {
            Fail(*node, "\"access\" must be names joined by \"|\" (read, write, all, delete, wow64_64key, wow64_32key) or a number");
        }
        static const std::map<std::string, uint32_t> names = {{"read", KEY_READ},       {"write", KEY_WRITE},
                                                              {"all", KEY_ALL_ACCESS},   {"delete", DELETE},
                                                              {"wow64_64key", KEY_WOW64_64KEY}, {"wow64_32key", KEY_WOW64_32KEY}};
        uint32_t access = 0;
        std::stringstream parts(node->as_string()->get());
        std::string part;
        while (std::getline(parts, part, '|')) {
            auto found = names.find(part);
            if (found == names.end()) {
                Fail(*node, "unknown access \"" + part + "\" (read, write, all, delete, wow64_64key, wow64_32key)");
            }
            access |= found->second;
        }
        return access;
    }

    std::string UsedHandle(const toml::table& entry, const std::map<std::string, uint32_t>& handles)
    {
        std::string handle = RequiredString(entry, "handle");
        if (handles.count(handle) == 0) {
            Fail(*entry.get("handle"), "no open handle is named \"" + handle + "\"");
        }
        return handle;
    }

    RegistryOp ReadOp(const toml::table& entry, const std::string& sid, std::map<std::string, uint32_t>& handles)
    {
        RegistryOp op;
        op.at = At(entry);
        std::string kind = RequiredString(entry, "op");
        static const std::map<std::string, OpKind> kinds = {
            {"open", OpKind::Open},           {"create", OpKind::Create},         {"load_app_hive", OpKind::LoadAppHive},         {"query_value", OpKind::QueryValue},
            {"enum_keys", OpKind::EnumKeys},  {"enum_values", OpKind::EnumValues}, {"set_value", OpKind::SetValue},
            {"delete_key", OpKind::DeleteKey}, {"delete_value", OpKind::DeleteValue}, {"rename", OpKind::Rename},
            {"close", OpKind::Close}};
        auto found = kinds.find(kind);
        if (found == kinds.end()) {
            Fail(*entry.get("op"), "unknown operation \"" + kind +
                                       "\" (open, create, load_app_hive, query_value, enum_keys, enum_values, set_value, delete_key, "
                                       "delete_value, rename, close)");
        }
        op.kind = found->second;
        switch (op.kind) {
        case OpKind::Open:
        case OpKind::Create: {
            bool create = op.kind == OpKind::Create;
            if (create) {
                Keys(entry, {"op", "key", "handle", "relative_to", "access", "volatile", "expect_status", "expect_created"});
            } else {
                Keys(entry, {"op", "key", "handle", "relative_to", "access", "expect_status"});
            }
            op.handle = RequiredString(entry, "handle");
            op.relativeTo = OptionalString(entry, "relative_to").value_or("");
            std::string written = RequiredString(entry, "key");
            op.keyAsWritten = Utf16(*entry.get("key"), written);
            if (op.relativeTo.empty()) {
                op.key = KeyPath(entry, "key", sid);
            } else {
                if (handles.count(op.relativeTo) == 0) {
                    Fail(*entry.get("relative_to"), "no open handle is named \"" + op.relativeTo + "\"");
                }
                if (!NativeKeyPath(op.keyAsWritten, vexsim::Utf8ToUtf16(sid)).empty() || written.empty() ||
                    written[0] == '\\') {
                    Fail(*entry.get("key"), "a key opened relative to a handle is a relative path, such as Sub\\Key");
                }
                op.key = op.keyAsWritten;
            }
            op.access = Access(entry, create ? KEY_ALL_ACCESS : KEY_READ);
            if (create && OptionalBool(entry, "volatile").value_or(false)) {
                op.createOptions = REG_OPTION_VOLATILE;
            }
            op.expectCreated = create ? OptionalBool(entry, "expect_created") : std::nullopt;
            // A handle name is (re)bound only when the scenario expects the open to succeed.
            if (op.handle.empty()) {
                Fail(entry, "\"handle\" must not be empty");
            }
            handles[op.handle] = op.at.line;
            break;
        }
        case OpKind::LoadAppHive:
            Keys(entry, {"op", "handle", "expect_status"});
            op.handle = RequiredString(entry, "handle");
            if (op.handle.empty()) {
                Fail(entry, "\"handle\" must not be empty");
            }
            handles[op.handle] = op.at.line;
            break;
        case OpKind::QueryValue:
            Keys(entry, {"op", "handle", "value", "expect_status", "expect_type", "expect_data"});
            op.handle = UsedHandle(entry, handles);
            op.valueName = Utf16(entry, OptionalString(entry, "value").value_or(""));
            if (entry.get("expect_data") != nullptr) {
                op.expectData = Data(entry, "expect_type", "expect_data");
            } else if (entry.get("expect_type") != nullptr) {
                Fail(*entry.get("expect_type"), "\"expect_type\" goes with \"expect_data\"");
            }
            break;
        case OpKind::EnumKeys:
        case OpKind::EnumValues: {
            Keys(entry, {"op", "handle", "expect_status", "expect_names"});
            op.handle = UsedHandle(entry, handles);
            if (const toml::node* names = entry.get("expect_names")) {
                if (!names->is_array()) {
                    Fail(*names, "\"expect_names\" must be an array of texts");
                }
                std::vector<std::u16string> list;
                for (const toml::node& element : *names->as_array()) {
                    if (!element.is_string()) {
                        Fail(element, "\"expect_names\" must be an array of texts");
                    }
                    list.push_back(Utf16(element, element.as_string()->get()));
                }
                op.expectNames = list;
            }
            break;
        }
        case OpKind::SetValue:
            Keys(entry, {"op", "handle", "value", "type", "data", "expect_status"});
            op.handle = UsedHandle(entry, handles);
            op.valueName = Utf16(entry, OptionalString(entry, "value").value_or(""));
            op.data = Data(entry, "type", "data");
            break;
        case OpKind::DeleteValue:
            Keys(entry, {"op", "handle", "value", "expect_status"});
            op.handle = UsedHandle(entry, handles);
            op.valueName = Utf16(entry, OptionalString(entry, "value").value_or(""));
            break;
        case OpKind::Rename:
            Keys(entry, {"op", "handle", "new_name", "expect_status"});
            op.handle = UsedHandle(entry, handles);
            op.key = Utf16(entry, RequiredString(entry, "new_name"));
            if (op.key.empty() || op.key.find(u'\\') != std::u16string::npos) {
                Fail(*entry.get("new_name"), "\"new_name\" must be one key name without a backslash");
            }
            break;
        case OpKind::DeleteKey:
        case OpKind::Close:
            Keys(entry, {"op", "handle", "expect_status"});
            op.handle = UsedHandle(entry, handles);
            if (op.kind == OpKind::Close) {
                handles.erase(op.handle);
            }
            break;
        }
        op.expectStatus = ExpectStatus(entry);
        return op;
    }

    std::string file_;
    std::string base_;
    const std::vector<User>* users_ = nullptr;
    std::set<std::string> labels_;
    std::set<std::string> processNames_;
};

}  // namespace

bool ReadScenarioText(std::string_view text, const std::string& sourceName, const std::string& baseDirectory,
                      Scenario* scenario, std::string* error)
{
    *scenario = Scenario{};
    try {
        toml::table root = toml::parse(text, sourceName);
        Reader(sourceName, baseDirectory).Read(root, scenario);
        return true;
    } catch (const toml::parse_error& problem) {
        *error = sourceName + ":" + std::to_string(problem.source().begin.line) + ": " + std::string(problem.description());
    } catch (const ScenarioError& problem) {
        *error = sourceName + ":" + std::to_string(problem.line) + ": " + problem.message;
    }
    return false;
}

bool ReadScenarioFile(const std::string& path, Scenario* scenario, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string base = std::filesystem::path(path).parent_path().string();
    return ReadScenarioText(text.str(), path, base.empty() ? "." : base, scenario, error);
}

}  // namespace vexrun
