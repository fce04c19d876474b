// Fault injection for the file-system layer, for tests.
//
// Every host call the layer makes is counted under one of these operations. Arming an
// operation makes its k-th call from now (1-based) fail with the chosen errno without reaching
// the host; with persist, every later call fails as well. Disarmed, the check is one load of a
// flag. Not thread-safe, like the layer itself.
#ifndef HAIKU_DOS_FAULTS_H
#define HAIKU_DOS_FAULTS_H

#include "../exec/types.h"

enum DosFaultOp {
    DOS_FAULT_OPEN,          // open, openat (Open, Lock, OpenFromLock, Examine, CurrentDir, Info)
    DOS_FAULT_READ,          // Read
    DOS_FAULT_WRITE,         // Write, Flush, the flush in Close and SetFileSize, the truncation
    DOS_FAULT_RENAME,        // Rename
    DOS_FAULT_MKDIR,         // CreateDir
    DOS_FAULT_DELETE,        // DeleteFile (unlink, rmdir)
    DOS_FAULT_SETPROTECTION, // SetProtection
    DOS_FAULT_STAT,          // stat, fstat, fstatat, fstatvfs
    DOS_FAULT_SETDATE,       // SetFileDate
    DOS_FAULT_COUNT
};

// Arms op: its k-th call from now fails with error (k = 0 disarms op). Replaces an earlier
// arming of the same op and restarts its count.
void DosFaultArm(DosFaultOp op, ULONG k, int error, BOOL persist = FALSE);
// TRUE once the armed fault of op has failed a call.
BOOL DosFaultFired(DosFaultOp op);
// Calls of op counted since it was armed (0 when not armed).
ULONG DosFaultCalls(DosFaultOp op);
// Disarms every operation and forgets what fired.
void DosFaultReset();
// While set, the observer sees every counted host call before it is made (a test that must stop
// the process at the k-th call counts them there). Null removes it; DosFaultReset keeps it.
typedef void (*DosFaultObserver)(DosFaultOp op);
void DosFaultObserve(DosFaultObserver observer);

#endif
