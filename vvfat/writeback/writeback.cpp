// Writing the guest's changes back into the host directory: decode, plan, check, carry out.
#include <cstdio>
#include <new>

#include <addonix/boundary.h>

#include "writeback/writeback.h"

namespace {

const char *actionWord(NodeAction action, bool isDir) {
    switch (action) {
    case NodeAction::Move:
        return "rename or move";
    case NodeAction::Rewrite:
        return "change";
    case NodeAction::Create:
        return isDir ? "create directory" : "create";
    default:
        return nullptr;
    }
}

} // namespace

void printPlan(const SyncContext &c, FILE *out) {
    VVFAT *v = c.v;
    ULONG counts[5] = {};
    for (NodeId i : c.plan.guestNodes()) {
        const NodePlan &p = c.plan.node(i);
        const char *word = actionWord(p.action, c.tree.nodes[i.index()].is_dir);
        if (!word)
            continue;
        ++counts[static_cast<int>(p.action)];
        const std::string to = objectPath(v, p.target_dir) + "/" + p.final_name;
        if (p.claimsObject() && p.action != NodeAction::Create)
            std::fprintf(out, "VVFAT: plan: %s '%s' -> '%s'\n", word,
                         printableName(objectPath(v, p.object)).c_str(), printableName(to).c_str());
        else
            std::fprintf(out, "VVFAT: plan: %s '%s'\n", word, printableName(to).c_str());
    }
    ULONG deletions = 0;
    for (ObjectId o : c.plan.hostObjects())
        if (c.plan.object(o).remove) {
            ++deletions;
            std::fprintf(out, "VVFAT: plan: delete '%s'\n",
                         printableName(objectPath(v, o)).c_str());
        }
    for (ObjectId o : c.plan.hostObjects()) {
        const ObjectFate &fate = c.plan.object(o);
        if (!fate.reason.empty() && !fate.claimed)
            std::fprintf(out, "VVFAT: plan: keep '%s': %s\n",
                         printableName(objectPath(v, o)).c_str(), fate.reason.c_str());
    }
    std::fprintf(out,
                 "VVFAT: write-back plan: %lu to create, %lu to change, %lu to rename or move, "
                 "%lu to delete, %lu not written back.\n",
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Create)]),
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Rewrite)]),
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Move)]),
                 static_cast<unsigned long>(deletions), static_cast<unsigned long>(c.plan.failed));
}

WriteBackResult synchronize(VVFAT *v, FILE *dryRun) {
    v->temp_name_seed = 0xDEADBABE;
    try {
        // The plan may add the directories it means to make to the record: they go with it.
        struct Restore {
            VVFAT *v;
            size_t objects;
            ~Restore() {
                v->objects.erase(v->objects.begin() + static_cast<long>(objects), v->objects.end());
            }
        } restore{v, v->objects.size()};
        SyncContext c{v, {}, {}, {}};
        if (!c.disk.open(v))
            return {false, {0, 0, 0, 0, 1}};
        decodeGuestTree(c.disk, c.tree);
        makePlan(c);
        WriteBackResult result{true, {}};
        if (dryRun)
            printPlan(c, dryRun);
        else
            result.counts = applyPlan(c);
        closeObjectDirs(v);
        return result;
    } catch (const std::bad_alloc &) {
        report("out of memory during the write-back; what was not done is kept as it "
               "was.");
        return {false, {0, 0, 0, 0, 1}};
    }
}
