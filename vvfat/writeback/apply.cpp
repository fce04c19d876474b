// Carrying the write-back's plan out, in an order that keeps every object whole whatever stops
// it: new contents into temporary files, one durability step for all of them, then renames and
// moves (cycles through names set aside and resolved), then deletions, deepest first.
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>

#include <dos/dirfd.h>
#include <proto/exec.h>

#include "writeback/writeback.h"

namespace {

// Something to be put under its final name: a recorded object that moves, a temporary copy, or
// a new directory made under a name set aside.
struct Placement {
    NodeId node;
    ObjectId object; // the host object that moves (a new directory's too); none for a copy
    ObjectId src_dir;
    std::string src_name;
    bool is_dir;
    bool done = false;
    std::string aside_from; // the name it bore before it was set aside, if it was
};

enum class Outcome { Done, Blocked, Failed };

struct Applier {
    SyncContext &c;
    VVFAT *v;
    Plan &plan;
    std::vector<GuestNode> &nodes;
    explicit Applier(SyncContext &context)
        : c(context), v(context.v), plan(context.plan), nodes(context.tree.nodes) {}
    std::map<std::pair<ObjectId, std::string>, ObjectId> at; // recorded objects by place now
    std::multimap<ObjectId, NodeId> origins; // object -> nodes that took its clusters
    std::vector<Placement> placements;
    std::set<ObjectId> touched;
    std::set<dev_t> devices;
    ULONG temp_counter = 0;
    ULONG created = 0, changed = 0, moved = 0, removed = 0;

    const GuestNode &node(NodeId n) const { return nodes[n.index()]; }
    Placement &placement(PlacementId k) { return placements[k.index()]; }
    const Placement &placement(PlacementId k) const { return placements[k.index()]; }

    std::string nodePath(NodeId n) const {
        const NodePlan &p = plan.node(n);
        if (p.target_dir.isNone())
            return v->root_path;
        return objectPath(v, p.target_dir) + "/" + p.final_name;
    }

    void fail(NodeId n, const std::string &why) {
        plan.node(n).failed = true;
        reportFailure(c, nodePath(n), why);
    }
    void fail(NodeId n, const std::string &why, int error) {
        countRetryable(plan, error);
        fail(n, why + reason(error));
    }

    // A directory's path relative to the mounted directory, as the steps name it.
    std::string relative(ObjectId dir) const {
        const std::string path = objectPath(v, dir);
        return path.size() > v->root_path.size() ? path.substr(v->root_path.size() + 1)
                                                 : std::string();
    }

    // Notes a step before it is taken; FALSE (errno EIO) when the log cannot keep it, and then
    // the step is not taken.
    bool note(const WriteBackStep &step) {
        c.steps.push_back(step);
        if (c.log && !c.log->note(step)) {
            c.steps.pop_back();
            errno = EIO;
            return false;
        }
        return true;
    }
    bool confirm(const struct stat &st) {
        WriteBackStep step;
        step.kind = WriteBackStep::Confirmed;
        step.dev = static_cast<UQUAD>(st.st_dev);
        step.ino = static_cast<UQUAD>(st.st_ino);
        return note(step);
    }
    // Notes the rename of whatever fromDir/from is now (looked at without following a link).
    bool noteRename(ObjectId fromDir, const std::string &from, ObjectId toDir,
                    const std::string &to, bool trash = false) {
        const int fd = objectDirFd(v, fromDir);
        struct stat st;
        if (fd < 0 || DosStatAt(fd, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true; // nothing there to move: the rename fails and changes nothing
        WriteBackStep step;
        step.kind = WriteBackStep::Renamed;
        step.trash = trash;
        step.from_dir = relative(fromDir);
        step.from = from;
        step.to_dir = relative(toDir);
        step.to = to;
        step.dev = static_cast<UQUAD>(st.st_dev);
        step.ino = static_cast<UQUAD>(st.st_ino);
        step.mode = st.st_mode;
        return note(step);
    }

    std::string reason(int error) const {
        return error == ESTALE ? std::string("another object has taken its place")
                               : std::string(errorWords(error));
    }

    bool dirUnavailable(ObjectId dir) const { return dir.isNone() || plan.object(dir).not_made; }

    // Each node has at most one placement, and each object at most one move.
    void addPlacement(Placement p) {
        const PlacementId k(placements.size());
        plan.node(p.node).placement = k;
        if (p.object.some())
            plan.object(p.object).placement = k;
        placements.push_back(std::move(p));
    }

    void init() {
        assert(plan.objects.size() == v->objects.size());
        for (NodeId i : plan.guestNodes())
            if (plan.node(i).origin.some() && plan.node(i).origin != ROOT_OBJECT)
                origins.emplace(plan.node(i).origin, i);
        for (ObjectId o : plan.hostObjects())
            if (!hostObject(v, o).created)
                at[{parentOf(v, o), objectName(v, o)}] = o;
    }

    // Files the guest deleted that nothing is copied from, removed before any copy is made
    // when the volume is short of space.
    void deleteEarlyWhenShort() {
        struct statvfs info;
        if (plan.new_bytes == 0 || DosStatVfs(v->root_fd, &info) != 0 ||
            static_cast<UQUAD>(info.f_bavail) * info.f_frsize > plan.new_bytes + (1u << 20))
            return;
        std::set<ObjectId> sources;
        for (NodeId i : plan.guestNodes())
            if (plan.node(i).action == NodeAction::Rewrite ||
                plan.node(i).action == NodeAction::Create)
                for (ObjectId s : contentSources(c, node(i)))
                    sources.insert(s);
        const ULONG before = removed;
        for (ObjectId o : plan.hostObjects())
            if (plan.object(o).remove && !hostObject(v, o).is_dir && !sources.count(o))
                removeObject(o, true);
        if (v->user_trash && removed > before)
            report("the volume is short of the space the write-back needs: what the guest deleted "
                   "is removed rather than moved to the Trash (%lu %s).",
                   static_cast<unsigned long>(removed - before),
                   removed - before == 1 ? "object" : "objects");
    }

    void makeDirectories() {
        for (NodeId i : plan.guestNodes()) {
            NodePlan &p = plan.node(i);
            if (p.action != NodeAction::Create || !node(i).is_dir)
                continue;
            const ObjectId made = p.created_object;
            plan.object(made).not_made = true;
            if (dirUnavailable(p.target_dir)) {
                p.failed = true; // its directory's failure was reported
                continue;
            }
            const int fd = objectDirFd(v, p.target_dir);
            std::string name = p.final_name;
            struct stat st;
            const bool held =
                at.count({p.target_dir, name}) ||
                (fd >= 0 && DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
            if (held)
                name = asideName(fd, name);
            WriteBackStep step;
            step.kind = WriteBackStep::MadeDir;
            step.to_dir = relative(p.target_dir);
            step.to = name;
            if (fd < 0 || name.empty() || !note(step) || DosMkdirAt(fd, name.c_str(), 0777) != 0 ||
                DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !confirm(st)) {
                fail(i, "the directory cannot be made: ", errno);
                continue;
            }
            setObjectName(v, made, name);
            HostObject &o = hostObject(v, made);
            o.dev = st.st_dev;
            o.ino = st.st_ino;
            o.mtime_ns = timeNs(st.st_mtim);
            p.made_dev = st.st_dev;
            p.made_ino = st.st_ino;
            plan.object(made).not_made = false;
            touched.insert(p.target_dir);
            ++created;
            if (held)
                addPlacement({i, made, p.target_dir, name, true, false, {}});
        }
    }

    // A visible name beside `name` for an object set aside until its own name is free: should
    // the write-back stop there, the object is whole and in sight.
    std::string asideName(int dirFd, const std::string &name) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            STRPTR temp = createTempName(name.c_str(), &v->temp_name_seed);
            if (!temp)
                return std::string();
            std::string candidate(temp);
            FreeVec(temp);
            struct stat st;
            if (dirFd >= 0 && DosStatAt(dirFd, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return candidate;
        }
        return std::string();
    }

    void writeContents() {
        for (NodeId i : plan.guestNodes()) {
            NodePlan &p = plan.node(i);
            if ((p.action != NodeAction::Create && p.action != NodeAction::Rewrite) ||
                node(i).is_dir)
                continue;
            if (dirUnavailable(p.target_dir)) {
                p.failed = true;
                continue;
            }
            const int dirFd = DosDup(objectDirFd(v, p.target_dir));
            if (dirFd < 0) {
                fail(i, "its directory cannot be reached: ", errno);
                continue;
            }
            std::string temp;
            const std::string dirPath = relative(p.target_dir);
            const int fd = createTempFile(dirFd, temp_counter, temp, [&](const char *name) {
                WriteBackStep step;
                step.kind = WriteBackStep::Made;
                step.to_dir = dirPath;
                step.to = name;
                return note(step);
            });
            struct stat madeNow;
            if (fd >= 0 && (DosFstat(fd, &madeNow) != 0 || !confirm(madeNow))) {
                const int error = errno;
                DosCloseFd(fd);
                DosUnlinkAt(dirFd, temp.c_str(), 0);
                fail(i, "no file can be made there: ", error);
                DosCloseFd(dirFd);
                continue;
            }
            if (fd < 0) {
                fail(i, "no file can be made there: ", errno);
                DosCloseFd(dirFd);
                continue;
            }
            // A rewritten file keeps the permissions it has now (the host's chmod counts), but
            // never a set-user or set-group bit on a file now owned by whoever writes it back;
            // a new one has the umask's.
            if (p.action == NodeAction::Rewrite) {
                struct stat now;
                const int parent = objectDirFd(v, parentOf(v, p.object));
                const bool seen =
                    parent >= 0 &&
                    DosStatAt(parent, objectName(v, p.object).c_str(), &now, 0) == 0 &&
                    S_ISREG(now.st_mode);
                if (seen)
                    DosFchmod(fd, now.st_mode & 0777);
            } else if (!p.beside.empty()) {
                narrowToBeside(fd, objectDirFd(v, p.target_dir), p.beside);
            }
            // Written now, it is dated now: the guest's stamp is not the host's.
            bool ok = copyGuestContents(c, node(i), fd);
            int error = ok ? 0 : errno;
            std::string why = "its contents cannot be written: ";
            // A source the host changed while it was read would mix two versions.
            if (ok)
                for (ObjectId source : contentSources(c, node(i)))
                    if (identify(v, source) != HostState::Intact) {
                        ok = false;
                        error = ESTALE;
                        why = "its contents rely on '" + printableName(objectPath(v, source)) +
                              "', which changed on the host meanwhile: ";
                        break;
                    }
            struct stat made;
            if (ok && DosFstat(fd, &made) == 0) {
                p.made_dev = made.st_dev;
                p.made_ino = made.st_ino;
                devices.insert(made.st_dev);
            }
            DosCloseFd(fd);
            if (!ok) {
                DosUnlinkAt(dirFd, temp.c_str(), 0);
                fail(i, why, error);
            } else {
                addPlacement({i, ObjectId::none(), p.target_dir, temp, false, false, {}});
                if (node(i).cut)
                    reportFailure(c, nodePath(i),
                                  "its cluster chain ends before its size; only "
                                  "what the chain holds is written");
            }
            DosCloseFd(dirFd);
        }
    }

    // A copy written beside a host file is never readable by more than that file: both sides'
    // versions of one file are equally private.
    static void narrowToBeside(int fd, int dirFd, const std::string &beside) {
        struct stat copy, host;
        if (fd >= 0 && dirFd >= 0 && DosFstat(fd, &copy) == 0 &&
            DosStatAt(dirFd, beside.c_str(), &host, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(host.st_mode) && (copy.st_mode & 0777 & ~(host.st_mode & 0777)) != 0)
            DosFchmod(fd, copy.st_mode & host.st_mode & 0777);
    }

    // One durability step for every copy: each replaces its target only once it is on disk.
    void makeDurable() {
        for (dev_t device : devices) {
            int fd = -1;
            for (const Placement &p : placements)
                if (p.object.isNone()) {
                    const int dirFd = objectDirFd(v, p.src_dir);
                    struct stat st;
                    if (dirFd >= 0 && DosFstat(dirFd, &st) == 0 && st.st_dev == device) {
                        fd = dirFd;
                        break;
                    }
                }
            if (fd >= 0 && DosSyncFs(fd) != 0) {
                const int error = errno;
                report("the host could not confirm that the new contents are on disk "
                       "(%s); they replace nothing.",
                       errorWords(error));
                for (Placement &p : placements)
                    if (p.object.isNone() && !p.done)
                        failPlacement(p, error);
            }
        }
        // What was made is known durably before anything is moved.
        if (c.log && !c.log->sync()) {
            report("the journal cannot confirm the write-back's steps (%s); nothing is moved.",
                   errorWords(errno));
            for (Placement &p : placements)
                if (!p.done)
                    failPlacement(p, EIO);
        }
    }

    void queueMoves() {
        for (NodeId i : plan.guestNodes()) {
            NodePlan &p = plan.node(i);
            if (p.action != NodeAction::Move)
                continue;
            if (dirUnavailable(p.target_dir)) {
                p.failed = true; // stays where it was
                continue;
            }
            const HostObject &o = hostObject(v, p.object);
            addPlacement(
                {i, p.object, parentOf(v, p.object), objectName(v, p.object), o.is_dir, false, {}});
        }
    }

    // Whether the object holds what remains of an entry the write-back could not carry out
    // (then it stays as it was), or of one still waiting to be put in place (then it waits).
    bool originOfFailed(ObjectId o) const {
        auto range = origins.equal_range(o);
        for (auto it = range.first; it != range.second; ++it)
            if (plan.node(it->second).failed || placementPending(it->second))
                return true;
        return false;
    }
    bool originPending(ObjectId o) const {
        auto range = origins.equal_range(o);
        for (auto it = range.first; it != range.second; ++it)
            if (!plan.node(it->second).failed && placementPending(it->second))
                return true;
        return false;
    }

    // Whether the holder of a name will be gone so that the name can be taken now.
    bool removable(ObjectId r) const {
        const ObjectFate &fate = plan.object(r);
        if (fate.deleted)
            return true;
        if (fate.remove)
            return !originOfFailed(r);
        if (fate.claimer.isNone())
            return false;
        const NodePlan &kp = plan.node(fate.claimer);
        // Its new version is in place elsewhere: the old one goes.
        return kp.action == NodeAction::Rewrite && !kp.replaces_own && nodeDone(fate.claimer);
    }

    bool placementPending(NodeId n) const {
        const PlacementId k = plan.node(n).placement;
        return k.some() && !placement(k).done;
    }

    bool nodeDone(NodeId n) const {
        const PlacementId k = plan.node(n).placement;
        return k.some() && placement(k).done;
    }

    // Whether an object's move is still to be made, or its new version still to be put in
    // place under another name (after which the old one goes).
    bool movePending(ObjectId o) const {
        const PlacementId k = plan.object(o).placement;
        if (k.some() && !placement(k).done)
            return true;
        const NodeId claimer = plan.object(o).claimer;
        return claimer.some() && plan.node(claimer).action == NodeAction::Rewrite &&
               !plan.node(claimer).replaces_own && !plan.node(claimer).failed &&
               placementPending(claimer);
    }

    // Deletes a recorded object still as recorded; a directory only when nothing else is in it.
    // The object goes to the trash (a private name in its directory), removed once the
    // write-back is settled, so that it can be undone until then; `now` (space is short)
    // removes it at once.
    bool removeObject(ObjectId o, bool now = false) {
        ObjectFate &fate = plan.object(o);
        if (fate.deleted)
            return true;
        HostObject &r = hostObject(v, o);
        const HostState state = identify(v, o);
        if (state != HostState::Intact) {
            const int error = errno;
            if (state == HostState::Unreachable) {
                countRetryable(plan, error);
                notWrittenBack(plan, "'%s' cannot be deleted (%s).",
                               printableName(objectPath(v, o)).c_str(), errorWords(error));
            } else if (state == HostState::Changed) {
                notWrittenBack(plan, "'%s' changed on the host meanwhile; not deleted.",
                               printableName(objectPath(v, o)).c_str());
            }
            fate.deleted = true; // not to be tried again
            return state == HostState::Gone;
        }
        if (v->current_mapping && v->current_mapping->object == o.index())
            closeCurrentFile(v);
        const ObjectId parent = parentOf(v, o);
        const int fd = objectDirFd(v, parent);
        // A link is removed itself; nothing it leads to is touched.
        const bool asDirectory = r.is_dir && !r.via_link;
        const std::string name = objectName(v, o);
        // Without a log nothing could undo it: the private trash would only keep it longer,
        // unless it is on its way to the user's.
        now = now || (!c.log && !v->user_trash);
        if (fd >= 0 && asDirectory && !now && !holdsOnlyTrash(fd, o, name)) {
            notWrittenBack(plan,
                           "directory '%s' is kept: it still holds objects the guest did not "
                           "see or that could not be moved.",
                           printableName(objectPath(v, o)).c_str());
            fate.deleted = true;
            return false;
        }
        if (fd >= 0 && (!asDirectory || !now)) {
            // Taken out of the host's way under a private name, and deleted only if it proves
            // to be the object the guest saw: the host may have saved a new one there.
            const int trashFd = fd;
            const ObjectId trashDir = parent;
            std::string temp;
            int error = 0;
            for (int attempt = 0; attempt < 1000 && temp.empty(); ++attempt) {
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, ".vvfat-%08lX.tmp",
                              static_cast<unsigned long>(temp_counter++));
                struct stat st;
                if (DosStatAt(trashFd, buffer, &st, AT_SYMLINK_NOFOLLOW) == 0)
                    continue;
                if (!noteRename(parent, name, trashDir, buffer, true)) {
                    error = errno;
                    break;
                }
                if (DosRenameAtNoReplace(fd, name.c_str(), trashFd, buffer) == 0)
                    temp = buffer;
                else if ((error = errno) != EEXIST)
                    break;
            }
            if (!temp.empty() && identifyAt(r, trashFd, temp.c_str()) != HostState::Intact) {
                std::string back = name;
                for (unsigned k = 1; k < 100; ++k) {
                    if (noteRename(trashDir, temp, parent, back) &&
                        DosRenameAtNoReplace(trashFd, temp.c_str(), fd, back.c_str()) == 0)
                        break;
                    if (errno != EEXIST)
                        break;
                    back = conflictName(name, k);
                }
                notWrittenBack(plan, "'%s' changed on the host meanwhile; not deleted.",
                               printableName(objectPath(v, parent) + "/" + back).c_str());
                fate.deleted = true;
                return false;
            }
            if (!temp.empty() && !now && toUserTrashNow(fd, temp.c_str(), parent, name, r.dev)) {
                trashed(o, parent, name);
                return true;
            }
            if (!temp.empty() && !now) {
                trash.insert({parent, temp});
                trashed(o, parent, name);
                return true;
            }
            if (!temp.empty()) {
                if (DosUnlinkAt(fd, temp.c_str(), 0) == 0) {
                    trashed(o, parent, name);
                    return true;
                }
                error = errno;
                DosRenameAtNoReplace(fd, temp.c_str(), fd, name.c_str()); // back where it was
            }
            countRetryable(plan, error);
            notWrittenBack(plan, "'%s' cannot be deleted (%s).",
                           printableName(objectPath(v, o)).c_str(), errorWords(error));
            fate.deleted = true;
            return false;
        }
        // A directory removed at once.
        if (fd < 0 || DosUnlinkAt(fd, name.c_str(), asDirectory ? AT_REMOVEDIR : 0) != 0) {
            const int error = errno;
            if (error == ENOTEMPTY || error == EEXIST) {
                notWrittenBack(plan,
                               "directory '%s' is kept: it still holds objects the guest did not "
                               "see or that could not be moved.",
                               printableName(objectPath(v, o)).c_str());
            } else {
                countRetryable(plan, error);
                notWrittenBack(plan, "'%s' cannot be deleted (%s).",
                               printableName(objectPath(v, o)).c_str(), errorWords(error));
            }
            fate.deleted = true;
            return false;
        }
        trashed(o, parent, name);
        return true;
    }

    // Without a log nothing undoes a deletion, so what goes to the user's trash goes at once:
    // under a private name until the end, a kill would leave it there. `current` in dirFd is the
    // object known to the user as `name` in parent; with link it keeps its place too.
    bool toUserTrashNow(int dirFd, const char *current, ObjectId parent, const std::string &name,
                        dev_t dev, bool link = false, std::string *entry = nullptr) {
        if (c.log || !v->user_trash || dirFd < 0)
            return false;
        if (!user_trash_now)
            user_trash_now = std::make_unique<UserTrash>();
        const std::string original =
            v->absolute_root + objectPath(v, parent).substr(v->root_path.size()) + "/" + name;
        if (user_trash_now->put(dirFd, current, original, dev, link, entry)) {
            ++trashed_now;
            return true;
        }
        trash_refusal = trash_refusal ? trash_refusal : errno;
        ++refused_now;
        return false;
    }
    // The old version linked into the user's trash still holds its name (the new one did not
    // take it): the trash gives its second name back.
    void untrashWhereStill(ObjectId dir, const std::string &name, dev_t dev, ino_t ino,
                           const std::string &entry) {
        const int fd = objectDirFd(v, dir);
        struct stat st;
        if (fd < 0 || DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            st.st_dev != dev || st.st_ino != ino)
            return;
        if (user_trash_now->takeBack(entry, dev, ino))
            --trashed_now;
    }
    std::unique_ptr<UserTrash> user_trash_now;
    ULONG trashed_now = 0, refused_now = 0;
    int trash_refusal = 0;

    // Gives the recorded file r a second name in the private trash beside it, so that a new
    // version can replace it in one step; FALSE (nothing done) where the host cannot link it.
    bool linkAside(ObjectId r) {
        const ObjectId parent = parentOf(v, r);
        const int fd = objectDirFd(v, parent);
        const std::string name = objectName(v, r);
        if (fd < 0 || hostObject(v, r).is_dir || hostObject(v, r).via_link)
            return false;
        for (int attempt = 0; attempt < 1000; ++attempt) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, ".vvfat-%08lX.tmp",
                          static_cast<unsigned long>(temp_counter++));
            struct stat st;
            if (DosStatAt(fd, buffer, &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            if (!noteRename(parent, name, parent, buffer, true))
                return false;
            if (DosLinkAt(fd, name.c_str(), fd, buffer) == 0) {
                if (identifyAt(hostObject(v, r), fd, buffer) == HostState::Intact) {
                    trash.insert({parent, buffer});
                    return true;
                }
                DosUnlinkAt(fd, buffer, 0); // not the recorded file: the caller looks again
                return false;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    // The object left its place for good (or for the trash).
    void trashed(ObjectId o, ObjectId parent, const std::string &name) {
        at.erase({parent, name});
        touched.insert(parent);
        plan.object(o).deleted = true;
        if (hostObject(v, o).is_dir)
            closeObjectDirs(v);
        ++removed;
    }

    // Whether directory object `dir`, `name` in dirFd, holds nothing but this write-back's trash
    // (what the guest deleted in it).
    bool holdsOnlyTrash(int dirFd, ObjectId dir, const std::string &name) {
        std::unique_ptr<DIR, void (*)(DIR *)> d(DosOpenDirAt(dirFd, name.c_str()), DosCloseDir);
        if (!d)
            return true; // the removal says why
        while (const struct dirent *e = DosReadDir(d.get()))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
                !trash.count({dir, e->d_name}))
                return false;
        return true;
    }
    std::set<std::pair<ObjectId, std::string>> trash; // (directory, name) of what is in the trash

    // A directory the guest deleted, with what it recorded inside, deepest first.
    bool removeTree(ObjectId o) {
        for (size_t k = v->objects.size(); k-- > 1;) {
            const ObjectId child(k);
            if (parentOf(v, child) == o && !hostObject(v, child).created &&
                plan.object(child).remove && !plan.object(child).deleted) {
                if (hostObject(v, child).is_dir)
                    removeTree(child);
                else
                    removeObject(child);
            }
        }
        return removeObject(o);
    }

    // Whether directory object `dir` lies inside object `ancestor` as the host holds them now.
    bool isInside(ObjectId dir, ObjectId ancestor) const {
        size_t steps = 0;
        for (ObjectId o = dir; steps <= v->objects.size(); o = parentOf(v, o), ++steps) {
            if (o == ancestor)
                return true;
            if (o == ROOT_OBJECT)
                return false;
        }
        return false;
    }

    // Whether something still to be moved lies inside directory object `dir`.
    bool pendingInside(ObjectId dir) const {
        for (const Placement &q : placements)
            if (!q.done && isInside(q.src_dir, dir))
                return true;
        return false;
    }

    // Whether the placement moves an object of the record (not a copy, not a new directory).
    bool movesRecorded(const Placement &p) const {
        return p.object.some() && !hostObject(v, p.object).created;
    }

    // The recorded object of directory dir that the host finds under `name` though it bears
    // another spelling (the host folds case); at.end() when there is none.
    std::map<std::pair<ObjectId, std::string>, ObjectId>::iterator
    heldUnderOtherCase(ObjectId dir, const std::string &name) {
        const std::string listed = listedSpelling(objectDirFd(v, dir), name);
        return listed.empty() ? at.end() : at.find({dir, listed});
    }

    // A rename within one directory to a name that differs only in case, on a host that finds
    // the object itself under the new name: through a private name, as such hosts take it.
    // Each rename is noted first, so that a kill between them is undone.
    bool renameCaseOnly(ObjectId dir, const std::string &from, const std::string &to) {
        const int dirFd = objectDirFd(v, dir);
        if (dirFd < 0 || !sameNameIgnoringCase(from, to) || listedSpelling(dirFd, to) != from) {
            errno = EEXIST;
            return false;
        }
        char temp[32];
        std::snprintf(temp, sizeof temp, ".vvfat-%08lX.tmp",
                      static_cast<unsigned long>(temp_counter++));
        if (!noteRename(dir, from, dir, temp) ||
            DosRenameAtNoReplace(dirFd, from.c_str(), dirFd, temp) != 0)
            return false;
        if (noteRename(dir, temp, dir, to) &&
            DosRenameAtNoReplace(dirFd, temp, dirFd, to.c_str()) == 0)
            return true;
        const int error = errno;
        if (noteRename(dir, temp, dir, from))
            DosRenameAtNoReplace(dirFd, temp, dirFd, from.c_str());
        errno = error;
        return false;
    }

    Outcome renameInto(Placement &p, ObjectId dstDir, const std::string &dst,
                       bool replace = false) {
        for (int attempt = 0;; ++attempt) {
            const bool noted = noteRename(p.src_dir, p.src_name, dstDir, dst);
            const int srcFd = DosDup(objectDirFd(v, p.src_dir));
            const int dstFd = objectDirFd(v, dstDir);
            bool ok = noted && srcFd >= 0 && dstFd >= 0 &&
                      (replace ? DosRenameAt(srcFd, p.src_name.c_str(), dstFd, dst.c_str())
                               : DosRenameAtNoReplace(srcFd, p.src_name.c_str(), dstFd,
                                                      dst.c_str())) == 0;
            if (!ok && noted && errno == EEXIST && p.src_dir == dstDir)
                ok = renameCaseOnly(dstDir, p.src_name, dst);
            const int error = errno;
            if (ok && movesRecorded(p)) {
                // The host may have put another object under the old name just before: what
                // moved must be the object the guest saw, or it goes back.
                const HostObject &o = hostObject(v, p.object);
                struct stat st;
                if (DosStatAt(dstFd, dst.c_str(), &st, o.via_link ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
                    (st.st_dev != o.dev || st.st_ino != o.ino)) {
                    if (noteRename(dstDir, dst, p.src_dir, p.src_name))
                        DosRenameAtNoReplace(dstFd, dst.c_str(), srcFd, p.src_name.c_str());
                    DosCloseFd(srcFd);
                    return failPlacement(p, ESTALE);
                }
            }
            DosCloseFd(srcFd);
            if (ok)
                return placed(p, dstDir, dst);
            if (error == EEXIST)
                return conflict(p, dst); // the host put something there since the plan: it stays
            if (attempt > 0 || error == EXDEV || error == EINVAL)
                return failPlacement(p, error);
            // Tried again once: a host call may fail for a moment.
        }
    }

    Outcome place(Placement &p) {
        const NodePlan &np = plan.node(p.node);
        const ObjectId dstDir = np.target_dir;
        std::string dst = np.final_name;
        // A directory waits until the directory it moves into has left it.
        if (p.is_dir && p.object.some() && isInside(dstDir, p.object))
            return Outcome::Blocked;
        // A recorded object moves only while it is still the one the guest saw.
        if (movesRecorded(p)) {
            const HostState now = identify(v, p.object);
            if (now == HostState::Gone || now == HostState::Unreachable)
                return failPlacement(p, now == HostState::Gone ? ESTALE : errno);
        }
        auto holder = at.find({dstDir, dst});
        bool folded = false;
        if (holder == at.end()) {
            holder = heldUnderOtherCase(dstDir, dst);
            folded = holder != at.end();
        }
        if (holder != at.end() && holder->second != p.object &&
            hostState(c, holder->second) == HostState::Gone &&
            !plan.object(holder->second).deleted) {
            at.erase(holder); // the host removed or replaced it: whatever is there now stays
            holder = at.end();
        }
        if (holder != at.end() && holder->second != p.object) {
            const ObjectId r = holder->second;
            ObjectFate &rf = plan.object(r);
            // On a host that folds case, a rewrite under a new spelling replaces its own file.
            const bool own =
                (np.replaces_own || (folded && np.action == NodeAction::Rewrite)) && r == np.object;
            if (!own && rf.remove && !rf.deleted && originPending(r))
                return Outcome::Blocked; // its entry's new version is not in place yet
            if (!own && !removable(r)) {
                if (movePending(r))
                    return Outcome::Blocked;
                // Its holder's own move failed: an object moving here stays where it was, as
                // the holder did, rather than land under a name nobody gave it.
                if (movesRecorded(p) && rf.claimer.some() &&
                    (plan.node(rf.claimer).failed ||
                     plan.node(rf.claimer).action == NodeAction::Skip))
                    return failPlacement(p, EEXIST);
                return conflict(p, dst);
            }
            const HostObject &ro = hostObject(v, r);
            const HostState now = identify(v, r);
            if (now == HostState::Unreachable)
                return failPlacement(p, errno);
            if (now != HostState::Intact) {
                if (now == HostState::Changed)
                    report("'%s' changed on the host meanwhile; it is kept.",
                           printableName(objectPath(v, r)).c_str());
                rf.deleted = true;
                at.erase(holder);
                return now == HostState::Gone ? place(p) : conflict(p, dst);
            }
            // Without a log nothing could undo it: the old version is linked into the user's
            // trash if it can be, and replaced either way.
            std::string linked;
            if (own && !c.log)
                toUserTrashNow(objectDirFd(v, dstDir), dst.c_str(), dstDir, dst, ro.dev, true,
                               &linked);
            if (own && (!c.log || linkAside(r))) {
                // The new version replaces the old in one step, and the name never stands empty:
                // the old one was linked into the trash, or nothing could undo it anyway.
                if (v->current_mapping && v->current_mapping->object == r.index())
                    closeCurrentFile(v);
                const dev_t oldDev = ro.dev;
                const ino_t oldIno = ro.ino;
                const Outcome done = renameInto(p, dstDir, dst, true);
                if (done == Outcome::Done) {
                    at.erase({dstDir, dst});
                    rf.deleted = true;
                }
                if (!linked.empty())
                    untrashWhereStill(dstDir, dst, oldDev, oldIno, linked);
                return done;
            }
            if (own) {
                // The old version goes to the trash first, so that the write-back can be undone
                // until it is settled: the name stands empty for a moment.
                const ULONG before = removed;
                if (!removeObject(r))
                    return conflict(p, dst);
                removed = before; // an old version, not a deletion of the guest's
                return renameInto(p, dstDir, dst);
            }
            // What the guest deleted goes first; a directory once what moves out of it has.
            if (ro.is_dir && pendingInside(r))
                return Outcome::Blocked;
            if (!(ro.is_dir ? removeTree(r) : removeObject(r)))
                return conflict(p, dst);
        }
        return renameInto(p, dstDir, dst);
    }

    Outcome conflict(Placement &p, const std::string &wanted) {
        NodePlan &np = plan.node(p.node);
        const int dstFd = objectDirFd(v, np.target_dir);
        std::string name;
        for (unsigned k = 1; k < 10000; ++k) {
            name = conflictName(wanted, k);
            struct stat st;
            if (isUsableHostName(name) && !at.count({np.target_dir, name}) && dstFd >= 0 &&
                DosStatAt(dstFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                break;
        }
        report("'%s' is kept on the host; the guest's '%s' is written beside it as "
               "'%s'.",
               printableName(objectPath(v, np.target_dir) + "/" + wanted).c_str(),
               printableName(wanted).c_str(), printableName(name).c_str());
        np.final_name = name;
        np.replaces_own = false;
        if (p.object.isNone()) {
            const int srcFd = objectDirFd(v, p.src_dir);
            const int copyFd =
                srcFd >= 0 ? DosOpenAt(srcFd, p.src_name.c_str(), O_RDONLY | O_NOFOLLOW) : -1;
            narrowToBeside(copyFd, objectDirFd(v, np.target_dir), wanted);
            DosCloseFd(copyFd);
        }
        return place(p);
    }

    Outcome failPlacement(Placement &p, int error) {
        if (p.object.isNone()) {
            const int fd = objectDirFd(v, p.src_dir);
            if (fd >= 0)
                DosUnlinkAt(fd, p.src_name.c_str(), 0);
            const NodePlan &np = plan.node(p.node);
            if (np.action == NodeAction::Rewrite && np.object.some())
                restoreOldVersion(np.object);
        } else if (!p.aside_from.empty()) {
            // Set aside for a cycle of renames: back under its own name, or, when another
            // object took that, left under the visible name it was set aside as.
            const int fd = objectDirFd(v, p.src_dir);
            if (fd >= 0 && noteRename(p.src_dir, p.src_name, p.src_dir, p.aside_from) &&
                DosRenameAtNoReplace(fd, p.src_name.c_str(), fd, p.aside_from.c_str()) == 0) {
                at.erase({p.src_dir, p.src_name});
                setObjectName(v, p.object, p.aside_from);
                at[{p.src_dir, p.aside_from}] = p.object;
            } else {
                report("'%s' stays set aside as '%s'.",
                       printableName(objectPath(v, p.src_dir) + "/" + p.aside_from).c_str(),
                       printableName(p.src_name).c_str());
            }
        }
        const std::string why =
            error == EXDEV    ? "it would have to move to another file system inside the directory"
            : error == ESTALE ? "the host removed or replaced it meanwhile"
            : error == EEXIST ? "the object that bears its new name could not be moved away"
                              : reason(error);
        countRetryable(plan, error);
        fail(p.node, "it cannot be put in place: " + why);
        p.done = true;
        if (p.object.some() && hostObject(v, p.object).created)
            plan.object(p.object).not_made = true;
        return Outcome::Failed;
    }

    Outcome placed(Placement &p, ObjectId dstDir, const std::string &dst) {
        p.done = true;
        touched.insert(p.src_dir);
        touched.insert(dstDir);
        const NodePlan &np = plan.node(p.node);
        if (p.object.some()) {
            HostObject &o = hostObject(v, p.object);
            at.erase({parentOf(v, p.object), objectName(v, p.object)});
            o.parent = dstDir.index();
            setObjectName(v, p.object, dst);
            if (!o.created) {
                at[{dstDir, dst}] = p.object;
                ++moved;
            }
            if (o.is_dir)
                closeObjectDirs(v);
        } else if (np.action == NodeAction::Rewrite) {
            ++changed;
        } else {
            ++created;
        }
        return Outcome::Done;
    }

    // Sets the holder of a name some pending move needs aside, so that a cycle of renames moves.
    bool breakCycle() {
        for (Placement &p : placements) {
            if (p.done)
                continue;
            const NodePlan &np = plan.node(p.node);
            auto holder = at.find({np.target_dir, np.final_name});
            if (holder == at.end())
                continue;
            const ObjectId held = holder->second;
            if (!movePending(held))
                continue;
            // The holder moves, or is the old version of a file rewritten elsewhere: either way
            // it can wait under a name aside.
            const PlacementId moving = plan.object(held).placement;
            Placement &blocker = moving.some() ? placement(moving) : p;
            const ObjectId dir = parentOf(v, held);
            const int fd = objectDirFd(v, dir);
            const std::string old = objectName(v, held);
            const std::string aside = asideName(fd, old);
            if (fd < 0 || aside.empty() || !noteRename(dir, old, dir, aside) ||
                DosRenameAtNoReplace(fd, old.c_str(), fd, aside.c_str()) != 0) {
                failPlacement(blocker, errno);
                return true;
            }
            at.erase(holder);
            setObjectName(v, held, aside);
            at[{dir, aside}] = held;
            if (hostObject(v, held).is_dir)
                closeObjectDirs(v);
            if (moving.isNone()) {
                old_set_aside[held] = old;
                return true;
            }
            if (blocker.aside_from.empty())
                blocker.aside_from = blocker.src_name;
            blocker.src_name = aside;
            return true;
        }
        return false;
    }

    // The old version of a rewrite that failed, set aside for a cycle: back under its name.
    void restoreOldVersion(ObjectId o) {
        const auto it = old_set_aside.find(o);
        if (it == old_set_aside.end())
            return;
        const ObjectId dir = parentOf(v, o);
        const int fd = objectDirFd(v, dir);
        const std::string aside = objectName(v, o);
        if (fd >= 0 && !at.count({dir, it->second}) && noteRename(dir, aside, dir, it->second) &&
            DosRenameAtNoReplace(fd, aside.c_str(), fd, it->second.c_str()) == 0) {
            at.erase({dir, aside});
            setObjectName(v, o, it->second);
            at[{dir, it->second}] = o;
        } else {
            report("'%s' stays set aside as '%s'.",
                   printableName(objectPath(v, dir) + "/" + it->second).c_str(),
                   printableName(aside).c_str());
        }
        old_set_aside.erase(it);
    }
    std::map<ObjectId, std::string> old_set_aside; // old versions set aside, by their own name

    void placeAll() {
        for (;;) {
            bool progress = false, pending = false;
            for (Placement &p : placements) {
                if (p.done)
                    continue;
                if (dirUnavailable(plan.node(p.node).target_dir)) {
                    failPlacement(p, ENOENT);
                    progress = true;
                    continue;
                }
                const Outcome outcome = place(p);
                progress = progress || outcome != Outcome::Blocked;
                pending = pending || outcome == Outcome::Blocked;
            }
            if (!pending)
                return;
            if (!progress && !breakCycle())
                for (Placement &p : placements)
                    if (!p.done)
                        failPlacement(p, EDEADLK);
        }
    }

    // Old versions of files rewritten under another name, and everything the guest deleted.
    void deleteRemoved() {
        std::vector<std::pair<size_t, ObjectId>> order;
        for (ObjectId o : plan.hostObjects()) {
            const ObjectFate &fate = plan.object(o);
            bool go = fate.remove;
            if (!go && fate.claimer.some()) {
                const NodePlan &kp = plan.node(fate.claimer);
                go = kp.action == NodeAction::Rewrite && !kp.replaces_own &&
                     nodeDone(fate.claimer) && !kp.failed;
            }
            if (!go || fate.deleted || originOfFailed(o))
                continue;
            size_t depth = 0;
            for (ObjectId p = parentOf(v, o); p != ROOT_OBJECT && depth <= v->objects.size();
                 p = parentOf(v, p))
                ++depth;
            order.emplace_back(depth, o);
        }
        std::sort(order.begin(), order.end(),
                  [](const auto &a, const auto &b) { return a.first > b.first; });
        for (const auto &entry : order) {
            const bool counted = plan.object(entry.second).remove;
            const ULONG before = removed;
            removeObject(entry.second);
            if (!counted && removed > before)
                --removed; // an old version, not a deletion of the guest's
        }
    }

    void setAttributes() {
        for (NodeId i : plan.guestNodes()) {
            const NodePlan &p = plan.node(i);
            if (!p.attributes || p.failed || p.action == NodeAction::Skip ||
                dirUnavailable(p.target_dir))
                continue;
            const bool made = p.action == NodeAction::Create || p.action == NodeAction::Rewrite;
            const dev_t dev = made ? p.made_dev : hostObject(v, p.object).dev;
            const ino_t ino = made ? p.made_ino : hostObject(v, p.object).ino;
            const int dirFd = objectDirFd(v, p.target_dir);
            const char *name = p.final_name.c_str();
            struct stat st;
            // A mode not carried leaves the object written back: never a reason to undo the rest.
            if (dirFd < 0 || DosStatAt(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                reportFailure(c, nodePath(i), "its permissions cannot be set: " + reason(errno));
                continue;
            }
            // chmod would change whatever a link leads to, maybe outside the directory.
            if (S_ISLNK(st.st_mode) || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
                reportFailure(c, nodePath(i),
                              "it is a symbolic link or a special file; its permissions stay");
                continue;
            }
            if (st.st_dev != dev || st.st_ino != ino) {
                reportFailure(c, nodePath(i),
                              "the host put another object in its place; its "
                              "permissions stay");
                continue;
            }
            const mode_t wanted =
                modeWithAttributes(st.st_mode, S_ISDIR(st.st_mode), node(i).attributes);
            if (wanted == (st.st_mode & 07777))
                continue;
            // A file's mode is shared by all its names: one outside the directory would change.
            if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
                reportFailure(c, nodePath(i),
                              "it has other names on the host (hard links), which would change "
                              "with it; its permissions stay");
                continue;
            }
            WriteBackStep step;
            step.kind = WriteBackStep::Moded;
            step.to_dir = relative(p.target_dir);
            step.to = p.final_name;
            step.dev = static_cast<UQUAD>(st.st_dev);
            step.ino = static_cast<UQUAD>(st.st_ino);
            step.mode = st.st_mode & 07777;
            if (!note(step)) {
                reportFailure(c, nodePath(i), "its permissions cannot be set: " + reason(EIO));
                continue;
            }
            // Through a descriptor of the object checked, so that nothing swapped in meanwhile
            // is changed.
            const int fd = DosOpenAt(dirFd, name,
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                         (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
            struct stat now;
            bool ok;
            if (fd >= 0) {
                ok = DosFstat(fd, &now) == 0 && now.st_dev == dev && now.st_ino == ino &&
                     DosFchmod(fd, wanted) == 0;
                DosCloseFd(fd);
            } else {
                // Unreadable to us: by name, after one more look.
                ok = errno == EACCES && DosStatAt(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                     now.st_dev == dev && now.st_ino == ino && !S_ISLNK(now.st_mode) &&
                     DosChmodAt(dirFd, name, wanted, 0) == 0;
            }
            if (!ok)
                reportFailure(c, nodePath(i), "its permissions cannot be set: " + reason(errno));
        }
    }

    void syncDirectories() {
        for (ObjectId dir : touched) {
            if (dir.index() < plan.objects.size() && plan.object(dir).not_made)
                continue;
            const int fd = objectDirFd(v, dir);
            if (fd >= 0)
                DosSync(fd);
        }
    }
};

} // namespace

VVFAT_WriteBackCounts applyPlan(SyncContext &c) {
    Applier a(c);
    a.init();
    WriteBackStep begin;
    begin.kind = WriteBackStep::Begin;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    begin.ns = static_cast<UQUAD>(timeNs(now));
    if (!a.note(begin)) {
        notWrittenBack(c.plan,
                       "the journal cannot keep the write-back's steps (%s); nothing is "
                       "written back.",
                       errorWords(EIO));
        ++c.plan.retryable;
        return {0, 0, 0, 0, c.plan.failed};
    }
    a.deleteEarlyWhenShort();
    a.makeDirectories();
    a.writeContents();
    a.makeDurable();
    a.queueMoves();
    a.placeAll();
    a.deleteRemoved();
    a.setAttributes();
    a.syncDirectories();
    for (ObjectId o : c.plan.hostObjects()) {
        const ObjectFate &fate = c.plan.object(o);
        if (!fate.reason.empty() && !fate.claimed) {
            notWrittenBack(c.plan, "'%s' is kept although the guest deleted it: %s.",
                           printableName(objectPath(c.v, o)).c_str(), fate.reason.c_str());
        }
    }
    if (c.plan.kept_unlisted) {
        report("some directories could not be read whole; objects they no longer list are kept "
               "(%lu).",
               static_cast<unsigned long>(c.plan.kept_unlisted));
        c.plan.failed += c.plan.kept_unlisted;
    }
    // Without a log nothing can undo it: it is settled now.
    const ULONG trashed = c.log ? 0 : emptyTrash(c.v, c.steps);
    if (a.refused_now)
        report("%lu %s could not go to the Trash (%s) and %s removed.",
               static_cast<unsigned long>(a.refused_now), a.refused_now == 1 ? "object" : "objects",
               errorWords(a.trash_refusal), a.refused_now == 1 ? "was" : "were");
    return {a.created, a.changed, a.moved, a.removed, c.plan.failed, trashed + a.trashed_now};
}
