// Writing the guest's changes back into the host directory: decode, plan, check, carry out.
#include <cstdio>
#include <new>

#include <addonix/boundary.h>

#include "writeback/writeback.h"

namespace {

VVFAT_PlannedChange::Kind changeKind(NodeAction action, bool isDir) {
    switch (action) {
    case NodeAction::Move:
        return VVFAT_PlannedChange::Move;
    case NodeAction::Rewrite:
        return VVFAT_PlannedChange::Change;
    default:
        return isDir ? VVFAT_PlannedChange::CreateDirectory : VVFAT_PlannedChange::Create;
    }
}

} // namespace

void describePlan(const SyncContext &c, VVFAT_Plan &out) {
    VVFAT *v = c.v;
    out.changes.clear();
    out.counts = {0, 0, 0, 0, c.plan.failed};
    for (NodeId i : c.plan.guestNodes()) {
        const NodePlan &p = c.plan.node(i);
        if (p.action != NodeAction::Move && p.action != NodeAction::Rewrite &&
            p.action != NodeAction::Create)
            continue;
        const auto kind = changeKind(p.action, c.tree.nodes[i.index()].is_dir);
        const std::string to = objectPath(v, p.target_dir) + "/" + p.final_name;
        if (kind == VVFAT_PlannedChange::Create || kind == VVFAT_PlannedChange::CreateDirectory) {
            ++out.counts.created;
            out.changes.push_back({kind, to, {}, {}});
        } else {
            ++(kind == VVFAT_PlannedChange::Move ? out.counts.moved : out.counts.changed);
            out.changes.push_back({kind, objectPath(v, p.object), to, {}});
        }
    }
    for (ObjectId o : c.plan.hostObjects())
        if (c.plan.object(o).remove) {
            ++out.counts.deleted;
            out.changes.push_back({VVFAT_PlannedChange::Delete, objectPath(v, o), {}, {}});
        }
    for (ObjectId o : c.plan.hostObjects()) {
        const ObjectFate &fate = c.plan.object(o);
        if (!fate.reason.empty() && !fate.claimed)
            out.changes.push_back({VVFAT_PlannedChange::Keep, objectPath(v, o), {}, fate.reason});
    }
}

void printPlan(const VVFAT_Plan &plan, FILE *out) {
    static const char *const words[] = {"create",         "create directory", "change",
                                        "rename or move", "delete",           "keep"};
    for (const VVFAT_PlannedChange &change : plan.changes) {
        const char *word = words[change.kind];
        const std::string path = printableName(change.path);
        if (change.kind == VVFAT_PlannedChange::Keep)
            std::fprintf(out, "VVFAT: plan: %s '%s': %s\n", word, path.c_str(),
                         change.reason.c_str());
        else if (!change.to.empty())
            std::fprintf(out, "VVFAT: plan: %s '%s' -> '%s'\n", word, path.c_str(),
                         printableName(change.to).c_str());
        else
            std::fprintf(out, "VVFAT: plan: %s '%s'\n", word, path.c_str());
    }
    const VVFAT_WriteBackCounts &n = plan.counts;
    std::fprintf(out,
                 "VVFAT: write-back plan: %lu to create, %lu to change, %lu to rename or move, "
                 "%lu to delete, %lu not written back.\n",
                 static_cast<unsigned long>(n.created), static_cast<unsigned long>(n.changed),
                 static_cast<unsigned long>(n.moved), static_cast<unsigned long>(n.deleted),
                 static_cast<unsigned long>(n.failed));
}

WriteBackResult synchronize(VVFAT *v, VVFAT_Plan *planOnly, WriteBackLog *log) {
    v->temp_name_seed = 0xDEADBABE;
    // Without memory, the steps taken so far are still the caller's, to undo.
    std::vector<WriteBackStep> steps;
    try {
        // The plan may add the directories it means to make to the record: they go with it.
        struct Restore {
            VVFAT *v;
            size_t objects;
            ~Restore() {
                v->objects.erase(v->objects.begin() + static_cast<long>(objects), v->objects.end());
            }
        } restore{v, v->objects.size()};
        SyncContext c{v, {}, {}, {}, planOnly ? nullptr : log, {}};
        struct Keep {
            SyncContext &c;
            std::vector<WriteBackStep> &steps;
            ~Keep() { steps.swap(c.steps); }
        } keep{c, steps};
        if (!c.disk.open(v))
            return {false, {0, 0, 0, 0, 1}, 0, {}};
        decodeGuestTree(c.disk, c.tree);
        makePlan(c);
        WriteBackResult result{true, {}, 0, {}};
        if (planOnly) {
            describePlan(c, *planOnly);
        } else {
            result.counts = applyPlan(c);
            result.retryable = c.plan.retryable;
            result.no_space = c.plan.no_space;
            result.needed_bytes = c.plan.new_bytes;
        }
        closeObjectDirs(v);
        c.steps.swap(result.steps);
        return result;
    } catch (const std::bad_alloc &) {
        report("out of memory during the write-back; what was not done is kept as it "
               "was.");
        WriteBackResult result{false, {0, 0, 0, 0, 1}, 1, {}};
        result.steps.swap(steps);
        return result;
    }
}

Settle settleWriteBack(int rootFd, WriteBackResult &result, bool retryLater) {
    if (result.ran && (result.retryable == 0 || !retryLater))
        return Settle::Final;
    if (!result.ran && result.steps.size() <= 1)
        return Settle::Kept; // it changed nothing
    if (!retryLater)
        return Settle::Final;
    const bool undone = undoWriteBack(rootFd, result.steps);
    if (undone)
        report("nothing of this session is written back: the directory is as it was, and the "
               "guest's work stays in the journal. Free space or put right what is named above, "
               "then mount again: it is written back then.");
    else
        report("the write-back could not be undone whole; the journal stays, and the next mount "
               "finishes undoing it and writes the guest's work back again.");
    result.counts = {0, 0, 0, 0, result.counts.failed ? result.counts.failed : 1};
    return undone ? Settle::Undone : Settle::Kept;
}
