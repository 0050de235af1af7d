// IRQL of the calling thread. Each host thread carries its own IRQL in its context; raising and
// lowering only ever move it in the documented direction.
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
