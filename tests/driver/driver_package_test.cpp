// The installation file: every load installs the driver's service from driver/VexRegFilter.inf,
// so a load proves the file; without its Instances key the filter manager refuses the driver.
#include "tests/driver/control_fixture.h"

#include "sim/machine/driver_package.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace vextest;

const std::u16string kService = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VexRegFilter";

std::u16string StringValue(const std::u16string& key, const std::u16string& name)
{
    std::optional<ReadValueResult> value = ReadValue(key, name);
    if (!value) {
        return u"<missing>";
    }
    return std::u16string((const char16_t*)value->data.data(), value->data.size() / 2);
}

ULONG DwordValue(const std::u16string& key, const std::u16string& name)
{
    std::optional<ReadValueResult> value = ReadValue(key, name);
    ULONG result = 0xFFFFFFFF;
    if (value && value->type == REG_DWORD && value->data.size() == 4) {
        std::memcpy(&result, value->data.data(), 4);
    }
    return result;
}

using DriverPackageTest = DriverTest;

TEST_F(DriverPackageTest, TheLoadInstalledTheServiceWithItsDefaultInstanceAtTheCallbacksAltitude)
{
    EXPECT_EQ(2u, DwordValue(kService, u"Type")) << "a file-system driver";
    EXPECT_EQ(3u, DwordValue(kService, u"Start")) << "started on demand";
    EXPECT_EQ(1u, DwordValue(kService, u"ErrorControl"));
    EXPECT_EQ(std::u16string(u"\\SystemRoot\\System32\\drivers\\VexRegFilter.sys") + u'\0', StringValue(kService, u"ImagePath"));
    EXPECT_EQ(std::u16string(u"FSFilter Undelete") + u'\0', StringValue(kService, u"Group"));
    EXPECT_EQ(std::u16string(u"FltMgr") + u'\0' + u'\0', StringValue(kService, u"DependOnService"));
    const std::u16string instances = kService + u"\\Instances";
    EXPECT_EQ(std::u16string(u"VexRegFilter Instance") + u'\0', StringValue(instances, u"DefaultInstance"));
    std::u16string altitude = StringValue(instances + u"\\VexRegFilter Instance", u"Altitude");
    EXPECT_EQ(Text(&g_VexRegFilterData.Altitude) + u'\0', altitude) << "one altitude for the filter and the callback";
    EXPECT_EQ(1u, DwordValue(instances + u"\\VexRegFilter Instance", u"Flags"));
}

using DriverPackageLoadTest = MachineTest;

TEST_F(DriverPackageLoadTest, WithoutInstancesTheFilterManagerRefusesTheDriver)
{
    vexsim::DriverImage image;
    image.inf.clear();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, vexsim::LoadDriver(DriverEntry, "VexRegFilter", image));
    EXPECT_TRUE(HasDebugLine("FltRegisterFilter fail c0000034"));
    EXPECT_EQ(nullptr, vexsim::LoadedDriverObject());
}

TEST_F(DriverPackageLoadTest, APackageTheInstallerCannotReadIsNamed)
{
    const std::string path = ::testing::TempDir() + "vex_bad.inf";
    const struct {
        const char* text;
        const char* problem;
    } cases[] = {
        {"[Version]\nSignature = \"$CHICAGO$\"\n", "[Version] has no Signature of \"$WINDOWS NT$\""},
        {"[Version]\nSignature = \"$WINDOWS NT$\"\n[DefaultInstall.Services]\n", "no AddService in [DefaultInstall.Services]"},
        {"[Version]\nSignature = \"$WINDOWS NT$\"\n[DefaultInstall.NTamd64.Services]\nAddService = X,,Missing\n",
         "no service section [Missing]"},
        {"[Version]\nSignature = \"$WINDOWS NT$\"\n[DefaultInstall.NTamd64.Services]\nAddService = X,,S\n[S]\nAddReg = R\n"
         "[R]\nHKR,,V,0x00000001,1\n",
         "[R] uses AddReg flags 0x00000001, which this installer does not know"},
        {"[Version]\nSignature = \"$WINDOWS NT$\"\n[DefaultInstall.NTamd64.Services]\nAddService = X,,S\n[S]\nDisplayName = %Nope%\n",
         "[S] uses %Nope%, which [Strings] does not define"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.problem);
        std::ofstream(path) << test.text;
        std::string problem;
        EXPECT_FALSE(NT_SUCCESS(vexsim::InstallDriverPackage(path, &problem)));
        EXPECT_EQ(test.problem, problem);
    }
    std::string problem;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, vexsim::InstallDriverPackage(path + ".absent", &problem));
}

}  // namespace
