// Capture of the debugger output.
//
// Holds the completed lines and the line being assembled; one mutex guards both and the echo
// setting, so pieces from one DbgPrint call are never split by another thread's call. The
// capture lives across boots until RuntimeBoot clears it.
#include "sim/debug/debug_output.h"

#include <cstdio>
#include <mutex>

namespace vexsim {

namespace {

struct Capture {
    std::mutex lock;
    std::vector<std::string> lines;
    std::string pending;
    DebugEcho echo = DebugEcho::Off;
};

Capture& TheCapture()
{
    static Capture capture;
    return capture;
}

void Echo(DebugEcho echo, const std::string& line)
{
    FILE* stream = echo == DebugEcho::Stdout ? stdout : echo == DebugEcho::Stderr ? stderr : nullptr;
    if (stream != nullptr) {
        std::fprintf(stream, "%s\n", line.c_str());
        std::fflush(stream);
    }
}

}  // namespace

std::vector<std::string> DebugOutput()
{
    Capture& capture = TheCapture();
    std::lock_guard guard(capture.lock);
    std::vector<std::string> lines = capture.lines;
    if (!capture.pending.empty()) {
        lines.push_back(capture.pending);
    }
    return lines;
}

void ClearDebugOutput()
{
    Capture& capture = TheCapture();
    std::lock_guard guard(capture.lock);
    capture.lines.clear();
    capture.pending.clear();
}

void SetDebugEcho(DebugEcho echo)
{
    Capture& capture = TheCapture();
    std::lock_guard guard(capture.lock);
    capture.echo = echo;
}

void AppendDebugOutput(std::string_view text)
{
    Capture& capture = TheCapture();
    std::lock_guard guard(capture.lock);
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            capture.pending.append(text.substr(start));
            break;
        }
        capture.pending.append(text.substr(start, end - start));
        if (!capture.pending.empty() && capture.pending.back() == '\r') {
            capture.pending.pop_back();
        }
        Echo(capture.echo, capture.pending);
        capture.lines.push_back(std::move(capture.pending));
        capture.pending.clear();
        start = end + 1;
    }
}

}  // namespace vexsim
