// Mailslots: the message queues of the mailslot file system (\Device\Mailslot). A user-mode
// server creates a mailslot and reads whole messages from it in the order they were written;
// writers open \Device\Mailslot\<name> (or \??\MAILSLOT\<name>) with ZwOpenFile or ZwCreateFile
// and send one message per ZwWriteFile. Host code only: tests and tools play the server.
//
// Writes on a file object opened for synchronous I/O (FILE_SYNCHRONOUS_IO_ALERT or _NONALERT)
// complete before ZwWriteFile returns. On any other file object the write is only queued and
// ZwWriteFile answers STATUS_PENDING: the caller's buffer and IO_STATUS_BLOCK stay in use until
// the I/O completes, which this kernel models by completing nothing before the handle closes,
// and closing the last handle cancels what is still pending. A caller that writes from buffers it
// frees or leaves right after the call therefore loses its messages here, as it risks reading
// freed memory on Windows. (Waiting on the file object for completion is not modelled.)
#pragma once

#include "sim/core/kernel.h"

#include <string>
#include <vector>

namespace vexsim {

// Creates the mailslot \Device\Mailslot\<name>, as CreateMailslot does for its server.
// STATUS_OBJECT_NAME_COLLISION when a mailslot of that name (in any case) exists.
[[nodiscard]] NTSTATUS CreateMailslot(const std::u16string& name);

// Removes every message written so far, oldest first, each exactly as written. Empty for a
// mailslot that does not exist.
std::vector<std::vector<unsigned char>> ReadMailslot(const std::u16string& name);

// The mailslot is gone; files still open on it write into nothing.
void DeleteMailslot(const std::u16string& name);

// Boot and shutdown: no mailslots.
void ResetMailslots();

// What ZwOpenFile and ZwCreateFile do with a name below the mailslot device: *handled is false
// for any other name. Options decide synchronous I/O; directory options are refused.
[[nodiscard]] NTSTATUS OpenMailslotByName(const std::u16string& name, ACCESS_MASK grantedAccess, ULONG attributes,
                                          ULONG openOptions, PHANDLE handle, bool* handled);

}  // namespace vexsim
