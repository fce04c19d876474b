// Failing hosts for the fault and kill tests, through the file-system layer's own table of host
// calls: the k-th call of one kind fails with a chosen errno, or the process is killed at the
// k-th call of any kind. Every host call the disk makes goes through that table, so nothing
// is missed. Single-threaded use only.
#ifndef TESSEL_TESTS_FAILING_HOST_H
#define TESSEL_TESTS_FAILING_HOST_H

#include <csignal>

#include <dos/faults.h>

namespace hostcalls {

enum Op { OPEN, READ, WRITE, RENAME, MKDIR, DELETE, SETPROTECTION, STAT, OP_COUNT };

inline const char *opName(Op op) {
    static const char *const names[] = {"open",  "read",   "write",          "rename",
                                        "mkdir", "delete", "set protection", "stat"};
    return names[op];
}

inline DosFaultOp layerOp(Op op) {
    static const DosFaultOp ops[] = {DOS_FAULT_OPEN,          DOS_FAULT_READ,  DOS_FAULT_WRITE,
                                     DOS_FAULT_RENAME,        DOS_FAULT_MKDIR, DOS_FAULT_DELETE,
                                     DOS_FAULT_SETPROTECTION, DOS_FAULT_STAT};
    return ops[op];
}

struct Plan {
    Op op = OPEN;
    long killAt = 0; // k-th call of any kind raises SIGKILL; 0: none
    long total = 0;  // calls seen while the plan was active
    bool fired = false;
};

inline Plan plan;

inline void observe(DosFaultOp) {
    if (++plan.total == plan.killAt)
        raise(SIGKILL);
}

// From now on the failAt-th call of op fails with error (0: none), and the killAt-th call of
// any kind kills the process (0: never).
inline void start(Op op, long failAt, int error, long killAt = 0) {
    plan = Plan{};
    plan.op = op;
    plan.killAt = killAt;
    DosFaultReset();
    if (failAt > 0)
        DosFaultArm(layerOp(op), static_cast<ULONG>(failAt), error);
    DosFaultObserve(observe);
}

// Ends the plan; plan.fired tells whether the failure happened.
inline void stop() {
    plan.fired = DosFaultFired(layerOp(plan.op)) != 0;
    DosFaultObserve(nullptr);
    DosFaultReset();
}

} // namespace hostcalls

#endif
