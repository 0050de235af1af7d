// Registry callbacks as the services see them: one NotifiedOperation per operation delivers the
// pre-notification down the altitude stack and the post-notification to exactly those callbacks
// that let the pre pass. Host code only.
//
// Order. Pre-notifications go from the highest altitude down and stop at the first callback
// that does not return STATUS_SUCCESS; post-notifications go back up, from the lowest of those
// that returned STATUS_SUCCESS to the highest, like the completion of a filter stack. They come
// also when a lower callback failed or completed the operation, with the status it ended with. A registry
// call a callback makes from inside its callback is shown only to callbacks below that one's
// altitude: each host thread remembers the callback it is running.
//
// This file knows nothing of key objects: key objects (key_object.cpp) call down into it for
// their teardown notifications and for the Cm* routines that take a key object.
//
// Contexts. CallContext is per callback: what a callback leaves in the pre block comes back in
// its post block. ObjectContext (RootObjectContext for creates and opens) is the context that
// callback attached to the operation's key object with CmSetCallbackObjectContext.
#pragma once

#include "platform/platform.h"

#include <memory>
#include <string>
#include <vector>

namespace vexsim {

struct CallbackRegistration;

// What a post-create or post-open notification carries in Object when Status is not
// STATUS_SUCCESS (STATUS_REPARSE and other success codes included): Windows leaves Object
// undefined then ("Invalid Key Object Pointers in Registry Notifications"), so the simulator
// passes a non-canonical address that faults on any use instead of NULL, which would hide a
// callback that tests Object rather than Status. The posts of other operations carry the key
// object they acted on, whatever their status.
inline const PVOID kUndefinedPostObject = reinterpret_cast<PVOID>(0xBADD0B1EC7000000ULL);

class NotifiedOperation {
public:
    // object: the key object the operation acts on (the root object for creates and opens), or
    // null. callContext and objectContext point into the pre block.
    NotifiedOperation(PVOID object, PVOID* callContext, PVOID* objectContext);
    NotifiedOperation(const NotifiedOperation&) = delete;
    NotifiedOperation& operator=(const NotifiedOperation&) = delete;
    ~NotifiedOperation();

    // Delivers the pre-notification. STATUS_SUCCESS: every callback let it pass;
    // STATUS_CALLBACK_BYPASS: one completed it; anything else: one failed it with that status.
    [[nodiscard]] NTSTATUS Pre(REG_NOTIFY_CLASS notifyClass, PVOID information);

    // Delivers the post-notification with the operation's result and returns the status the
    // caller gets: a callback returning STATUS_CALLBACK_BYPASS substitutes its ReturnStatus.
    // resultObject is the post block's Object (the new key object for creates and opens); a
    // callback may replace it, and the final value is written back.
    [[nodiscard]] NTSTATUS Post(REG_NOTIFY_CLASS notifyClass, NTSTATUS status, PVOID* resultObject = nullptr);

private:
    struct Passed {
        std::shared_ptr<CallbackRegistration> registration;
        PVOID callContext;
    };
    PVOID object_;
    PVOID* callContext_;
    PVOID* objectContext_;
    PVOID preInformation_ = nullptr;
    std::vector<Passed> passed_;  // in the order the pre-notification reached them
};

// Whether any callback is registered (lets services skip building blocks nobody reads).
bool AnyCallbackRegistered();

// Teardown of a key object: pre- and post-close to every callback, then the context cleanup to
// every callback that attached a context to it.
void NotifyKeyObjectTeardown(PVOID keyObject);

// Attaches a context to an object for the registration of a cookie (CmSetCallbackObjectContext,
// whose caller checked the object): STATUS_INVALID_PARAMETER for an unknown cookie.
[[nodiscard]] NTSTATUS AttachObjectContext(PLARGE_INTEGER cookie, PVOID object, PVOID newContext, PVOID* oldContext);

// Whether a cookie names a live registration (CmCallbackGetKeyObjectID checks its caller).
bool IsRegisteredCookie(PLARGE_INTEGER cookie);

// Unload check and shutdown.
void ReportCallbackLeftovers(std::vector<std::string>& out);
void ResetCallbacks();

}  // namespace vexsim
