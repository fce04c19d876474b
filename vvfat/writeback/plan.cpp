// The write-back's plan: which host object each of the guest's objects is, whether the guest
// changed it, and what the host must do so that it ends as the guest left it. Nothing here
// changes the host.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unordered_map>

#include <dos/dirfd.h>

#include "writeback/writeback.h"

namespace {

constexpr UBYTE CARRIED_ATTRIBUTES = ATTR_READ_ONLY | ATTR_HIDDEN;

// The directory, reached through a symbolic link at mount, that an object lies in (0: none).
// The write-back changes nothing there, since it may lie outside the mounted directory.
ULONG linkedAncestor(const VVFAT *v, ULONG object) {
    size_t steps = 0;
    for (ULONG o = v->objects[object].parent; o != 0 && steps <= v->objects.size();
         o = v->objects[o].parent, ++steps)
        if (v->objects[o].via_link)
            return o;
    return 0;
}

// Whether new objects may be put into directory object `dir`.
bool behindLink(const VVFAT *v, ULONG dir) {
    return linkedAncestor(v, dir) != 0 || v->objects[dir].via_link;
}

// Whether the guest left the file's contents exactly as the disk showed them: the same clusters
// in the same order, the same size, and none of their sectors written.
bool contentsUnchanged(VVFAT *v, const GuestNode &node, const HostObject &o) {
    if (node.size != o.size)
        return false;
    if (o.mapping < 0)
        return node.size == 0;
    const Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(o.mapping));
    if (node.clusters.size() != m->end - m->begin)
        return false;
    for (size_t k = 0; k < node.clusters.size(); ++k)
        if (node.clusters[k] != m->begin + k)
            return false;
    const ULONG firstSector = static_cast<ULONG>(cluster2Sector(v, m->begin));
    const ULONG sectors = static_cast<ULONG>((node.size + SECTOR_SIZE - 1) / SECTOR_SIZE);
    const ULONG spc = v->sectors_per_cluster;
    for (ULONG k = 0; k * spc < sectors; ++k) {
        const ULONG written = writtenSectors(v, m->begin + k);
        if (written == 0)
            continue;
        // Sectors past the end of the file may be written without changing it.
        for (ULONG s = k * spc; s < std::min(sectors, (k + 1) * spc); ++s)
            if (cachedSector(v, firstSector + s))
                return false;
    }
    return true;
}

struct Planner {
    SyncContext &c;
    VVFAT *v;
    std::vector<GuestNode> &nodes;
    Plan &plan;
    explicit Planner(SyncContext &context)
        : c(context), v(context.v), nodes(context.tree.nodes), plan(context.plan) {}
    // Recorded objects by their directory and creation short name, for claims by name.
    // Recorded objects by directory and creation short name ("dir:NAME    EXT"), and by
    // directory and creation name as read ("dir/name").
    std::unordered_map<std::string, std::vector<ULONG>> by_name;
    // Final names given so far, per directory object.
    std::map<std::pair<LONG, std::string>, LONG> taken;

    std::string key(ULONG dir, const UBYTE shortName[11]) const {
        return std::to_string(dir) + ":" +
               std::string(reinterpret_cast<const char *>(shortName), 11);
    }

    std::string nodePath(LONG n) const {
        std::string path;
        for (; n > 0; n = nodes[static_cast<size_t>(n)].parent)
            path = "/" + nodes[static_cast<size_t>(n)].name.name + path;
        return v->root_path + path;
    }

    void skip(LONG n, const std::string &why) {
        plan.nodes[static_cast<size_t>(n)].action = NodeAction::Skip;
        reportFailure(c, nodePath(n), why);
    }

    // Whether the directory node lists an entry that starts where one of the object's recorded
    // objects began (or the object had none).
    bool keepsAChildOf(size_t node, ULONG object) {
        if (children_begin.empty()) {
            children_begin.resize(v->objects.size());
            empty_children.resize(v->objects.size());
            for (ULONG o = 1; o < v->objects.size(); ++o)
                if (v->objects[o].mapping >= 0) {
                    children_begin[v->objects[o].parent].push_back(
                        arrayGet(v->mapping, static_cast<ULONG>(v->objects[o].mapping))->begin);
                } else {
                    // An empty file has no cluster: its name tells it.
                    EntryName created;
                    creationName(v, o, created);
                    empty_children[v->objects[o].parent].push_back(created);
                    children_begin[v->objects[o].parent].push_back(0);
                }
            for (auto &begins : children_begin)
                std::sort(begins.begin(), begins.end());
            node_children.resize(nodes.size());
            for (size_t k = 1; k < nodes.size(); ++k)
                node_children[static_cast<size_t>(nodes[k].parent)].push_back(k);
        }
        const std::vector<ULONG> &begins = children_begin[object];
        if (begins.empty())
            return true;
        for (size_t k : node_children[node]) {
            if (nodes[k].first != 0 &&
                std::binary_search(begins.begin(), begins.end(), nodes[k].first))
                return true;
            if (nodes[k].first == 0)
                for (const EntryName &name : empty_children[object])
                    if (sameStoredName(name, nodes[k].name))
                        return true;
        }
        return false;
    }
    std::vector<std::vector<ULONG>> children_begin;     // per object: where its objects began
    std::vector<std::vector<EntryName>> empty_children; // per object: its empty files' names
    std::vector<std::vector<size_t>> node_children;

    // Claims by first cluster: the object whose clusters began where the entry's begin. When
    // the guest cross-linked several entries to one object, the one at its old place wins.
    void claimByCluster() {
        std::vector<std::pair<int, LONG>> best(v->objects.size(), {-1, -1});
        for (size_t i = 1; i < nodes.size(); ++i) {
            const GuestNode &n = nodes[i];
            if (n.first == 0 || n.broken)
                continue;
            const Mapping *m = findMappingForCluster(v, n.first);
            if (!m || m->begin != n.first || m->object == 0)
                continue;
            const HostObject &o = v->objects[m->object];
            if (o.is_dir && !n.is_dir && n.size == 0 && !plan.claimed[m->object]) {
                // An empty file at a directory's cluster under the directory's own name (an
                // empty file has no cluster of its own) is one flipped attribute bit: deleting
                // the tree on that word would be a disaster.
                EntryName was;
                creationName(v, m->object, was);
                if (sameStoredName(was, n.name)) {
                    plan.nodes[i].object = static_cast<LONG>(m->object);
                    plan.nodes[i].kind_changed = true;
                    plan.claimed[m->object] = true;
                    plan.claimer[m->object] = static_cast<LONG>(i);
                    c.tree.incomplete = true;
                    continue;
                }
            }
            if (o.is_dir != n.is_dir)
                continue; // a reused cluster of the other kind says nothing about the object
            EntryName created;
            creationName(v, m->object, created);
            const GuestNode &parent = nodes[static_cast<size_t>(n.parent)];
            const Mapping *pm =
                o.parent == 0
                    ? arrayGet(v->mapping, 0)
                    : arrayGet(v->mapping, static_cast<ULONG>(v->objects[o.parent].mapping));
            const int score =
                (sameStoredName(created, n.name) ? 2 : 0) +
                ((n.parent == 0 && o.parent == 0) || (n.parent != 0 && parent.first == pm->begin)
                     ? 1
                     : 0);
            // A file whose clusters were reused for other contents under another name is
            // deleted, and the entry is a new file: only a move keeps contents, only an edit in
            // place keeps the name. A directory under another name that keeps none of its objects
            // is a new directory in a deleted one's cluster.
            if (score != 3 && (n.is_dir ? score < 2 && !keepsAChildOf(i, m->object)
                                        : !contentsUnchanged(v, n, o))) {
                if (plan.nodes[i].origin < 0)
                    plan.nodes[i].origin = static_cast<LONG>(m->object);
                continue;
            }
            if (score > best[m->object].first)
                best[m->object] = {score, static_cast<LONG>(i)};
        }
        for (size_t o = 1; o < best.size(); ++o)
            if (best[o].second >= 0) {
                plan.nodes[static_cast<size_t>(best[o].second)].object = static_cast<LONG>(o);
                plan.claimed[o] = true;
                plan.claimer[o] = best[o].second;
            }
    }

    // A node without a cluster claim (an empty file, contents written to new clusters) is the
    // object of the same kind that bore its stored name in the same directory.
    void claimByName(size_t i, LONG dirObject) {
        const GuestNode &n = nodes[i];
        if (dirObject < 0)
            return;
        // The same short name, or the same name as read: a guest may store either anew.
        for (const std::string &k : {key(static_cast<ULONG>(dirObject), n.name.short_name),
                                     std::to_string(dirObject) + "/" + n.name.name}) {
            auto it = by_name.find(k);
            if (it == by_name.end())
                continue;
            for (ULONG o : it->second) {
                if (plan.claimed[o] || v->objects[o].is_dir != n.is_dir)
                    continue;
                EntryName created;
                creationName(v, o, created);
                if (!sameStoredName(created, n.name))
                    continue;
                plan.nodes[i].object = static_cast<LONG>(o);
                plan.claimed[o] = true;
                plan.claimer[o] = static_cast<LONG>(i);
                return;
            }
        }
    }

    // The directory object a node's children end in, or -1.
    LONG directoryOf(size_t i) const {
        if (i == 0)
            return 0;
        const NodePlan &p = plan.nodes[i];
        if (p.action == NodeAction::Skip)
            return -1;
        if (p.action == NodeAction::Create)
            return p.created_object;
        return p.object;
    }

    // Recorded objects by their place, for telling whose a host name is.
    std::map<std::pair<ULONG, std::string>, ULONG> at_place;

    // Whether the host entry `name` in directory object dir will be free by the time a node
    // takes it: free now, or held by a recorded object (other than `keeper`, which stays) that
    // moves away or goes. `self` is the node's own object, which may keep its name.
    bool willBeFree(LONG dir, const std::string &name, LONG self) {
        if (taken.count({dir, name}))
            return false;
        const HostObject &d = v->objects[static_cast<size_t>(dir)];
        if (d.created)
            return true; // a directory the write-back creates holds only what it puts there
        const int fd = objectDirFd(v, static_cast<ULONG>(dir));
        struct stat st;
        if (fd < 0 || DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true;
        auto it = at_place.find({static_cast<ULONG>(dir), name});
        if (it == at_place.end())
            return false; // an object the guest never saw
        const ULONG o = it->second;
        if (hostState(c, o) == HostState::Gone || hostState(c, o) == HostState::Unreachable)
            return false; // another object bears the name now, or nobody can tell
        if (static_cast<LONG>(o) == self || plan.remove[o])
            return true;
        const LONG k = plan.claimer[o];
        return k >= 0 && (plan.nodes[static_cast<size_t>(k)].action == NodeAction::Move ||
                          (plan.nodes[static_cast<size_t>(k)].action == NodeAction::Rewrite &&
                           !plan.nodes[static_cast<size_t>(k)].replaces_own));
    }

    // A name beside the wanted one for a node that cannot have it.
    void placeBeside(size_t i) {
        NodePlan &p = plan.nodes[i];
        const LONG dir = p.target_dir;
        std::string name;
        for (unsigned k = 1; k < 10000; ++k) {
            name = conflictName(p.final_name, k);
            if (!isWriteBackCopy(name.c_str()) && !(dir == 0 && isJournalName(name.c_str())) &&
                willBeFree(dir, name, -1))
                break;
        }
        std::printf("VVFAT: '%s/%s' is kept on the host; the guest's '%s' is written beside it as "
                    "'%s'.\n",
                    printableName(objectPath(v, static_cast<ULONG>(dir))).c_str(),
                    printableName(p.final_name).c_str(), printableName(p.final_name).c_str(),
                    printableName(name).c_str());
        p.final_name = name;
        taken[{dir, p.final_name}] = static_cast<LONG>(i);
    }

    void decide(size_t i) {
        GuestNode &n = nodes[i];
        NodePlan &p = plan.nodes[i];
        const LONG dir = directoryOf(static_cast<size_t>(n.parent));
        if (dir < 0) {
            // Its directory was skipped, with a diagnostic; an object moved there stays put.
            p.action = NodeAction::Skip;
            if (p.object > 0)
                reportFailure(c, objectPath(v, static_cast<ULONG>(p.object)),
                              "it stays where it was, since the directory the guest put it in "
                              "is not written back");
            return;
        }
        p.target_dir = dir;
        if (n.broken) {
            skip(static_cast<LONG>(i), "its first cluster is not on the disk");
            return;
        }
        if (p.kind_changed) {
            skip(static_cast<LONG>(i), "the guest's entry calls this directory a file; the "
                                       "directory and everything in it stay as they were");
            return;
        }
        const LONG object = p.object;
        EntryName created;
        if (object > 0)
            creationName(v, static_cast<ULONG>(object), created);
        // An object the guest did not rename keeps its host name, whatever bytes it holds.
        p.final_name = object > 0 && sameStoredName(created, n.name)
                           ? objectName(v, static_cast<ULONG>(object))
                           : n.name.name;
        // A name like the write-back's own copies would be hidden and then removed as one.
        if (!isUsableHostName(p.final_name) || isWriteBackCopy(p.final_name.c_str()) ||
            (p.target_dir == 0 && isJournalName(p.final_name.c_str()))) {
            p.action = NodeAction::Skip;
            ++plan.failed;
            std::printf("VVFAT: an entry named '%s' cannot be used on the host; skipped.\n",
                        printableName(p.final_name).c_str());
            if (object > 0)
                std::printf("VVFAT: '%s' stays as it was.\n",
                            printableName(objectPath(v, static_cast<ULONG>(object))).c_str());
            return;
        }
        if (behindLink(v, static_cast<ULONG>(dir)) ||
            (object > 0 && linkedAncestor(v, static_cast<ULONG>(object)) != 0)) {
            skip(static_cast<LONG>(i), "it lies in a directory reached through a symbolic link");
            return;
        }
        if (object > 0 && hostState(c, static_cast<ULONG>(object)) == HostState::Unreachable) {
            skip(static_cast<LONG>(i), "the host cannot reach it now");
            return;
        }
        if (object > 0) {
            const HostObject &o = v->objects[static_cast<size_t>(object)];
            p.attributes = ((n.attributes ^ arrayGet(v->directory, o.dir_index)->attributes) &
                            CARRIED_ATTRIBUTES) != 0;
        } else {
            p.attributes = (n.attributes & CARRIED_ATTRIBUTES) != 0;
        }
        const bool samePlace =
            object > 0 &&
            static_cast<LONG>(v->objects[static_cast<size_t>(object)].parent) == dir &&
            objectName(v, static_cast<ULONG>(object)) == p.final_name;
        if (n.is_dir) {
            if (object > 0 && hostState(c, static_cast<ULONG>(object)) == HostState::Gone) {
                skip(static_cast<LONG>(i), "the host removed or replaced it meanwhile");
                return;
            }
            if (object <= 0) {
                p.action = NodeAction::Create;
                HostObject made{};
                made.parent = static_cast<ULONG>(dir);
                made.mapping = -1;
                made.is_dir = true;
                made.created = true;
                p.created_object = static_cast<LONG>(v->objects.size());
                v->objects.push_back(std::move(made));
                plan.claimed.push_back(true);
                plan.claimer.push_back(static_cast<LONG>(i));
                plan.remove.push_back(false);
                plan.state.push_back(HostState::Intact);
            } else {
                p.action = samePlace ? NodeAction::None : NodeAction::Move;
            }
        } else if (object > 0 && contentsUnchanged(v, n, v->objects[static_cast<size_t>(object)])) {
            if (samePlace) {
                p.action = NodeAction::None;
            } else if (hostState(c, static_cast<ULONG>(object)) == HostState::Gone) {
                skip(static_cast<LONG>(i), "the host removed or replaced it meanwhile");
                return;
            } else {
                p.action = NodeAction::Move;
            }
        } else {
            for (ULONG source : contentSources(c, n))
                if (hostState(c, source) == HostState::Unreachable) {
                    skip(static_cast<LONG>(i), "its contents rely on '" +
                                                   printableName(objectPath(v, source)) +
                                                   "', which the host cannot reach now");
                    return;
                } else if (hostState(c, source) != HostState::Intact) {
                    skip(static_cast<LONG>(i), "its contents rely on '" +
                                                   printableName(objectPath(v, source)) +
                                                   "', which changed on the host meanwhile");
                    return;
                }
            if (object > 0 && hostState(c, static_cast<ULONG>(object)) == HostState::Intact) {
                p.action = NodeAction::Rewrite;
                p.replaces_own = samePlace;
            } else {
                // Both sides changed it, or the host removed it: the host's version stays and
                // the guest's is written as a new file.
                if (object > 0 && hostState(c, static_cast<ULONG>(object)) == HostState::Changed)
                    std::printf("VVFAT: '%s' was changed both on the host and by the guest.\n",
                                printableName(objectPath(v, static_cast<ULONG>(object))).c_str());
                p.action = NodeAction::Create;
            }
            plan.new_bytes += n.size;
        }
    }

    // Names are given once every action is known: a name is free when its holder moves away.
    // Every node that can have its own name takes it before any other is put beside one.
    void placeNames() {
        auto moves = [this](const NodePlan &p) {
            return p.action == NodeAction::Move || p.action == NodeAction::Create ||
                   (p.action == NodeAction::Rewrite && !p.replaces_own);
        };
        for (size_t i = 1; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (p.action == NodeAction::None || p.replaces_own)
                taken[{p.target_dir, p.final_name}] = static_cast<LONG>(i);
        }
        std::vector<size_t> beside;
        for (size_t i = 1; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (!moves(p))
                continue;
            if (willBeFree(p.target_dir, p.final_name,
                           p.action == NodeAction::Create ? -1 : p.object))
                taken[{p.target_dir, p.final_name}] = static_cast<LONG>(i);
            else
                beside.push_back(i);
        }
        for (size_t i : beside)
            placeBeside(i);
        for (size_t i = 1; i < nodes.size(); ++i)
            if (plan.nodes[i].action == NodeAction::Create && nodes[i].is_dir)
                setObjectName(v, static_cast<ULONG>(plan.nodes[i].created_object),
                              plan.nodes[i].final_name);
    }

    // A file the guest kept that the scan showed through a link to an object the guest deleted
    // becomes a file of its own: the link would lead nowhere.
    void keepLinkedContents() {
        std::set<std::pair<dev_t, ino_t>> removed;
        for (ULONG o = 1; o < plan.remove.size(); ++o)
            if (plan.remove[o] && !v->objects[o].is_dir)
                removed.insert({v->objects[o].dev, v->objects[o].ino});
        if (removed.empty())
            return;
        for (size_t i = 1; i < nodes.size(); ++i) {
            NodePlan &p = plan.nodes[i];
            if (p.object <= 0 || nodes[i].is_dir ||
                (p.action != NodeAction::None && p.action != NodeAction::Move))
                continue;
            const HostObject &o = v->objects[static_cast<size_t>(p.object)];
            if (!o.via_link || !removed.count({o.dev, o.ino}))
                continue;
            p.replaces_own = p.action == NodeAction::None;
            p.action = NodeAction::Rewrite;
            plan.new_bytes += nodes[i].size;
        }
    }

    // An entry that cannot be written back leaves the object whose clusters it took as it was.
    void keepOrigins() {
        for (size_t i = 1; i < nodes.size(); ++i) {
            const NodePlan &p = plan.nodes[i];
            if (p.action == NodeAction::Skip && p.origin > 0 && !plan.claimed[p.origin])
                plan.remove[static_cast<size_t>(p.origin)] = false;
        }
    }

    void markRemovals() {
        for (ULONG o = 1; o < plan.claimed.size(); ++o) {
            if (plan.claimed[o])
                continue;
            if (c.tree.incomplete) {
                ++plan.kept_unlisted;
                continue;
            }
            if (const ULONG link = linkedAncestor(v, o)) {
                // Removing the link removes nothing it leads to; kept, it keeps its contents.
                if (plan.claimed[link])
                    plan.reasons[o] = "it lies in a directory reached through a symbolic link";
                continue;
            }
            switch (hostState(c, o)) {
            case HostState::Intact:
                plan.remove[o] = true;
                break;
            case HostState::Changed:
                plan.reasons[o] = "the host changed it meanwhile";
                break;
            case HostState::Unreachable:
                plan.reasons[o] = "the host cannot reach it now";
                break;
            default:
                break; // gone already
            }
        }
    }

    void run() {
        const size_t objects = v->objects.size();
        plan.nodes.assign(nodes.size(), NodePlan{});
        plan.claimed.assign(objects, false);
        plan.claimer.assign(objects, -1);
        plan.remove.assign(objects, false);
        plan.state.assign(objects, HostState::Unknown);
        plan.reasons.assign(objects, std::string());
        plan.claimed[0] = true;
        plan.nodes[0].object = 0;
        plan.nodes[0].target_dir = 0;
        for (ULONG o = 1; o < objects; ++o) {
            const DirEntry *e = arrayGet(v->directory, v->objects[o].dir_index);
            UBYTE shortName[11];
            std::memcpy(shortName, e->name, 8);
            std::memcpy(shortName + 8, e->extension, 3);
            by_name[key(v->objects[o].parent, shortName)].push_back(o);
            EntryName created;
            creationName(v, o, created);
            by_name[std::to_string(v->objects[o].parent) + "/" + created.name].push_back(o);
            at_place[{v->objects[o].parent, objectName(v, o)}] = o;
        }
        claimByCluster();
        // Every claim is known before removals are marked; parents claim before children.
        for (size_t i = 1; i < nodes.size(); ++i) {
            const LONG dir = directoryOfClaim(static_cast<size_t>(nodes[i].parent));
            if (plan.nodes[i].object < 0)
                claimByName(i, dir);
        }
        markRemovals();
        for (size_t i = 1; i < nodes.size(); ++i)
            decide(i);
        keepOrigins();
        keepLinkedContents();
        placeNames();
        plan.reasons.resize(v->objects.size());
    }

    // The directory object a node stands for by its claims alone (before any decision).
    LONG directoryOfClaim(size_t i) const {
        if (i == 0)
            return 0;
        return plan.nodes[i].object;
    }
};

} // namespace

void creationName(VVFAT *v, ULONG object, EntryName &name) {
    const ULONG index = v->objects[object].dir_index;
    ULONG start = index;
    while (start > 0 && index - start < 20 && isLongName(*arrayGet(v->directory, start - 1)))
        --start;
    const auto *begin = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, start));
    const auto *end = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, index) + 1);
    if (!readDirEntry(begin, end, name))
        name = EntryName{};
}

HostState hostState(SyncContext &c, ULONG object) {
    VVFAT *v = c.v;
    HostState &known = c.plan.state[object];
    if (known != HostState::Unknown)
        return known;
    const HostObject &o = v->objects[object];
    struct stat st;
    // A name or directory that is no longer there, or is another object now, is gone; any
    // other failure says nothing.
    auto failure = [] {
        return errno == ENOENT || errno == ENOTDIR || errno == ESTALE || errno == ELOOP
                   ? HostState::Gone
                   : HostState::Unreachable;
    };
    const int fd = object == 0 ? -1 : objectDirFd(v, o.parent);
    if (object == 0)
        known = HostState::Intact;
    else if (fd < 0)
        known = failure();
    else if (DosStatAt(fd, objectName(v, object).c_str(), &st,
                       o.via_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        known = failure();
    else if (st.st_dev != o.dev || st.st_ino != o.ino)
        known = HostState::Gone;
    else if (!o.is_dir &&
             (static_cast<UQUAD>(st.st_size) != o.size || timeNs(st.st_mtim) != o.mtime_ns))
        known = HostState::Changed;
    else
        known = HostState::Intact;
    return known;
}

void makePlan(SyncContext &c) {
    Planner planner(c);
    planner.run();
}
