#include "tools/vexsim-run/runner.h"

#include "client/control_client.h"
#include "client/sim_transport.h"
#include "driver/global.h"
#include "sim/debug/debug_output.h"
#include "sim/executive/clock.h"
#include "sim/executive/fault_injection.h"
#include "sim/cm/user_registry.h"
#include "sim/fs/file_system.h"
#include "sim/io/io.h"
#include "sim/machine/machine.h"
#include "sim/ps/process.h"
#include "sim/ps/process_start.h"
#include "sim/ps/system_thread.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/regfile/registry_file.h"
#include "sim/rtl/utf8.h"
#include "tools/vexsim-run/copy_keys.h"
#include "tools/vexsim-run/decision.h"
#include "tools/vexsim-run/machine_setup.h"
#include "tools/vexsim-run/port_listener.h"
#include "tools/vexsim-run/registry_calls.h"
#include "tools/vexsim-run/registry_names.h"
#include "tools/vexsim-run/time_of_day.h"
#include "tools/vexsim-run/value_data.h"

#include <algorithm>
#include <map>
#include <memory>

namespace vexrun {
namespace {

constexpr char16_t kServiceImage[] = u"\\Device\\HarddiskVolume3\\Program Files\\Vex\\VexService.exe";
constexpr char16_t kObserverImage[] = u"C:\\Program Files\\Vex\\observer.exe";
constexpr LONGLONG kOperationTick = 10000;  // each operation takes a simulated millisecond
constexpr uint32_t kAllLogLevels = 0xFFFFFFFF;
constexpr ULONG kMaxEnumeration = 100000;   // an enumeration stops here even if the key goes on
constexpr uint32_t kStatusNoMoreEntries = 0x8000001Au;
constexpr uint32_t kStatusObjectNameNotFound = 0xC0000034u;

const char* OperationName(OpKind kind)
{
    switch (kind) {
    case OpKind::Open: return "RegOpenKey";
    case OpKind::Create: return "RegCreateKey";
    case OpKind::LoadAppHive: return "RegLoadKey";
    case OpKind::QueryValue: return "RegQueryValue";
    case OpKind::EnumKeys: return "RegEnumKey";
    case OpKind::EnumValues: return "RegEnumValue";
    case OpKind::SetValue: return "RegSetValue";
    case OpKind::DeleteKey: return "RegDeleteKey";
    case OpKind::DeleteValue: return "RegDeleteValue";
    case OpKind::Rename: return "RegRenameKey";
    case OpKind::Close: return "RegCloseKey";
    }
    return "";
}

std::string AccessName(uint32_t access)
{
    switch (access) {
    case KEY_READ: return "Read";
    case KEY_WRITE: return "Write";
    case KEY_ALL_ACCESS: return "All Access";
    default: {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%X", access);
        return text;
    }
    }
}

std::string FileNameOf(const std::u16string& path)
{
    size_t slash = path.find_last_of(u"\\/");
    return vexsim::Utf16ToUtf8(slash == std::u16string::npos ? path : path.substr(slash + 1));
}

std::string Joined(const std::vector<std::u16string>& names)
{
    std::string text = "[";
    for (size_t i = 0; i < names.size(); i++) {
        text += (i == 0 ? "\"" : ", \"") + vexsim::Utf16ToUtf8(names[i]) + "\"";
    }
    return text + "]";
}

// A key handle a scenario's process holds.
struct OpenKey {
    HANDLE handle = nullptr;
    std::u16string path;        // native name as the process addressed it
    bool redirected = false;    // a handle to a key of the copy
};

struct RunningProcess {
    const ProcessSpec* declared = nullptr;
    PEPROCESS process = nullptr;
    uint32_t id = 0;
    std::u16string sid;
    bool sandboxed = false;
    std::map<std::string, OpenKey> handles;
};

// What one native call gave, before the driver's decision is added.
struct Call {
    std::string operation;
    std::u16string keyPath;
    std::optional<std::u16string> valueName;
    uint32_t status = 0;
    std::string detail;
    const OpenKey* handle = nullptr;  // the handle used, if any
    bool opensKey = false;
    bool created = false;
};

class Session {
public:
    Session(const Scenario& scenario, const RunOptions& options, RunResult& result)
        : scenario_(scenario), options_(options), result_(result)
    {
    }

    void Run()
    {
        result_.setupProblems = SetUpMachine(scenario_.machine);
        if (!result_.setupProblems.empty()) {
            vexsim::ShutdownMachine();
            return;
        }
        NTSTATUS status = vexsim::LoadDriver(DriverEntry, "VexRegFilter");
        if (!NT_SUCCESS(status)) {
            result_.setupProblems.push_back("loading VexRegFilter: " + vexclient::DescribeStatus(status));
            result_.leftovers = vexsim::CheckLeftovers();
            vexsim::ShutdownMachine();
            return;
        }
        uint64_t requestsBefore = vexsim::AllocationRequestCount();
        if (options_.failAllocation != 0) {
            vexsim::FailNthAllocation(options_.failAllocation);
        }

        vexsim::ProcessParams serviceParams{kServiceImage};
        serviceParams.sessionId = 0;
        serviceParams.administrator = true;
        service_ = vexsim::CreateUserProcess(serviceParams);
        {
            vexclient::SimTransport transport(service_);
            vexclient::ControlClient control(transport);
            control_ = &control;
            ArmLog(transport);
            ConnectPortClients();
            for (const ControlRequest& request : scenario_.service) {
                Send(request);
            }
            DrainLog();
            for (const ProcessSpec& declared : scenario_.processes) {
                RunProcess(declared);
            }
            if (redirecting_ && options_.privateCopy) {
                ExportPrivateCopy();
            }
            if (redirecting_ && options_.netChanges) {
                ObserveNetChanges();
            }
            EndProcesses();
            if (redirecting_) {
                Check(control.StopRegRedirect(), "stop_reg_redirect", SourceLine{scenario_.file, 0}, std::nullopt);
            }
            DrainLog();
            (void)control.StopLogging();
            control_ = nullptr;
        }
        vexsim::EndProcess(service_);

        vexsim::UnloadResult unload = vexsim::UnloadDriver();
        result_.unloadRefused = !NT_SUCCESS(unload.status);
        result_.leftovers = result_.unloadRefused ? vexsim::CheckLeftovers() : unload.leftovers;
        for (std::unique_ptr<PortListener>& listener : listeners_) {
            for (std::string& message : listener->Finish()) {
                result_.portMessages.push_back(std::move(message));
            }
        }
        result_.allocationRequests = vexsim::AllocationRequestCount() - requestsBefore;
        result_.injectedFailures = vexsim::InjectedFailureCount();
        vexsim::ClearAllocationFailures();
        result_.debugger = vexsim::DebugOutput();
        vexsim::ShutdownMachine();
    }

private:
    void Fail(const SourceLine& at, const std::string& message) { result_.failures.push_back(Where(at) + ": " + message); }

    template <typename T>
    bool Check(const vexclient::Result<T>& answer, const std::string& what, const SourceLine& at,
               std::optional<uint32_t> expected)
    {
        uint32_t status = static_cast<uint32_t>(answer.status);
        uint32_t want = expected.value_or(0);
        if (status != want) {
            Fail(at, what + ": " + vexclient::DescribeStatus(answer.status) + ", expected " +
                         vexclient::DescribeStatus(static_cast<vexclient::NtStatus>(want)) +
                         (answer.problem.empty() ? "" : " (" + answer.problem + ")"));
            return false;
        }
        return true;
    }

    void ArmLog(vexclient::SimTransport& transport)
    {
        uint64_t event = 0;
        vexclient::NtStatus status = transport.CreateLogEvent(&event);
        if (!vexclient::Succeeded(status)) {
            Fail(SourceLine{scenario_.file, 0}, "creating the log event: " + vexclient::DescribeStatus(status));
            return;
        }
        Check(control_->StartLogging(event, kAllLogLevels), "start_logging", SourceLine{scenario_.file, 0}, std::nullopt);
    }

    // Every record queued so far, kept for the session's log; the new ones are returned.
    std::vector<vextools::LogRecord> DrainLog()
    {
        std::vector<vextools::LogRecord> drained;
        for (;;) {
            vexclient::Result<std::vector<vextools::LogRecord>> records = control_->GetLogData();
            if (!records.ok() || records.value.empty()) {
                break;
            }
            drained.insert(drained.end(), records.value.begin(), records.value.end());
        }
        result_.log.insert(result_.log.end(), drained.begin(), drained.end());
        return drained;
    }

    void ConnectPortClients()
    {
        for (const PortClientSpec& declared : scenario_.portClients) {
            auto listener = std::make_unique<PortListener>(declared.name);
            vexclient::NtStatus status = listener->Start();
            if (!vexclient::Succeeded(status)) {
                Fail(declared.at, "port client " + declared.name + " could not connect: " + vexclient::DescribeStatus(status));
            }
            listeners_.push_back(std::move(listener));
        }
    }

    // The service lays the private copy's roots down before it starts redirection.
    void CreateCopyRoots()
    {
        std::vector<std::u16string> keys;
        if (!layout_.redirectRoot.empty()) {
            keys = {layout_.redirectRoot + u"\\USER", layout_.redirectRoot + u"\\MACHINE"};
        }
        for (const std::u16string& root : {layout_.userClassesRoot, layout_.machineClassesRoot}) {
            if (!root.empty()) {
                keys.push_back(root);
            }
        }
        for (const std::u16string& key : keys) {
            for (size_t end = key.find(u'\\', 10); ; end = key.find(u'\\', end + 1)) {
                std::u16string prefix = key.substr(0, end);
                UNICODE_STRING name{(USHORT)(prefix.size() * 2), (USHORT)(prefix.size() * 2), (PWSTR)prefix.data()};
                OBJECT_ATTRIBUTES attributes;
                InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
                HANDLE handle = nullptr;
                if (NT_SUCCESS(ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr))) {
                    (void)ZwClose(handle);
                }
                if (end == std::u16string::npos) {
                    break;
                }
            }
        }
    }

    void Send(const ControlRequest& request)
    {
        const std::string& name = request.request;
        vexclient::ControlClient& c = *control_;
        auto check = [&](const auto& answer) { return Check(answer, name, request.at, request.expectStatus); };
        auto setting = [&](const vexclient::Result<uint32_t>& answer) {
            if (check(answer) && answer.ok() && !request.label.empty()) {
                settings_[request.label] = answer.value;
            }
        };
        if (name == "set_redirect_key_name") {
            if (check(c.SetRedirectKeyName(request.key))) {
                layout_.redirectRoot = request.key;
            }
        } else if (name == "set_redirect_user_classes_key_name") {
            if (check(c.SetRedirectUserClassesKeyName(request.key))) {
                layout_.userClassesRoot = request.key;
            }
        } else if (name == "set_redirect_machine_classes_key_name") {
            if (check(c.SetRedirectMachineClassesKeyName(request.key))) {
                layout_.machineClassesRoot = request.key;
            }
        } else if (name == "add_exclude_key_name") {
            check(c.AddExcludeKeyName(request.key));
        } else if (name == "add_exclude_value_name") {
            check(c.AddExcludeValueName(request.key, request.valueName));
        } else if (name == "reset_exclude_key_name") {
            check(c.ResetExcludeKeyName());
        } else if (name == "reset_exclude_value_name") {
            check(c.ResetExcludeValueName());
        } else if (name == "set_process") {
            setting(c.SetProcess(request.image));
        } else if (name == "set_parent_process") {
            setting(c.SetParentProcess(request.image));
        } else if (name == "set_root_process") {
            setting(c.SetRootProcess(request.image));
        } else if (name == "add_exclusion_process") {
            setting(c.AddExclusionProcess(request.image));
        } else if (name == "add_process_tree_monitor") {
            setting(c.AddProcessTreeMonitor(request.image));
        } else if (name == "delete_process") {
            auto found = settings_.find(request.setting);
            if (found == settings_.end()) {
                Fail(request.at, "delete_process: the setting \"" + request.setting + "\" was not made");
            } else {
                check(c.DeleteProcess(found->second));
            }
        } else if (name == "set_reg_value") {
            check(c.SetRegValue(vexclient::RegValue{request.key, request.valueName, request.valueType, request.data}));
        } else if (name == "output_current_param") {
            check(c.OutputCurrentParam());
        } else if (name == "start_reg_redirect") {
            CreateCopyRoots();
            if (check(c.StartRegRedirect())) {
                redirecting_ = true;
                // The prepared-key walks end before any program runs, so every run sees the same copy.
                for (PETHREAD thread : vexsim::RunningSystemThreads()) {
                    (void)KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
                }
                copyRoots_.clear();
                for (const std::u16string& root : {layout_.redirectRoot, layout_.userClassesRoot, layout_.machineClassesRoot}) {
                    if (!root.empty()) {
                        copyRoots_.push_back(root);
                    }
                }
                copyKeys_ = ListCopyKeys(copyRoots_);
                if (options_.netChanges) {
                    std::string problem;
                    if (!NT_SUCCESS(ComputeStartChanges(layout_, &startChanges_, &problem))) {
                        Fail(request.at, "reading what the start prepared in the copy: " + problem);
                    }
                }
            }
        }
    }

    std::vector<uint32_t> SandboxedProcessIds()
    {
        vexclient::Result<std::vector<uint32_t>> ids = control_->GetPidListUnderSandbox();
        return ids.ok() ? ids.value : std::vector<uint32_t>{};
    }

    void RunProcess(const ProcessSpec& declared)
    {
        RunningProcess running;
        running.declared = &declared;
        for (const User& user : scenario_.machine.users) {
            if (user.name == declared.user) {
                running.sid = vexsim::Utf8ToUtf16(user.sid);
            }
        }
        vexsim::StartParams params;
        params.imagePath = declared.image;
        params.commandLine = declared.commandLine;
        params.sessionId = declared.session;
        params.wow64 = declared.wow64;
        params.userSid = vexsim::Utf16ToUtf8(running.sid);
        params.administrator = declared.elevated;
        params.integrityLevel = declared.elevated ? vexsim::kHighIntegrity : vexsim::kMediumIntegrity;
        uint32_t parentId = 4;
        if (!declared.parent.empty()) {
            for (RunningProcess& other : processes_) {
                if (other.declared->name == declared.parent) {
                    params.parent = other.process;
                    parentId = other.id;
                }
            }
            if (params.parent == nullptr) {
                Fail(declared.at, "process " + declared.name + ": its parent " + declared.parent + " did not start");
                return;
            }
        }
        vexsim::AdvanceSimulatedClock(kOperationTick);
        NTSTATUS status = vexsim::StartProcess(params, &running.process);
        if (NT_SUCCESS(status)) {
            status = vexsim::LoadSystemLibraries(running.process);
        }
        if (running.process == nullptr) {
            Fail(declared.at, "starting " + vexsim::Utf16ToUtf8(declared.image) + ": " + vexclient::DescribeStatus(status));
            DrainLog();
            return;
        }
        running.id = static_cast<uint32_t>(running.process->id);
        std::vector<uint32_t> sandboxed = SandboxedProcessIds();
        running.sandboxed = std::find(sandboxed.begin(), sandboxed.end(), running.id) != sandboxed.end();
        DrainLog();
        TraceRow row;
        row.timeOfDay = FormatTimeOfDay(vexsim::SimulatedSystemTime() - vexsim::TimeZoneBias());
        row.processName = FileNameOf(declared.image);
        row.processId = running.id;
        row.operation = "Process Start";
        row.result = ResultName(static_cast<uint32_t>(status));
        row.detail = "Parent PID: " + std::to_string(parentId) + ", Sandbox: " +
                     (running.sandboxed ? "under the sandbox" : "not under the sandbox");
        AddRow(std::move(row));
        if (!NT_SUCCESS(status)) {
            Fail(declared.at, "starting " + vexsim::Utf16ToUtf8(declared.image) + ": " + vexclient::DescribeStatus(status));
        }
        processes_.push_back(std::move(running));
        RunningProcess& process = processes_.back();
        for (const RegistryOp& op : declared.ops) {
            RunOp(process, op);
        }
    }

    void AddRow(TraceRow row)
    {
        if (options_.onTraceRow) {
            options_.onTraceRow(row);
        }
        result_.trace.push_back(std::move(row));
    }

    // Finishes the trace row of one native call: its time, the driver's decision from the records
    // the call queued and from what appeared in the copy.
    void Record(RunningProcess& process, const Call& call, DecisionText* decisionOut = nullptr)
    {
        std::vector<RegistryRecord> records;
        for (const vextools::LogRecord& record : DrainLog()) {
            std::optional<RegistryRecord> parsed = ParseRegistryRecord(record);
            if (parsed && record.processId == process.id) {
                records.push_back(*parsed);
            }
        }
        DecisionText decision{Decision::Passed, {}};
        if (process.sandboxed && redirecting_) {
            DecisionInput input;
            input.records = records;
            input.copyRoots = copyRoots_;
            input.handleRedirected = call.handle != nullptr && call.handle->redirected;
            input.created = call.created;
            input.failed = call.status != 0 && call.status != kStatusNoMoreEntries;
            std::map<std::u16string, size_t> before = copyKeys_;
            copyKeys_ = ListCopyKeys(copyRoots_);
            if (call.opensKey && !records.empty()) {
                auto now = copyKeys_.find(UpperName(records.back().path));
                auto was = before.find(UpperName(records.back().path));
                input.keyAppearedInCopy = now != copyKeys_.end() &&
                                          (was == before.end() || (was->second == 0 && now->second != 0));
            }
            decision = Decide(input);
        }
        if (decisionOut != nullptr) {
            *decisionOut = decision;
        }
        TraceRow row;
        row.timeOfDay = FormatTimeOfDay(vexsim::SimulatedSystemTime() - vexsim::TimeZoneBias());
        row.processName = FileNameOf(process.declared->image);
        row.processId = process.id;
        row.operation = call.operation;
        row.path = DisplayKeyPath(call.keyPath, process.sid);
        if (call.valueName) {
            row.path += "\\" + (call.valueName->empty() ? std::string("(Default)") : vexsim::Utf16ToUtf8(*call.valueName));
        }
        row.result = ResultName(call.status);
        std::string sandbox = DescribeDecision(decision, DisplayKeyPath(decision.target, process.sid));
        row.detail = call.detail + (call.detail.empty() ? "" : ", ") + "Sandbox: " + sandbox;
        AddRow(std::move(row));
    }

    void CheckStatus(const RegistryOp& op, const std::string& what, uint32_t status)
    {
        uint32_t want = op.expectStatus.value_or(0);
        if (status != want) {
            Fail(op.at, what + ": " + ResultName(status) + ", expected " + ResultName(want));
        }
    }

    void RunOp(RunningProcess& process, const RegistryOp& op)
    {
        Call call;
        call.operation = OperationName(op.kind);
        OpenKey* handle = nullptr;
        if (op.kind != OpKind::Open && op.kind != OpKind::Create && op.kind != OpKind::LoadAppHive) {
            auto found = process.handles.find(op.handle);
            if (found == process.handles.end()) {
                Fail(op.at, call.operation + ": the handle \"" + op.handle + "\" is not open (its open failed)");
                return;
            }
            handle = &found->second;
            call.handle = handle;
            call.keyPath = handle->path;
        }
        std::string what = call.operation + " " + DisplayKeyPath(call.keyPath, process.sid);
        vexsim::AdvanceSimulatedClock(kOperationTick);
        switch (op.kind) {
        case OpKind::Open:
        case OpKind::Create: {
            HANDLE parent = nullptr;
            call.keyPath = op.key;
            if (!op.relativeTo.empty()) {
                auto found = process.handles.find(op.relativeTo);
                if (found == process.handles.end()) {
                    Fail(op.at, call.operation + ": the handle \"" + op.relativeTo + "\" is not open (its open failed)");
                    return;
                }
                parent = found->second.handle;
                call.keyPath = found->second.path + u"\\" + op.key;
            }
            what = call.operation + " " + DisplayKeyPath(call.keyPath, process.sid);
            bool create = op.kind == OpKind::Create;
            std::u16string basePath = call.keyPath.substr(0, call.keyPath.size() - op.key.size());
            OpenKey opened;
            DecisionText decision;
            call.status = OpenOrCreate(process, call, parent, basePath, op.key, op, &opened, &decision);
            if (create && call.status == kStatusObjectNameNotFound) {
                call.status = CreateNested(process, call, parent, basePath, op, &opened, &decision);
            }
            CheckStatus(op, what, call.status);
            if (op.expectCreated && call.status == 0 && *op.expectCreated != call.created) {
                Fail(op.at, what + ": the key was " + (call.created ? "created" : "opened") + ", expected it to be " +
                                (*op.expectCreated ? "created" : "opened"));
            }
            if (call.status == 0) {
                Bind(process, op.handle, opened, decision);
            }
            break;
        }
        case OpKind::LoadAppHive: {
            OpenKey opened;
            {
                vexsim::UserModeScope user(process.process);
                call.status = static_cast<uint32_t>(vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &opened.handle, &opened.path));
            }
            call.keyPath = opened.path;
            call.opensKey = true;
            call.detail = "Application hive";
            what = call.operation + " " + vexsim::Utf16ToUtf8(opened.path);
            DecisionText decision;
            Record(process, call, &decision);
            CheckStatus(op, what, call.status);
            if (call.status == 0) {
                Bind(process, op.handle, opened, decision);
            }
            break;
        }
        case OpKind::QueryValue: {
            ValueData value;
            {
                vexsim::UserModeScope user(process.process);
                call.status = static_cast<uint32_t>(CallQueryValue(handle->handle, op.valueName, &value));
            }
            call.valueName = op.valueName;
            if (call.status == 0) {
                call.detail = DescribeValue(value.type, value.bytes);
            }
            Record(process, call);
            CheckStatus(op, what, call.status);
            if (op.expectData && call.status == 0 &&
                (op.expectData->type != value.type || op.expectData->bytes != value.bytes)) {
                Fail(op.at, what + ": got " + DescribeValue(value.type, value.bytes) + ", expected " +
                                DescribeValue(op.expectData->type, op.expectData->bytes));
            }
            break;
        }
        case OpKind::EnumKeys:
        case OpKind::EnumValues: {
            bool keys = op.kind == OpKind::EnumKeys;
            std::vector<std::u16string> names;
            uint32_t ended = 0;
            for (ULONG index = 0; index < kMaxEnumeration; index++) {
                std::u16string name;
                ValueData value;
                {
                    vexsim::UserModeScope user(process.process);
                    call.status = static_cast<uint32_t>(keys ? CallEnumerateKey(handle->handle, index, &name)
                                                             : CallEnumerateValue(handle->handle, index, &name, &value));
                }
                call.detail = "Index: " + std::to_string(index);
                if (call.status == 0) {
                    call.detail += ", Name: " + (name.empty() && !keys ? std::string("(Default)") : vexsim::Utf16ToUtf8(name));
                    if (!keys) {
                        call.detail += ", " + DescribeValue(value.type, value.bytes);
                    }
                    names.push_back(name);
                }
                Record(process, call);
                if (call.status != 0) {
                    ended = call.status == kStatusNoMoreEntries ? 0 : call.status;
                    break;
                }
                vexsim::AdvanceSimulatedClock(kOperationTick);
            }
            CheckStatus(op, what, ended);
            if (op.expectNames && ended == 0 && *op.expectNames != names) {
                Fail(op.at, what + ": listed " + Joined(names) + ", expected " + Joined(*op.expectNames));
            }
            break;
        }
        case OpKind::SetValue: {
            {
                vexsim::UserModeScope user(process.process);
                call.status = static_cast<uint32_t>(CallSetValue(handle->handle, op.valueName, op.data));
            }
            call.valueName = op.valueName;
            call.detail = DescribeValue(op.data.type, op.data.bytes);
            Record(process, call);
            CheckStatus(op, what, call.status);
            break;
        }
        case OpKind::DeleteKey:
        case OpKind::DeleteValue:
        case OpKind::Rename:
        case OpKind::Close: {
            {
                vexsim::UserModeScope user(process.process);
                if (op.kind == OpKind::DeleteKey) {
                    call.status = static_cast<uint32_t>(vexsim::NtDeleteKey(handle->handle));
                } else if (op.kind == OpKind::DeleteValue) {
                    call.status = static_cast<uint32_t>(CallDeleteValue(handle->handle, op.valueName));
                } else if (op.kind == OpKind::Rename) {
                    call.status = static_cast<uint32_t>(CallRenameKey(handle->handle, op.key));
                } else {
                    call.status = static_cast<uint32_t>(vexsim::NtClose(handle->handle));
                }
            }
            if (op.kind == OpKind::DeleteValue) {
                call.valueName = op.valueName;
            }
            if (op.kind == OpKind::Rename) {
                call.detail = "New Name: " + vexsim::Utf16ToUtf8(op.key);
            }
            Record(process, call);
            CheckStatus(op, what, call.status);
            if (op.kind == OpKind::Close) {
                process.handles.erase(op.handle);
            }
            break;
        }
        }
    }

    // One native open or create of `name` (relative to parent when it is not null), with its
    // trace row; `basePath` is the native name of parent's key with a backslash, or empty.
    uint32_t OpenOrCreate(RunningProcess& process, Call& call, HANDLE parent, const std::u16string& basePath,
                          const std::u16string& name, const RegistryOp& op, OpenKey* opened, DecisionText* decision)
    {
        bool create = op.kind == OpKind::Create;
        opened->path = basePath + name;
        call.keyPath = opened->path;
        {
            vexsim::UserModeScope user(process.process);
            call.status = static_cast<uint32_t>(
                CallOpenKey(parent, name, op.access, create, op.createOptions, &opened->handle, &call.created));
        }
        call.opensKey = true;
        call.detail = "Desired Access: " + AccessName(op.access);
        if (create && call.status == 0) {
            call.detail += std::string(", Disposition: ") + (call.created ? "REG_CREATED_NEW_KEY" : "REG_OPENED_EXISTING_KEY");
        }
        Record(process, call, decision);
        return call.status;
    }

    // A create whose parent is missing goes on as RegCreateKeyEx does: it creates the deepest
    // ancestor that can be created, then each missing key below it, every step a native create
    // of the name up to that key (each with its trace row).
    uint32_t CreateNested(RunningProcess& process, Call& call, HANDLE parent, const std::u16string& basePath,
                          const RegistryOp& op, OpenKey* opened, DecisionText* decision)
    {
        std::vector<size_t> ends;  // where each component of the name ends
        for (size_t at = op.key.find(u'\\', 1); at != std::u16string::npos; at = op.key.find(u'\\', at + 1)) {
            ends.push_back(at);
        }
        size_t firstCreatable = parent == nullptr ? 2 : 0;  // an absolute name keeps \REGISTRY\<root>
        size_t depth = ends.size();
        uint32_t status = kStatusObjectNameNotFound;
        while (depth > firstCreatable) {
            OpenKey ancestor;
            status = OpenOrCreate(process, call, parent, basePath, op.key.substr(0, ends[depth - 1]), op, &ancestor, decision);
            if (status == 0) {
                CloseQuietly(process, ancestor);
                break;
            }
            if (status != kStatusObjectNameNotFound) {
                return status;
            }
            depth--;
        }
        if (status != 0) {
            return status;
        }
        for (size_t next = depth; next <= ends.size(); next++) {
            std::u16string name = next < ends.size() ? op.key.substr(0, ends[next]) : op.key;
            status = OpenOrCreate(process, call, parent, basePath, name, op, opened, decision);
            if (status != 0 || next == ends.size()) {
                break;
            }
            CloseQuietly(process, *opened);
        }
        return status;
    }

    // Gives an opened key its handle name, closing a key that had the name before.
    void Bind(RunningProcess& process, const std::string& name, OpenKey opened, const DecisionText& decision)
    {
        opened.redirected = decision.decision == Decision::Redirected || decision.decision == Decision::Copied ||
                            decision.decision == Decision::CreatedInCopy;
        auto previous = process.handles.find(name);
        if (previous != process.handles.end()) {
            CloseQuietly(process, previous->second);
        }
        process.handles[name] = opened;
    }

    void CloseQuietly(RunningProcess& process, OpenKey& key)
    {
        vexsim::UserModeScope user(process.process);
        (void)vexsim::NtClose(key.handle);
        key.handle = nullptr;
    }

    // The copy's roots as one REGEDIT4 file.
    void ExportPrivateCopy()
    {
        std::string text;
        for (const std::u16string& root : copyRoots_) {
            std::vector<UCHAR> file;
            vexsim::RegFileError error;
            NTSTATUS status = vexsim::ExportRegistryFile(root, vexsim::RegFileFormat::Regedit4,
                                                         vexsim::RegFileOptions{}, &file, &error);
            if (!NT_SUCCESS(status)) {
                Fail(SourceLine{scenario_.file, 0}, "exporting the private copy: " + error.message);
                continue;
            }
            std::string part(file.begin(), file.end());
            size_t header = part.find("\r\n\r\n");  // later parts go without their REGEDIT4 line
            text += text.empty() || header == std::string::npos ? part : part.substr(header + 4);
        }
        result_.privateCopy.assign(text.begin(), text.end());
    }

    // Puts an observer process under the sandbox through the driver's own process settings, has
    // it compare its view with the real registry, and takes it away again; its records stay out
    // of the session's log.
    void ObserveNetChanges()
    {
        size_t logged = result_.log.size();
        vexclient::Result<uint32_t> setting = control_->SetProcess(kObserverImage);
        PEPROCESS observer = nullptr;
        if (setting.ok() && NT_SUCCESS(vexsim::CreateFilePath(kObserverImage))) {
            vexsim::StartParams params;
            params.imagePath = kObserverImage;
            params.userSid = scenario_.machine.users[0].sid;
            params.administrator = true;
            params.integrityLevel = vexsim::kHighIntegrity;
            if (!NT_SUCCESS(vexsim::StartProcess(params, &observer))) {
                observer = nullptr;
            }
        }
        std::string problem = "the observer could not be put under the sandbox";
        if (observer == nullptr ||
            !NT_SUCCESS(ComputeNetChanges(layout_, observer, startChanges_, &result_.netChanges, &problem))) {
            Fail(SourceLine{scenario_.file, 0}, "computing the net changes: " + problem);
        }
        if (observer != nullptr) {
            vexsim::EndProcess(observer);
        }
        if (setting.ok()) {
            (void)control_->DeleteProcess(setting.value);
        }
        vexsim::WaitForWorkQueueIdle();
        DrainLog();
        result_.log.resize(logged);
    }

    void EndProcesses()
    {
        for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
            for (auto& [name, key] : process->handles) {
                CloseQuietly(*process, key);
            }
            vexsim::AdvanceSimulatedClock(kOperationTick);
            vexsim::EndProcess(process->process);
        }
        // The exit messages reach the port clients, which answer them, before anything stops.
        vexsim::WaitForWorkQueueIdle();
        DrainLog();
    }

    const Scenario& scenario_;
    const RunOptions& options_;
    RunResult& result_;
    PEPROCESS service_ = nullptr;
    vexclient::ControlClient* control_ = nullptr;
    std::vector<std::unique_ptr<PortListener>> listeners_;
    std::map<std::string, uint32_t> settings_;
    SandboxLayout layout_;
    bool redirecting_ = false;
    std::vector<std::u16string> copyRoots_;
    std::map<std::u16string, size_t> copyKeys_;
    std::vector<RunningProcess> processes_;
    NetChanges startChanges_;
};

}  // namespace

RunResult RunScenario(const Scenario& scenario, const RunOptions& options)
{
    RunResult result;
    Session(scenario, options, result).Run();
    return result;
}

}  // namespace vexrun
