// Object manager core: the object header in front of every object body, object types and
// reference counting. Host code only.
//
// Life cycle. CreateObject allocates header and zeroed body in one block and hands the body out
// with one internal reference, which the creator owns. Handles hold one reference each. When the
// last reference goes, the type's delete procedure tears the body down and the block is freed;
// when the last handle goes, the type's close procedure runs (files send their cleanup request
// there). References taken through driver-facing routines (ObfReferenceObject,
// ObReferenceObjectByHandle, PsLookupProcessByProcessId) are also counted apart, so the unload
// check can name what the driver still holds; internal references never count as the driver's.
//
// Locks. Counts are atomic. The registry of live objects (for the unload check and shutdown) has
// its own lock, never held while a delete procedure runs.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <string>
#include <vector>

// An object type. Bodies of the types the DDK names are defined by the components that own them.
struct _OBJECT_TYPE {
    const char* name;                      // as reports print it: "Process", "Device"...
    GENERIC_MAPPING genericMapping;        // GENERIC_* bits to specific rights
    ACCESS_MASK validAccessMask;           // every right a handle to this type can carry
    void (*closeProcedure)(PVOID body);    // the last handle went; null when nothing to do
    void (*deleteProcedure)(PVOID body);   // the last reference went; tears the body down
    std::string (*describe)(PVOID body);   // words for reports beyond the name; may be null
};

namespace vexsim {

struct ObjectHeader {
    POBJECT_TYPE type;
    std::atomic<LONG_PTR> references;        // every reference, handles' included
    std::atomic<LONG_PTR> handles;           // open handles
    std::atomic<LONG_PTR> driverReferences;  // references taken by driver-facing calls
    std::u16string name;                     // full name in the namespace, empty when unnamed
};

// Creates an object of the type with a zeroed body of bodySize bytes (16-byte aligned) and one
// internal reference owned by the caller.
PVOID CreateObject(POBJECT_TYPE type, size_t bodySize, const std::u16string& name = {});

ObjectHeader& HeaderOf(PVOID body);
POBJECT_TYPE TypeOf(PVOID body);

// Internal references: never counted as the driver's.
void ReferenceObject(PVOID body);
void DereferenceObject(PVOID body);

// References the driver takes and drops (ObfReferenceObject and friends).
void ReferenceObjectForDriver(PVOID body);
LONG_PTR DereferenceObjectFromDriver(PVOID body);

// Handle counting, used by the handle tables.
void NoteHandleOpened(PVOID body);
void NoteHandleClosed(PVOID body);

// "Process \"notepad.exe\" (pid 8)" and the like, for reports.
std::string DescribeObject(PVOID body);

// Maps GENERIC_* and MAXIMUM_ALLOWED to the type's specific rights, limited to its valid mask.
ACCESS_MASK MapAccess(POBJECT_TYPE type, ACCESS_MASK desired);

// The name ObQueryNameString and ObjectNameInformation report for objects of a type that knows
// them better than the namespace (keys: their current full name, or STATUS_KEY_DELETED). Types
// without one report their namespace name.
using QueryNameProcedure = NTSTATUS (*)(PVOID body, std::u16string* name);
void SetQueryNameProcedure(POBJECT_TYPE type, QueryNameProcedure procedure);

// Unload check: one line per object the driver still holds references on.
void ReportDriverReferences(std::vector<std::string>& out);

// Shutdown frees every object that is left, whatever its counts: the machine is gone, so
// dereferences and handle closes are ignored from then until the next boot resets the store.
void DestroyAllObjects();
void ResetObjectStore();

// Object types the I/O manager and the filter manager own.
POBJECT_TYPE DriverObjectType();
POBJECT_TYPE DeviceObjectType();
POBJECT_TYPE SymbolicLinkObjectType();
POBJECT_TYPE FilterObjectType();

}  // namespace vexsim
