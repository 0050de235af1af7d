#include "tools/vexsim-run/machine_setup.h"

#include "client/status.h"
#include "sim/fs/file_system.h"
#include "sim/machine/machine.h"
#include "sim/regfile/hive_file.h"
#include "sim/regfile/registry_file.h"
#include "sim/rtl/utf8.h"

#include <fstream>
#include <iterator>

namespace vexrun {
namespace {

std::string Problem(const SourceLine& at, const std::string& what, NTSTATUS status)
{
    return Where(at) + ": " + what + ": " + vexclient::DescribeStatus(status);
}

void ImportSource(const RegistrySource& source, const std::u16string& currentUserSid, std::vector<std::string>& problems)
{
    vexsim::RegFileError error;
    NTSTATUS status = STATUS_SUCCESS;
    if (source.kind == RegistrySource::Kind::Hive) {
        status = vexsim::ImportHiveFile(source.path, source.mountPoint, &error);
    } else {
        std::ifstream in(source.path, std::ios::binary);
        if (!in) {
            problems.push_back(Where(source.at) + ": " + source.path + " cannot be read");
            return;
        }
        std::vector<UCHAR> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        status = vexsim::ImportRegistryFile(bytes, vexsim::RegFileOptions{currentUserSid}, &error);
    }
    if (!NT_SUCCESS(status)) {
        problems.push_back(Where(source.at) + ": " + source.path + ": " +
                           (error.message.empty() ? vexclient::DescribeStatus(status) : error.message));
    }
}

}  // namespace

std::vector<std::string> SetUpMachine(const MachineSpec& machine)
{
    vexsim::MachineConfig config;
    config.osMajorVersion = machine.osMajor;
    config.osMinorVersion = machine.osMinor;
    config.osBuildNumber = machine.osBuild;
    config.userSids.clear();
    for (const User& user : machine.users) {
        config.userSids.push_back(user.sid);
    }
    vexsim::BootMachine(config);

    std::vector<std::string> problems;
    if (machine.windowsVolume) {
        NTSTATUS status = vexsim::LayDownWindowsVolume(3, u'C', vexsim::Utf8ToUtf16(machine.users[0].name));
        if (!NT_SUCCESS(status)) {
            problems.push_back("laying down the C: volume: " + vexclient::DescribeStatus(status));
        }
    }
    for (const Volume& volume : machine.volumes) {
        NTSTATUS status = vexsim::MountVolume(volume.number, volume.letter);
        if (!NT_SUCCESS(status)) {
            problems.push_back(Problem(volume.at, "mounting volume " + std::to_string(volume.number), status));
        }
    }
    for (const ImageFile& file : machine.files) {
        NTSTATUS status = vexsim::CreateFilePath(file.path, vexsim::ImageTraits{USHORT(file.console ? 3 : 2), file.is32bit});
        if (!NT_SUCCESS(status)) {
            problems.push_back(Problem(file.at, "creating " + vexsim::Utf16ToUtf8(file.path), status));
        }
    }
    for (const RegistrySource& source : machine.registry) {
        ImportSource(source, vexsim::Utf8ToUtf16(machine.users[0].sid), problems);
    }
    return problems;
}

}  // namespace vexrun
