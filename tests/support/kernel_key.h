// Keys a test holds as a kernel component would: a kernel handle from ZwCreateKey and a reference
// on the key object behind it, both released when the KernelKey goes. Release them before the
// driver unloads: the unload check counts what is left.
#pragma once

#include "platform/platform.h"
#include "tests/support/wide.h"

#include <string>
#include <utility>

namespace vextest {

class KernelKey {
public:
    KernelKey() = default;
    ~KernelKey() { Release(); }
    KernelKey(const KernelKey&) = delete;
    KernelKey& operator=(const KernelKey&) = delete;
    KernelKey(KernelKey&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), object_(std::exchange(other.object_, nullptr))
    {
    }
    KernelKey& operator=(KernelKey&& other) noexcept
    {
        if (this != &other) {
            Release();
            handle_ = std::exchange(other.handle_, nullptr);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }

    // Creates or opens name: absolute when parent is null, else relative to parent's key.
    NTSTATUS Create(const std::u16string& name, HANDLE parent = nullptr)
    {
        Release();
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
        NTSTATUS status = ZwCreateKey(&handle_, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr);
        if (NT_SUCCESS(status)) {
            status = ObReferenceObjectByHandle(handle_, 0, *CmKeyObjectType, KernelMode, &object_, nullptr);
        }
        if (!NT_SUCCESS(status)) {
            Release();
        }
        return status;
    }

    // Creates every missing key of an absolute name "\REGISTRY\<first>\...", one level per
    // call, so a name of any depth can be built; the KernelKey ends on the last one.
    NTSTATUS CreatePath(const std::u16string& absolute)
    {
        const std::u16string registry = u"\\REGISTRY\\";
        size_t end = absolute.find(u'\\', registry.size());
        NTSTATUS status = Create(absolute.substr(0, end));
        while (NT_SUCCESS(status) && end != std::u16string::npos) {
            size_t start = end + 1;
            end = absolute.find(u'\\', start);
            KernelKey child;
            status = child.Create(absolute.substr(start, end == std::u16string::npos ? end : end - start), handle_);
            *this = std::move(child);
        }
        return status;
    }

    HANDLE handle() const { return handle_; }
    PVOID object() const { return object_; }

private:
    void Release()
    {
        if (object_ != nullptr) {
            ObDereferenceObject(object_);
            object_ = nullptr;
        }
        if (handle_ != nullptr) {
            (void)ZwClose(handle_);
            handle_ = nullptr;
        }
    }

    HANDLE handle_ = nullptr;
    PVOID object_ = nullptr;
};

}  // namespace vextest
