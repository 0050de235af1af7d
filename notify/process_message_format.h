// The process message as user mode receives it over the communication port, and the listings of
// IOCTL_GET_CUI_PID_LIST and IOCTL_GET_SURROGATE_PID_LIST: little-endian, no padding. Shared by
// the driver and the host-side decoder; fixed-width values only.
#pragma once

// A message: four u32 fields, then CommandLineLength bytes of UTF-16 without a NUL.
#define PROCESS_MESSAGE_PROCESS_ID_OFFSET 0           // u32: the process id's low 32 bits
#define PROCESS_MESSAGE_STARTED_OFFSET 4              // u32: 1 started, 0 exited
#define PROCESS_MESSAGE_FLAGS_OFFSET 8                // u32: PROCESS_FLAG_* bits
#define PROCESS_MESSAGE_COMMAND_LINE_LENGTH_OFFSET 12 // u32: bytes of the command line
#define PROCESS_MESSAGE_COMMAND_LINE_OFFSET 16
#define PROCESS_MESSAGE_HEADER_SIZE 16

#define PROCESS_FLAG_64BIT 0x1      // the image is PE32+
#define PROCESS_FLAG_CUI 0x2        // the image is a console program
#define PROCESS_FLAG_SURROGATE 0x4  // the image file name was declared a surrogate host

// A listing: u32 TotalLength (bytes, itself included), then the messages back to back.
#define PROCESS_LISTING_HEADER_SIZE 4
