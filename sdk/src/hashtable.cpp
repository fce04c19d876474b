// The keyed table: an ordered map from 32-bit keys to pointers it does not own.
#include <iterator>
#include <map>
#include <memory_resource>
#include <new>

#include <libraries/hashtable.h>

struct HashTable {
    // Entries are never removed, so their nodes are carved out of growing blocks freed with the
    // table: no system allocation per entry.
    std::pmr::monotonic_buffer_resource nodes;
    std::pmr::map<LONG, APTR> entries{&nodes};
    // The entry at or before the last key looked up or inserted: sectors are mostly read and
    // written in order, so the next key is usually its neighbour. Entries are never removed, so
    // it stays valid.
    std::pmr::map<LONG, APTR>::iterator cursor = entries.end();
};

HashTable *CreateHashTableTagList(const void * /*tags*/) {
    return new (std::nothrow) HashTable;
}

void DeleteHashTable(HashTable *table) {
    delete table;
}

BOOL GetHashDataByKey(HashTable *table, LONG key, APTR *value) {
    if (!table)
        return FALSE;
    auto &entries = table->entries;
    auto &cursor = table->cursor;
    if (cursor != entries.end() && cursor->first <= key) {
        if (cursor->first == key) {
            *value = cursor->second;
            return TRUE;
        }
        // The last entry first: stepping on from it climbs the whole tree.
        if (cursor == std::prev(entries.end()))
            return FALSE;
        const auto next = std::next(cursor);
        if (next->first > key)
            return FALSE;
        if (next->first == key) {
            cursor = next;
            *value = next->second;
            return TRUE;
        }
    }
    const auto found = entries.lower_bound(key);
    if (found != entries.end() && found->first == key) {
        cursor = found;
        *value = found->second;
        return TRUE;
    }
    cursor = found == entries.begin() ? entries.end() : std::prev(found);
    return FALSE;
}

BOOL InsertHash(HashTable *table, LONG key, APTR value) {
    if (!table)
        return FALSE;
    auto &entries = table->entries;
    auto &cursor = table->cursor;
    // Where a failed lookup of this key left the cursor, the new entry goes right after it: a
    // hint that makes the insertion take constant time (any other hint only costs the search).
    const auto hint = cursor == entries.end()              ? entries.begin()
                      : cursor == std::prev(entries.end()) ? entries.end()
                                                           : std::next(cursor);
    try {
        cursor = entries.insert_or_assign(hint, key, value);
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
    return TRUE;
}
