// A scenario: the machine a sandbox session runs on, the service's configuration of the driver,
// the port clients, and the processes with their registry operations and what each must give.
// Host code only; scenario_reader.h reads one from a TOML file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexrun {

// Where an item was written: messages about it start "file:line: " ("file: " for the session as
// a whole, line 0).
struct SourceLine {
    std::string file;
    uint32_t line = 0;
};
std::string Where(const SourceLine& at);

struct User {
    std::string name;  // the profile folder, C:\Users\<name>
    std::string sid;
};

struct Volume {
    uint32_t number = 0;    // \Device\HarddiskVolume<number>
    char16_t letter = 0;    // 0: no drive letter
    SourceLine at;
};

// Registry content laid down before the driver loads: a .reg file, or a regf hive file placed at
// a mount point. Paths are resolved against the scenario file's folder.
struct RegistrySource {
    enum class Kind { RegFile, Hive } kind = Kind::RegFile;
    std::string path;
    std::u16string mountPoint;  // hives only: \REGISTRY\...
    SourceLine at;
};

struct ImageFile {
    std::u16string path;  // C:\... or \Device\HarddiskVolumeN\...
    bool console = false;
    bool is32bit = false;
    SourceLine at;
};

struct MachineSpec {
    uint32_t osMajor = 10;
    uint32_t osMinor = 0;
    uint32_t osBuild = 19045;
    std::vector<User> users;    // the first is the default user; never empty after reading
    bool windowsVolume = true;  // lay down C: with Windows, Program Files and the first user's profile
    std::vector<Volume> volumes;
    std::vector<RegistrySource> registry;
    std::vector<ImageFile> files;
};

// One control request of the service, named as the control client's function in snake case
// (set_redirect_key_name, add_exclude_key_name, set_process, start_reg_redirect, ...).
struct ControlRequest {
    std::string request;
    std::u16string key;        // key path (native \REGISTRY\ form) for the name and exclusion requests
    std::u16string image;      // image path for the process settings
    std::u16string valueName;  // add_exclude_value_name, set_reg_value
    uint32_t valueType = 0;    // set_reg_value
    std::vector<uint8_t> data; // set_reg_value
    std::string label;         // names the setting a process request answers, for delete_process
    std::string setting;       // delete_process: the label of an earlier process request
    std::optional<uint32_t> expectStatus;
    SourceLine at;
};

struct PortClientSpec {
    std::string name;
    SourceLine at;
};

enum class OpKind { Open, Create, LoadAppHive, QueryValue, EnumKeys, EnumValues, SetValue, DeleteKey, DeleteValue, Rename, Close };

// Registry data as a scenario writes it, already encoded as the registry stores it.
struct ValueData {
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

struct RegistryOp {
    OpKind kind = OpKind::Open;
    std::string handle;         // open/create/load_app_hive: the name the new handle gets; others: the handle used
    std::string relativeTo;     // open/create: a handle the key path is relative to; empty: absolute
    std::u16string key;         // open/create: absolute native path, or relative path; rename: the new name
    std::u16string keyAsWritten;// the path as the scenario wrote it (HKLM\... or relative)
    uint32_t access = 0;        // open/create
    uint32_t createOptions = 0; // create: REG_OPTION_VOLATILE
    std::u16string valueName;   // query/set/delete value
    ValueData data;             // set_value
    std::optional<uint32_t> expectStatus;
    std::optional<ValueData> expectData;           // query_value
    std::optional<std::vector<std::u16string>> expectNames;  // enum_keys / enum_values, in order
    std::optional<bool> expectCreated;             // create: true created, false opened
    SourceLine at;
};

struct ProcessSpec {
    std::string name;           // the label other processes and the trace use
    std::u16string image;
    std::string parent;         // label of an earlier process; empty: started by the System process
    std::string user;           // a user's name; empty: the first user
    uint32_t session = 1;
    bool elevated = false;      // an administrator's elevated process (high integrity)
    std::u16string commandLine;
    std::optional<bool> wow64;  // unset: as the image's bitness says
    std::vector<RegistryOp> ops;
    SourceLine at;
};

struct Scenario {
    std::string file;           // the scenario file as named
    std::string title;
    MachineSpec machine;
    std::vector<ControlRequest> service;
    std::vector<PortClientSpec> portClients;
    std::vector<ProcessSpec> processes;
};

}  // namespace vexrun
