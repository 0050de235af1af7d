// What the files of the registry interception share: the record texts, the debugger switches of
// create and open, and the key access mapping.
#pragma once

#include "callback/callback.h"
#include "common/debug_print.h"
#include "log/log_format.h"
#include "tables/global_data.h"

// Registry-operation records are written at LOG_LEVEL_INFO; the record of a failed object
// reference of a create or open at LOG_LEVEL_TRACE.

// Function texts of the records.
#define FUNC_CREATE L"func = CREATE"
#define FUNC_OPEN L"func = OPEN"
#define FUNC_EXCLUDED L"func = EXCLUDED"
#define FUNC_BYPASS L"func = BYPASS"
#define FUNC_PASS_THRU L"func = PASS_THRU"

// LogRegistryOperation at LOG_LEVEL_INFO for the current process.
FORCEINLINE VOID LogOperation(PCWSTR OperationText, PCWSTR FuncText, NTSTATUS Status, PCUNICODE_STRING Path)
{
    (VOID)LogRegistryOperation(LOG_LEVEL_INFO, PsGetCurrentProcessId(), OperationText, FuncText, Status, Path);
}

// Entry and exit traces of a handler: "<name>() - enter" and "<name>() - exit", two pieces.
#define TraceEnter(Name) TraceLinePrefixed(Name "() - enter\n")
#define TraceExit(Name) TraceLinePrefixed(Name "() - exit\n")

// DesiredAccess as a handle to a key grants it: generic rights mapped to the key rights, the
// registry-view bits and MAXIMUM_ALLOWED (which the access check answers) taken out.
ACCESS_MASK MapKeyAccess(ACCESS_MASK DesiredAccess);
