#include "sim/ps/user_mode_scope.h"

#include "sim/ps/process.h"
#include "sim/ps/thread.h"

namespace vexsim {

UserModeScope::UserModeScope(PEPROCESS process) : saved_(CurrentContext())
{
    if (process == nullptr || process == PsInitialSystemProcess || process->exited.load() || process->mainThread == nullptr) {
        StopMachine("user mode can act only as a running user process");
    }
    SetCurrentContext(ContextOfThread(process->mainThread, UserMode));
}

UserModeScope::~UserModeScope()
{
    SetCurrentContext(saved_);
}

void RequireUserMode(const char* call)
{
    if (CurrentContext().previousMode != UserMode) {
        StopMachine(std::string(call) + " acts as user mode and must run inside a UserModeScope");
    }
}

}  // namespace vexsim
