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
    for (size_t i = 1; i < c.tree.nodes.size(); ++i) {
        const NodePlan &p = c.plan.nodes[i];
        const char *word = actionWord(p.action, c.tree.nodes[i].is_dir);
        if (!word)
            continue;
        ++counts[static_cast<int>(p.action)];
        const std::string to = objectPath(v, static_cast<ULONG>(p.target_dir)) + "/" + p.final_name;
        if (p.object > 0 && p.action != NodeAction::Create)
            std::fprintf(out, "VVFAT: plan: %s '%s' -> '%s'\n", word,
                         printableName(objectPath(v, static_cast<ULONG>(p.object))).c_str(),
                         printableName(to).c_str());
        else
            std::fprintf(out, "VVFAT: plan: %s '%s'\n", word, printableName(to).c_str());
    }
    ULONG deletions = 0;
    for (size_t o = 1; o < c.plan.remove.size(); ++o)
        if (c.plan.remove[o]) {
            ++deletions;
            std::fprintf(out, "VVFAT: plan: delete '%s'\n",
                         printableName(objectPath(v, o)).c_str());
        }
    for (size_t o = 1; o < c.plan.reasons.size(); ++o)
        if (!c.plan.reasons[o].empty() && !c.plan.claimed[o])
            std::fprintf(out, "VVFAT: plan: keep '%s': %s\n",
                         printableName(objectPath(v, o)).c_str(), c.plan.reasons[o].c_str());
    std::fprintf(out,
                 "VVFAT: write-back plan: %lu to create, %lu to change, %lu to rename or move, "
                 "%lu to delete, %lu not written back.\n",
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Create)]),
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Rewrite)]),
                 static_cast<unsigned long>(counts[static_cast<int>(NodeAction::Move)]),
                 static_cast<unsigned long>(deletions), static_cast<unsigned long>(c.plan.failed));
}

bool synchronize(VVFAT *v, FILE *dryRun) {
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
        if (!c.disk.open(v)) {
            reportWriteBack({0, 0, 0, 0, 1});
            return false;
        }
        decodeGuestTree(c.disk, c.tree);
        makePlan(c);
        if (dryRun)
            printPlan(c, dryRun);
        else
            applyPlan(c);
        closeObjectDirs(v);
        return true;
    } catch (const std::bad_alloc &) {
        report("out of memory during the write-back; what was not done is kept as it "
               "was.");
        reportWriteBack({0, 0, 0, 0, 1});
        return false;
    }
}
