// The control device's I/O-control codes and the fixed layouts of their inputs: little-endian, no
// padding. Shared by the driver and the user-mode control client of both targets; macros and
// offsets only, so it needs no header of either side.
#pragma once

#define VEX_CONTROL_DEVICE_NAME L"\\Device\\VexRegFilter"
#define VEX_CONTROL_LINK_NAME L"\\DosDevices\\VexRegFilter"
#define VEX_CONTROL_USER_PATH L"\\\\.\\VexRegFilter"

// FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS, METHOD_BUFFERED: the code is 0x220000 + (function << 2).
#define VEX_CONTROL_CODE(Function) (0x220000u | ((unsigned)(Function) << 2))

#define IOCTL_SANDBOX_SET_PARENT_PROCESS VEX_CONTROL_CODE(0x800)                   // 0x222000
#define IOCTL_SANDBOX_DEL_PROCESS VEX_CONTROL_CODE(0x801)                          // 0x222004
#define IOCTL_SANDBOX_IS_UNDER_SANDBOX VEX_CONTROL_CODE(0x802)                     // 0x222008
#define IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME VEX_CONTROL_CODE(0x803)                // 0x22200C
#define IOCTL_SANDBOX_SET_REG_VALUE VEX_CONTROL_CODE(0x804)                        // 0x222010
#define IOCTL_SANDBOX_START_REG_REDIRECT VEX_CONTROL_CODE(0x805)                   // 0x222014
#define IOCTL_SANDBOX_STOP_REG_REDIRECT VEX_CONTROL_CODE(0x806)                    // 0x222018
#define IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME VEX_CONTROL_CODE(0x807)   // 0x22201C
#define IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME VEX_CONTROL_CODE(0x808) // 0x222020
#define IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX VEX_CONTROL_CODE(0x809)               // 0x222024
#define IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME VEX_CONTROL_CODE(0x810)                 // 0x222040
#define IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME VEX_CONTROL_CODE(0x811)               // 0x222044
#define IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX VEX_CONTROL_CODE(0x812)           // 0x222048
#define IOCTL_START_LOGGING VEX_CONTROL_CODE(0x813)                                // 0x22204C
#define IOCTL_STOP_LOGGING VEX_CONTROL_CODE(0x814)                                 // 0x222050
#define IOCTL_GET_LOG_DATA VEX_CONTROL_CODE(0x815)                                 // 0x222054
#define IOCTL_SANDBOX_SET_PROCESS VEX_CONTROL_CODE(0x816)                          // 0x222058
#define IOCTL_SANDBOX_SET_ROOT_PROCESS VEX_CONTROL_CODE(0x817)                     // 0x22205C
#define IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST VEX_CONTROL_CODE(0x818)           // 0x222060
#define IOCTL_ADD_EXC_PROCESS VEX_CONTROL_CODE(0x819)                              // 0x222064
#define IOCTL_GET_CUI_PID_LIST VEX_CONTROL_CODE(0x820)                             // 0x222080
#define IOCTL_GET_SURROGATE_PID_LIST VEX_CONTROL_CODE(0x821)                       // 0x222084
#define IOCTL_OUTPUT_CURRENT_PARAM VEX_CONTROL_CODE(0x822)                         // 0x222088
#define IOCTL_GET_PID_PPID_LIST VEX_CONTROL_CODE(0x823)                            // 0x22208C
#define IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME VEX_CONTROL_CODE(0x824)               // 0x222090
#define IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME VEX_CONTROL_CODE(0x825)             // 0x222094
#define IOCTL_ADD_PROCESS_TREE_MONITOR VEX_CONTROL_CODE(0x826)                     // 0x222098
#define IOCTL_EXIST_PROCESS_TREE VEX_CONTROL_CODE(0x827)                           // 0x22209C

// Answers of 32 bits: identifiers of new settings and booleans (1 true, 0 false).
#define CONTROL_ULONG_ANSWER_SIZE 4

// Inputs of 32 bits: the setting identifier of IOCTL_SANDBOX_DEL_PROCESS, the process id of
// IOCTL_SANDBOX_IS_UNDER_SANDBOX.
#define CONTROL_ULONG_REQUEST_SIZE 4

// Input of IOCTL_START_LOGGING: u64 event handle valid in the caller, u32 level mask.
#define START_LOGGING_EVENT_OFFSET 0
#define START_LOGGING_LEVELS_OFFSET 8
#define START_LOGGING_REQUEST_SIZE 12

// Input of IOCTL_EXIST_PROCESS_TREE: u32 setting identifier, u32 process id.
#define EXIST_PROCESS_TREE_ID_OFFSET 0
#define EXIST_PROCESS_TREE_PROCESS_ID_OFFSET 4
#define EXIST_PROCESS_TREE_REQUEST_SIZE 8

// Input of IOCTL_SANDBOX_SET_REG_VALUE. The two names are NUL-terminated UTF-16 inside their
// fields (at most 255 characters); the data size counts bytes of the data field.
#define SET_REG_VALUE_KEY_NAME_OFFSET 4
#define SET_REG_VALUE_NAME_BYTES 512
#define SET_REG_VALUE_VALUE_NAME_OFFSET 516
#define SET_REG_VALUE_TYPE_OFFSET 1028
#define SET_REG_VALUE_DATA_OFFSET 1032
#define SET_REG_VALUE_DATA_BYTES 256
#define SET_REG_VALUE_DATA_SIZE_OFFSET 1288
#define SET_REG_VALUE_REQUEST_SIZE 1292

// Process-id list answers: u32 count, then u32 ids (or u32 id, u32 parent id pairs).
#define PID_LIST_COUNT_SIZE 4
#define PID_LIST_ENTRY_SIZE 4
#define PID_PPID_LIST_ENTRY_SIZE 8

// Input of IOCTL_GET_SURROGATE_PID_LIST: the image file names separated by this character, ended
// by a NUL. Input of IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME: the key path, this character, the value
// name.
#define SURROGATE_NAME_SEPARATOR L'*'
#define EXCLUDE_VALUE_NAME_SEPARATOR L'\\'
