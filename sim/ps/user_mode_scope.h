// Acting as user mode: while a UserModeScope lives, the calling host thread runs as the user
// thread of a process, with previous mode UserMode at PASSIVE_LEVEL, as the kernel sees a
// system call from that process. The previous context comes back when the scope ends. Host code
// only; the process must stay alive (not ended) while a scope acts as it.
#pragma once

#include "sim/core/kernel.h"

namespace vexsim {

class UserModeScope {
public:
    explicit UserModeScope(PEPROCESS process);
    ~UserModeScope();
    UserModeScope(const UserModeScope&) = delete;
    UserModeScope& operator=(const UserModeScope&) = delete;

private:
    ThreadContext saved_;
};

// Stops the machine unless the caller runs inside a UserModeScope: the user-mode calls of the
// machine API (named by `call` in the report) act as a user process.
void RequireUserMode(const char* call);

}  // namespace vexsim
