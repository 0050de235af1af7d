// The x64 Windows layout of every structure the driver reads or writes as raw memory. Both
// builds check their declarations against this one list: the cross build with static_assert,
// the Linux build in its layout test.
#pragma once

#define VEX_LAYOUT_SIZES(X)                 \
    X(UNICODE_STRING, 16)                   \
    X(LIST_ENTRY, 16)                       \
    X(LARGE_INTEGER, 8)                     \
    X(OBJECT_ATTRIBUTES, 48)                \
    X(RTL_OSVERSIONINFOW, 276)              \
    X(TIME_FIELDS, 16)                      \
    X(KEVENT, 24)                           \
    X(FAST_MUTEX, 56)                       \
    X(RTL_GENERIC_TABLE, 72)                \
    X(RTL_SPLAY_LINKS, 24)                  \
    X(IO_STATUS_BLOCK, 16)                  \
    X(IRP, 208)                             \
    X(IO_STACK_LOCATION, 72)                \
    X(DRIVER_OBJECT, 336)                   \
    X(DEVICE_OBJECT, 328)                   \
    X(FLT_OPERATION_REGISTRATION, 32)       \
    X(FLT_REGISTRATION, 104)                \
    X(SYSTEM_PROCESS_INFORMATION, 256)      \
    X(REG_CREATE_KEY_INFORMATION_V1, 136)   \
    X(REG_POST_OPERATION_INFORMATION, 56)   \
    X(REG_ENUMERATE_KEY_INFORMATION, 64)    \
    X(REG_ENUMERATE_VALUE_KEY_INFORMATION, 64) \
    X(REG_QUERY_KEY_INFORMATION, 64)        \
    X(REG_QUERY_VALUE_KEY_INFORMATION, 72)  \
    X(REG_QUERY_KEY_SECURITY_INFORMATION, 56) \
    X(REG_SET_KEY_SECURITY_INFORMATION, 48) \
    X(REG_KEY_HANDLE_CLOSE_INFORMATION, 32) \
    X(REG_CALLBACK_CONTEXT_CLEANUP_INFORMATION, 24) \
    X(REG_DELETE_KEY_INFORMATION, 32)       \
    X(REG_SET_VALUE_KEY_INFORMATION, 64)    \
    X(REG_DELETE_VALUE_KEY_INFORMATION, 40) \
    X(REG_RENAME_KEY_INFORMATION, 40)       \
    X(REG_SET_INFORMATION_KEY_INFORMATION, 56) \
    X(KEY_CACHED_INFORMATION, 40)           \
    X(KEY_FLAGS_INFORMATION, 12)            \
    X(SID_IDENTIFIER_AUTHORITY, 6)          \
    X(SID, 12)                              \
    X(ACL, 8)                               \
    X(ACE_HEADER, 4)                        \
    X(ACCESS_ALLOWED_ACE, 12)               \
    X(ACCESS_DENIED_ACE, 12)                \
    X(SYSTEM_AUDIT_ACE, 12)                 \
    X(SECURITY_DESCRIPTOR, 40)              \
    X(SECURITY_DESCRIPTOR_RELATIVE, 20) \
    X(FILE_OBJECT, 216)                     \
    X(VPB, 96)                              \
    X(FILE_BOTH_DIR_INFORMATION, 96)        \
    X(PS_CREATE_NOTIFY_INFO, 72)            \
    X(IMAGE_INFO, 40)                       \
    X(KAPC_STATE, 48)

#define VEX_LAYOUT_OFFSETS(X)                                                      \
    X(UNICODE_STRING, Length, 0)                                                   \
    X(KEY_CACHED_INFORMATION, SubKeys, 12)                                         \
    X(KEY_CACHED_INFORMATION, NameLength, 32)                                      \
    X(KEY_FLAGS_INFORMATION, KeyFlags, 4)                                          \
    X(UNICODE_STRING, MaximumLength, 2)                                            \
    X(UNICODE_STRING, Buffer, 8)                                                   \
    X(OBJECT_ATTRIBUTES, RootDirectory, 8)                                         \
    X(OBJECT_ATTRIBUTES, ObjectName, 16)                                           \
    X(OBJECT_ATTRIBUTES, Attributes, 24)                                           \
    X(OBJECT_ATTRIBUTES, SecurityDescriptor, 32)                                   \
    X(RTL_OSVERSIONINFOW, dwMajorVersion, 4)                                       \
    X(RTL_OSVERSIONINFOW, dwMinorVersion, 8)                                       \
    X(RTL_OSVERSIONINFOW, dwBuildNumber, 12)                                       \
    X(RTL_OSVERSIONINFOW, szCSDVersion, 20)                                        \
    X(TIME_FIELDS, Month, 2)                                                       \
    X(TIME_FIELDS, Weekday, 14)                                                    \
    X(IRP, AssociatedIrp.SystemBuffer, 24)                                         \
    X(IRP, IoStatus, 48)                                                           \
    X(IRP, IoStatus.Information, 56)                                               \
    X(IRP, RequestorMode, 64)                                                      \
    X(IRP, UserBuffer, 112)                                                        \
    X(IRP, Tail.Overlay.CurrentStackLocation, 184)                                 \
    X(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 8)         \
    X(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 16)         \
    X(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 24)             \
    X(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 32)          \
    X(DRIVER_OBJECT, DeviceObject, 8)                                              \
    X(DRIVER_OBJECT, DriverUnload, 104)                                            \
    X(DRIVER_OBJECT, MajorFunction, 112)                                           \
    X(DEVICE_OBJECT, DriverObject, 8)                                              \
    X(DEVICE_OBJECT, Flags, 48)                                                    \
    X(DEVICE_OBJECT, DeviceExtension, 64)                                          \
    X(FLT_OPERATION_REGISTRATION, Flags, 4)                                        \
    X(FLT_OPERATION_REGISTRATION, PreOperation, 8)                                 \
    X(FLT_REGISTRATION, Version, 2)                                                \
    X(FLT_REGISTRATION, Flags, 4)                                                  \
    X(FLT_REGISTRATION, ContextRegistration, 8)                                    \
    X(FLT_REGISTRATION, OperationRegistration, 16)                                 \
    X(FLT_REGISTRATION, FilterUnloadCallback, 24)                                  \
    X(FLT_REGISTRATION, NormalizeNameComponentExCallback, 96)                     \
    X(SYSTEM_PROCESS_INFORMATION, NumberOfThreads, 4)                              \
    X(SYSTEM_PROCESS_INFORMATION, CreateTime, 0x20)                                \
    X(SYSTEM_PROCESS_INFORMATION, ImageName, 0x38)                                 \
    X(SYSTEM_PROCESS_INFORMATION, UniqueProcessId, 0x50)                           \
    X(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId, 0x58)              \
    X(SYSTEM_PROCESS_INFORMATION, SessionId, 0x64)                                 \
    X(SYSTEM_PROCESS_INFORMATION, PrivatePageCount, 0xC8)                          \
    X(SYSTEM_PROCESS_INFORMATION, IoCounters, 0xD0)                                \
    X(REG_CREATE_KEY_INFORMATION_V1, RootObject, 8)                                \
    X(REG_CREATE_KEY_INFORMATION_V1, Options, 24)                                  \
    X(REG_CREATE_KEY_INFORMATION_V1, DesiredAccess, 56)                            \
    X(REG_CREATE_KEY_INFORMATION_V1, GrantedAccess, 60)                            \
    X(REG_CREATE_KEY_INFORMATION_V1, Disposition, 64)                              \
    X(REG_CREATE_KEY_INFORMATION_V1, ResultObject, 72)                             \
    X(REG_CREATE_KEY_INFORMATION_V1, CallContext, 80)                              \
    X(REG_CREATE_KEY_INFORMATION_V1, Version, 104)                                 \
    X(REG_CREATE_KEY_INFORMATION_V1, RemainingName, 112)                           \
    X(REG_CREATE_KEY_INFORMATION_V1, Wow64Flags, 120)                              \
    X(REG_CREATE_KEY_INFORMATION_V1, Attributes, 124)                              \
    X(REG_CREATE_KEY_INFORMATION_V1, CheckAccessMode, 128)                         \
    X(REG_POST_OPERATION_INFORMATION, Status, 8)                                   \
    X(REG_POST_OPERATION_INFORMATION, PreInformation, 16)                          \
    X(REG_POST_OPERATION_INFORMATION, ReturnStatus, 24)                            \
    X(REG_POST_OPERATION_INFORMATION, ObjectContext, 40)                           \
    X(REG_ENUMERATE_KEY_INFORMATION, KeyInformationClass, 12)                      \
    X(REG_ENUMERATE_KEY_INFORMATION, ResultLength, 32)                             \
    X(REG_QUERY_VALUE_KEY_INFORMATION, KeyValueInformation, 24)                    \
    X(REG_QUERY_VALUE_KEY_INFORMATION, ObjectContext, 56)                          \
    X(REG_SET_VALUE_KEY_INFORMATION, DataSize, 32)                                 \
    X(REG_SET_INFORMATION_KEY_INFORMATION, KeySetInformationLength, 24)            \
    X(KEY_BASIC_INFORMATION, NameLength, 12)                                       \
    X(KEY_BASIC_INFORMATION, Name, 16)                                             \
    X(KEY_NODE_INFORMATION, ClassOffset, 12)                                       \
    X(KEY_NODE_INFORMATION, NameLength, 20)                                        \
    X(KEY_NODE_INFORMATION, Name, 24)                                              \
    X(KEY_FULL_INFORMATION, ClassOffset, 12)                                       \
    X(KEY_FULL_INFORMATION, SubKeys, 20)                                           \
    X(KEY_FULL_INFORMATION, MaxValueDataLen, 40)                                   \
    X(KEY_FULL_INFORMATION, Class, 44)                                             \
    X(KEY_VALUE_BASIC_INFORMATION, NameLength, 8)                                  \
    X(KEY_VALUE_BASIC_INFORMATION, Name, 12)                                       \
    X(KEY_VALUE_FULL_INFORMATION, DataOffset, 8)                                   \
    X(KEY_VALUE_FULL_INFORMATION, NameLength, 16)                                  \
    X(KEY_VALUE_FULL_INFORMATION, Name, 20)                                        \
    X(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8)                                \
    X(KEY_VALUE_PARTIAL_INFORMATION, Data, 12)                                     \
    X(SID, SubAuthorityCount, 1)                                                   \
    X(SID, IdentifierAuthority, 2)                                                 \
    X(SID, SubAuthority, 8)                                                        \
    X(ACL, AclSize, 2)                                                             \
    X(ACL, AceCount, 4)                                                            \
    X(ACE_HEADER, AceFlags, 1)                                                     \
    X(ACE_HEADER, AceSize, 2)                                                      \
    X(ACCESS_ALLOWED_ACE, Mask, 4)                                                 \
    X(ACCESS_ALLOWED_ACE, SidStart, 8)                                             \
    X(ACCESS_DENIED_ACE, SidStart, 8)                                              \
    X(SYSTEM_AUDIT_ACE, SidStart, 8)                                               \
    X(SECURITY_DESCRIPTOR, Control, 2)                                             \
    X(SECURITY_DESCRIPTOR, Owner, 8)                                               \
    X(SECURITY_DESCRIPTOR, Group, 16)                                              \
    X(SECURITY_DESCRIPTOR, Sacl, 24)                                               \
    X(SECURITY_DESCRIPTOR, Dacl, 32)                                               \
    X(SECURITY_DESCRIPTOR_RELATIVE, Control, 2)                                    \
    X(SECURITY_DESCRIPTOR_RELATIVE, Owner, 4)                                      \
    X(SECURITY_DESCRIPTOR_RELATIVE, Group, 8)                                      \
    X(SECURITY_DESCRIPTOR_RELATIVE, Sacl, 12)                                      \
    X(SECURITY_DESCRIPTOR_RELATIVE, Dacl, 16) \
    X(FILE_OBJECT, DeviceObject, 8)                                                \
    X(FILE_OBJECT, Vpb, 16)                                                        \
    X(FILE_OBJECT, FileName, 88)                                                   \
    X(VPB, DeviceObject, 8)                                                        \
    X(VPB, RealDevice, 16)                                                         \
    X(FILE_BOTH_DIR_INFORMATION, FileAttributes, 56)                               \
    X(FILE_BOTH_DIR_INFORMATION, FileNameLength, 60)                               \
    X(FILE_BOTH_DIR_INFORMATION, ShortNameLength, 68)                              \
    X(FILE_BOTH_DIR_INFORMATION, ShortName, 70)                                    \
    X(FILE_BOTH_DIR_INFORMATION, FileName, 94)                                     \
    X(PS_CREATE_NOTIFY_INFO, ParentProcessId, 16)                                  \
    X(PS_CREATE_NOTIFY_INFO, CreatingThreadId, 24)                                 \
    X(PS_CREATE_NOTIFY_INFO, FileObject, 40)                                       \
    X(PS_CREATE_NOTIFY_INFO, ImageFileName, 48)                                    \
    X(PS_CREATE_NOTIFY_INFO, CommandLine, 56)                                      \
    X(PS_CREATE_NOTIFY_INFO, CreationStatus, 64)                                   \
    X(IMAGE_INFO, ImageBase, 8)                                                    \
    X(IMAGE_INFO, ImageSize, 24)                                                   \
    X(KAPC_STATE, Process, 32)
