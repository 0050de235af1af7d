// Windows target: mingw-w64's DDK headers and the kernel declarations they lack.
#pragma once

#include <ntifs.h>
#include <ntstrsafe.h>

#include "system_process_information.h"

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif


extern "C" {

typedef enum _SYSTEM_INFORMATION_CLASS_VEX {
    SystemProcessInformation = 5,
} SYSTEM_INFORMATION_CLASS;


NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, PVOID SystemInformation,
                                                 ULONG SystemInformationLength, PULONG ReturnLength);

NTKERNELAPI NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process);

}  // extern "C"
