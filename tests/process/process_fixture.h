// A loaded driver on a machine with a Windows-like C: volume, and processes started on it.
#pragma once

#include "process/name_utils.h"
#include "process/process_lists.h"
#include "sim/fs/file_system.h"
#include "sim/ps/process_start.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <string>

namespace vextest {

class ProcessDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\suite.exe"));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\helper.exe"));
    }

    PEPROCESS Start(const std::u16string& image, PEPROCESS parent = nullptr, ULONG_PTR id = 0)
    {
        vexsim::StartParams params;
        params.imagePath = image;
        params.parent = parent;
        params.id = id;
        PEPROCESS process = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &process));
        return process;
    }

    static HANDLE Pid(PEPROCESS process) { return PsGetProcessId(process); }
};

}  // namespace vextest
