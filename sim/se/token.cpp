// Tokens: who a process acts as. The simulated machine has no logon sessions or privileges of
// its own; a token is the process's user and a fixed set of groups. An administrator's token is
// taken to be elevated, with Administrators enabled and the privileges an access check asks for
// (ACCESS_SYSTEM_SECURITY) held.
#include "sim/ps/process.h"
#include "sim/se/security.h"

namespace vexsim {

Token TokenOf(PEPROCESS process)
{
    Token token;
    token.user = process->userSid;
    token.administrator = process->administrator || process->userSid == kSidLocalSystem;
    token.groups = {kSidEveryone, kSidAuthenticatedUsers};
    // SYSTEM's token is not in Users on Windows; an administrator's is, and an ordinary user's.
    if (token.user != kSidLocalSystem) {
        token.groups.push_back(kSidUsers);
    }
    if (token.administrator) {
        token.groups.push_back(kSidAdministrators);
    }
    return token;
}

}  // namespace vexsim
