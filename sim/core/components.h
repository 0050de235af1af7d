// The components of the simulated kernel as the machine sees them: each one resets its state at
// boot, releases its host resources at shutdown and reports what a driver left behind at unload.
// Host code only.
#pragma once

#include "sim/core/kernel.h"

#include <memory>
#include <string>
#include <vector>

namespace vexsim {

struct MachineConfig {
    ULONG osMajorVersion = 10;
    ULONG osMinorVersion = 0;
    ULONG osBuildNumber = 19045;
    LONGLONG systemTime = 134116992000000000LL;  // 2026-01-01 00:00:00 UTC in 100 ns units since 1601
    LONGLONG timeZoneBias = 0;                   // local time = system time - bias, 100 ns units
    // Users with a loaded profile: each gets \REGISTRY\USER\<SID> and <SID>_Classes. The first
    // is the default user of processes (ProcessParams::userSid).
    std::vector<std::string> userSids{"S-1-5-21-1004336348-1177238915-682003330-1001"};
    // Lock-order checking (sim/executive/lock_order.h): on, as in every test; benchmarks turn it
    // off, as Driver Verifier is off when a driver's speed is measured.
    bool lockOrderChecking = true;
};

// The setup information file a driver load installs first: the project's own package, which the
// build names, unless an image names another or none.
#ifndef VEXSIM_DEFAULT_DRIVER_INF
#define VEXSIM_DEFAULT_DRIVER_INF ""
#endif

// What the kernel checks of a driver's image: the optional header's DllCharacteristics; and the
// package it is installed from.
constexpr USHORT kImageDllForceIntegrity = 0x0080;  // IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY
struct DriverImage {
    USHORT dllCharacteristics = 0x0160 | kImageDllForceIntegrity;  // high-entropy VA, dynamic base, NX, integrity check
    std::string inf = VEXSIM_DEFAULT_DRIVER_INF;                   // INF path; empty: nothing to install
};

// What the unload check found: one line per thing the driver left behind.
using Leftovers = std::vector<std::string>;

// Executive: pool, fault injection, dispatcher objects, clock, version, routine table.
void ExecutiveBoot(const MachineConfig& config);
void ExecutiveShutdown();
void ExecutiveLeftovers(Leftovers& out);

// Run-time library and debugger output.
void RuntimeBoot(const MachineConfig& config);
void RuntimeShutdown();

// Object manager, processes and threads (the System process, handle tables, system threads).
void ObjectsBoot(const MachineConfig& config);
void ObjectsShutdown();
void ObjectsLeftovers(Leftovers& out);

// I/O manager: devices, symbolic links, work items and the delayed work queue.
void IoBoot(const MachineConfig& config);
void IoShutdown();
void IoLeftovers(Leftovers& out);

// Configuration manager: the registry and its callbacks. A restart boots the registry from the
// tree the previous boot kept (KeepRegistryForRestart, called before RegistryShutdown).
struct KeyNode;
using KeptRegistry = std::shared_ptr<KeyNode>;
void RegistryBoot(const MachineConfig& config, KeptRegistry kept = nullptr);
KeptRegistry KeepRegistryForRestart();
void RegistryShutdown();
void RegistryLeftovers(Leftovers& out);

// Filter manager.
void FilterManagerBoot(const MachineConfig& config);
void FilterManagerShutdown();
void FilterManagerLeftovers(Leftovers& out);

}  // namespace vexsim
