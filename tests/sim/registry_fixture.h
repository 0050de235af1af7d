// The configuration manager's tests run on MachineTest, with helpers that open, create and
// query keys by name as a kernel caller and a small registry callback that records what it sees.
#pragma once

#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vextest {

// Opens or creates a key; root may be null for absolute names.
inline NTSTATUS OpenKey(PHANDLE handle, const std::u16string& name, ACCESS_MASK access = KEY_ALL_ACCESS,
                        HANDLE root = nullptr, ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                        ULONG options = 0)
{
    Wide wide(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, wide.get(), attributes, root, nullptr);
    return ZwOpenKeyEx(handle, access, &oa, options);
}

inline NTSTATUS CreateKey(PHANDLE handle, const std::u16string& name, ULONG options = 0, PULONG disposition = nullptr,
                          HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Wide wide(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(handle, access, &oa, 0, nullptr, options, disposition);
}

// The full name of the key behind a handle (KeyNameInformation), as UTF-8.
inline std::string KeyNameOf(HANDLE handle)
{
    std::vector<UCHAR> buffer(4096);
    ULONG length = 0;
    if (ZwQueryKey(handle, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length) != STATUS_SUCCESS) {
        return "<query failed>";
    }
    auto* info = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
    return Utf8(std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2));
}

inline NTSTATUS SetDword(HANDLE key, const std::u16string& name, ULONG data)
{
    Wide wide(name);
    return ZwSetValueKey(key, wide.get(), 0, REG_DWORD, &data, sizeof(data));
}

// A fresh machine for each test, checked for leftovers at the end.
using RegistryTest = MachineTest;

// The same, with helpers that act as a user process (inside a UserModeScope).
class RegistryUserTest : public RegistryTest {
protected:
    PEPROCESS StartProcess(bool wow64, bool administrator = false)
    {
        vexsim::ProcessParams params;
        params.imagePath = u"\\Device\\HarddiskVolume3\\Program Files\\app.exe";
        params.wow64 = wow64;
        params.administrator = administrator;
        return vexsim::CreateUserProcess(params);
    }

    static NTSTATUS UserOpen(PHANDLE key, const std::u16string& name, ACCESS_MASK access, HANDLE root = nullptr,
                             ULONG attributes = OBJ_CASE_INSENSITIVE, ULONG options = 0)
    {
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), attributes, root, nullptr);
        return vexsim::NtOpenKeyEx(key, access, &oa, options);
    }

    static NTSTATUS UserCreate(PHANDLE key, const std::u16string& name, HANDLE root = nullptr, ULONG options = 0,
                               ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        return vexsim::NtCreateKey(key, access, &oa, 0, nullptr, options, nullptr);
    }

    static std::string UserKeyName(HANDLE key)
    {
        std::vector<UCHAR> buffer(1024);
        ULONG length = 0;
        if (vexsim::NtQueryKey(key, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length) != STATUS_SUCCESS) {
            return "<query failed>";
        }
        auto* info = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
        return Utf8(std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2));
    }
};


// One notification as a test callback saw it.
struct SeenNotification {
    REG_NOTIFY_CLASS notifyClass;
    std::string name;       // CompleteName of creates and opens; the object's name otherwise
    PVOID object = nullptr;
    NTSTATUS status = 0;    // post-notifications: Status
    PVOID objectContext = nullptr;
    PVOID callContext = nullptr;
};

// A registry callback at an altitude that records every notification and answers with what
// `answer` returns (STATUS_SUCCESS by default). Unregisters itself at the end of its scope.
class TestCallback {
public:
    explicit TestCallback(const char16_t* altitude = u"320000") : altitude_(altitude)
    {
        status_ = CmRegisterCallbackEx(&TestCallback::Entry, altitude_.get(), nullptr, this, &cookie_, nullptr);
    }
    ~TestCallback() { Unregister(); }
    TestCallback(const TestCallback&) = delete;
    TestCallback& operator=(const TestCallback&) = delete;

    NTSTATUS Unregister()
    {
        if (!NT_SUCCESS(status_) || unregistered_) {
            return STATUS_SUCCESS;
        }
        unregistered_ = true;
        return CmUnRegisterCallback(cookie_);
    }

    NTSTATUS registrationStatus() const { return status_; }
    LARGE_INTEGER& cookie() { return cookie_; }
    std::vector<SeenNotification> seen;
    std::function<NTSTATUS(REG_NOTIFY_CLASS, PVOID)> answer;

    size_t Count(REG_NOTIFY_CLASS notifyClass) const
    {
        size_t count = 0;
        for (const SeenNotification& notification : seen) {
            count += notification.notifyClass == notifyClass;
        }
        return count;
    }

private:
    static NTSTATUS NTAPI Entry(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* self = static_cast<TestCallback*>(context);
        auto notifyClass = static_cast<REG_NOTIFY_CLASS>(reinterpret_cast<ULONG_PTR>(argument1));
        SeenNotification notification{notifyClass, {}, nullptr, 0, nullptr, nullptr};
        switch (notifyClass) {
        case RegNtPreCreateKeyEx:
        case RegNtPreOpenKeyEx: {
            auto* info = static_cast<PREG_CREATE_KEY_INFORMATION_V1>(argument2);
            notification.name = Utf8(Text(info->CompleteName));
            notification.object = info->RootObject;
            notification.objectContext = info->RootObjectContext;
            break;
        }
        case RegNtPreKeyHandleClose: {
            auto* info = static_cast<PREG_KEY_HANDLE_CLOSE_INFORMATION>(argument2);
            notification.object = info->Object;
            notification.objectContext = info->ObjectContext;
            break;
        }
        case RegNtCallbackObjectContextCleanup: {
            auto* info = static_cast<PREG_CALLBACK_CONTEXT_CLEANUP_INFORMATION>(argument2);
            notification.object = info->Object;
            notification.objectContext = info->ObjectContext;
            break;
        }
        default:
            if ((notifyClass >= RegNtPostDeleteKey && notifyClass <= RegNtPostKeyHandleClose) ||
                notifyClass == RegNtPostCreateKeyEx || notifyClass == RegNtPostOpenKeyEx ||
                notifyClass == RegNtPostQueryKeySecurity || notifyClass == RegNtPostSetKeySecurity ||
                notifyClass == RegNtPostFlushKey) {
                auto* info = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
                notification.object = info->Object;
                notification.status = info->Status;
                notification.objectContext = info->ObjectContext;
                notification.callContext = info->CallContext;
            } else {
                // Every other pre block begins with Object.
                notification.object = *static_cast<PVOID*>(argument2);
            }
        }
        self->seen.push_back(notification);
        return self->answer ? self->answer(notifyClass, argument2) : STATUS_SUCCESS;
    }

    Wide altitude_;
    LARGE_INTEGER cookie_{};
    NTSTATUS status_;
    bool unregistered_ = false;
};

}  // namespace vextest
