// Registration and delivery of registry callbacks.
//
// The registration list is sorted by altitude, highest first; its lock also guards each
// registration's `removed` flag and its object contexts. The number of calls in flight of each
// registration is guarded by the dispatcher lock, so that CmUnRegisterCallback waits for them as
// a kernel wait (tests see it blocked). Neither lock is held while a callback runs.
#include "sim/cm/callbacks.h"

#include "sim/core/kernel.h"
#include "sim/executive/dispatcher.h"
#include "sim/rtl/utf.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace vexsim {

namespace {

// An altitude as a decimal number: digits before and after the point, without leading zeros
// before it and trailing zeros after it, so that comparing lengths and then digits compares the
// numbers. How Windows parses malformed altitudes is not documented; anything but digits with
// at most one point is refused.
struct Altitude {
    std::string whole;
    std::string fraction;
};

bool ParseAltitude(const std::u16string& text, Altitude& altitude)
{
    bool point = false;
    bool digits = false;
    for (char16_t unit : text) {
        if (unit == u'.' && !point) {
            point = true;
        } else if (unit >= u'0' && unit <= u'9') {
            (point ? altitude.fraction : altitude.whole) += static_cast<char>(unit);
            digits = true;
        } else {
            return false;
        }
    }
    altitude.whole.erase(0, altitude.whole.find_first_not_of('0') == std::string::npos
                                ? altitude.whole.size()
                                : altitude.whole.find_first_not_of('0'));
    while (!altitude.fraction.empty() && altitude.fraction.back() == '0') {
        altitude.fraction.pop_back();
    }
    return digits;
}

int CompareAltitudes(const Altitude& a, const Altitude& b)
{
    if (a.whole.size() != b.whole.size()) {
        return a.whole.size() < b.whole.size() ? -1 : 1;
    }
    if (int order = a.whole.compare(b.whole); order != 0) {
        return order;
    }
    return a.fraction.compare(b.fraction);
}

}  // namespace

struct CallbackRegistration {
    PEX_CALLBACK_FUNCTION function;
    PVOID context;
    PVOID driver;
    std::string altitudeText;
    Altitude altitude;
    LONGLONG cookie;
    bool removed = false;                   // guarded by g_lock
    std::map<PVOID, PVOID> objectContexts;  // key object -> context; guarded by g_lock
    size_t inFlight = 0;                    // guarded by DispatcherLock()
};

namespace {

std::mutex g_lock;
std::vector<std::shared_ptr<CallbackRegistration>> g_registrations;  // highest altitude first; g_lock
LONGLONG g_nextCookie = 0x10000;                                     // g_lock
std::atomic<size_t> g_registered{0};

// The callback the calling host thread is running, innermost: nested registry calls are shown
// only to callbacks below it.
thread_local const CallbackRegistration* t_running = nullptr;

// Counts a call in flight; the caller holds g_lock.
void BeginCall(CallbackRegistration& registration)
{
    std::lock_guard lock(DispatcherLock());
    registration.inFlight++;
}

NTSTATUS Invoke(CallbackRegistration& registration, REG_NOTIFY_CLASS notifyClass, PVOID information)
{
    const CallbackRegistration* outer = t_running;
    t_running = &registration;
    NTSTATUS status = registration.function(registration.context,
                                            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(notifyClass)), information);
    t_running = outer;
    std::lock_guard lock(DispatcherLock());
    if (--registration.inFlight == 0) {
        DispatcherCondition().notify_all();
    }
    return status;
}

// The highest live registration below `bound` (and below the callback this thread runs), with
// its call counted; null when none is left.
std::shared_ptr<CallbackRegistration> NextBelow(const Altitude* bound)
{
    std::lock_guard lock(g_lock);
    for (const auto& registration : g_registrations) {
        if (bound != nullptr && CompareAltitudes(registration->altitude, *bound) >= 0) {
            continue;
        }
        if (t_running != nullptr && CompareAltitudes(registration->altitude, t_running->altitude) >= 0) {
            continue;
        }
        BeginCall(*registration);
        return registration;
    }
    return nullptr;
}

PVOID ContextFor(const CallbackRegistration& registration, PVOID object)
{
    if (object == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(g_lock);
    auto found = registration.objectContexts.find(object);
    return found == registration.objectContexts.end() ? nullptr : found->second;
}

std::shared_ptr<CallbackRegistration> FindByCookie(LONGLONG cookie)
{
    for (const auto& registration : g_registrations) {
        if (registration->cookie == cookie) {
            return registration;
        }
    }
    return nullptr;
}

void DeliverCleanup(CallbackRegistration& registration, PVOID object, PVOID context)
{
    REG_CALLBACK_CONTEXT_CLEANUP_INFORMATION cleanup{object, context, nullptr};
    (void)Invoke(registration, RegNtCallbackObjectContextCleanup, &cleanup);
}

}  // namespace

NotifiedOperation::NotifiedOperation(PVOID object, PVOID* callContext, PVOID* objectContext)
    : object_(object), callContext_(callContext), objectContext_(objectContext)
{
}

NotifiedOperation::~NotifiedOperation() = default;

NTSTATUS NotifiedOperation::Pre(REG_NOTIFY_CLASS notifyClass, PVOID information)
{
    preInformation_ = information;
    if (!AnyCallbackRegistered()) {
        return STATUS_SUCCESS;
    }
    std::shared_ptr<CallbackRegistration> previous;
    while (auto registration = NextBelow(previous ? &previous->altitude : nullptr)) {
        *callContext_ = nullptr;
        *objectContext_ = ContextFor(*registration, object_);
        NTSTATUS status = Invoke(*registration, notifyClass, information);
        // Success-class statuses other than STATUS_SUCCESS let the operation pass as well; only
        // failures and warnings stop it, STATUS_CALLBACK_BYPASS among them.
        if (!NT_SUCCESS(status)) {
            return status;
        }
        passed_.push_back({registration, *callContext_});
        previous = registration;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NotifiedOperation::Post(REG_NOTIFY_CLASS notifyClass, NTSTATUS status, PVOID* resultObject)
{
    PVOID object = resultObject != nullptr ? *resultObject : object_;
    for (auto passed = passed_.rbegin(); passed != passed_.rend(); ++passed) {
        CallbackRegistration& registration = *passed->registration;
        {
            std::lock_guard lock(g_lock);
            if (registration.removed) {
                continue;
            }
            BeginCall(registration);
        }
        REG_POST_OPERATION_INFORMATION post{resultObject == nullptr || status == STATUS_SUCCESS ? object
                                                                                                  : kUndefinedPostObject,
                                            status,
                                            preInformation_,
                                            STATUS_SUCCESS,
                                            passed->callContext,
                                            ContextFor(registration, object),
                                            nullptr};
        NTSTATUS answer = Invoke(registration, notifyClass, &post);
        // STATUS_CALLBACK_BYPASS substitutes ReturnStatus; any other answer of a post callback
        // is not defined by Windows and is ignored here.
        if (answer == STATUS_CALLBACK_BYPASS) {
            status = post.ReturnStatus;
            object = post.Object == kUndefinedPostObject ? nullptr : post.Object;
        }
    }
    if (resultObject != nullptr) {
        *resultObject = object;
    }
    return status;
}

bool AnyCallbackRegistered()
{
    return g_registered.load(std::memory_order_relaxed) != 0;
}

// Pre- and post-close come once per key object, when its last reference goes, not once per
// ZwClose: Microsoft's "Invalid Key Object Pointers in Registry Notifications" (kernel-mode
// driver guide) says the Object of RegNtPreKeyHandleClose and RegNtPostKeyHandleClose "points to
// a key object that is being destroyed and whose reference count is zero", and
// REG_CALLBACK_CONTEXT_CLEANUP_INFORMATION ties the cleanup that follows to the same moment. So a
// handle closed while a driver still references the object (or while another handle of a
// duplicated one is open) notifies nothing yet.
void NotifyKeyObjectTeardown(PVOID keyObject)
{
    if (!AnyCallbackRegistered()) {
        return;
    }
    REG_KEY_HANDLE_CLOSE_INFORMATION close{keyObject, nullptr, nullptr, nullptr};
    NotifiedOperation operation(keyObject, &close.CallContext, &close.ObjectContext);
    (void)operation.Pre(RegNtPreKeyHandleClose, &close);
    (void)operation.Post(RegNtPostKeyHandleClose, STATUS_SUCCESS);

    std::vector<std::pair<std::shared_ptr<CallbackRegistration>, PVOID>> cleanups;
    {
        std::lock_guard lock(g_lock);
        for (const auto& registration : g_registrations) {
            auto found = registration->objectContexts.find(keyObject);
            if (found != registration->objectContexts.end()) {
                cleanups.emplace_back(registration, found->second);
                registration->objectContexts.erase(found);
                BeginCall(*registration);
            }
        }
    }
    for (auto& [registration, context] : cleanups) {
        DeliverCleanup(*registration, keyObject, context);
    }
}

NTSTATUS AttachObjectContext(PLARGE_INTEGER cookie, PVOID object, PVOID newContext, PVOID* oldContext)
{
    std::lock_guard lock(g_lock);
    auto registration = cookie != nullptr ? FindByCookie(cookie->QuadPart) : nullptr;
    if (registration == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID& slot = registration->objectContexts[object];
    if (oldContext != nullptr) {
        *oldContext = slot;
    }
    slot = newContext;
    return STATUS_SUCCESS;
}

bool IsRegisteredCookie(PLARGE_INTEGER cookie)
{
    if (cookie == nullptr) {
        return false;
    }
    std::lock_guard lock(g_lock);
    return FindByCookie(cookie->QuadPart) != nullptr;
}

void ReportCallbackLeftovers(std::vector<std::string>& out)
{
    std::lock_guard lock(g_lock);
    for (const auto& registration : g_registrations) {
        out.push_back("registry callback at altitude " + registration->altitudeText + " still registered");
    }
}

void ResetCallbacks()
{
    std::lock_guard lock(g_lock);
    g_registrations.clear();
    g_registered.store(0);
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude,
                                               PVOID Driver, PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved)
{
    if (Function == nullptr || Altitude == nullptr || Cookie == nullptr || Reserved != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto registration = std::make_shared<CallbackRegistration>();
    registration->function = Function;
    registration->context = Context;
    registration->driver = Driver;
    std::u16string altitudeText = ToU16(Altitude);
    if (!ParseAltitude(altitudeText, registration->altitude)) {
        return STATUS_INVALID_PARAMETER;
    }
    registration->altitudeText = Utf16ToUtf8(altitudeText);

    std::lock_guard lock(g_lock);
    auto place = g_registrations.begin();
    for (; place != g_registrations.end(); ++place) {
        int order = CompareAltitudes((*place)->altitude, registration->altitude);
        if (order == 0) {
            return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
        }
        if (order < 0) {
            break;
        }
    }
    registration->cookie = g_nextCookie++;
    Cookie->QuadPart = registration->cookie;
    g_registrations.insert(place, registration);
    g_registered.fetch_add(1);
    return STATUS_SUCCESS;
}

// Waits for every call in flight of the callback before it returns (Windows does not say; a
// driver that frees its state right after unregistering needs it), so no call of it runs or
// starts afterwards. Then the contexts still attached get their cleanup notification.
extern "C" NTSTATUS NTAPI CmUnRegisterCallback(LARGE_INTEGER Cookie)
{
    std::shared_ptr<CallbackRegistration> registration;
    {
        std::lock_guard lock(g_lock);
        registration = FindByCookie(Cookie.QuadPart);
        if (registration == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (t_running == registration.get()) {
            StopMachine("CmUnRegisterCallback called from inside the callback it unregisters (a deadlock on Windows)");
        }
        registration->removed = true;
        std::erase(g_registrations, registration);
        g_registered.fetch_sub(1);
    }
    {
        std::unique_lock lock(DispatcherLock());
        while (registration->inFlight != 0) {
            BlockOnDispatcher(lock);
        }
    }
    std::map<PVOID, PVOID> contexts;
    {
        std::lock_guard lock(g_lock);
        contexts.swap(registration->objectContexts);
        for (size_t i = 0; i < contexts.size(); i++) {
            BeginCall(*registration);
        }
    }
    for (const auto& [object, context] : contexts) {
        DeliverCleanup(*registration, object, context);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI CmGetCallbackVersion(PULONG Major, PULONG Minor)
{
    if (Major != nullptr) {
        *Major = 1;
    }
    if (Minor != nullptr) {
        *Minor = 1;
    }
}
