// The log record as user mode receives it from IOCTL_GET_LOG_DATA: 1,096-byte bodies, one after
// the other, little-endian. Shared by the driver and the host-side decoder; fixed-width types only.
#pragma once

#define LOG_RECORD_BODY_SIZE 1096
#define LOG_LEVEL_OFFSET 0             // u32: the level bit
#define LOG_PROCESS_ID_OFFSET 4        // u32
#define LOG_PROCESS_NAME_OFFSET 8      // 32 UTF-16 units, NUL-terminated
#define LOG_PROCESS_NAME_CHARS 32
#define LOG_MESSAGE_OFFSET 72          // 512 UTF-16 units, NUL-terminated
#define LOG_MESSAGE_CHARS 512

#define LOG_QUEUE_LIMIT 1024

// Level bits.
#define LOG_LEVEL_INFO 0x02
#define LOG_LEVEL_ERROR 0x10
#define LOG_LEVEL_TRACE 0x40
