// Process objects and the process list. Host code only.
//
// Life cycle. CreateUserProcess gives a process an id, a creation time from the clock, its own
// handle table and one user thread (the one a UserModeScope runs as), and puts it on the process
// list, which holds a reference until EndProcess. EndProcess marks it exited, ends its threads,
// closes its handles and takes it off the list; the object lives on while anyone references it.
// The System process (id 4) is created at boot, uses the kernel handle table and is never ended.
// The idle process (id 0) exists only as the first entry of the process snapshot.
//
// Locks. The process lock guards the process list, every process's live-thread list and the
// client-id counter. It is never held while objects are released or the driver is called.
#pragma once

#include "sim/core/kernel.h"
#include "sim/ob/handle_table.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexsim {

// A range of a process's user address space: its bytes, and whether reading or writing it faults.
struct MemoryRegion {
    std::vector<unsigned char> bytes;
    bool readable = true;
    bool writable = true;
};

}  // namespace vexsim

struct _EPROCESS {
    ULONG_PTR id;                                 // client id, a multiple of 4
    ULONG_PTR parentId;                           // InheritedFromUniqueProcessId
    LONGLONG createTime;                          // 100 ns since 1601
    std::u16string imagePath;                     // NT device path; empty for System
    std::u16string imageName;                     // last component of the path, "System" for System
    ULONG sessionId;
    bool wow64;
    std::string userSid;                          // the token's user, e.g. "S-1-5-18"
    ULONG integrityLevel;                         // the token's mandatory label, a SECURITY_MANDATORY_*_RID
    bool administrator;                           // the token holds Administrators enabled
    vexsim::HandleTable* handles;                 // the kernel table for System, else ownHandles
    std::unique_ptr<vexsim::HandleTable> ownHandles;
    PETHREAD mainThread;                          // referenced; null for System
    std::vector<PETHREAD> threads;                // live threads, guarded by the process lock
    std::atomic<bool> exited;
    NTSTATUS exitStatus;
    PFILE_OBJECT imageFile;                       // referenced; null when started without an image file
    ULONG_PTR imageBase;                          // where the main image's headers are; 0 when none
    ULONG_PTR peb;                                // the process environment block; 0 when none
    std::mutex memoryLock;                        // guards memory
    std::map<ULONG_PTR, vexsim::MemoryRegion> memory;  // user address space, by base address
};

namespace vexsim {

// Mandatory integrity levels of tokens (the RID of the label SID S-1-16-<level>).
constexpr ULONG kLowIntegrity = 0x1000;
constexpr ULONG kMediumIntegrity = 0x2000;
constexpr ULONG kHighIntegrity = 0x3000;
constexpr ULONG kSystemIntegrity = 0x4000;

struct ProcessParams {
    std::u16string imagePath;                     // e.g. \Device\HarddiskVolume3\Windows\notepad.exe
    ULONG_PTR parentId = 4;
    ULONG sessionId = 1;
    bool wow64 = false;
    std::string userSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
    bool administrator = false;                   // an elevated administrator's process
    ULONG integrityLevel = kMediumIntegrity;
    ULONG_PTR id = 0;                             // a chosen (recycled) id, not in use; 0 takes the next
};

// Creates a running process. The pointer stays valid until EndProcess; reference it to keep it
// longer.
PEPROCESS CreateUserProcess(const ProcessParams& params);

// Ends a process (not the System process). Ending an ended process does nothing.
void EndProcess(PEPROCESS process, NTSTATUS exitStatus = STATUS_SUCCESS);

// The live process of an id with an internal reference, or null.
PEPROCESS ReferenceProcessById(ULONG_PTR id);

// The handle table a process's handles live in.
HandleTable& HandleTableOf(PEPROCESS process);

// Client ids for processes and threads share one counter, as on Windows.
ULONG_PTR AllocateClientId();

std::mutex& ProcessLock();

// A test's hook into the process services, to act at a chosen moment: end a process between the
// driver's look-up and its use of it, or issue a request while the driver is in the middle of
// another. The hook runs in the caller's thread with no lock of this kernel held; a call the hook
// itself makes into the same services does not run it again. Boot removes it.
enum class ProcessHookPoint {
    Lookup,    // PsLookupProcessByProcessId has found and referenced the process of id
    Snapshot,  // ZwQuerySystemInformation(SystemProcessInformation) is about to list the processes (id 0)
};
using ProcessHook = std::function<void(ProcessHookPoint point, ULONG_PTR id)>;
void SetProcessHook(ProcessHook hook);  // an empty hook removes it
void RunProcessHook(ProcessHookPoint point, ULONG_PTR id);

// Live processes in id order, each with an internal reference the caller releases.
std::vector<PEPROCESS> ReferenceLiveProcesses();

// Boot: an empty process list with the System process; shutdown: forget the list (the object
// store frees the objects).
void BootProcesses();
void ShutdownProcesses();

}  // namespace vexsim
