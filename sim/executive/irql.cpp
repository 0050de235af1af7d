// IRQL and critical regions of the calling thread. Each host thread carries its own IRQL and
// critical-region count in its context; raising and lowering only ever move the IRQL in the
// documented direction, and a critical region is left only by the thread that entered it.
#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return vexsim::CurrentContext().irql;
}

extern "C" VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    vexsim::ThreadContext& context = vexsim::CurrentContext();
    if (NewIrql < context.irql || NewIrql > HIGH_LEVEL) {
        vexsim::BugCheck(vexsim::kDriverVerifierDetectedViolation, vexsim::kVerifierRaiseIrqlToLower, context.irql,
                         NewIrql, 0,
                         "KeRaiseIrql from IRQL " + std::to_string(context.irql) + " to IRQL " +
                             std::to_string(NewIrql) +
                             (NewIrql > HIGH_LEVEL ? ", above HIGH_LEVEL" : ", which is not a raise"));
    }
    *OldIrql = context.irql;
    context.irql = NewIrql;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    vexsim::ThreadContext& context = vexsim::CurrentContext();
    if (NewIrql > context.irql) {
        vexsim::BugCheck(vexsim::kDriverVerifierDetectedViolation, vexsim::kVerifierLowerIrqlToHigher, context.irql,
                         NewIrql, 0,
                         "KeLowerIrql from IRQL " + std::to_string(context.irql) + " to IRQL " +
                             std::to_string(NewIrql) + ", which is not a lowering");
    }
    context.irql = NewIrql;
}

// Normal kernel APCs are off inside a critical region; nothing here delivers APCs, so the count
// is what is kept: the I/O manager checks that a dispatch routine leaves as many as it entered.
extern "C" VOID NTAPI KeEnterCriticalRegion(VOID)
{
    vexsim::CurrentContext().criticalRegions++;
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    vexsim::ThreadContext& context = vexsim::CurrentContext();
    if (context.criticalRegions == 0) {
        vexsim::StopMachine("KeLeaveCriticalRegion without a KeEnterCriticalRegion on this thread");
    }
    context.criticalRegions--;
}
