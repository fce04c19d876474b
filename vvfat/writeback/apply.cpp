// Carrying the write-back's plan out, in an order that keeps every object whole whatever stops
// it: new contents into temporary files, one durability step for all of them, then renames and
// moves (cycles through names set aside and resolved), then deletions, deepest first.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <unordered_map>

#include <dos/dirfd.h>
#include <proto/exec.h>

#include "writeback/writeback.h"

namespace {

// Something to be put under its final name: a recorded object that moves, a temporary copy, or
// a new directory made under a name set aside.
struct Placement {
    size_t node;
    LONG object; // the host object that moves (a new directory's too); -1 for a copy
    ULONG src_dir;
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
    std::map<std::pair<ULONG, std::string>, ULONG> at; // recorded objects by their place now
    std::vector<bool> deleted;                         // per object
    std::vector<bool> failed_dir;                      // per object: a new directory not made
    std::vector<bool> node_failed;
    std::vector<LONG> placement_of;                 // per object: its pending move, or -1
    std::vector<LONG> placement_of_node;            // per node: its placement, or -1
    std::unordered_multimap<ULONG, size_t> origins; // object -> nodes that took its clusters
    std::vector<Placement> placements;
    std::set<ULONG> touched;
    std::set<dev_t> devices;
    ULONG temp_counter = 0;
    ULONG created = 0, changed = 0, moved = 0, removed = 0;

    std::string nodePath(size_t n) const {
        const NodePlan &p = plan.nodes[n];
        if (p.target_dir < 0)
            return v->root_path;
        return objectPath(v, static_cast<ULONG>(p.target_dir)) + "/" + p.final_name;
    }

    void fail(size_t n, const std::string &why) {
        node_failed[n] = true;
        reportFailure(c, nodePath(n), why);
    }

    std::string reason(int error) const {
        return error == ESTALE ? std::string("another object has taken its place")
                               : std::string(std::strerror(error));
    }

    // Whether the recorded object is still where and what the record says, looked at afresh:
    // Intact, Changed, Gone, or Unreachable when the host cannot tell (errno says why).
    HostState freshState(ULONG o) {
        const HostObject &r = v->objects[o];
        const int fd = objectDirFd(v, r.parent);
        struct stat st;
        if (fd < 0 ||
            DosStatAt(fd, objectName(v, o).c_str(), &st, r.via_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT || errno == ENOTDIR || errno == ESTALE ? HostState::Gone
                                                                          : HostState::Unreachable;
        if (st.st_dev != r.dev || st.st_ino != r.ino)
            return HostState::Gone;
        if (!r.is_dir &&
            (static_cast<UQUAD>(st.st_size) != r.size || timeNs(st.st_mtim) != r.mtime_ns))
            return HostState::Changed;
        return HostState::Intact;
    }

    bool dirUnavailable(LONG dir) const { return dir < 0 || failed_dir[static_cast<size_t>(dir)]; }

    void init() {
        const size_t n = v->objects.size();
        deleted.assign(n, false);
        failed_dir.assign(n, false);
        placement_of.assign(n, -1);
        node_failed.assign(nodes.size(), false);
        for (size_t i = 1; i < nodes.size(); ++i)
            if (plan.nodes[i].origin > 0)
                origins.emplace(static_cast<ULONG>(plan.nodes[i].origin), i);
        for (ULONG o = 1; o < n; ++o)
            if (!v->objects[o].created)
                at[{v->objects[o].parent, objectName(v, o)}] = o;
    }

    // Files the guest deleted that nothing is copied from, removed before any copy is made
    // when the volume is short of space.
    void deleteEarlyWhenShort() {
        struct statvfs info;
        if (plan.new_bytes == 0 || DosStatVfs(v->root_fd, &info) != 0 ||
            static_cast<UQUAD>(info.f_bavail) * info.f_frsize > plan.new_bytes + (1u << 20))
            return;
        std::set<ULONG> sources;
        for (size_t i = 1; i < nodes.size(); ++i)
            if (plan.nodes[i].action == NodeAction::Rewrite ||
                plan.nodes[i].action == NodeAction::Create)
                for (ULONG s : contentSources(c, nodes[i]))
                    sources.insert(s);
        for (ULONG o = 1; o < plan.remove.size(); ++o)
            if (plan.remove[o] && !v->objects[o].is_dir && !sources.count(o))
                removeObject(o);
    }

    void makeDirectories() {
        for (size_t i = 1; i < nodes.size(); ++i) {
            NodePlan &p = plan.nodes[i];
            if (p.action != NodeAction::Create || !nodes[i].is_dir)
                continue;
            const size_t made = static_cast<size_t>(p.created_object);
            failed_dir[made] = true;
            if (dirUnavailable(p.target_dir)) {
                node_failed[i] = true; // its directory's failure was reported
                continue;
            }
            const int fd = objectDirFd(v, static_cast<ULONG>(p.target_dir));
            std::string name = p.final_name;
            struct stat st;
            const bool held =
                at.count({static_cast<ULONG>(p.target_dir), name}) ||
                (fd >= 0 && DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
            if (held)
                name = asideName(fd, name);
            if (fd < 0 || name.empty() || DosMkdirAt(fd, name.c_str(), 0777) != 0 ||
                DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                fail(i, "the directory cannot be made: " + reason(errno));
                continue;
            }
            setObjectName(v, static_cast<ULONG>(made), name);
            HostObject &o = v->objects[made];
            o.dev = st.st_dev;
            o.ino = st.st_ino;
            o.mtime_ns = timeNs(st.st_mtim);
            p.made_dev = st.st_dev;
            p.made_ino = st.st_ino;
            failed_dir[made] = false;
            touched.insert(static_cast<ULONG>(p.target_dir));
            ++created;
            if (held) {
                placement_of[made] = static_cast<LONG>(placements.size());
                placements.push_back({i,
                                      static_cast<LONG>(made),
                                      static_cast<ULONG>(p.target_dir),
                                      name,
                                      true,
                                      false,
                                      {}});
            }
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

    // Copies an interrupted write-back left are removed from every directory the guest kept.
    void removeStaleCopies() {
        for (size_t i = 0; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (!nodes[i].is_dir || p.object < 0 || p.action == NodeAction::Skip ||
                p.action == NodeAction::Create ||
                v->objects[static_cast<size_t>(p.object)].via_link ||
                hostState(c, static_cast<ULONG>(p.object)) != HostState::Intact)
                continue;
            const int fd = objectDirFd(v, static_cast<ULONG>(p.object));
            if (fd >= 0)
                removeWriteBackCopies(fd);
        }
    }

    void writeContents() {
        for (size_t i = 1; i < nodes.size(); ++i) {
            NodePlan &p = plan.nodes[i];
            if ((p.action != NodeAction::Create && p.action != NodeAction::Rewrite) ||
                nodes[i].is_dir)
                continue;
            if (dirUnavailable(p.target_dir)) {
                node_failed[i] = true;
                continue;
            }
            const int dirFd = DosDup(objectDirFd(v, static_cast<ULONG>(p.target_dir)));
            if (dirFd < 0) {
                fail(i, "its directory cannot be reached: " + reason(errno));
                continue;
            }
            std::string temp;
            const int fd = createTempFile(dirFd, temp_counter, temp);
            if (fd < 0) {
                fail(i, "no file can be made there: " + reason(errno));
                DosCloseFd(dirFd);
                continue;
            }
            // A rewritten file keeps the permissions it has now (the host's chmod counts), but
            // never a set-user or set-group bit on a file now owned by whoever writes it back;
            // a new one has the umask's.
            if (p.action == NodeAction::Rewrite) {
                const ULONG o = static_cast<ULONG>(p.object);
                struct stat now;
                const int parent = objectDirFd(v, v->objects[o].parent);
                const bool seen = parent >= 0 &&
                                  DosStatAt(parent, objectName(v, o).c_str(), &now, 0) == 0 &&
                                  S_ISREG(now.st_mode);
                if (seen)
                    DosFchmod(fd, now.st_mode & 0777);
            }
            // Written now, it is dated now: the guest's stamp is not the host's.
            bool ok = copyGuestContents(c, nodes[i], fd);
            int error = ok ? 0 : errno;
            std::string why = "its contents cannot be written: ";
            // A source the host changed while it was read would mix two versions.
            if (ok)
                for (ULONG source : contentSources(c, nodes[i]))
                    if (freshState(source) != HostState::Intact) {
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
                fail(i, why + reason(error));
            } else {
                placements.push_back(
                    {i, -1, static_cast<ULONG>(p.target_dir), temp, false, false, {}});
                if (nodes[i].cut)
                    reportFailure(c, nodePath(i),
                                  "its cluster chain ends before its size; only "
                                  "what the chain holds is written");
            }
            DosCloseFd(dirFd);
        }
    }

    // One durability step for every copy: each replaces its target only once it is on disk.
    void makeDurable() {
        for (dev_t device : devices) {
            int fd = -1;
            for (const Placement &p : placements)
                if (p.object < 0) {
                    const int dirFd = objectDirFd(v, p.src_dir);
                    struct stat st;
                    if (dirFd >= 0 && DosFstat(dirFd, &st) == 0 && st.st_dev == device) {
                        fd = dirFd;
                        break;
                    }
                }
            if (fd >= 0 && DosSyncFs(fd) != 0) {
                const int error = errno;
                std::printf("VVFAT: the host could not confirm that the new contents are on disk "
                            "(%s); they replace nothing.\n",
                            std::strerror(error));
                for (Placement &p : placements)
                    if (p.object < 0 && !p.done)
                        failPlacement(p, error);
            }
        }
    }

    void queueMoves() {
        for (size_t i = 1; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (p.action != NodeAction::Move)
                continue;
            if (dirUnavailable(p.target_dir)) {
                node_failed[i] = true; // stays where it was
                continue;
            }
            const HostObject &o = v->objects[static_cast<size_t>(p.object)];
            placement_of[static_cast<size_t>(p.object)] = static_cast<LONG>(placements.size());
            placements.push_back({i,
                                  p.object,
                                  o.parent,
                                  objectName(v, static_cast<ULONG>(p.object)),
                                  o.is_dir,
                                  false,
                                  {}});
        }
    }

    // Whether the object holds what remains of an entry the write-back could not carry out
    // (then it stays as it was), or of one still waiting to be put in place (then it waits).
    bool originOfFailed(ULONG o) const {
        auto range = origins.equal_range(o);
        for (auto it = range.first; it != range.second; ++it)
            if (node_failed[it->second] || placementPending(it->second))
                return true;
        return false;
    }
    bool originPending(ULONG o) const {
        auto range = origins.equal_range(o);
        for (auto it = range.first; it != range.second; ++it)
            if (!node_failed[it->second] && placementPending(it->second))
                return true;
        return false;
    }

    // Whether the holder of a name will be gone so that the name can be taken now.
    bool removable(ULONG r) const {
        if (deleted[r])
            return true;
        if (plan.remove[r])
            return !originOfFailed(r);
        const LONG k = plan.claimer[r];
        if (k < 0)
            return false;
        const NodePlan &kp = plan.nodes[static_cast<size_t>(k)];
        // Its new version is in place elsewhere: the old one goes.
        return kp.action == NodeAction::Rewrite && !kp.replaces_own &&
               nodeDone(static_cast<size_t>(k));
    }

    // A node has at most one placement; placement_of_node finds it.
    bool placementPending(size_t n) const {
        const LONG k = n < placement_of_node.size() ? placement_of_node[n] : -1;
        return k >= 0 && !placements[static_cast<size_t>(k)].done;
    }

    bool nodeDone(size_t n) const {
        const LONG k = n < placement_of_node.size() ? placement_of_node[n] : -1;
        return k >= 0 && placements[static_cast<size_t>(k)].done;
    }

    // Keeps the placement index of each node in step with the placements.
    void indexPlacements() {
        placement_of_node.assign(nodes.size(), -1);
        for (size_t k = 0; k < placements.size(); ++k)
            placement_of_node[placements[k].node] = static_cast<LONG>(k);
    }

    // Deletes a recorded object still as recorded; a directory only when nothing else is in it.
    bool removeObject(ULONG o) {
        if (deleted[o])
            return true;
        HostObject &r = v->objects[o];
        const HostState now = freshState(o);
        if (now != HostState::Intact) {
            const int error = errno;
            if (now == HostState::Unreachable)
                std::printf("VVFAT: '%s' cannot be deleted (%s).\n",
                            printableName(objectPath(v, o)).c_str(), std::strerror(error));
            else if (now == HostState::Changed)
                std::printf("VVFAT: '%s' changed on the host meanwhile; not deleted.\n",
                            printableName(objectPath(v, o)).c_str());
            if (now != HostState::Gone)
                ++plan.failed;
            deleted[o] = true; // not to be tried again
            return now == HostState::Gone;
        }
        if (v->current_mapping && v->current_mapping->object == o)
            closeCurrentFile(v);
        const int fd = objectDirFd(v, r.parent);
        // A link is removed itself; nothing it leads to is touched.
        const bool asDirectory = r.is_dir && !r.via_link;
        const std::string name = objectName(v, o);
        if (fd >= 0 && !asDirectory) {
            // A file is taken out of the host's way under a private name, and deleted only if
            // it proves to be the object the guest saw: the host may have saved a new one there.
            std::string temp;
            for (int attempt = 0; attempt < 1000 && temp.empty(); ++attempt) {
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, ".vvfat-%08lX.tmp",
                              static_cast<unsigned long>(temp_counter++));
                if (DosRenameAtNoReplace(fd, name.c_str(), fd, buffer) == 0)
                    temp = buffer;
                else if (errno != EEXIST)
                    break;
            }
            struct stat st;
            if (!temp.empty() &&
                (DosStatAt(fd, temp.c_str(), &st, r.via_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0 ||
                 st.st_dev != r.dev || st.st_ino != r.ino ||
                 static_cast<UQUAD>(st.st_size) != r.size || timeNs(st.st_mtim) != r.mtime_ns)) {
                std::string back = name;
                for (unsigned k = 1;
                     DosRenameAtNoReplace(fd, temp.c_str(), fd, back.c_str()) != 0 &&
                     errno == EEXIST && k < 100;
                     ++k)
                    back = conflictName(name, k);
                std::printf("VVFAT: '%s' changed on the host meanwhile; not deleted.\n",
                            printableName(objectPath(v, r.parent) + "/" + back).c_str());
                ++plan.failed;
                deleted[o] = true;
                return false;
            }
            if (!temp.empty()) {
                if (DosUnlinkAt(fd, temp.c_str(), 0) == 0) {
                    at.erase({r.parent, name});
                    touched.insert(r.parent);
                    deleted[o] = true;
                    ++removed;
                    return true;
                }
                const int error = errno;
                DosRenameAtNoReplace(fd, temp.c_str(), fd, name.c_str()); // back where it was
                std::printf("VVFAT: '%s' cannot be deleted (%s).\n",
                            printableName(objectPath(v, o)).c_str(), std::strerror(error));
                ++plan.failed;
                deleted[o] = true;
                return false;
            }
        }
        if (fd < 0 || DosUnlinkAt(fd, name.c_str(), asDirectory ? AT_REMOVEDIR : 0) != 0) {
            const int error = errno;
            if (error == ENOTEMPTY || error == EEXIST)
                std::printf("VVFAT: directory '%s' is kept: it still holds objects the guest did "
                            "not see or that could not be moved.\n",
                            printableName(objectPath(v, o)).c_str());
            else
                std::printf("VVFAT: '%s' cannot be deleted (%s).\n",
                            printableName(objectPath(v, o)).c_str(), std::strerror(error));
            ++plan.failed;
            deleted[o] = true;
            return false;
        }
        at.erase({r.parent, name});
        touched.insert(r.parent);
        deleted[o] = true;
        if (r.is_dir)
            closeObjectDirs(v);
        ++removed;
        return true;
    }

    // A directory the guest deleted, with what it recorded inside, deepest first.
    bool removeTree(ULONG o) {
        for (ULONG k = static_cast<ULONG>(v->objects.size()); k-- > 1;)
            if (v->objects[k].parent == o && !v->objects[k].created && plan.remove[k] &&
                !deleted[k]) {
                if (v->objects[k].is_dir)
                    removeTree(k);
                else
                    removeObject(k);
            }
        return removeObject(o);
    }

    // Whether directory object `dir` lies inside object `ancestor` as the host holds them now.
    bool isInside(ULONG dir, ULONG ancestor) const {
        size_t steps = 0;
        for (ULONG o = dir; steps <= v->objects.size(); o = v->objects[o].parent, ++steps) {
            if (o == ancestor)
                return true;
            if (o == 0)
                return false;
        }
        return false;
    }

    // Whether something still to be moved lies inside directory object `dir`.
    bool pendingInside(ULONG dir) const {
        for (const Placement &q : placements)
            if (!q.done && isInside(q.src_dir, dir))
                return true;
        return false;
    }

    Outcome renameInto(Placement &p, ULONG dstDir, const std::string &dst, bool replace) {
        for (int attempt = 0;; ++attempt) {
            const int srcFd = DosDup(objectDirFd(v, p.src_dir));
            const int dstFd = objectDirFd(v, dstDir);
            const bool ok = srcFd >= 0 && dstFd >= 0 &&
                            (replace ? DosRenameAt(srcFd, p.src_name.c_str(), dstFd, dst.c_str())
                                     : DosRenameAtNoReplace(srcFd, p.src_name.c_str(), dstFd,
                                                            dst.c_str())) == 0;
            const int error = errno;
            if (ok && p.object >= 0 && !v->objects[static_cast<size_t>(p.object)].created) {
                // The host may have put another object under the old name just before: what
                // moved must be the object the guest saw, or it goes back.
                const HostObject &o = v->objects[static_cast<size_t>(p.object)];
                struct stat st;
                if (DosStatAt(dstFd, dst.c_str(), &st, o.via_link ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
                    (st.st_dev != o.dev || st.st_ino != o.ino)) {
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
        const NodePlan &np = plan.nodes[p.node];
        const ULONG dstDir = static_cast<ULONG>(np.target_dir);
        std::string dst = np.final_name;
        // A directory waits until the directory it moves into has left it.
        if (p.is_dir && p.object >= 0 && isInside(dstDir, static_cast<ULONG>(p.object)))
            return Outcome::Blocked;
        // A recorded object moves only while it is still the one the guest saw.
        if (p.object >= 0 && !v->objects[static_cast<size_t>(p.object)].created) {
            const HostState now = freshState(static_cast<ULONG>(p.object));
            if (now == HostState::Gone || now == HostState::Unreachable)
                return failPlacement(p, now == HostState::Gone ? ESTALE : errno);
        }
        auto holder = at.find({dstDir, dst});
        if (holder != at.end() && holder->second != static_cast<ULONG>(p.object) &&
            hostState(c, holder->second) == HostState::Gone && !deleted[holder->second]) {
            at.erase(holder); // the host removed or replaced it: whatever is there now stays
            holder = at.end();
        }
        if (holder != at.end() && holder->second != static_cast<ULONG>(p.object)) {
            const ULONG r = holder->second;
            const bool own = np.replaces_own && static_cast<LONG>(r) == np.object;
            if (!own && plan.remove[r] && !deleted[r] && originPending(r))
                return Outcome::Blocked; // its entry's new version is not in place yet
            if (!own && !removable(r))
                return placement_of[r] >= 0 &&
                               !placements[static_cast<size_t>(placement_of[r])].done
                           ? Outcome::Blocked
                           : conflict(p, dst);
            const HostObject &ro = v->objects[r];
            const HostState now = freshState(r);
            if (now == HostState::Unreachable)
                return failPlacement(p, errno);
            if (now != HostState::Intact) {
                if (now == HostState::Changed)
                    std::printf("VVFAT: '%s' changed on the host meanwhile; it is kept.\n",
                                printableName(objectPath(v, r)).c_str());
                deleted[r] = true;
                at.erase(holder);
                return now == HostState::Gone ? place(p) : conflict(p, dst);
            }
            if (own) {
                // The new version replaces the old in one step: the name never stands empty.
                if (v->current_mapping && v->current_mapping->object == r)
                    closeCurrentFile(v);
                const Outcome done = renameInto(p, dstDir, dst, true);
                if (done == Outcome::Done) {
                    at.erase({dstDir, dst});
                    deleted[r] = true;
                }
                return done;
            }
            // What the guest deleted goes first; a directory once what moves out of it has.
            if (ro.is_dir && pendingInside(r))
                return Outcome::Blocked;
            if (!(ro.is_dir ? removeTree(r) : removeObject(r)))
                return conflict(p, dst);
        }
        return renameInto(p, dstDir, dst, false);
    }

    Outcome conflict(Placement &p, const std::string &wanted) {
        NodePlan &np = plan.nodes[p.node];
        const int dstFd = objectDirFd(v, static_cast<ULONG>(np.target_dir));
        std::string name;
        for (unsigned k = 1; k < 10000; ++k) {
            name = conflictName(wanted, k);
            struct stat st;
            if (isUsableHostName(name) && !at.count({static_cast<ULONG>(np.target_dir), name}) &&
                dstFd >= 0 && DosStatAt(dstFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                break;
        }
        std::printf(
            "VVFAT: '%s' is kept on the host; the guest's '%s' is written beside it as "
            "'%s'.\n",
            printableName(objectPath(v, static_cast<ULONG>(np.target_dir)) + "/" + wanted).c_str(),
            printableName(wanted).c_str(), printableName(name).c_str());
        np.final_name = name;
        np.replaces_own = false;
        return place(p);
    }

    Outcome failPlacement(Placement &p, int error) {
        if (p.object < 0) {
            const int fd = objectDirFd(v, p.src_dir);
            if (fd >= 0)
                DosUnlinkAt(fd, p.src_name.c_str(), 0);
        } else if (!p.aside_from.empty()) {
            // Set aside for a cycle of renames: back under a name of its own.
            const int fd = objectDirFd(v, p.src_dir);
            const ULONG o = static_cast<ULONG>(p.object);
            for (unsigned k = 0; fd >= 0 && k < 100; ++k) {
                const std::string name = k == 0 ? p.aside_from : conflictName(p.aside_from, k);
                if (DosRenameAtNoReplace(fd, p.src_name.c_str(), fd, name.c_str()) == 0) {
                    at.erase({p.src_dir, p.src_name});
                    setObjectName(v, o, name);
                    at[{p.src_dir, name}] = o;
                    std::printf("VVFAT: '%s' keeps its place as '%s'.\n",
                                printableName(objectPath(v, p.src_dir) + "/" + p.src_name).c_str(),
                                printableName(name).c_str());
                    break;
                }
                if (errno != EEXIST)
                    break;
            }
        }
        const std::string why =
            error == EXDEV    ? "it would have to move to another file system inside the directory"
            : error == ESTALE ? "the host removed or replaced it meanwhile"
                              : reason(error);
        fail(p.node, "it cannot be put in place: " + why);
        p.done = true;
        if (p.object >= 0 && v->objects[static_cast<size_t>(p.object)].created)
            failed_dir[static_cast<size_t>(p.object)] = true;
        return Outcome::Failed;
    }

    Outcome placed(Placement &p, ULONG dstDir, const std::string &dst) {
        p.done = true;
        touched.insert(p.src_dir);
        touched.insert(dstDir);
        const NodePlan &np = plan.nodes[p.node];
        if (p.object >= 0) {
            HostObject &o = v->objects[static_cast<size_t>(p.object)];
            at.erase({o.parent, objectName(v, static_cast<ULONG>(p.object))});
            o.parent = dstDir;
            setObjectName(v, static_cast<ULONG>(p.object), dst);
            if (!o.created) {
                at[{dstDir, dst}] = static_cast<ULONG>(p.object);
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
            const NodePlan &np = plan.nodes[p.node];
            auto holder = at.find({static_cast<ULONG>(np.target_dir), np.final_name});
            if (holder == at.end())
                continue;
            const LONG q = placement_of[holder->second];
            if (q < 0 || placements[static_cast<size_t>(q)].done)
                continue;
            Placement &blocker = placements[static_cast<size_t>(q)];
            HostObject &o = v->objects[holder->second];
            const int fd = objectDirFd(v, o.parent);
            const std::string old = objectName(v, holder->second);
            const std::string aside = asideName(fd, old);
            if (fd < 0 || aside.empty() ||
                DosRenameAtNoReplace(fd, old.c_str(), fd, aside.c_str()) != 0) {
                failPlacement(blocker, errno);
                return true;
            }
            const ULONG moved = holder->second;
            at.erase(holder);
            setObjectName(v, moved, aside);
            at[{o.parent, aside}] = moved;
            if (blocker.aside_from.empty())
                blocker.aside_from = blocker.src_name;
            blocker.src_name = aside;
            if (o.is_dir)
                closeObjectDirs(v);
            return true;
        }
        return false;
    }

    void placeAll() {
        indexPlacements();
        for (;;) {
            bool progress = false, pending = false;
            for (size_t k = 0; k < placements.size(); ++k) {
                Placement &p = placements[k];
                if (p.done)
                    continue;
                const NodePlan &np = plan.nodes[p.node];
                if (dirUnavailable(np.target_dir)) {
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
        std::vector<std::pair<size_t, ULONG>> order;
        for (ULONG o = 1; o < plan.remove.size(); ++o) {
            bool go = plan.remove[o];
            const LONG k = plan.claimer[o];
            if (!go && k >= 0) {
                const NodePlan &kp = plan.nodes[static_cast<size_t>(k)];
                go = kp.action == NodeAction::Rewrite && !kp.replaces_own &&
                     nodeDone(static_cast<size_t>(k)) && !node_failed[static_cast<size_t>(k)];
            }
            if (!go || deleted[o] || originOfFailed(o))
                continue;
            size_t depth = 0;
            for (ULONG p = v->objects[o].parent; p != 0 && depth <= v->objects.size();
                 p = v->objects[p].parent)
                ++depth;
            order.emplace_back(depth, o);
        }
        std::sort(order.begin(), order.end(),
                  [](const auto &a, const auto &b) { return a.first > b.first; });
        for (const auto &entry : order) {
            const bool counted = plan.remove[entry.second];
            const ULONG before = removed;
            removeObject(entry.second);
            if (!counted && removed > before)
                --removed; // an old version, not a deletion of the guest's
        }
    }

    void setAttributes() {
        for (size_t i = 1; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (!p.attributes || node_failed[i] || p.action == NodeAction::Skip ||
                dirUnavailable(p.target_dir))
                continue;
            const bool made = p.action == NodeAction::Create || p.action == NodeAction::Rewrite;
            const dev_t dev = made ? p.made_dev : v->objects[static_cast<size_t>(p.object)].dev;
            const ino_t ino = made ? p.made_ino : v->objects[static_cast<size_t>(p.object)].ino;
            const int dirFd = objectDirFd(v, static_cast<ULONG>(p.target_dir));
            const char *name = p.final_name.c_str();
            struct stat st;
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
                modeWithAttributes(st.st_mode, S_ISDIR(st.st_mode), nodes[i].attributes);
            if (wanted == (st.st_mode & 07777))
                continue;
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
        for (ULONG dir : touched) {
            if (dir < failed_dir.size() && failed_dir[dir])
                continue;
            const int fd = objectDirFd(v, dir);
            if (fd >= 0)
                DosSync(fd);
        }
    }
};

} // namespace

void applyPlan(SyncContext &c) {
    Applier a(c);
    a.init();
    a.removeStaleCopies();
    a.deleteEarlyWhenShort();
    a.makeDirectories();
    a.writeContents();
    a.makeDurable();
    a.queueMoves();
    a.placeAll();
    a.deleteRemoved();
    a.setAttributes();
    a.syncDirectories();
    for (size_t o = 1; o < c.plan.reasons.size(); ++o)
        if (!c.plan.reasons[o].empty() && !c.plan.claimed[o]) {
            std::printf("VVFAT: '%s' is kept although the guest deleted it: %s.\n",
                        printableName(objectPath(c.v, static_cast<ULONG>(o))).c_str(),
                        c.plan.reasons[o].c_str());
            ++c.plan.failed;
        }
    if (c.plan.kept_unlisted) {
        std::printf("VVFAT: some directories could not be read whole; objects they no longer list "
                    "are kept (%lu).\n",
                    static_cast<unsigned long>(c.plan.kept_unlisted));
        c.plan.failed += c.plan.kept_unlisted;
    }
    std::printf("VVFAT: write-back: %lu created, %lu changed, %lu renamed or moved, %lu deleted, "
                "%lu not written back.\n",
                static_cast<unsigned long>(a.created), static_cast<unsigned long>(a.changed),
                static_cast<unsigned long>(a.moved), static_cast<unsigned long>(a.removed),
                static_cast<unsigned long>(c.plan.failed));
}
