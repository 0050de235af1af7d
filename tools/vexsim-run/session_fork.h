// Runs a session in a child process, so that a machine stop (which ends the process, as a bug
// check ends Windows) or a hang is reported by the parent instead of ending the tool. Host code
// only.
#pragma once

#include <functional>
#include <string>

namespace vexrun {

struct ChildOutcome {
    bool stopped = false;   // the child ended by a signal: the machine stopped
    bool timedOut = false;  // the child ran past its time limit and was ended
    int exitCode = 0;       // when it exited
    std::string answer;     // what the body returned
};

// Runs body in a forked child with a time limit in seconds (0: none); the child's answer comes
// back through a pipe, its exit code is body's. Standard output is flushed before the fork.
ChildOutcome RunInChild(const std::function<int(std::string& answer)>& body, unsigned timeLimitSeconds);

}  // namespace vexrun
