// A session that did not end (the emulator died, an apply was killed) may have written a file's
// entry without the data it points to, or its data without the entry: a driver that reuses a
// file's freed clusters overwrites them before it updates the entry. Its writes are judged by
// their order: when each data sector was last written, and when each directory entry's 32 bytes
// last changed (a neighbour's entry written in the same sector says nothing of this one). A
// change is carried out only when it was finished:
// - a file's contents are finished when every sector within its size was written by the session
//   or holds the bytes the object (or the object it was saved from) had there, and either no
//   data was written after its entry last changed, or its entry changed first and every sector
//   within its size was written after that;
// - a file emptied is not finished (an open that truncates begins a copy over it); one cut short
//   is finished when the clusters it gave up are free in the guest's FAT or held by other
//   objects, and the session did not go on writing into them contents that no entry holds;
// - a name is not finished when its long-name entries changed but do not make a whole name with
//   its short entry, or when its short entry took a numeric tail (the alias of a long name)
//   that no whole long name goes with;
// - a directory is finished when every cluster of its listing is its own, was free (it reads as
//   zeros, no entries, where it was not written) or was wholly written;
// - a deletion is finished when the guest's FAT freed the object's clusters or gave them to a
//   finished object, the session wrote none of them for contents no entry holds, and no
//   unfinished object took its name.
// An unfinished change leaves the host's object as it was, with a diagnostic.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "writeback/writeback.h"

namespace {

constexpr UQUAD LATEST = std::numeric_limits<UQUAD>::max(); // after every write

UQUAD orderOf(const VVFAT *v, ULONG sector) {
    auto it = v->torn_order.find(sector);
    return it == v->torn_order.end() ? 0 : it->second;
}

// Whether the cluster held the object's contents on the disk as built.
bool ownCluster(VVFAT *v, ObjectId object, ULONG cluster) {
    if (object.isNone())
        return false;
    if (hostObject(v, object).mapping < 0)
        return false;
    const Mapping *m = findMappingForCluster(v, cluster);
    return m && m->object == object.index();
}

// Whether sector s of cluster `cluster`, the k-th of a file's chain, held the same bytes of the
// file object on the disk as built: its own cluster at the same place, within its old size.
bool ownSector(VVFAT *v, ObjectId object, size_t k, ULONG cluster, ULONG s) {
    if (!ownCluster(v, object, cluster))
        return false;
    const UQUAD offset = (static_cast<UQUAD>(k) * v->sectors_per_cluster + s) * SECTOR_SIZE;
    return clusterHolds(v, object.index(), cluster, UQUAD{k} * v->cluster_size) &&
           offset < hostObject(v, object).size;
}

UQUAD slotKey(const GuestNode::Slot &slot) {
    return static_cast<UQUAD>(slot.sector) * DIR_ENTRIES_PER_SECTOR + slot.index;
}

// Whether an 11-byte short name ends its base in "~" and digits, as the alias of a long name.
bool hasNumericTail(const UBYTE shortName[SHORT_NAME_SIZE]) {
    int end = 8;
    while (end > 0 && shortName[end - 1] == ' ')
        --end;
    int k = end;
    while (k > 0 && shortName[k - 1] >= '0' && shortName[k - 1] <= '9')
        --k;
    return k < end && k > 0 && shortName[k - 1] == '~';
}

struct Judge {
    SyncContext &c;
    VVFAT *v;
    TornSession &t;
    // When each entry of the nodes last changed (absent: never in the session).
    std::unordered_map<UQUAD, UQUAD> slot_changed;
    // Clusters that no entry holds, which the session wrote or allocated: the place of their
    // last write (LATEST for one allocated and never written).
    std::unordered_map<ULONG, UQUAD> loose;

    // Follows the session's writes to the sectors holding the nodes' entries, from the disk as
    // built, noting when each entry's bytes changed. Without the writes, a sector's last write
    // stands for each of its entries.
    void entryChanges() {
        std::unordered_map<ULONG, std::array<UBYTE, SECTOR_SIZE>> now;
        for (const GuestNode &n : c.tree.nodes)
            for (const GuestNode::Slot &slot : n.entry_slots)
                now.try_emplace(slot.sector);
        if (!v->torn_writes || !v->torn_built) {
            for (const GuestNode &n : c.tree.nodes)
                for (const GuestNode::Slot &slot : n.entry_slots)
                    if (const UQUAD order = orderOf(v, slot.sector))
                        slot_changed[slotKey(slot)] = order;
            return;
        }
        for (auto &[sector, bytes] : now)
            if (!v->torn_built(sector, bytes.data()))
                bytes.fill(0);
        v->torn_writes([&](ULONG sector, const UBYTE *data, UQUAD order) {
            auto it = now.find(sector);
            if (it == now.end())
                return;
            for (ULONG k = 0; k < DIR_ENTRIES_PER_SECTOR; ++k) {
                const size_t at = k * sizeof(DirEntry);
                if (std::memcmp(it->second.data() + at, data + at, sizeof(DirEntry)) != 0)
                    slot_changed[static_cast<UQUAD>(sector) * DIR_ENTRIES_PER_SECTOR + k] = order;
            }
            std::memcpy(it->second.data(), data, SECTOR_SIZE);
        });
    }

    UQUAD changedAt(const GuestNode::Slot &slot) const {
        auto it = slot_changed.find(slotKey(slot));
        return it == slot_changed.end() ? 0 : it->second;
    }

    // Clusters no entry holds that the session wrote, or allocated in the FAT sectors it wrote
    // (the disk as built has no cluster that no entry holds).
    void findLoose() {
        std::unordered_set<ULONG> used;
        for (const GuestNode &n : c.tree.nodes) {
            used.insert(n.clusters.begin(), n.clusters.end());
            used.insert(n.listing.begin(), n.listing.end());
        }
        const ULONG fatStart = v->offset_to_fat + c.disk.active_fat * v->sectors_per_fat;
        for (const auto &[sector, order] : v->torn_order) {
            if (sector >= v->offset_to_data) {
                const ULONG cluster = (sector - v->offset_to_data) / v->sectors_per_cluster + 2;
                if (isDataCluster(v, cluster) && !used.count(cluster)) {
                    UQUAD &last = loose[cluster];
                    last = std::max(last, order);
                }
            } else if (sector >= fatStart && sector < fatStart + v->sectors_per_fat) {
                // The entries that begin or end in the sector (FAT12's straddle two).
                const UQUAD bits = static_cast<UQUAD>(sector - fatStart) * SECTOR_SIZE * 8;
                const auto first = static_cast<ULONG>(bits / v->fat_type);
                const auto last = static_cast<ULONG>((bits + SECTOR_SIZE * 8) / v->fat_type);
                for (ULONG cluster = first; cluster <= last; ++cluster)
                    if (isDataCluster(v, cluster) && !used.count(cluster) &&
                        c.disk.next(cluster) != 0)
                        loose.try_emplace(cluster, LATEST);
            }
        }
    }

    // Why the file's contents are not finished; null when they are.
    const char *file(NodeId i) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const ObjectId object = c.plan.node(i).object;
        // An edit saved under another name keeps the clusters of the object it came from.
        const ObjectId origin = c.plan.node(i).origin;
        if (n.cut)
            return "its cluster chain ends before its size";
        const UQUAD entry = n.entry_slots.empty() ? 0 : changedAt(n.entry_slots.back());
        const ULONG spc = v->sectors_per_cluster;
        const ULONG sectors =
            static_cast<ULONG>((static_cast<UQUAD>(n.size) + SECTOR_SIZE - 1) / SECTOR_SIZE);
        UQUAD lastData = 0;
        bool writtenBeforeEntry = false; // a sector last written before the entry changed
        bool unwritten = false;          // a sector of its old bytes that the session left
        for (size_t k = 0; k < n.clusters.size(); ++k) {
            const ULONG cluster = n.clusters[k];
            const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
            for (ULONG s = 0; s < spc && k * spc + s < sectors; ++s) {
                const UQUAD order = orderOf(v, first + s);
                lastData = std::max(lastData, order);
                writtenBeforeEntry = writtenBeforeEntry || (order != 0 && order < entry);
                unwritten = unwritten || order == 0;
                if (order == 0 && !ownSector(v, object, k, cluster, s) &&
                    !ownSector(v, origin, k, cluster, s))
                    return "the session ended before its contents were written";
            }
        }
        // Data written after the entry last changed: finished only if the entry was changed
        // first and every sector within its size written since (old bytes left between new
        // ones may be a rewrite cut short).
        if (!v->torn_quiet && lastData > entry && (entry == 0 || writtenBeforeEntry || unwritten))
            return "its contents were being written when the session ended";
        if (object.some() && object != ROOT_OBJECT && hostObject(v, object).mapping >= 0 &&
            n.size < hostObject(v, object).size) {
            // Emptied: the start of a copy over it (an open that truncates) as often as a wish.
            if (n.size == 0 && !v->torn_quiet)
                return "it was emptied, as a copy over it begins, when the session ended";
            // What it gave up must be given up in the FAT too, and not be under way again.
            const Mapping *m =
                arrayGet(v->mapping, static_cast<ULONG>(hostObject(v, object).mapping));
            std::unordered_set<ULONG> kept(n.clusters.begin(), n.clusters.end());
            for (ULONG cluster = m->begin; cluster < m->end; ++cluster) {
                if (kept.count(cluster))
                    continue;
                if (c.disk.next(cluster) != 0 && !held_by_others.count(cluster))
                    return "it was cut short, but the guest's FAT still holds its clusters";
                auto it = loose.find(cluster);
                if (it != loose.end() && it->second > entry)
                    return "it was cut short while the session wrote into the clusters it gave "
                           "up contents that no entry holds yet";
            }
        }
        return nullptr;
    }
    std::unordered_set<ULONG> held_by_others; // clusters some node holds

    // Why the directory's listing is not finished; null when it is.
    const char *directory(NodeId i) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const ObjectId object = c.plan.node(i).object;
        for (ULONG cluster : n.listing) {
            // A cluster free on the disk as built reads as zeros where it was not written: no
            // entries. Another object's would show its bytes as entries.
            if (ownCluster(v, object, cluster) || !findMappingForCluster(v, cluster))
                continue;
            const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
            for (ULONG s = 0; s < v->sectors_per_cluster; ++s)
                if (orderOf(v, first + s) == 0)
                    return "the session ended before its entries were written";
        }
        return nullptr;
    }

    // Why the node's name is not finished; null when it is.
    const char *name(NodeId i) {
        const GuestNode &n = c.tree.nodes[i.index()];
        if (!n.name.units.empty() || n.entry_slots.size() < 2)
            return nullptr;
        // Long-name entries stand before a bare short entry: left behind by a guest that
        // writes none (it renamed through the short name), or a long name half written.
        for (size_t k = 0; k + 1 < n.entry_slots.size(); ++k)
            if (changedAt(n.entry_slots[k]))
                return "its long name was being written when the session ended";
        if (changedAt(n.entry_slots.back()) && hasNumericTail(n.name.short_name))
            return "its long name was being written when the session ended";
        return nullptr;
    }

    void run() {
        t.why.assign(c.tree.nodes.size(), nullptr);
        entryChanges();
        findLoose();
        for (const GuestNode &n : c.tree.nodes)
            held_by_others.insert(n.clusters.begin(), n.clusters.end());
        for (NodeId i : c.plan.guestNodes()) {
            const GuestNode &n = c.tree.nodes[i.index()];
            if (n.broken)
                continue;
            const char *why = name(i);
            if (!why)
                why = n.is_dir ? directory(i) : file(i);
            t.why[i.index()] = why;
            if (n.is_dir && why)
                c.tree.incomplete = true; // entries it lost may list objects: nothing is deleted
        }
        for (NodeId i : c.plan.guestNodes()) {
            const GuestNode &n = c.tree.nodes[i.index()];
            if (t.why[i.index()])
                continue;
            t.finished_clusters.insert(n.clusters.begin(), n.clusters.end());
            t.finished_clusters.insert(n.listing.begin(), n.listing.end());
        }
        for (const auto &[cluster, order] : loose)
            if (order != LATEST)
                t.loose_clusters.insert(cluster);
    }
};

} // namespace

void judgeTornSession(SyncContext &c, TornSession &t) {
    Judge{c, c.v, t, {}, {}, {}}.run();
}

const char *unfinishedRemoval(SyncContext &c, const TornSession &t, ObjectId object) {
    VVFAT *v = c.v;
    const HostObject &o = hostObject(v, object);
    if (o.mapping >= 0) {
        const Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(o.mapping));
        for (ULONG cluster = m->begin; cluster < m->end; ++cluster) {
            if (t.loose_clusters.count(cluster))
                return "the session that deleted it did not end, and was writing into its "
                       "clusters contents that no entry holds yet";
            if (c.disk.next(cluster) != 0 && !t.finished_clusters.count(cluster))
                return "the session that deleted it did not end, and the guest's FAT still "
                       "holds its clusters";
        }
    }
    EntryName was;
    creationName(v, object, was);
    for (NodeId i : c.plan.guestNodes()) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const NodeId parent = n.parentNode();
        if (!t.why[i.index()] || parent.isNone())
            continue;
        const ObjectId dir = parent == ROOT_NODE ? ROOT_OBJECT : c.plan.node(parent).object;
        if (dir.some() && dir.index() == o.parent && sameStoredName(was, n.name))
            return "the session that deleted it did not end before the guest's object in its "
                   "place was written";
    }
    return nullptr;
}
