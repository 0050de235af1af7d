#include "tools/vexsim-run/session_fork.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace vexrun {

ChildOutcome RunInChild(const std::function<int(std::string& answer)>& body, unsigned timeLimitSeconds)
{
    ChildOutcome outcome;
    int pipeEnds[2];
    std::fflush(stdout);
    std::fflush(stderr);
    if (pipe(pipeEnds) != 0) {
        outcome.stopped = true;
        outcome.answer = "pipe failed";
        return outcome;
    }
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        if (timeLimitSeconds != 0) {
            alarm(timeLimitSeconds);
        }
        std::string answer;
        int code = body(answer);
        std::fflush(stdout);
        std::fflush(stderr);
        for (size_t written = 0; written < answer.size();) {
            ssize_t n = write(pipeEnds[1], answer.data() + written, answer.size() - written);
            if (n <= 0) {
                break;
            }
            written += static_cast<size_t>(n);
        }
        close(pipeEnds[1]);
        _exit(code);
    }
    close(pipeEnds[1]);
    if (child < 0) {
        close(pipeEnds[0]);
        outcome.stopped = true;
        outcome.answer = "fork failed";
        return outcome;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof(buffer))) > 0;) {
        outcome.answer.append(buffer, static_cast<size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) {
        outcome.stopped = WTERMSIG(status) != SIGALRM;
        outcome.timedOut = WTERMSIG(status) == SIGALRM;
    } else {
        outcome.exitCode = WEXITSTATUS(status);
    }
    return outcome;
}

}  // namespace vexrun
