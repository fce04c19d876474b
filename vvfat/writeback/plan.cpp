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

// The directory, reached through a symbolic link at mount, that an object lies in (none: none).
// The write-back changes nothing there, since it may lie outside the mounted directory.
ObjectId linkedAncestor(const VVFAT *v, ObjectId object) {
    size_t steps = 0;
    for (ObjectId o = parentOf(v, object); o != ROOT_OBJECT && steps <= v->objects.size();
         o = parentOf(v, o), ++steps)
        if (hostObject(v, o).via_link)
            return o;
    return ObjectId::none();
}

// Whether new objects may be put into directory object `dir`.
bool behindLink(const VVFAT *v, ObjectId dir) {
    return linkedAncestor(v, dir).some() || hostObject(v, dir).via_link;
}

// How well an entry matches the object whose clusters it starts at. Ordered: a kept stored name
// outweighs a kept place, and both together settle the claim whatever the contents.
enum class ClaimMatch { Neither, Place, Name, NameAndPlace };

ClaimMatch claimMatch(bool sameName, bool samePlace) {
    if (sameName)
        return samePlace ? ClaimMatch::NameAndPlace : ClaimMatch::Name;
    return samePlace ? ClaimMatch::Place : ClaimMatch::Neither;
}

// Whether the guest left the file's contents exactly as the disk showed them: the same clusters
// in the same order, the same size, and none of their sectors written.
bool contentsUnchanged(VVFAT *v, const GuestNode &node, const HostObject &o) {
    if (node.size != o.size)
        return false;
    if (o.mapping < 0)
        return node.size == 0;
    const auto object = static_cast<ULONG>(&o - v->objects.data());
    if (node.clusters.size() != (o.size + v->cluster_size - 1) / v->cluster_size)
        return false;
    for (size_t k = 0; k < node.clusters.size(); ++k)
        if (!clusterHolds(v, object, node.clusters[k], UQUAD{k} * v->cluster_size))
            return false;
    const ULONG sectors = static_cast<ULONG>((node.size + SECTOR_SIZE - 1) / SECTOR_SIZE);
    const ULONG spc = v->sectors_per_cluster;
    for (ULONG k = 0; k * spc < sectors; ++k) {
        const ULONG written = writtenSectors(v, node.clusters[k]);
        if (written == 0)
            continue;
        const auto firstSector = static_cast<ULONG>(cluster2Sector(v, node.clusters[k]));
        // Sectors past the end of the file may be written without changing it.
        for (ULONG s = k * spc; s < std::min(sectors, (k + 1) * spc); ++s)
            if (cachedSector(v, firstSector + s - k * spc))
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
    // Recorded objects by directory and creation short name ("dir:NAME    EXT"), and by
    // directory and creation name as read ("dir/name"), for claims by name.
    std::unordered_map<std::string, std::vector<ObjectId>> by_name;
    TornSession torn; // a session that did not end: which of its changes it finished
    // Final names given so far, per directory object.
    std::map<std::pair<ObjectId, std::string>, NodeId> taken;

    GuestNode &node(NodeId n) { return nodes[n.index()]; }

    std::string key(ObjectId dir, const UBYTE shortName[11]) const {
        return std::to_string(dir.index()) + ":" +
               std::string(reinterpret_cast<const char *>(shortName), 11);
    }

    std::string nodePath(NodeId n) const {
        std::string path;
        for (; n.some() && n != ROOT_NODE; n = nodes[n.index()].parentNode())
            path = "/" + nodes[n.index()].name.name + path;
        return v->root_path + path;
    }

    void skip(NodeId n, const std::string &why) {
        plan.node(n).action = NodeAction::Skip;
        reportFailure(c, nodePath(n), why);
    }

    // Whether the directory node lists an entry that starts where one of the object's recorded
    // objects began (or the object had none).
    bool keepsAChildOf(NodeId dirNode, ObjectId object) {
        if (children_begin.empty()) {
            children_begin.resize(v->objects.size());
            empty_children.resize(v->objects.size());
            for (ObjectId o : plan.hostObjects()) {
                const HostObject &r = hostObject(v, o);
                if (r.mapping >= 0) {
                    children_begin[r.parent].push_back(
                        arrayGet(v->mapping, static_cast<ULONG>(r.mapping))->begin);
                } else {
                    // An empty file has no cluster: its name tells it.
                    EntryName created;
                    creationName(v, o, created);
                    empty_children[r.parent].push_back(created);
                    children_begin[r.parent].push_back(0);
                }
            }
            for (auto &begins : children_begin)
                std::sort(begins.begin(), begins.end());
            node_children.resize(nodes.size());
            for (NodeId k : plan.guestNodes())
                node_children[node(k).parentNode().index()].push_back(k);
        }
        const std::vector<ULONG> &begins = children_begin[object.index()];
        if (begins.empty())
            return true;
        for (NodeId k : node_children[dirNode.index()]) {
            const GuestNode &child = node(k);
            if (child.first != 0 && std::binary_search(begins.begin(), begins.end(), child.first))
                return true;
            if (child.first == 0)
                for (const EntryName &name : empty_children[object.index()])
                    if (sameStoredName(name, child.name))
                        return true;
        }
        return false;
    }
    std::vector<std::vector<ULONG>> children_begin;     // per object: where its objects began
    std::vector<std::vector<EntryName>> empty_children; // per object: its empty files' names
    std::vector<std::vector<NodeId>> node_children;     // per node: the nodes it lists

    void claim(NodeId i, ObjectId o) {
        plan.node(i).object = o;
        plan.object(o).claimed = true;
        plan.object(o).claimer = i;
    }

    // Claims by first cluster: the object whose clusters began where the entry's begin. When
    // the guest cross-linked several entries to one object, the one at its old place wins.
    void claimByCluster() {
        struct Best {
            ClaimMatch match = ClaimMatch::Neither;
            NodeId node;
        };
        std::vector<Best> best(v->objects.size());
        for (NodeId i : plan.guestNodes()) {
            const GuestNode &n = node(i);
            if (n.first == 0 || n.broken)
                continue;
            const Mapping *m = findMappingForCluster(v, n.first);
            if (!m || m->begin != n.first || m->object == 0)
                continue;
            const ObjectId object(m->object);
            const HostObject &o = hostObject(v, object);
            if (o.is_dir && !n.is_dir && n.size == 0 && !plan.object(object).claimed) {
                // An empty file at a directory's cluster under the directory's own name (an
                // empty file has no cluster of its own) is one flipped attribute bit: deleting
                // the tree on that word would be a disaster.
                EntryName was;
                creationName(v, object, was);
                if (sameStoredName(was, n.name)) {
                    claim(i, object);
                    plan.node(i).kind_changed = true;
                    c.tree.incomplete = true;
                    continue;
                }
            }
            if (!o.is_dir && n.is_dir && !plan.object(object).claimed &&
                writtenSectors(v, n.first) == 0) {
                // The other way round: a directory entry at a file's first cluster under the
                // file's own name, the cluster never written (a directory the guest made holds
                // its "." and ".." there), is the same flipped bit. A file whose first byte is 0
                // reads as an empty directory; taken at its word, the file would be deleted.
                EntryName was;
                creationName(v, object, was);
                if (sameStoredName(was, n.name)) {
                    claim(i, object);
                    plan.node(i).kind_changed = true;
                    continue;
                }
            }
            if (o.is_dir != n.is_dir)
                continue; // a reused cluster of the other kind says nothing about the object
            EntryName created;
            creationName(v, object, created);
            const NodeId parentNode = n.parentNode();
            const Mapping *pm =
                o.parent == 0
                    ? arrayGet(v->mapping, 0)
                    : arrayGet(v->mapping, static_cast<ULONG>(v->objects[o.parent].mapping));
            const ClaimMatch match =
                claimMatch(sameStoredName(created, n.name),
                           (parentNode == ROOT_NODE && o.parent == 0) ||
                               (parentNode != ROOT_NODE && node(parentNode).first == pm->begin));
            // A file whose clusters were reused for other contents under another name is
            // deleted, and the entry is a new file: only a move keeps contents, only an edit in
            // place keeps the name. A directory under another name that keeps none of its objects
            // is a new directory in a deleted one's cluster.
            if (match != ClaimMatch::NameAndPlace &&
                (n.is_dir ? match < ClaimMatch::Name && !keepsAChildOf(i, object)
                          : !contentsUnchanged(v, n, o))) {
                if (plan.node(i).origin.isNone())
                    plan.node(i).origin = object;
                continue;
            }
            Best &b = best[object.index()];
            if (b.node.isNone() || match > b.match)
                b = {match, i};
        }
        for (ObjectId o : plan.hostObjects())
            if (best[o.index()].node.some())
                claim(best[o.index()].node, o);
    }

    // A node without a cluster claim (an empty file, contents written to new clusters) is the
    // object of the same kind that bore its stored name in the same directory.
    void claimByName(NodeId i, ObjectId dirObject) {
        const GuestNode &n = node(i);
        if (dirObject.isNone())
            return;
        // The same short name, or the same name as read: a guest may store either anew.
        for (const std::string &k : {key(dirObject, n.name.short_name),
                                     std::to_string(dirObject.index()) + "/" + n.name.name}) {
            auto it = by_name.find(k);
            if (it == by_name.end())
                continue;
            for (ObjectId o : it->second) {
                if (plan.object(o).claimed || hostObject(v, o).is_dir != n.is_dir ||
                    (n.name.bare && shownByOther(i, objectName(v, o))))
                    continue;
                EntryName created;
                creationName(v, o, created);
                if (!sameStoredName(created, n.name))
                    continue;
                claim(i, o);
                return;
            }
        }
    }

    // The directory object a node's children end in; none when they end nowhere.
    ObjectId directoryOf(NodeId i) const {
        if (i == ROOT_NODE)
            return ROOT_OBJECT;
        const NodePlan &p = plan.node(i);
        if (p.action == NodeAction::Skip)
            return ObjectId::none();
        if (p.action == NodeAction::Create)
            return p.created_object;
        return p.object;
    }

    // Recorded objects by their place, for telling whose a host name is.
    std::map<std::pair<ObjectId, std::string>, ObjectId> at_place;

    // Whether the host entry `name` in directory object dir will be free by the time a node
    // takes it: free now, or held by a recorded object that moves away or goes. `self` is the
    // node's own object, which may keep its name.
    bool willBeFree(ObjectId dir, const std::string &name, ObjectId self) {
        if (taken.count({dir, name}))
            return false;
        if (hostObject(v, dir).created)
            return true; // a directory the write-back creates holds only what it puts there
        const int fd = objectDirFd(v, dir);
        struct stat st;
        if (fd < 0 || DosStatAt(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true;
        auto it = at_place.find({dir, name});
        ObjectId o = it == at_place.end() ? ObjectId::none() : it->second;
        if (o.isNone()) {
            // A host that folds case answers for a recorded object under another spelling.
            const std::string listed = listedSpelling(fd, name);
            it = listed.empty() ? at_place.end() : at_place.find({dir, listed});
            if (it == at_place.end())
                return false; // an object the guest never saw
            o = it->second;
        }
        if (hostState(c, o) == HostState::Gone || hostState(c, o) == HostState::Unreachable)
            return false; // another object bears the name now, or nobody can tell
        if (o == self || plan.object(o).remove)
            return true;
        const NodeId k = plan.object(o).claimer;
        if (k.isNone())
            return false;
        const NodePlan &kp = plan.node(k);
        return kp.action == NodeAction::Move ||
               (kp.action == NodeAction::Rewrite && !kp.replaces_own);
    }

    // A name beside the wanted one for a node that cannot have it.
    void placeBeside(NodeId i) {
        NodePlan &p = plan.node(i);
        const ObjectId dir = p.target_dir;
        std::string name;
        for (unsigned k = 1; k < 10000; ++k) {
            name = conflictName(p.final_name, k);
            if (!isWriteBackCopy(name.c_str()) &&
                !(dir == ROOT_OBJECT && isKeptAtRoot(v, name.c_str())) &&
                willBeFree(dir, name, ObjectId::none()))
                break;
        }
        report("'%s/%s' is kept on the host; the guest's '%s' is written beside it as "
               "'%s'.",
               printableName(objectPath(v, dir)).c_str(), printableName(p.final_name).c_str(),
               printableName(p.final_name).c_str(), printableName(name).c_str());
        p.beside = p.final_name;
        p.final_name = name;
        taken[{dir, p.final_name}] = i;
    }

    // Whether the node is its object as the disk showed it: same place, name, attributes and
    // contents.
    bool leftAsItWas(const GuestNode &n, ObjectId object, ObjectId dir, const std::string &name) {
        const HostObject &o = hostObject(v, object);
        return parentOf(v, object) == dir && objectName(v, object) == name &&
               ((n.attributes ^ arrayGet(v->directory, o.dir_index)->attributes) &
                CARRIED_ATTRIBUTES) == 0 &&
               (n.is_dir ? o.is_dir : !o.is_dir && contentsUnchanged(v, n, o));
    }

    void decide(NodeId i) {
        GuestNode &n = node(i);
        NodePlan &p = plan.node(i);
        const ObjectId dir = directoryOf(n.parentNode());
        if (dir.isNone()) {
            // Its directory was skipped, with a diagnostic; an object moved there stays put.
            p.action = NodeAction::Skip;
            if (p.claimsObject())
                reportFailure(c, objectPath(v, p.object),
                              "it stays where it was, since the directory the guest put it in "
                              "is not written back");
            return;
        }
        p.target_dir = dir;
        if (n.broken) {
            skip(i, "its first cluster is not on the disk");
            return;
        }
        if (v->torn && torn.why[i.index()]) {
            ++plan.unfinished;
            skip(i, torn.why[i.index()]);
            return;
        }
        if (p.kind_changed) {
            skip(i, n.is_dir ? "the guest's entry calls this file a directory; the file stays as "
                               "it was"
                             : "the guest's entry calls this directory a file; the "
                               "directory and everything in it stay as they were");
            return;
        }
        if (!p.claimsObject())
            takeDeletedObject(i, dir);
        const bool claims = p.claimsObject();
        const ObjectId object = p.object;
        EntryName created;
        if (claims)
            creationName(v, object, created);
        // An object the guest did not rename keeps its host name, whatever bytes it holds,
        // unless a bare entry's spelling is shown by another entry (see shownByOther).
        const bool keepsName = claims && sameStoredName(created, n.name) &&
                               !(n.name.bare && shownByOther(i, objectName(v, object)));
        p.final_name = keepsName ? objectName(v, object) : n.name.name;
        if (n.name.bare && !keepsName)
            if (const ObjectId gone = deletedNamed(dir, n.name.name);
                gone.some() && !shownByOther(i, objectName(v, gone)))
                p.final_name = objectName(v, gone); // the spelling of the object it replaces
        // A name like the write-back's own copies would be hidden and then removed as one.
        if (!isUsableHostName(p.final_name) || isWriteBackCopy(p.final_name.c_str()) ||
            (p.target_dir == ROOT_OBJECT && isKeptAtRoot(v, p.final_name.c_str()))) {
            p.action = NodeAction::Skip;
            notWrittenBack(plan, "an entry named '%s' cannot be used on the host; skipped.",
                           printableName(p.final_name).c_str());
            if (claims)
                report("'%s' stays as it was.", printableName(objectPath(v, object)).c_str());
            return;
        }
        if (behindLink(v, dir) || (claims && linkedAncestor(v, object).some())) {
            // Only a change is refused there: what the guest left as it was needs nothing of
            // the host, and is no failure.
            if (claims && leftAsItWas(n, object, dir, p.final_name)) {
                p.action = NodeAction::None;
                return;
            }
            skip(i, "it lies in a directory reached through a symbolic link");
            return;
        }
        if (claims && hostState(c, object) == HostState::Unreachable) {
            skip(i, "the host cannot reach it now");
            return;
        }
        if (claims) {
            const HostObject &o = hostObject(v, object);
            p.attributes = ((n.attributes ^ arrayGet(v->directory, o.dir_index)->attributes) &
                            CARRIED_ATTRIBUTES) != 0;
        } else {
            p.attributes = (n.attributes & CARRIED_ATTRIBUTES) != 0;
        }
        const bool samePlace =
            claims && parentOf(v, object) == dir && objectName(v, object) == p.final_name;
        if (n.is_dir) {
            if (claims && hostState(c, object) == HostState::Gone) {
                skip(i, "the host removed or replaced it meanwhile");
                return;
            }
            if (!claims) {
                p.action = NodeAction::Create;
                HostObject made{};
                made.parent = dir.index();
                made.mapping = -1;
                made.is_dir = true;
                made.created = true;
                p.created_object = ObjectId(v->objects.size());
                v->objects.push_back(std::move(made));
                ObjectFate fate;
                fate.claimed = true;
                fate.claimer = i;
                fate.state = HostState::Intact;
                plan.objects.push_back(std::move(fate));
            } else {
                p.action = samePlace ? NodeAction::None : NodeAction::Move;
            }
        } else if (claims && contentsUnchanged(v, n, hostObject(v, object))) {
            if (samePlace) {
                p.action = NodeAction::None;
            } else if (hostState(c, object) == HostState::Gone) {
                skip(i, "the host removed or replaced it meanwhile");
                return;
            } else {
                p.action = NodeAction::Move;
            }
        } else {
            for (ObjectId source : contentSources(c, n))
                if (hostState(c, source) == HostState::Unreachable) {
                    skip(i, "its contents rely on '" + printableName(objectPath(v, source)) +
                                "', which the host cannot reach now");
                    return;
                } else if (hostState(c, source) != HostState::Intact) {
                    skip(i, "its contents rely on '" + printableName(objectPath(v, source)) +
                                "', which changed on the host meanwhile");
                    return;
                }
            if (claims && hostState(c, object) == HostState::Intact) {
                p.action = NodeAction::Rewrite;
                p.replaces_own = samePlace;
            } else {
                // Both sides changed it, or the host removed it: the host's version stays and
                // the guest's is written as a new file.
                if (claims && hostState(c, object) == HostState::Changed)
                    report("'%s' was changed both on the host and by the guest.",
                           printableName(objectPath(v, object)).c_str());
                p.action = NodeAction::Create;
            }
            plan.new_bytes += n.size;
        }
        reportUncarriedAttributes(i);
    }

    // Objects the guest deleted, by directory and name as FAT compares names.
    std::map<std::pair<ObjectId, std::string>, ObjectId> deleted_by_name;

    static std::string foldedName(std::string name) {
        for (char &ch : name)
            if (ch >= 'a' && ch <= 'z')
                ch = static_cast<char>(ch - 'a' + 'A');
        return name;
    }

    // The object the guest deleted from directory dir that bore `name`; none if there is none.
    ObjectId deletedNamed(ObjectId dir, const std::string &name) const {
        const auto it = deleted_by_name.find({dir, foldedName(name)});
        if (it == deleted_by_name.end() || !plan.object(it->second).remove ||
            plan.object(it->second).claimed)
            return ObjectId::none();
        return it->second;
    }

    // Whether an entry of i's directory other than i shows `name` spelt so. A bare entry then
    // leaves that spelling to it: an 8.3-only guest's short entry may take up the long-name
    // entries another name left behind, when their 8-bit checksum happens to match.
    bool shownByOther(NodeId i, const std::string &name) {
        if (name == node(i).name.name)
            return false; // its own spelling: nothing to leave
        const NodeId dirNode = node(i).parentNode();
        for (size_t k = 0; k < nodes.size(); ++k)
            if (k != i.index() && nodes[k].parentNode() == dirNode && nodes[k].name.name == name)
                return true;
        return false;
    }

    // A new file under the name of a file the guest deleted from the same directory, whose host
    // file is as the disk showed it, is that file saved anew (as programs save by deleting and
    // writing again): it replaces the file's contents as any rewrite does, keeping its mode.
    void takeDeletedObject(NodeId i, ObjectId dir) {
        const GuestNode &n = node(i);
        if (n.is_dir || n.broken || plan.node(i).kind_changed)
            return;
        const ObjectId gone = deletedNamed(dir, n.name.name);
        if (gone.isNone() || hostObject(v, gone).is_dir || hostObject(v, gone).via_link ||
            (n.name.bare && shownByOther(i, objectName(v, gone))))
            return;
        plan.object(gone).remove = false;
        claim(i, gone);
    }

    // Attribute changes the host cannot take are said and counted, never dropped: the system
    // bit, read-only on a directory (its owner keeps every permission), and hidden taken away
    // (hidden is group and other read taken away; read is never given back).
    void reportUncarriedAttributes(NodeId i) {
        const GuestNode &n = node(i);
        const NodePlan &p = plan.node(i);
        const UBYTE shown =
            p.claimsObject() ? arrayGet(v->directory, hostObject(v, p.object).dir_index)->attributes
                             : 0;
        const UBYTE changed = n.attributes ^ shown;
        std::string lost;
        auto add = [&lost](const char *what) {
            lost += (lost.empty() ? "" : ", ") + std::string(what);
        };
        if (changed & ATTR_SYSTEM)
            add(n.attributes & ATTR_SYSTEM ? "system set" : "system cleared");
        if (n.is_dir && (changed & ATTR_READ_ONLY))
            add(n.attributes & ATTR_READ_ONLY ? "read-only set" : "read-only cleared");
        if ((changed & ATTR_HIDDEN) && !(n.attributes & ATTR_HIDDEN))
            add("hidden cleared");
        if (!lost.empty())
            notWrittenBack(plan,
                           "'%s': the guest's attribute change (%s) cannot be carried to the "
                           "host; the rest is written back.",
                           printableName(nodePath(i)).c_str(), lost.c_str());
    }

    // Names are given once every action is known: a name is free when its holder moves away.
    // Every node that can have its own name takes it before any other is put beside one.
    void placeNames() {
        auto moves = [](const NodePlan &p) {
            return p.action == NodeAction::Move || p.action == NodeAction::Create ||
                   (p.action == NodeAction::Rewrite && !p.replaces_own);
        };
        keepBehindSkipped();
        for (NodeId i : plan.guestNodes()) {
            const NodePlan &p = plan.node(i);
            if (p.action == NodeAction::None || p.replaces_own)
                taken[{p.target_dir, p.final_name}] = i;
        }
        std::vector<NodeId> beside;
        for (NodeId i : plan.guestNodes()) {
            const NodePlan &p = plan.node(i);
            if (!moves(p))
                continue;
            if (willBeFree(p.target_dir, p.final_name,
                           p.action == NodeAction::Create ? ObjectId::none() : p.object))
                taken[{p.target_dir, p.final_name}] = i;
            else
                beside.push_back(i);
        }
        for (NodeId i : beside)
            placeBeside(i);
        for (NodeId i : plan.guestNodes())
            if (plan.node(i).action == NodeAction::Create && node(i).is_dir)
                setObjectName(v, plan.node(i).created_object, plan.node(i).final_name);
    }

    // An object that would move to a name still borne by an object that stays as it was (its
    // entry skipped) stays where it was too, rather than land under a name nobody gave it; in
    // turn, so does one that would take its name.
    void keepBehindSkipped() {
        for (bool again = true; again;) {
            again = false;
            for (NodeId i : plan.guestNodes()) {
                NodePlan &p = plan.node(i);
                if (p.action != NodeAction::Move)
                    continue;
                const auto it = at_place.find({p.target_dir, p.final_name});
                if (it == at_place.end() || it->second == p.object)
                    continue;
                const NodeId holder = plan.object(it->second).claimer;
                if (holder.isNone() || plan.node(holder).action != NodeAction::Skip)
                    continue;
                p.action = NodeAction::Skip;
                reportFailure(c, objectPath(v, p.object),
                              "it stays where it was, since '" + printableName(p.final_name) +
                                  "' stays as it was");
                again = true;
            }
        }
    }

    // A file the guest kept that the scan showed through a link to an object the guest deleted
    // becomes a file of its own: the link would lead nowhere.
    void keepLinkedContents() {
        std::set<std::pair<dev_t, ino_t>> removed;
        for (ObjectId o : plan.hostObjects())
            if (plan.object(o).remove && !hostObject(v, o).is_dir)
                removed.insert({hostObject(v, o).dev, hostObject(v, o).ino});
        if (removed.empty())
            return;
        for (NodeId i : plan.guestNodes()) {
            NodePlan &p = plan.node(i);
            if (!p.claimsObject() || node(i).is_dir ||
                (p.action != NodeAction::None && p.action != NodeAction::Move))
                continue;
            const HostObject &o = hostObject(v, p.object);
            if (!o.via_link || !removed.count({o.dev, o.ino}))
                continue;
            p.replaces_own = p.action == NodeAction::None;
            p.action = NodeAction::Rewrite;
            plan.new_bytes += node(i).size;
        }
    }

    // An entry that cannot be written back leaves the object whose clusters it took as it was.
    void keepOrigins() {
        for (NodeId i : plan.guestNodes()) {
            const NodePlan &p = plan.node(i);
            if (p.action == NodeAction::Skip && p.origin.some() && p.origin != ROOT_OBJECT &&
                !plan.object(p.origin).claimed)
                plan.object(p.origin).remove = false;
        }
    }

    void markRemovals() {
        for (ObjectId o : plan.hostObjects()) {
            ObjectFate &fate = plan.object(o);
            if (fate.claimed)
                continue;
            if (c.tree.incomplete) {
                ++plan.kept_unlisted;
                continue;
            }
            if (const ObjectId link = linkedAncestor(v, o); link.some()) {
                // Removing the link removes nothing it leads to; kept, it keeps its contents.
                if (plan.object(link).claimed)
                    fate.reason = "it lies in a directory reached through a symbolic link";
                continue;
            }
            switch (hostState(c, o)) {
            case HostState::Intact:
                if (const char *why = v->torn ? unfinishedRemoval(c, torn, o) : nullptr) {
                    ++plan.unfinished;
                    fate.reason = why;
                } else {
                    fate.remove = true;
                }
                break;
            case HostState::Changed:
                fate.reason = "the host changed it meanwhile";
                break;
            case HostState::Unreachable:
                fate.reason = "the host cannot reach it now";
                break;
            default:
                break; // gone already
            }
        }
    }

    void run() {
        plan.nodes.assign(nodes.size(), NodePlan{});
        plan.objects.assign(v->objects.size(), ObjectFate{});
        plan.object(ROOT_OBJECT).claimed = true;
        plan.node(ROOT_NODE).object = ROOT_OBJECT;
        plan.node(ROOT_NODE).target_dir = ROOT_OBJECT;
        for (ObjectId o : plan.hostObjects()) {
            const HostObject &r = hostObject(v, o);
            const DirEntry *e = arrayGet(v->directory, r.dir_index);
            const ShortName shortName = entryShortName(*e);
            by_name[key(ObjectId(r.parent), shortName.data())].push_back(o);
            EntryName created;
            creationName(v, o, created);
            by_name[std::to_string(r.parent) + "/" + created.name].push_back(o);
            at_place[{ObjectId(r.parent), objectName(v, o)}] = o;
        }
        claimByCluster();
        // Every claim is known before removals are marked; parents claim before children.
        for (NodeId i : plan.guestNodes())
            if (plan.node(i).object.isNone())
                claimByName(i, directoryOfClaim(node(i).parentNode()));
        if (v->torn)
            judgeTornSession(c, torn);
        markRemovals();
        for (ObjectId o : plan.hostObjects())
            if (plan.object(o).remove)
                deleted_by_name.emplace(
                    std::make_pair(parentOf(v, o), foldedName(objectName(v, o))), o);
        for (NodeId i : plan.guestNodes())
            decide(i);
        keepOrigins();
        keepLinkedContents();
        placeNames();
    }

    // The directory object a node stands for by its claims alone (before any decision).
    ObjectId directoryOfClaim(NodeId i) const {
        if (i == ROOT_NODE)
            return ROOT_OBJECT;
        return plan.node(i).object;
    }
};

} // namespace

void creationName(VVFAT *v, ObjectId object, EntryName &name) {
    const ULONG index = hostObject(v, object).dir_index;
    ULONG start = index;
    while (start > 0 && index - start < 20 && isLongName(*arrayGet(v->directory, start - 1)))
        --start;
    const auto *begin = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, start));
    const auto *end = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, index) + 1);
    if (!readDirEntry(begin, end, name))
        name = EntryName{};
}

namespace {

// What a failing look at a recorded object's name says about the object.
HostState stateAfterFailure(int error) {
    switch (error) {
    case ENOENT:  // the name is no longer there
    case ENOTDIR: // a directory on the way is a file now
    case ESTALE:  // a directory on the way is another object now
        return HostState::Gone;
    default:
        // ELOOP too: a directory on the way replaced by a link is gone, but a link the scan
        // followed that loops now may still lead to the object. Nothing that cannot be told
        // from the second is taken for gone: what is gone may have its name taken and its place
        // written over, what is unreachable is only ever kept.
        return HostState::Unreachable;
    }
}

} // namespace

HostState identifyAt(const HostObject &o, int dirFd, const char *name) {
    struct stat st;
    if (dirFd < 0 || DosStatAt(dirFd, name, &st, o.via_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return stateAfterFailure(errno);
    if (st.st_dev != o.dev || st.st_ino != o.ino)
        return HostState::Gone;
    // A directory of its own changes under the write-back's hands (what moves in or out of it),
    // so only its identity counts; one reached through a link is left alone, and is held to
    // its size and time like a file.
    if ((!o.is_dir || o.via_link) &&
        (static_cast<UQUAD>(st.st_size) != o.size || timeNs(st.st_mtim) != o.mtime_ns))
        return HostState::Changed;
    return HostState::Intact;
}

HostState identify(VVFAT *v, ObjectId object) {
    if (object == ROOT_OBJECT)
        return HostState::Intact; // held by its descriptor since the mount
    const std::string name = objectName(v, object);
    // Last before the look, so that errno is still its own should it fail.
    const int fd = objectDirFd(v, parentOf(v, object));
    return identifyAt(hostObject(v, object), fd, name.c_str());
}

HostState hostState(SyncContext &c, ObjectId object) {
    HostState &known = c.plan.object(object).state;
    if (known == HostState::Unknown)
        known = identify(c.v, object);
    return known;
}

void makePlan(SyncContext &c) {
    Planner planner(c);
    planner.run();
}
