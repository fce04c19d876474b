// Writing the guest's changes back into the host directory: decode, plan, check, carry out.
#include <cstdio>
#include <map>
#include <new>
#include <set>
#include <sys/statvfs.h>

#include <dos/dirfd.h>

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

// Where object o will be once the plan is carried out: under the new names of the folders it
// lies in, not their old ones.
std::string finalPath(const SyncContext &c, ObjectId o, size_t depth = 0) {
    const ObjectFate &fate = c.plan.object(o);
    if (o != ROOT_OBJECT && fate.claimed && fate.claimer.some() && depth < c.plan.objects.size()) {
        const NodePlan &p = c.plan.node(fate.claimer);
        if ((p.action == NodeAction::Move || p.action == NodeAction::Create) && p.target_dir.some())
            return finalPath(c, p.target_dir, depth + 1) + "/" + p.final_name;
    }
    return objectPath(c.v, o);
}

// The directories each change of a plan alters: where it puts or deletes its object, and for a
// move where it takes it from.
struct ChangedDirs {
    ObjectId dir, from_dir;
    ObjectId old = {}; // the host object it deletes or gives a new version: what the trash takes
};

// Whether the write-back would put the object o, deleted or replaced, in the user's trash: the
// trash on and usable for its volume, and space not so short that deleted files are removed at
// once to make room.
class TrashForecast {
  public:
    explicit TrashForecast(const SyncContext &c) : c_(c) {
        VVFAT *v = c.v;
        struct statvfs info;
        if (!v->user_trash || c.plan.new_bytes == 0 || DosStatVfs(v->root_fd, &info) != 0 ||
            static_cast<UQUAD>(info.f_bavail) * info.f_frsize > c.plan.new_bytes + (1u << 20))
            return;
        short_ = true;
        // Reads only; what the guest did not write of a new file still comes from these.
        auto &context = const_cast<SyncContext &>(c);
        for (NodeId i : c.plan.guestNodes())
            if (c.plan.node(i).action == NodeAction::Rewrite ||
                c.plan.node(i).action == NodeAction::Create)
                for (ObjectId s : contentSources(context, c.tree.nodes[i.index()]))
                    sources_.insert(s);
    }
    bool takes(ObjectId o) {
        VVFAT *v = c_.v;
        const HostObject &r = hostObject(v, o);
        if (!v->user_trash ||
            (short_ && c_.plan.object(o).remove && !r.is_dir && !sources_.count(o)))
            return false;
        auto [it, fresh] = usable_.emplace(r.dev, false);
        if (fresh) {
            const std::string dir = objectPath(v, parentOf(v, o));
            it->second = trashWouldTake(v->absolute_root + dir.substr(v->root_path.size()), r.dev);
        }
        return it->second;
    }

  private:
    const SyncContext &c_;
    bool short_ = false;
    std::set<ObjectId> sources_;
    std::map<dev_t, bool> usable_;
};

// What the write-back would find refused without trying it: a directory of the host it may not
// change (read-only volume, no write permission), or too little space for its new copies. The
// changes it would refuse become "keep" lines, counted as not written back.

void checkPlanOnHost(const SyncContext &c, VVFAT_Plan &out, const std::vector<ChangedDirs> &dirs) {
    VVFAT *v = c.v;
    struct statvfs volume {};
    const bool volumeKnown = DosStatVfs(v->root_fd, &volume) == 0;
    const bool readOnly = volumeKnown && (volume.f_flag & ST_RDONLY);
    const ProcessIdentity identity = currentIdentity();
    // The superuser may also use the blocks a volume keeps back from the others.
    const UQUAD freeBlocks = identity.uid == 0 ? volume.f_bfree : volume.f_bavail;
    const UQUAD freeBytes = volumeKnown ? freeBlocks * volume.f_frsize : 0;
    const bool noSpace = volumeKnown && c.plan.new_bytes > freeBytes;
    std::map<ULONG, bool> changeable; // per host directory
    auto mayChangeIn = [&](ObjectId dir) {
        // A directory the write-back makes is as changeable as the one it is made in.
        while (dir.some() && dir != ROOT_OBJECT && dir.index() < v->objects.size() &&
               v->objects[dir.index()].created)
            dir = ObjectId(v->objects[dir.index()].parent);
        if (!dir.some() || dir.index() >= v->objects.size())
            return true;
        auto [it, fresh] = changeable.emplace(dir.index(), true);
        if (fresh) {
            struct stat st;
            const int fd = objectDirFd(v, dir);
            it->second = fd < 0 || DosFstat(fd, &st) != 0 || mayWrite(st, identity);
        }
        return it->second;
    };
    TrashForecast trash(c);
    std::vector<VVFAT_PlannedChange> kept;
    std::vector<VVFAT_PlannedChange> carried;
    ULONG refused = 0;
    for (size_t k = 0; k < out.changes.size(); ++k) {
        VVFAT_PlannedChange &change = out.changes[k];
        if (change.kind == VVFAT_PlannedChange::Keep) {
            kept.push_back(std::move(change));
            continue;
        }
        std::string why;
        if (readOnly)
            why = "the host's volume is read-only";
        else if (noSpace && (change.kind == VVFAT_PlannedChange::Create ||
                             change.kind == VVFAT_PlannedChange::Change))
            why = "the host's volume has " + std::to_string(freeBytes) +
                  " bytes free, the write-back's new copies need " +
                  std::to_string(c.plan.new_bytes);
        else if (!mayChangeIn(dirs[k].dir) ||
                 (change.kind == VVFAT_PlannedChange::Move && !mayChangeIn(dirs[k].from_dir)))
            why = "the host does not let this process change its directory";
        if (why.empty()) {
            if (dirs[k].old.some() && trash.takes(dirs[k].old))
                ++out.counts.trashed;
            carried.push_back(std::move(change));
            continue;
        }
        switch (change.kind) {
        case VVFAT_PlannedChange::Create:
        case VVFAT_PlannedChange::CreateDirectory:
            --out.counts.created;
            break;
        case VVFAT_PlannedChange::Change:
            --out.counts.changed;
            break;
        case VVFAT_PlannedChange::Move:
            --out.counts.moved;
            break;
        default:
            --out.counts.deleted;
            break;
        }
        ++out.counts.failed;
        ++refused;
        kept.push_back({VVFAT_PlannedChange::Keep, change.path, {}, why + "; not written back"});
    }
    out.changes = std::move(carried);
    for (VVFAT_PlannedChange &k : kept)
        out.changes.push_back(std::move(k));
    // Every reason above may pass: with a journal the write-back is undone whole, to be retried.
    if (refused > 0 && v->journaled) {
        out.undone = true;
        out.counts.created = out.counts.changed = out.counts.moved = out.counts.deleted = 0;
        out.counts.trashed = 0;
    }
}

} // namespace

void describePlan(const SyncContext &c, VVFAT_Plan &out) {
    VVFAT *v = c.v;
    out.changes.clear();
    out.counts = {0, 0, 0, 0, c.plan.failed};
    std::vector<ChangedDirs> dirs;
    for (NodeId i : c.plan.guestNodes()) {
        const NodePlan &p = c.plan.node(i);
        if (p.action != NodeAction::Move && p.action != NodeAction::Rewrite &&
            p.action != NodeAction::Create)
            continue;
        const auto kind = changeKind(p.action, c.tree.nodes[i.index()].is_dir);
        const std::string to = finalPath(c, p.target_dir) + "/" + p.final_name;
        VVFAT_PlannedChange change{kind, to, {}, {}};
        ChangedDirs changed{p.target_dir, {}};
        if (kind == VVFAT_PlannedChange::Create || kind == VVFAT_PlannedChange::CreateDirectory) {
            ++out.counts.created;
        } else {
            ++(kind == VVFAT_PlannedChange::Move ? out.counts.moved : out.counts.changed);
            change.path = objectPath(v, p.object);
            change.to = to;
            changed.from_dir = ObjectId(v->objects[p.object.index()].parent);
            // Its old version goes to the trash.
            if (kind == VVFAT_PlannedChange::Change && !hostObject(v, p.object).is_dir)
                changed.old = p.object;
        }
        out.changes.push_back(std::move(change));
        dirs.push_back(changed);
    }
    for (ObjectId o : c.plan.hostObjects())
        if (c.plan.object(o).remove) {
            ++out.counts.deleted;
            out.changes.push_back({VVFAT_PlannedChange::Delete, objectPath(v, o), {}, {}});
            dirs.push_back({ObjectId(v->objects[o.index()].parent), {}, o});
        }
    for (ObjectId o : c.plan.hostObjects()) {
        const ObjectFate &fate = c.plan.object(o);
        if (!fate.reason.empty() && !fate.claimed)
            out.changes.push_back({VVFAT_PlannedChange::Keep, objectPath(v, o), {}, fate.reason});
    }
    dirs.resize(out.changes.size());
    checkPlanOnHost(c, out, dirs);
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
        else if (!change.to.empty() && change.to != change.path)
            std::fprintf(out, "VVFAT: plan: %s '%s' -> '%s'\n", word, path.c_str(),
                         printableName(change.to).c_str());
        else
            std::fprintf(out, "VVFAT: plan: %s '%s'\n", word, path.c_str());
    }
    if (plan.undone)
        std::fprintf(out, "VVFAT: plan: what is refused may pass, so nothing of this session "
                          "would be written back: the directory stays as it is, and the journal "
                          "keeps the guest's work for a mount after it is put right.\n");
    const VVFAT_WriteBackCounts &n = plan.counts;
    char trashed[48] = "";
    if (n.trashed)
        std::snprintf(trashed, sizeof trashed, " %lu to move to the Trash,",
                      static_cast<unsigned long>(n.trashed));
    std::fprintf(out,
                 "VVFAT: write-back plan: %lu to create, %lu to change, %lu to rename or move, "
                 "%lu to delete,%s %lu not written back.\n",
                 static_cast<unsigned long>(n.created), static_cast<unsigned long>(n.changed),
                 static_cast<unsigned long>(n.moved), static_cast<unsigned long>(n.deleted),
                 trashed, static_cast<unsigned long>(n.failed));
}

WriteBackResult synchronize(VVFAT *v, VVFAT_Plan *planOnly, WriteBackLog *log,
                            const std::function<void(SyncContext &)> &carried) {
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
            if (carried)
                carried(c);
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
