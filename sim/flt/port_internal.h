// What the two halves of the communication ports share: the port and connection bodies, the
// messages, and the one port lock. Host code only; see port.h for the life cycle.
//
// Invariants, under g_portLock: a server port is in the set of open ports from its creation to
// FltCloseCommunicationPort; a connection is in g_openConnections while its filter side is open,
// and only then does it count in its port's `connections` and hold a reference on the port. A
// message is in exactly one of its connection's `queued` and `taken` while its sender waits for
// it; the sender takes it out when the wait ends. A message's outcome changes from Waiting once;
// every change is followed by a notification of the dispatcher condition, on which senders wait
// so that the simulated clock wakes them too.
#pragma once

#include "sim/executive/clock.h"
#include "sim/se/security.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct _FLT_PORT {
    bool server;  // a server port; otherwise a connection
};

namespace vexsim {

enum class Outcome { Waiting, Delivered, Replied, ReplyTooLong, Disconnected };

// When a send gives up: never, or at a time on one of the two clocks.
struct Deadline {
    enum class Kind { Infinite, InterruptTime, SystemTime } kind = Kind::Infinite;
    LONGLONG time = 0;

    bool Expired() const
    {
        switch (kind) {
        case Kind::InterruptTime:
            return SimulatedInterruptTime() >= time;
        case Kind::SystemTime:
            return SimulatedSystemTime() >= time;
        case Kind::Infinite:
            break;
        }
        return false;
    }

    // In interrupt time, as of now.
    LONGLONG GivesUpAt() const
    {
        switch (kind) {
        case Kind::InterruptTime:
            return time;
        case Kind::SystemTime:
            return time - SimulatedSystemTime() + SimulatedInterruptTime();
        case Kind::Infinite:
            break;
        }
        return std::numeric_limits<LONGLONG>::max();
    }
};

struct Message {
    ULONGLONG id = 0;
    std::vector<unsigned char> body;
    bool replyExpected = false;
    ULONG replyCapacity = 0;          // payload bytes the sender's reply buffer takes
    std::vector<unsigned char> reply;
    PFLT_PORT* variable = nullptr;    // what the sender read the port from
    Deadline deadline;
    std::atomic<Outcome> outcome{Outcome::Waiting};
};
using MessagePtr = std::shared_ptr<Message>;

struct ListeningPort : _FLT_PORT {
    PFLT_FILTER filter;                  // referenced for the port's life
    std::u16string name;                 // canonical
    SecurityDescriptorBytes descriptor;  // self-relative; empty when the filter gave none
    PVOID cookie;
    PFLT_CONNECT_NOTIFY connect;
    PFLT_DISCONNECT_NOTIFY disconnect;
    PFLT_MESSAGE_NOTIFY message;         // may be null
    LONG maxConnections;
    LONG connections;                    // connections whose filter side is open
};

struct Connection : _FLT_PORT {
    ListeningPort* port;                        // referenced while the filter side is open
    std::u16string portName;                 // for reports, kept after the port goes
    std::string client;                      // "pid 8, cmd.exe", for reports
    PVOID cookie;                            // ConnectNotify's connection cookie
    bool filterOpen;
    bool processOpen;
    std::deque<MessagePtr> queued;           // sent and not yet taken
    std::map<ULONGLONG, MessagePtr> taken;   // taken and awaiting a reply
};

extern std::mutex g_portLock;
extern std::condition_variable g_portChanged;  // a message queued, taken or withdrawn; a side closed
extern std::set<Connection*> g_openConnections;  // filter side open

// Wakes senders waiting on the dispatcher condition after an outcome changed.
void WakeSenders();

// Ends every message of the connection with Disconnected; caller holds g_portLock.
void DisconnectMessages(Connection* connection);

// Stops the machine when a filter closes a connection through another variable than a waiting
// sender read it from; caller holds g_portLock.
void CheckClosedThroughSendersVariable(const Message& message, PFLT_PORT* closedThrough);

// The connection behind a user handle of the current process, referenced.
[[nodiscard]] NTSTATUS ReferenceConnection(HANDLE handle, Connection** connection);

void CheckIrqlAtMost(KIRQL highest, const char* routine);

}  // namespace vexsim
