// Bug check codes and the Driver Verifier violation numbers the simulated kernel raises. Host code
// only; every component that stops the machine for a contract breach names its code from here.
#pragma once

#include "platform/platform.h"

#include <string>

namespace vexsim {

// Bug check codes.
constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kBadPoolHeader = 0x19;
constexpr ULONG kKmodeExceptionNotHandled = 0x1E;
constexpr ULONG kInvalidKernelHandle = 0x93;
constexpr ULONG kBadPoolCaller = 0xC2;
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kDriverIrqlNotLessOrEqual = 0xD1;
constexpr ULONG kKernelSecurityCheckFailure = 0x139;

// BAD_POOL_CALLER (0xC2) parameter 1.
constexpr ULONG_PTR kPoolFreeWithWrongTag = 0x0A;
constexpr ULONG_PTR kPoolTagZero = 0x9B;

// DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4) parameter 1.
constexpr ULONG_PTR kVerifierZeroByteAllocation = 0x00;
constexpr ULONG_PTR kVerifierPagedAllocationAboveApc = 0x01;
constexpr ULONG_PTR kVerifierNonPagedAllocationAboveDispatch = 0x02;
constexpr ULONG_PTR kVerifierFreeOfUnknownAddress = 0x10;
constexpr ULONG_PTR kVerifierPagedFreeAboveApc = 0x11;
constexpr ULONG_PTR kVerifierNonPagedFreeAboveDispatch = 0x12;
constexpr ULONG_PTR kVerifierDoubleFree = 0x13;
constexpr ULONG_PTR kVerifierRaiseIrqlToLower = 0x30;
constexpr ULONG_PTR kVerifierLowerIrqlToHigher = 0x31;
constexpr ULONG_PTR kVerifierFastMutexAcquireAboveApc = 0x33;
constexpr ULONG_PTR kVerifierFastMutexReleaseNotAtApc = 0x34;
constexpr ULONG_PTR kVerifierWaitAtDispatch = 0x3B;
// Lock misuse found by deadlock detection. The published table documents 0x1001 for a lock
// hierarchy violation; the numbers for a recursive acquisition and for a release by a thread that
// does not own the lock are this simulator's choice (unconfirmed).
constexpr ULONG_PTR kVerifierRecursiveAcquisition = 0x1000;
constexpr ULONG_PTR kVerifierLockHierarchyViolation = 0x1001;
constexpr ULONG_PTR kVerifierReleaseByNonOwner = 0x1005;

// The name Windows gives a bug check code, e.g. "BAD_POOL_CALLER"; empty when unknown here.
std::string BugCheckName(ULONG code);

// A pool tag as its four characters in memory order ('RxeV' written by a driver prints as
// "VexR"); bytes outside printable ASCII appear as \xNN.
std::string FormatPoolTag(ULONG tag);

// "0x" followed by the pointer-sized value in hexadecimal.
std::string FormatAddress(const void* address);

}  // namespace vexsim
